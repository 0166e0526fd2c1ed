// Running an operation on a named pipe without letting a fault hang the run.
#pragma once
#include <chrono>
#include <filesystem>
#include <functional>

namespace velmora::test {

// Runs `op` and says whether it returned within `limit`. An operation that
// blocks opening the FIFO for reading is released after the limit by a
// writer that opens and closes it, so the fault fails the test instead of
// hanging it.
bool answersWithoutWaiting(const std::filesystem::path& fifo, const std::function<void()>& op,
                           std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

}  // namespace velmora::test
