// Replays the seeds and every recorded finding of propset_codec_fuzz through
// the fuzz target's own checks, each under a time limit, so a regression
// shows in the ordinary test run.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

// The target's checks (they abort on a broken invariant); its entry point
// is an ordinary function here.
#include "fuzz/propset_codec_fuzz.cpp"

namespace velmora::propset {
namespace {

namespace fs = std::filesystem;

TEST(PropsetCodecFuzzReplayTest, SeedsAndRegressionsPass) {
  size_t replayed = 0;
  for (const char* folder : {"fuzz/seeds/propset_codec_fuzz", "fuzz/regressions/propset_codec_fuzz"}) {
    fs::path dir = fs::path(VELMORA_SOURCE_DIR) / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      auto start = std::chrono::steady_clock::now();
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      auto took = std::chrono::steady_clock::now() - start;
      EXPECT_LT(took, std::chrono::seconds(10)) << entry.path();
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u);
}

}  // namespace
}  // namespace velmora::propset
