// Replays the write-path fuzz target's seeds and recorded findings through
// its own checks (they abort on a damaged commit), so a regression shows in
// the ordinary test run.
#include <gtest/gtest.h>

#define LLVMFuzzerTestOneInput CfbWriteFuzzOneInput
#include "fuzz/cfb_write_fuzz.cpp"
#undef LLVMFuzzerTestOneInput

#include "tests/support/fuzz_inputs.h"

namespace {

TEST(CfbWriteFuzzReplayTest, SeedsAndRegressionsCommitSoundFiles) {
  const size_t count = velmora::test::replayFuzzInputs("cfb_write_fuzz", [](const auto& input) {
    CfbWriteFuzzOneInput(input.bytes.data(), input.bytes.size());
  });
  EXPECT_GT(count, 0u);
}

}  // namespace
