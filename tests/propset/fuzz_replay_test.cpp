// Replays the seeds and every recorded finding of propset_codec_fuzz through
// the fuzz target's own checks, each under a watchdog, so a regression
// shows in the ordinary test run.
#include <gtest/gtest.h>

// The target's checks (they abort on a broken invariant); its entry point
// is an ordinary function here.
#include "fuzz/propset_codec_fuzz.cpp"
#include "tests/support/fuzz_inputs.h"

namespace velmora::propset {
namespace {

TEST(PropsetCodecFuzzReplayTest, SeedsAndRegressionsPass) {
  const size_t count = velmora::test::replayFuzzInputs("propset_codec_fuzz", [](const auto& input) {
    LLVMFuzzerTestOneInput(input.bytes.data(), input.bytes.size());
  });
  EXPECT_GT(count, 0u);
}

}  // namespace
}  // namespace velmora::propset
