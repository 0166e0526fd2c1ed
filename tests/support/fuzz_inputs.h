// The inputs a fuzz target is replayed on in the ordinary test run: its
// seeds and its recorded regressions, as kept under fuzz/.
#pragma once
#include <cstdint>
#include <filesystem>
#include <vector>

namespace velmora::test {

struct FuzzInput {
  std::filesystem::path path;
  std::vector<uint8_t> bytes;
};

// Every file of fuzz/seeds/TARGET and fuzz/regressions/TARGET but notes.
std::vector<FuzzInput> fuzzInputs(const char* target);

}  // namespace velmora::test
