// Replays the seeds and every recorded finding of propset_codec_fuzz through
// the fuzz target's own checks, each under a time limit, so a regression
// shows in the ordinary test run.
#include <gtest/gtest.h>

#include <chrono>

// The target's checks (they abort on a broken invariant); its entry point
// is an ordinary function here.
#include "fuzz/propset_codec_fuzz.cpp"
#include "tests/support/fuzz_inputs.h"

namespace velmora::propset {
namespace {

TEST(PropsetCodecFuzzReplayTest, SeedsAndRegressionsPass) {
  auto inputs = velmora::test::fuzzInputs("propset_codec_fuzz");
  for (const auto& input : inputs) {
    auto start = std::chrono::steady_clock::now();
    LLVMFuzzerTestOneInput(input.bytes.data(), input.bytes.size());
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10)) << input.path;
  }
  EXPECT_GT(inputs.size(), 0u);
}

}  // namespace
}  // namespace velmora::propset
