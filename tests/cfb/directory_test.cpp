// The name order of [MS-CFB] 2.6.4: length first, then simple upper-case
// code unit by code unit.
#include "cfb/directory.h"
#include "tests/cfb/cfb_test_util.h"

#include <set>

namespace velmora::cfb::test {
namespace {

struct Order {
  std::u16string a, b;
  int sign;
};

class NameOrder : public ::testing::TestWithParam<Order> {};

TEST_P(NameOrder, ComparesAsTheFormatSays) {
  auto [a, b, sign] = GetParam();
  int c = compareNames(a, b);
  EXPECT_EQ((c > 0) - (c < 0), sign);
  int r = compareNames(b, a);
  EXPECT_EQ((r > 0) - (r < 0), -sign);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameOrder,
    ::testing::Values(Order{u"ABCDEFGHIJ", u"CONTENTS", 1}, Order{u"b", u"AA", -1},
                      Order{u"contents", u"CONTENTS", 0}, Order{u"a", u"B", -1},
                      Order{u"\x05SummaryInformation", u"\x05summaryinformation", 0},
                      Order{u"\u00e9t\u00e9", u"\u00c9T\u00c9", 0}, Order{u"\u03c3", u"\u03a3", 0},
                      // Upper-cased first: '_' (0x5F) sorts after 'a' (as 0x41).
                      Order{u"_", u"a", 1}, Order{u"\xD800", u"\xD801", -1}));

}  // namespace
}  // namespace velmora::cfb::test

namespace velmora::cfb::test {
namespace {

// A storage with thousands of children: every insert and delete keeps a
// valid red-black tree (the strict check), whether the tree was built here
// or read from the file, and costs a few directory sectors, not the
// storage's whole directory.
TEST(DirectoryTreeTest, ThousandsOfChildrenChangeByRotationsNotRebuilds) {
  velmora::test::TempDir dir;
  auto path = dir.file("pool.doc");
  constexpr int kChildren = 3000;
  std::set<std::u16string> model;
  auto nameOf = [](int i) {
    std::string s = "_" + std::to_string((i * 7919) % 100000);
    return std::u16string(s.begin(), s.end());
  };
  auto expectModel = [&] {
    ASSERT_TRUE(checkFile(path, true).ok()) << checkFile(path, true).error().message;
    Tree tree;
    ASSERT_EQ(S_OK, readFileTree(path, tree));
    std::set<std::u16string> names;
    for (auto& [p, data] : tree)
      if (p.rfind(u"pool/", 0) == 0) names.insert(p.substr(5));
    EXPECT_EQ(model, names);
  };
  constexpr DWORD kRw = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
  IStorage* root = nullptr;
  ASSERT_EQ(S_OK, StgCreateDocfile(wide(path).c_str(), kRw | STGM_CREATE, 0, &root));
  IStorage* pool = nullptr;
  ASSERT_EQ(S_OK, root->CreateStorage(u"pool", kRw, 0, 0, &pool));
  for (int i = 0; i < kChildren; ++i) {
    ASSERT_EQ(S_OK, putStream(pool, nameOf(i), ""));
    model.insert(nameOf(i));
  }
  pool->Release();
  ASSERT_EQ(S_OK, root->Commit(STGC_DEFAULT));
  root->Release();
  expectModel();

  // Reopened, the tree is the file's: the first change rebuilds it, later
  // ones rotate. Deletes and inserts interleave, hitting every fix-up case.
  uint32_t x = 12345;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(S_OK, StgOpenStorage(wide(path).c_str(), nullptr, kRw, nullptr, 0, &root));
    ASSERT_EQ(S_OK, root->OpenStorage(u"pool", nullptr, kRw, nullptr, 0, &pool));
    for (int op = 0; op < 700; ++op) {
      x = x * 1103515245u + 12345;
      std::u16string name = nameOf(int(x >> 8) % (2 * kChildren));
      if (model.count(name)) {
        ASSERT_EQ(S_OK, pool->DestroyElement(name.c_str()));
        model.erase(name);
      } else {
        ASSERT_EQ(S_OK, putStream(pool, name, ""));
        model.insert(name);
      }
    }
    pool->Release();
    ASSERT_EQ(S_OK, root->Commit(STGC_DEFAULT));
    root->Release();
    expectModel();
  }

  // One child more and one fewer, each committed: a handful of directory
  // sectors each, where rebuilding the tree rewrote most of its 750.
  ASSERT_EQ(S_OK, StgOpenStorage(wide(path).c_str(), nullptr, kRw, nullptr, 0, &root));
  ASSERT_EQ(S_OK, root->OpenStorage(u"pool", nullptr, kRw, nullptr, 0, &pool));
  ASSERT_EQ(S_OK, putStream(pool, u"warm-up", ""));  // the one rebuild after opening
  ASSERT_EQ(S_OK, root->Commit(STGC_DEFAULT));
  for (const char16_t* name : {u"one-more", u"warm-up"}) {
    uint64_t before = ioCounters().bytesWritten;
    if (std::u16string(name) == u"warm-up") {
      ASSERT_EQ(S_OK, pool->DestroyElement(name));
    } else {
      ASSERT_EQ(S_OK, putStream(pool, name, ""));
      model.insert(name);
    }
    ASSERT_EQ(S_OK, root->Commit(STGC_DEFAULT));
    EXPECT_LT(ioCounters().bytesWritten - before, 32u * 1024) << "changing one child of 3000";
  }
  pool->Release();
  root->Release();
  expectModel();
}

}  // namespace
}  // namespace velmora::cfb::test
