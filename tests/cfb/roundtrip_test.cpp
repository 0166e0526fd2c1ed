// Documents written by the engine read back as written, in both versions,
// at the sizes where the representation changes, and pass the strict
// integrity check.
#include <random>

#include "tests/cfb/cfb_test_util.h"
#include "tests/support/modes.h"

namespace velmora::cfb::test {
namespace {

IStorage* create(const std::filesystem::path& p, int version) {
  STGOPTIONS opt{};
  opt.usVersion = 1;
  opt.ulSectorSize = version == 4 ? 4096 : 512;
  IStorage* stg = nullptr;
  HRESULT hr =
      StgCreateStorageEx(reinterpret_cast<const WCHAR*>(wide(p).c_str()),
                         STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, STGFMT_DOCFILE, 0,
                         &opt, nullptr, IID_IStorage, reinterpret_cast<void**>(&stg));
  EXPECT_EQ(hr, S_OK);
  return stg;
}

IStorage* openWrite(const std::filesystem::path& p) {
  IStorage* stg = nullptr;
  EXPECT_EQ(StgOpenStorageEx(reinterpret_cast<const WCHAR*>(wide(p).c_str()), kModeReadWrite,
                             STGFMT_DOCFILE, 0, nullptr, nullptr, IID_IStorage,
                             reinterpret_cast<void**>(&stg)),
            S_OK);
  return stg;
}

// A committed file passes the strict check and is whole sectors long.
void expectSound(const std::filesystem::path& p, bool strict = true) {
  auto r = checkFile(p, strict);
  EXPECT_TRUE(r.ok()) << r.error().message;
  auto size = std::filesystem::file_size(p);
  EXPECT_TRUE(size % 512 == 0 && size >= 1536) << size;
}

class SizeRoundTrip : public ::testing::TestWithParam<std::tuple<int, size_t>> {};

TEST_P(SizeRoundTrip, ReadsBackWhatWasWrittenAndChangesSizeAcrossTheCutoff) {
  auto [version, size] = GetParam();
  velmora::test::TempDir dir;
  auto file = dir.file("a.cfb");
  IStorage* stg = create(file, version);
  ASSERT_TRUE(stg);
  ASSERT_EQ(putStream(stg, u"first", pattern(size, 1)), S_OK);
  ASSERT_EQ(putStream(stg, u"second", pattern(size + 7, 2)), S_OK);
  EXPECT_EQ(stg->Commit(STGC_DEFAULT), S_OK);
  stg->Release();
  expectSound(file);
  Tree t;
  ASSERT_EQ(readFileTree(file, t), S_OK);
  EXPECT_EQ(t[u"first"], pattern(size, 1));
  EXPECT_EQ(t[u"second"], pattern(size + 7, 2));

  // Grow past and shrink below the cutoff; the kept prefix survives and new
  // bytes read as zeros.
  stg = openWrite(file);
  ASSERT_TRUE(stg);
  IStream* stm = nullptr;
  ASSERT_EQ(stg->OpenStream(u"first", nullptr, kModeReadWrite, 0, &stm), S_OK);
  ULARGE_INTEGER big;
  big.QuadPart = size + 5000;
  ASSERT_EQ(stm->SetSize(big), S_OK);
  std::string expect = pattern(size, 1) + std::string(5000, '\0');
  stm->Release();
  stg->Release();
  expectSound(file);
  ASSERT_EQ(readFileTree(file, t), S_OK);
  EXPECT_EQ(t[u"first"], expect);

  stg = openWrite(file);
  ASSERT_EQ(stg->OpenStream(u"first", nullptr, kModeReadWrite, 0, &stm), S_OK);
  ULARGE_INTEGER small;
  small.QuadPart = size / 3;
  ASSERT_EQ(stm->SetSize(small), S_OK);
  stm->Release();
  stg->Release();
  expectSound(file);
  ASSERT_EQ(readFileTree(file, t), S_OK);
  EXPECT_EQ(t[u"first"], pattern(size, 1).substr(0, size / 3));
  EXPECT_EQ(t[u"second"], pattern(size + 7, 2));
}

INSTANTIATE_TEST_SUITE_P(Boundaries, SizeRoundTrip,
                         ::testing::Combine(::testing::Values(3, 4),
                                            ::testing::Values(0, 1, 63, 64, 65, 511, 512, 513, 4095,
                                                              4096, 4097, 70000)));

// A read that starts inside one sector of a stream kept in its own sectors
// and ends in a later one returns the stream's bytes: from the changed image
// before the commit, and from the file after it.
TEST(UnalignedReads, CrossSectorEndsBeforeAndAfterTheCommit) {
  for (int version : {3, 4}) {
    SCOPED_TRACE(version);
    const size_t S = version == 4 ? 4096 : 512;
    const std::string data = pattern(3 * S + 5000, 9);
    velmora::test::TempDir dir;
    auto file = dir.file("u.cfb");
    auto readsBack = [&](IStorage* stg) {
      IStream* stm = nullptr;
      ASSERT_EQ(stg->OpenStream(u"s", nullptr, kModeReadWrite, 0, &stm), S_OK);
      for (size_t at : {size_t(1), S - 3, 2 * S + 17}) {
        for (size_t n : {size_t(4), S, S + 9}) {
          LARGE_INTEGER to{};
          to.QuadPart = LONGLONG(at);
          ASSERT_EQ(stm->Seek(to, STREAM_SEEK_SET, nullptr), S_OK);
          std::string got(n, '\0');
          ULONG read = 0;
          EXPECT_EQ(stm->Read(got.data(), ULONG(n), &read), S_OK) << at << "+" << n;
          EXPECT_EQ(got.substr(0, read), data.substr(at, n)) << at << "+" << n;
        }
      }
      stm->Release();
    };
    IStorage* stg = create(file, version);
    ASSERT_TRUE(stg);
    ASSERT_EQ(putStream(stg, u"s", data), S_OK);
    readsBack(stg);
    EXPECT_EQ(stg->Commit(STGC_DEFAULT), S_OK);
    stg->Release();
    stg = openWrite(file);
    ASSERT_TRUE(stg);
    readsBack(stg);
    stg->Release();
  }
}

class TreeRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(TreeRoundTrip, KeepsRedBlackTreesValidThroughInsertsRenamesAndDeletes) {
  velmora::test::TempDir dir;
  auto file = dir.file("t.cfb");
  IStorage* stg = create(file, GetParam());
  ASSERT_TRUE(stg);
  std::mt19937 rng(7);
  Tree model;
  IStorage* sub = nullptr;
  ASSERT_EQ(stg->CreateStorage(u"Sub", kModeReadWrite, 0, 0, &sub), S_OK);
  model[u"Sub"] = kStorageMark;
  for (int i = 0; i < 150; ++i) {
    std::u16string name = u"s" + std::u16string(1, char16_t(u'a' + rng() % 26)) +
                          std::u16string(1, char16_t(u'A' + rng() % 26)) + char16_t(u'0' + i % 10) +
                          std::u16string(i % 5, u'x');
    std::string data = pattern(rng() % 6000, unsigned(i));
    IStorage* target = (i % 3) ? stg : sub;
    ASSERT_EQ(putStream(target, name, data), S_OK);
    // Names are compared without regard to case: a later "S..." replaces it.
    std::u16string key = (i % 3) ? name : u"Sub/" + name;
    for (auto it = model.begin(); it != model.end();) {
      bool same = it->first.size() == key.size() && compareNames(it->first, key) == 0;
      it = same ? model.erase(it) : std::next(it);
    }
    model[key] = data;
  }
  // Delete every other top-level stream and rename a few.
  int n = 0;
  std::vector<std::u16string> names;
  for (auto& [k, v] : model)
    if (k.find(u'/') == std::u16string::npos && v != kStorageMark) names.push_back(k);
  for (auto& k : names) {
    if (n++ % 2) {
      ASSERT_EQ(stg->DestroyElement(k.c_str()), S_OK);
      model.erase(k);
    } else if (n % 5 == 0) {
      std::u16string nk = u"R" + k;
      ASSERT_EQ(stg->RenameElement(k.c_str(), nk.c_str()), S_OK);
      model[nk] = model[k];
      model.erase(k);
    }
  }
  sub->Release();
  EXPECT_EQ(stg->Commit(0), S_OK);
  stg->Release();
  expectSound(file);
  Tree back;
  ASSERT_EQ(readFileTree(file, back), S_OK);
  EXPECT_EQ(back, model);
}

INSTANTIATE_TEST_SUITE_P(Versions, TreeRoundTrip, ::testing::Values(3, 4));

TEST(LargeRoundTrip, MovesFatSectorsPastTheHeadersDifatAndBack) {
  // 9 MB in version 3 needs more than 109 FAT sectors, hence DIFAT sectors.
  velmora::test::TempDir dir;
  auto file = dir.file("big.cfb");
  IStorage* stg = create(file, 3);
  std::string big = pattern(9 << 20, 3);
  ASSERT_EQ(putStream(stg, u"Big", big), S_OK);
  ASSERT_EQ(putStream(stg, u"Small", "tiny"), S_OK);
  stg->Release();
  expectSound(file);
  Tree t;
  ASSERT_EQ(readFileTree(file, t), S_OK);
  EXPECT_TRUE(t[u"Big"] == big);
  // Rewrite a little in the middle, then drop the big stream.
  stg = openWrite(file);
  IStream* stm = nullptr;
  ASSERT_EQ(stg->OpenStream(u"Big", nullptr, kModeReadWrite, 0, &stm), S_OK);
  LARGE_INTEGER at;
  at.QuadPart = 5 << 20;
  ASSERT_EQ(stm->Seek(at, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stm->Write("hello", 5, nullptr), S_OK);
  big.replace(5 << 20, 5, "hello");
  stm->Release();
  ASSERT_EQ(stg->Commit(0), S_OK);
  stg->Release();
  expectSound(file);
  ASSERT_EQ(readFileTree(file, t), S_OK);
  EXPECT_TRUE(t[u"Big"] == big);
  stg = openWrite(file);
  ASSERT_EQ(stg->DestroyElement(u"Big"), S_OK);
  stg->Release();
  expectSound(file);
  ASSERT_EQ(readFileTree(file, t), S_OK);
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(t[u"Small"], "tiny");
}

TEST(CommitCost, RewritingASmallStreamOfAManyMegabyteDocumentWritesAFewSectors) {
  velmora::test::TempDir dir;
  auto file = dir.file("cost.cfb");
  IStorage* stg = create(file, 3);
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(putStream(stg, u"bulk" + std::u16string(1, char16_t(u'A' + i)),
                        pattern(1 << 20, unsigned(i))),
              S_OK);
  ASSERT_EQ(putStream(stg, u"\x05SummaryInformation", pattern(400, 9)), S_OK);
  stg->Release();
  uint64_t before = ioCounters().bytesWritten, readBefore = ioCounters().bytesRead;
  stg = openWrite(file);
  ASSERT_EQ(putStream(stg, u"\x05SummaryInformation", pattern(420, 10)), S_OK);
  stg->Release();
  EXPECT_LT(ioCounters().bytesWritten - before, 64u * 1024);
  // A writable open walks every chain once, so it reads the whole FAT (a
  // 128th of the file) and little else: the pager's read-ahead around it.
  EXPECT_LT(ioCounters().bytesRead - readBefore,
            128u * 1024 + std::filesystem::file_size(file) / 128);
  expectSound(file);
  Tree t;
  ASSERT_EQ(readFileTree(file, t), S_OK);
  EXPECT_EQ(t[u"\x05SummaryInformation"], pattern(420, 10));
  EXPECT_EQ(t[u"bulkC"], pattern(1 << 20, 2));
}

}  // namespace
}  // namespace velmora::cfb::test

namespace velmora::cfb::test {
namespace {

// Room freed while a document is open is handed out again before it closes:
// a stream that shrinks and grows again in one session reuses its sectors
// (mini sectors at once; FAT sectors once the committed image no longer
// needs them), so the file stays near its size.
TEST(SpaceReuse, ShrinkAndRegrowInOneOpenKeepTheFileSmall) {
  struct Case {
    const char* what;
    size_t large, small;
    int cycles;
  };
  for (Case c : {Case{"mini stream", 3000, 100, 10000}, Case{"FAT sectors", 20000, 5000, 2000}}) {
    SCOPED_TRACE(c.what);
    velmora::test::TempDir dir;
    auto path = dir.file("reuse.cfb");
    IStorage* stg = create(path, 3);
    ASSERT_EQ(putStream(stg, u"S", pattern(c.large, 1)), S_OK);
    ASSERT_EQ(putStream(stg, u"Other", pattern(700, 2)), S_OK);
    ASSERT_EQ(stg->Commit(STGC_DEFAULT), S_OK);
    stg->Release();
    const auto before = std::filesystem::file_size(path);

    stg = openWrite(path);
    IStream* s = nullptr;
    ASSERT_EQ(stg->OpenStream(u"S", nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &s), S_OK);
    const std::string data = pattern(c.large, 3);
    for (int i = 0; i < c.cycles; ++i) {
      ULARGE_INTEGER small{};
      small.QuadPart = c.small;
      ASSERT_EQ(s->SetSize(small), S_OK);
      LARGE_INTEGER zero{};
      ASSERT_EQ(s->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
      ULONG n = 0;
      ASSERT_EQ(s->Write(data.data(), ULONG(data.size()), &n), S_OK);
    }
    s->Release();
    ASSERT_EQ(stg->Commit(STGC_DEFAULT), S_OK);
    stg->Release();
    EXPECT_LT(std::filesystem::file_size(path), 2 * before);
    Tree t;
    ASSERT_EQ(readFileTree(path, t), S_OK);
    EXPECT_EQ(t[u"S"], data);
    EXPECT_EQ(t[u"Other"], pattern(700, 2));
    EXPECT_TRUE(checkFile(path, true)) << "strict check after the cycles";
  }
}

}  // namespace
}  // namespace velmora::cfb::test
