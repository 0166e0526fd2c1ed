// Cuts the I/O of a commit after every write, extend and sync, in two crash
// models (unsynced writes lost; unsynced writes kept, the crashing one torn
// at 512 bytes) and with a disk that fails one call; every image left
// behind must reopen, pass the integrity check and read as the old or the
// new document.
#include "tests/cfb/cfb_test_util.h"
#include "tests/cfb/fault_files.h"
#include "tests/support/modes.h"

namespace velmora::cfb::test {
namespace {

HRESULT readImage(const std::vector<uint8_t>& image, Tree& out) {
  IStorage* stg = nullptr;
  HRESULT hr = openStorageOnFile(std::make_unique<MemoryFile>(image),
                                 STGM_READ | STGM_SHARE_EXCLUSIVE, &stg);
  if (FAILED(hr)) return hr;
  out.clear();
  hr = readTree(stg, u"", out);
  stg->Release();
  return hr;
}

std::vector<uint8_t> buildOld(int version, size_t bulk) {
  auto disk = std::make_shared<DiskState>();
  IStorage* stg = nullptr;
  EXPECT_EQ(createStorageOnFile(std::make_unique<CrashFile>(disk), version, &stg), S_OK);
  EXPECT_EQ(putStream(stg, u"\x05SummaryInformation", pattern(300, 1)), S_OK);
  EXPECT_EQ(putStream(stg, u"Bulk", pattern(bulk, 2)), S_OK);
  EXPECT_EQ(putStream(stg, u"Doomed", pattern(5000, 3)), S_OK);
  IStorage* sub = nullptr;
  EXPECT_EQ(stg->CreateStorage(u"ObjectPool", kModeReadWrite, 0, 0, &sub), S_OK);
  EXPECT_EQ(putStream(sub, u"\x01Ole", pattern(20, 4)), S_OK);
  sub->Release();
  stg->Release();
  return disk->durable;
}

// The edit under test: rewrite a small stream, add one, grow one across the
// cutoff, delete one, touch the middle of the bulk stream.
HRESULT edit(IStorage* stg) {
  HRESULT hr = putStream(stg, u"\x05SummaryInformation", pattern(333, 5));
  if (FAILED(hr)) return hr;
  if (FAILED(hr = putStream(stg, u"Added", pattern(7000, 6)))) return hr;
  if (FAILED(hr = stg->DestroyElement(u"Doomed"))) return hr;
  IStorage* sub = nullptr;
  if (FAILED(hr = stg->OpenStorage(u"ObjectPool", nullptr, kModeReadWrite, nullptr, 0, &sub)))
    return hr;
  hr = putStream(sub, u"\x01Ole", pattern(4200, 7));
  sub->Release();
  if (FAILED(hr)) return hr;
  IStream* stm = nullptr;
  if (FAILED(hr = stg->OpenStream(u"Bulk", nullptr, kModeReadWrite, 0, &stm))) return hr;
  LARGE_INTEGER at;
  at.QuadPart = 1000;
  stm->Seek(at, STREAM_SEEK_SET, nullptr);
  hr = stm->Write("changed", 7, nullptr);
  stm->Release();
  if (FAILED(hr)) return hr;
  return stg->Commit(STGC_DEFAULT);
}

class CommitCut : public ::testing::TestWithParam<std::tuple<int, size_t>> {};

TEST_P(CommitCut, EveryCutLeavesTheOldOrTheNewDocument) {
  auto [version, bulk] = GetParam();
  const std::vector<uint8_t> old = buildOld(version, bulk);
  Tree oldTree, newTree;
  ASSERT_EQ(readImage(old, oldTree), S_OK);

  // A clean run gives the new content and the number of operations.
  auto clean = std::make_shared<DiskState>();
  clean->durable = clean->current = old;
  {
    IStorage* stg = nullptr;
    ASSERT_EQ(openStorageOnFile(std::make_unique<CrashFile>(clean), kModeReadWrite, &stg), S_OK);
    ASSERT_EQ(edit(stg), S_OK);
    stg->Release();
  }
  ASSERT_EQ(readImage(clean->durable, newTree), S_OK);
  ASSERT_NE(oldTree, newTree);
  const uint64_t total = clean->ops;
  ASSERT_GE(total, 4u);

  int sawOld = 0, sawNew = 0;
  for (int model = 0; model < 3; ++model) {
    for (uint64_t cut = 0; cut < total; ++cut) {
      auto disk = std::make_shared<DiskState>();
      disk->durable = disk->current = old;
      disk->cutAt = cut;
      disk->keepPending = model == 1;
      disk->failOnce = model == 2;
      IStorage* stg = nullptr;
      ASSERT_EQ(openStorageOnFile(std::make_unique<CrashFile>(disk), kModeReadWrite, &stg), S_OK);
      HRESULT hr = edit(stg);
      if (model == 2 && FAILED(hr)) {
        // Broken: the storage refuses further changes with the stored error.
        EXPECT_EQ(putStream(stg, u"After", "x"), STG_E_WRITEFAULT) << "cut " << cut;
      }
      stg->Release();
      MemoryFile image(disk->durable);
      auto check = checkIntegrity(image, true);
      ASSERT_TRUE(check.ok()) << "model " << model << " cut " << cut << ": "
                              << check.error().message;
      Tree got;
      ASSERT_EQ(readImage(disk->durable, got), S_OK) << "model " << model << " cut " << cut;
      bool isOld = got == oldTree, isNew = got == newTree;
      EXPECT_TRUE(isOld || isNew) << "model " << model << " cut " << cut;
      sawOld += isOld;
      sawNew += isNew;
    }
  }
  EXPECT_GT(sawOld, 0);
  EXPECT_GT(sawNew, 0);
}

INSTANTIATE_TEST_SUITE_P(SmallAndLarge, CommitCut,
                         ::testing::Combine(::testing::Values(3, 4),
                                            ::testing::Values(size_t(6000), size_t(5) << 20)));

}  // namespace
}  // namespace velmora::cfb::test
