// Replays the seeds and every recorded finding of moniker_fuzz and
// ole_stream_fuzz through the targets' own checks (they abort on a broken
// invariant), so a regression shows in the ordinary test run.
#include <gtest/gtest.h>

#include <functional>

// Both targets' entry points become ordinary functions of their own names.
#define LLVMFuzzerTestOneInput monikerFuzzOne
#include "fuzz/moniker_fuzz.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput oleStreamFuzzOne
#include "fuzz/ole_stream_fuzz.cpp"
#undef LLVMFuzzerTestOneInput

#include "tests/support/fuzz_inputs.h"

namespace velmora::link {
namespace {

TEST(LinkFuzzReplayTest, SeedsAndRegressionsPass) {
  const std::pair<const char*, std::function<int(const uint8_t*, size_t)>> targets[] = {
      {"moniker_fuzz", monikerFuzzOne}, {"ole_stream_fuzz", oleStreamFuzzOne}};
  for (const auto& [name, run] : targets) {
    const size_t count = velmora::test::replayFuzzInputs(
        name, [&](const auto& input) { run(input.bytes.data(), input.bytes.size()); });
    EXPECT_GT(count, 0u) << name;
  }
}

}  // namespace
}  // namespace velmora::link
