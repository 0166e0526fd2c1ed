// Sharing between openers of one file, in this process or another: each
// root open holds shared OFD locks on single bytes of the range-lock area
// (0x7FFFFF00-0x7FFFFFFF, which never holds data) that stand for what it
// does (read, write, priority) and what it denies (read, write). A new open
// takes its own bytes, then tests the bytes that conflict with its request.
#pragma once
#include <windows.h>

#include "cfb/file_io.h"

namespace velmora::cfb {

// The bytes in ascending order; bytes next to each other in this order are
// taken and tested as one range, so that an open costs one lock call and one
// test call in the common modes.
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
  // Drops the locks. Closing the file drops them as well, so a root that
  // closes its file does not call this.
  void release(File& file);
  // True when another opener holds the file in priority mode; no commit may
  // happen then.
  [[nodiscard]] Result<bool> priorityHeld(File& file);

 private:
  struct Range {
    uint64_t first, last;
  };
  Range m_held[5] = {};
  int m_count = 0;
};

}  // namespace velmora::cfb
