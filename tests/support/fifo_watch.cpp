#include "tests/support/fifo_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace velmora::test {

bool answersWithoutWaiting(const std::filesystem::path& fifo, const std::function<void()>& op,
                           std::chrono::milliseconds limit) {
  std::atomic<bool> done{false};
  const auto start = std::chrono::steady_clock::now();
  std::thread rescue([&] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (std::chrono::steady_clock::now() - start < limit) continue;
      // Succeeds only while a reader waits in open; closing at once gives
      // that reader an empty pipe.
      int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  });
  op();
  done = true;
  rescue.join();
  return std::chrono::steady_clock::now() - start < limit;
}

}  // namespace velmora::test
