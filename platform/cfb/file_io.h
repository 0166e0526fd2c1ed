// The only code that holds a file descriptor: positioned reads and writes,
// size, sync and the sharing locks. Everything above talks to the File
// interface, so tests can put a failing or crashing file under the engine.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cfb/format.h"

namespace velmora::cfb {

// Totals over every file the engine touches; benchmarks and tests read them
// before and after an operation.
struct IoCounters {
  std::atomic<uint64_t> bytesRead{0};
  std::atomic<uint64_t> bytesWritten{0};
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> writes{0};
  std::atomic<uint64_t> syncs{0};
};
IoCounters& ioCounters();

class File {
 public:
  virtual ~File() = default;
  // Reads up to out.size() bytes at `offset`; returns how many, fewer only at
  // the end of the file.
  [[nodiscard]] virtual Result<size_t> readAt(uint64_t offset, std::span<uint8_t> out) = 0;
  [[nodiscard]] virtual Result<void> writeAt(uint64_t offset, std::span<const uint8_t> data) = 0;
  [[nodiscard]] virtual Result<void> sync() = 0;
  [[nodiscard]] virtual Result<uint64_t> size() = 0;
  // Grows the file to `newSize` with zeros; never shrinks it.
  [[nodiscard]] virtual Result<void> extend(uint64_t newSize) = 0;
  // Empties the file; only for STGM_CREATE over an existing file, under
  // the sharing locks, before anything is written.
  [[nodiscard]] virtual Result<void> discard() = 0;

  // For a file opened without its check (openPosixFileUnchecked): refuses
  // anything but a regular file as openPosixFile does. With `keepSize` the
  // size seen answers the next size() call, so a check made under the
  // sharing locks answers both questions with one call.
  [[nodiscard]] virtual Result<void> requireRegular(bool keepSize) {
    (void)keepSize;
    return {};
  }

  // The device and inode that requireRegular saw; false when unknown.
  virtual bool identity(uint64_t* device, uint64_t* inode) const {
    (void)device;
    (void)inode;
    return false;
  }

  // Sharing locks on single bytes of the lock range. tryLock returns false
  // when another opener holds a conflicting lock; heldByOthers tests without
  // taking anything.
  [[nodiscard]] virtual Result<bool> tryLock(uint64_t offset, bool exclusive) = 0;
  [[nodiscard]] virtual Result<bool> heldByOthers(uint64_t offset, bool exclusive) = 0;
  virtual void unlock(uint64_t offset) = 0;
  // The same over every byte from `first` to `last`, in one call where the
  // file allows it (the sharing scheme makes a range out of lock bytes that
  // lie next to each other in its order).
  [[nodiscard]] virtual Result<bool> tryLockRange(uint64_t first, uint64_t last) {
    for (uint64_t b = first; b <= last; ++b) {
      ASSIGN(ok, tryLock(b, false));
      if (!ok) {
        for (uint64_t u = first; u < b; ++u) unlock(u);
        return false;
      }
    }
    return true;
  }
  [[nodiscard]] virtual Result<bool> heldByOthersInRange(uint64_t first, uint64_t last) {
    for (uint64_t b = first; b <= last; ++b) {
      ASSIGN(held, heldByOthers(b, true));
      if (held) return true;
    }
    return false;
  }
  virtual void unlockRange(uint64_t first, uint64_t last) {
    for (uint64_t b = first; b <= last; ++b) unlock(b);
  }
};

// Opens `path` (UTF-8). Missing files give STG_E_FILENOTFOUND or
// STG_E_PATHNOTFOUND, permissions STG_E_ACCESSDENIED (also for a file whose
// mode has no write bit when `write` is asked, as Windows refuses a
// read-only file), other errors their storage codes.
enum class Disposition { OpenExisting, CreateNew, OpenOrCreate };
[[nodiscard]] Result<std::unique_ptr<File>> openPosixFile(const std::string& path, bool write,
                                                          Disposition disposition);
// The open alone; the caller calls requireRegular() before using the file
// (after taking its locks), and only then trusts what it reads.
[[nodiscard]] Result<std::unique_ptr<File>> openPosixFileUnchecked(const std::string& path,
                                                                   bool write,
                                                                   Disposition disposition);

// An in-memory file with no locks, for tests and the fuzz target.
class MemoryFile : public File {
 public:
  MemoryFile() = default;
  explicit MemoryFile(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
  Result<size_t> readAt(uint64_t offset, std::span<uint8_t> out) override;
  Result<void> writeAt(uint64_t offset, std::span<const uint8_t> data) override;
  Result<void> sync() override { return {}; }
  Result<uint64_t> size() override { return uint64_t(m_bytes.size()); }
  Result<void> extend(uint64_t newSize) override;
  Result<void> discard() override {
    m_bytes.clear();
    return {};
  }
  Result<bool> tryLock(uint64_t, bool) override { return true; }
  Result<bool> heldByOthers(uint64_t, bool) override { return false; }
  void unlock(uint64_t) override {}
  const std::vector<uint8_t>& bytes() const { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

// Maps an errno value to the storage code of the same meaning.
HRESULT hresultFromErrno(int err, bool writing);

// Converts a UTF-16 path to UTF-8 (lone surrogates become U+FFFD).
std::string pathToUtf8(const char16_t* path);

}  // namespace velmora::cfb
