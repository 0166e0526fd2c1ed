// Replays the seeds and every recorded finding of moniker_fuzz and
// ole_stream_fuzz through the targets' own checks (they abort on a broken
// invariant), so a regression shows in the ordinary test run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

// Both targets' entry points become ordinary functions of their own names.
#define LLVMFuzzerTestOneInput monikerFuzzOne
#include "fuzz/moniker_fuzz.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput oleStreamFuzzOne
#include "fuzz/ole_stream_fuzz.cpp"
#undef LLVMFuzzerTestOneInput

namespace velmora::link {
namespace {

namespace fs = std::filesystem;

TEST(LinkFuzzReplayTest, SeedsAndRegressionsPass) {
  const std::pair<const char*, std::function<int(const uint8_t*, size_t)>> targets[] = {
      {"moniker_fuzz", monikerFuzzOne}, {"ole_stream_fuzz", oleStreamFuzzOne}};
  for (const auto& [name, run] : targets) {
    size_t replayed = 0;
    for (const char* kind : {"seeds", "regressions"}) {
      fs::path dir = fs::path(VELMORA_SOURCE_DIR) / "fuzz" / kind / name;
      if (!fs::is_directory(dir)) continue;
      for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md" ||
            entry.path().filename() == ".keep")
          continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        run(bytes.data(), bytes.size());
        ++replayed;
      }
    }
    EXPECT_GT(replayed, 0u) << name;
  }
}

}  // namespace
}  // namespace velmora::link
