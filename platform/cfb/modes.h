// The STGM bits the engine's opens and creates know, shared by the root
// entry points and the element opens.
#pragma once
#include <objbase.h>

namespace velmora::cfb {

// Access, sharing, STGM_TRANSACTED, STGM_CREATE, STGM_CONVERT,
// STGM_PRIORITY, STGM_NOSCRATCH, STGM_NOSNAPSHOT, STGM_SIMPLE,
// STGM_DIRECT_SWMR and STGM_DELETEONRELEASE; any other bit is an invalid
// flag.
inline constexpr DWORD kValidModeBits =
    0x00000003 | 0x00000070 | STGM_TRANSACTED | STGM_CREATE | STGM_CONVERT | STGM_PRIORITY |
    STGM_NOSCRATCH | STGM_NOSNAPSHOT | STGM_SIMPLE | STGM_DIRECT_SWMR | STGM_DELETEONRELEASE;

inline bool canWrite(DWORD mode) {
  return (mode & 3) == STGM_WRITE || (mode & 3) == STGM_READWRITE;
}

}  // namespace velmora::cfb
