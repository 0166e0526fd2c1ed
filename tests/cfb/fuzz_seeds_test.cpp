// Writes the fuzz target's seed corpus: small documents the engine makes
// itself (both versions, mini and regular streams, nested storages, a
// DIFAT-free and a many-entry directory). Run with VELMORA_WRITE_SEEDS=1 to
// refresh fuzz/seeds/cfb_open_fuzz/; otherwise it only checks that every
// seed still opens.
#include <fstream>

#include "tests/cfb/cfb_test_util.h"
#include "tests/cfb/fault_files.h"
#include "tests/support/modes.h"

namespace velmora::cfb::test {
namespace {

std::vector<uint8_t> makeSeed(int version, int streams, size_t size) {
  auto disk = std::make_shared<DiskState>();
  IStorage* stg = nullptr;
  EXPECT_EQ(createStorageOnFile(std::make_unique<CrashFile>(disk), version, &stg), S_OK);
  IStorage* sub = nullptr;
  EXPECT_EQ(stg->CreateStorage(u"ObjectPool", kModeReadWrite, 0, 0, &sub), S_OK);
  for (int i = 0; i < streams; ++i) {
    std::u16string name =
        u"\x05S" + std::u16string(1, char16_t(u'a' + i % 26)) + char16_t(u'0' + i / 26);
    EXPECT_EQ(putStream(i % 2 ? stg : sub, name, pattern(size * (i + 1), unsigned(i))), S_OK);
  }
  sub->Release();
  stg->Release();
  return disk->durable;
}

TEST(FuzzSeeds, EngineMadeSeedsOpen) {
  struct {
    const char* name;
    int version, streams;
    size_t size;
  } seeds[] = {{"v3_mini", 3, 3, 100},
               {"v3_regular", 3, 2, 3000},
               {"v3_many", 3, 40, 10},
               {"v4_mini", 4, 3, 100},
               {"v4_regular", 4, 2, 3000}};
  auto dir = std::filesystem::path(VELMORA_SOURCE_DIR) / "fuzz" / "seeds" / "cfb_open_fuzz";
  bool write = std::getenv("VELMORA_WRITE_SEEDS") != nullptr;
  for (auto& s : seeds) {
    auto bytes = makeSeed(s.version, s.streams, s.size);
    MemoryFile f(bytes);
    auto r = checkIntegrity(f, true);
    EXPECT_TRUE(r.ok()) << s.name << ": " << r.error().message;
    if (write) {
      std::filesystem::create_directories(dir);
      std::ofstream(dir / s.name, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
  }
}

}  // namespace
}  // namespace velmora::cfb::test
