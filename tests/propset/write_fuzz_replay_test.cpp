// Replays the write-path fuzz target's seeds and recorded findings through
// its own checks (they abort on a damaged commit), so a regression shows in
// the ordinary test run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#define LLVMFuzzerTestOneInput CfbWriteFuzzOneInput
#include "fuzz/cfb_write_fuzz.cpp"
#undef LLVMFuzzerTestOneInput

namespace {

namespace fs = std::filesystem;

TEST(CfbWriteFuzzReplayTest, SeedsAndRegressionsCommitSoundFiles) {
  size_t replayed = 0;
  for (const char* folder : {"fuzz/seeds/cfb_write_fuzz", "fuzz/regressions/cfb_write_fuzz"}) {
    fs::path dir = fs::path(VELMORA_SOURCE_DIR) / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      CfbWriteFuzzOneInput(bytes.data(), bytes.size());
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u);
}

}  // namespace
