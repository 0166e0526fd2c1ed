// Sharing between openers of one file, in this process or another: each
// root open holds shared OFD locks on single bytes of the range-lock area
// (0x7FFFFF00-0x7FFFFFFF, which never holds data) that stand for what it
// does (read, write, priority) and what it denies (read, write). A new open
// takes its own bytes, then tests the bytes that conflict with its request.
#pragma once
#include <windows.h>

#include "cfb/file_io.h"

namespace velmora::cfb {

namespace lockbyte {
inline constexpr uint64_t kPriority = 0x7FFFFF58;
inline constexpr uint64_t kRead = 0x7FFFFF93;
inline constexpr uint64_t kWrite = 0x7FFFFFA7;
inline constexpr uint64_t kDenyRead = 0x7FFFFFBB;
inline constexpr uint64_t kDenyWrite = 0x7FFFFFCF;
}  // namespace lockbyte

class SharingLocks {
 public:
  // Takes the locks for a root opened with `mode`. A conflict with another
  // opener's sharing mode gives STG_E_SHAREVIOLATION; a write open while a
  // priority open exists (or the reverse), STG_E_LOCKVIOLATION, as Windows
  // answers.
  [[nodiscard]] Result<void> acquire(File& file, DWORD mode);
  void release(File& file);
  // True when another opener holds the file in priority mode; no commit may
  // happen then.
  [[nodiscard]] Result<bool> priorityHeld(File& file);

 private:
  uint64_t m_held[5] = {};
  int m_count = 0;
};

}  // namespace velmora::cfb
