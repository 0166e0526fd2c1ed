// The allocator's limits: the range-lock sector of a file past 2 GB is
// never handed out (and is marked ENDOFCHAIN), a version 3 file stops below
// it, and sectors freed since the last commit wait for that commit.
#include "cfb/fat.h"
#include "tests/cfb/cfb_test_util.h"

namespace velmora::cfb::test {
namespace {

struct Engine {
  MemoryFile file;
  Header header;
  std::unique_ptr<Pager> pager;
  std::unique_ptr<Fat> fat;
  explicit Engine(int version) {
    header.majorVersion = uint16_t(version);
    header.sectorShift = version == 4 ? 12 : 9;
    pager = std::make_unique<Pager>(file, header.sectorShift, 0);
    fat = Fat::createEmpty(*pager, header);
  }
};

TEST(FatAllocateTest, SkipsTheRangeLockSectorOfAVersion4FilePast2GB) {
  Engine e(4);
  const SectorId rangeLock = 0x7FFFE;
  for (uint32_t i = 0; i < rangeLock + 4; ++i) {
    auto s = e.fat->allocate();
    ASSERT_TRUE(s.ok());
    ASSERT_NE(s.value(), rangeLock);
  }
  auto v = e.fat->entry(rangeLock);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v.value(), kEndOfChain);
  EXPECT_GT(e.fat->sectorsInUse(), uint64_t(rangeLock) + 4);
}

TEST(FatAllocateTest, StopsAVersion3FileBelowTheRangeLockSector) {
  Engine e(3);
  Result<SectorId> last = SectorId(0);
  uint64_t count = 0;
  while ((last = e.fat->allocate()).ok()) ++count;
  EXPECT_EQ(last.code(), STG_E_MEDIUMFULL);
  // Header plus sectors stay below 0x7FFFFE00 bytes.
  EXPECT_LE((count + 1) * 512, kV3MaxFileSize);
  EXPECT_GT((count + 2) * 512, kV3MaxFileSize - 512);
}

TEST(FatAllocateTest, FreedCommittedSectorsWaitForTheCommit) {
  velmora::test::TempDir dir;
  auto file = dir.file("f.cfb");
  IStorage* stg = nullptr;
  ASSERT_EQ(StgCreateDocfile(reinterpret_cast<const WCHAR*>(wide(file).c_str()), 0x1012, 0, &stg),
            S_OK);
  ASSERT_EQ(putStream(stg, u"A", pattern(20000, 1)), S_OK);
  ASSERT_EQ(stg->Commit(0), S_OK);
  // Replace A in the same session: its committed sectors must not be reused
  // before the commit, so the old image stays readable throughout.
  auto before = std::filesystem::file_size(file);
  ASSERT_EQ(stg->DestroyElement(u"A"), S_OK);
  ASSERT_EQ(putStream(stg, u"B", pattern(20000, 2)), S_OK);
  ASSERT_EQ(stg->Commit(0), S_OK);
  EXPECT_GT(std::filesystem::file_size(file), before + 19000);
  // After that commit they are free again: a third stream fits in them.
  auto grown = std::filesystem::file_size(file);
  ASSERT_EQ(putStream(stg, u"C", pattern(15000, 3)), S_OK);
  ASSERT_EQ(stg->Commit(0), S_OK);
  EXPECT_LT(std::filesystem::file_size(file), grown + 4096);
  stg->Release();
  auto r = checkFile(file, true);
  EXPECT_TRUE(r.ok()) << r.error().message;
}

}  // namespace
}  // namespace velmora::cfb::test
