#include "tests/support/fuzz_inputs.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

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

size_t replayFuzzInputs(const char* target, const std::function<void(const FuzzInput&)>& run,
                        std::chrono::seconds limit) {
  const std::vector<FuzzInput> inputs = fuzzInputs(target);
  std::mutex mutex;
  std::condition_variable changed;
  size_t current = 0;  // 1-based; 0 before the first and after the last
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    while (!done) {
      const size_t watched = current;
      if (!changed.wait_for(lock, limit, [&] { return done || current != watched; }) && watched) {
        std::fprintf(stderr, "%s: %s still running after %lld s: a hang\n", target,
                     inputs[watched - 1].path.string().c_str(),
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::abort();
      }
    }
  });
  for (size_t i = 0; i < inputs.size(); ++i) {
    {
      std::lock_guard lock(mutex);
      current = i + 1;
    }
    changed.notify_all();
    run(inputs[i]);
  }
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  changed.notify_all();
  watchdog.join();
  return inputs.size();
}

}  // namespace velmora::test
