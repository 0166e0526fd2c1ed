// Seeded random edits against a plain model: streams written at random
// offsets, resized across the cutoff, destroyed, renamed, storages created,
// commits and reopens in between. After every commit the file passes the
// strict check and reads back as the model.
#include <random>

#include "tests/cfb/cfb_test_util.h"
#include "tests/support/modes.h"

namespace velmora::cfb::test {
namespace {

class RandomEdits : public ::testing::TestWithParam<std::tuple<int, unsigned>> {};

TEST_P(RandomEdits, MatchTheModelAfterEveryCommit) {
  auto [version, seed] = GetParam();
  std::mt19937 rng(seed);
  velmora::test::TempDir dir;
  auto file = dir.file("r.cfb");
  auto w = wide(file);
  STGOPTIONS opt{1, 0, version == 4 ? 4096u : 512u, nullptr};
  IStorage* root = nullptr;
  ASSERT_EQ(
      StgCreateStorageEx(reinterpret_cast<const WCHAR*>(w.c_str()), kModeCreate, STGFMT_DOCFILE, 0,
                         &opt, nullptr, IID_IStorage, reinterpret_cast<void**>(&root)),
      S_OK);
  Tree model;
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  auto sizes = std::vector<size_t>{0, 1, 63, 64, 65, 500, 4095, 4096, 4097, 9000, 40000};
  auto names = [&] {
    std::vector<std::u16string> v;
    for (auto& [k, val] : model)
      if (val != kStorageMark && k.find(u'/') == std::u16string::npos) v.push_back(k);
    return v;
  };
  for (int step = 0; step < 800; ++step) {
    int op = int(pick(10));
    auto existing = names();
    if (op <= 2 || existing.empty()) {
      std::u16string name =
          u"n" + std::u16string(1, char16_t(u'a' + pick(12))) + std::u16string(pick(3), u'q');
      bool clash = false;
      for (auto& [k, v] : model)
        clash |= compareNames(k, name) == 0 && k.find(u'/') == std::u16string::npos;
      if (clash) continue;
      std::string data = pattern(sizes[pick(sizes.size())], unsigned(step));
      ASSERT_EQ(putStream(root, name, data), S_OK);
      model[name] = data;
    } else if (op <= 5) {
      auto& name = existing[pick(existing.size())];
      IStream* s = nullptr;
      ASSERT_EQ(root->OpenStream(name.c_str(), nullptr, kModeReadWrite, 0, &s), S_OK);
      std::string& m = model[name];
      size_t at = pick(m.size() + 100);
      std::string data = pattern(pick(6000), unsigned(step) + 77);
      LARGE_INTEGER li;
      li.QuadPart = int64_t(at);
      ASSERT_EQ(s->Seek(li, STREAM_SEEK_SET, nullptr), S_OK);
      if (!data.empty()) {
        ASSERT_EQ(s->Write(data.data(), ULONG(data.size()), nullptr), S_OK);
      }
      if (!data.empty()) {
        if (m.size() < at + data.size()) m.resize(at + data.size(), '\0');
        m.replace(at, data.size(), data);
      }
      s->Release();
    } else if (op == 6) {
      auto& name = existing[pick(existing.size())];
      IStream* s = nullptr;
      ASSERT_EQ(root->OpenStream(name.c_str(), nullptr, kModeReadWrite, 0, &s), S_OK);
      ULARGE_INTEGER n;
      n.QuadPart = sizes[pick(sizes.size())];
      ASSERT_EQ(s->SetSize(n), S_OK);
      model[name].resize(size_t(n.QuadPart), '\0');
      s->Release();
    } else if (op == 7) {
      auto name = existing[pick(existing.size())];
      ASSERT_EQ(root->DestroyElement(name.c_str()), S_OK);
      model.erase(name);
    } else if (op == 8) {
      auto name = existing[pick(existing.size())];
      std::u16string to = u"r" + std::u16string(1, char16_t(u'a' + pick(20)));
      bool clash = false;
      for (auto& [k, v] : model) clash |= compareNames(k, to) == 0;
      if (clash) continue;
      ASSERT_EQ(root->RenameElement(name.c_str(), to.c_str()), S_OK);
      model[to] = model[name];
      model.erase(name);
    } else {
      ASSERT_EQ(root->Commit(0), S_OK);
      if (pick(2)) {
        root->Release();
        auto r = checkFile(file, true);
        ASSERT_TRUE(r.ok()) << "step " << step << ": " << r.error().message;
        Tree back;
        ASSERT_EQ(readFileTree(file, back), S_OK);
        ASSERT_TRUE(back == model) << "step " << step;
        ASSERT_EQ(StgOpenStorageEx(reinterpret_cast<const WCHAR*>(w.c_str()), kModeReadWrite,
                                   STGFMT_DOCFILE, 0, nullptr, nullptr, IID_IStorage,
                                   reinterpret_cast<void**>(&root)),
                  S_OK);
      }
    }
  }
  root->Release();
  auto r = checkFile(file, true);
  ASSERT_TRUE(r.ok()) << r.error().message;
  Tree back;
  ASSERT_EQ(readFileTree(file, back), S_OK);
  EXPECT_TRUE(back == model);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomEdits,
                         ::testing::Combine(::testing::Values(3, 4),
                                            ::testing::Values(1u, 2u, 3u, 4u)));

}  // namespace
}  // namespace velmora::cfb::test
