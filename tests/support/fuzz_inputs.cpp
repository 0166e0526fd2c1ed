#include "tests/support/fuzz_inputs.h"

#include <fstream>
#include <iterator>

namespace velmora::test {

std::vector<FuzzInput> fuzzInputs(const char* target) {
  namespace fs = std::filesystem;
  std::vector<FuzzInput> inputs;
  for (const char* kind : {"seeds", "regressions"}) {
    fs::path dir = fs::path(VELMORA_SOURCE_DIR) / "fuzz" / kind / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (!entry.is_regular_file() || entry.path().extension() == ".md" ||
          entry.path().filename() == ".keep")
        continue;
      std::ifstream in(entry.path(), std::ios::binary);
      inputs.push_back({entry.path(), std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                                           std::istreambuf_iterator<char>())});
    }
  }
  return inputs;
}

}  // namespace velmora::test
