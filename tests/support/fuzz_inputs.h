// The inputs a fuzz target is replayed on in the ordinary test run: its
// seeds and its recorded regressions, as kept under fuzz/.
#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

namespace velmora::test {

struct FuzzInput {
  std::filesystem::path path;
  std::vector<uint8_t> bytes;
};

// Every file of fuzz/seeds/TARGET and fuzz/regressions/TARGET but notes.
std::vector<FuzzInput> fuzzInputs(const char* target);

// Runs `run` on every input of `target` under a watchdog: an input still
// running after `limit` ends the process with its name, so a hang shows as
// the input that hangs, at once, not as the test runner's timeout. The
// number of inputs run.
size_t replayFuzzInputs(const char* target, const std::function<void(const FuzzInput&)>& run,
                        std::chrono::seconds limit = std::chrono::seconds(60));

}  // namespace velmora::test
