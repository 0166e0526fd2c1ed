// The sharing check of a root open (see sharing.h for the scheme).
#include "cfb/sharing.h"

#include <objbase.h>

namespace velmora::cfb {

Result<void> SharingLocks::acquire(File& file, DWORD mode) {
  const DWORD access = mode & 3;
  const DWORD share = mode & 0x70;
  const bool priority = (mode & STGM_PRIORITY) != 0;
  const bool wantsRead = access != STGM_WRITE;
  const bool wantsWrite = access != STGM_READ;
  // A priority open implies deny-none whatever sharing flag comes with it.
  const bool denyRead = !priority && (share == STGM_SHARE_EXCLUSIVE || share == STGM_SHARE_DENY_READ);
  const bool denyWrite = !priority && (share == STGM_SHARE_EXCLUSIVE || share == STGM_SHARE_DENY_WRITE);

  // Take first, test second: of two racing openers that conflict, at least
  // one sees the other's locks, so both can fail but never both succeed.
  // Only shared locks are taken, which a read-only descriptor allows.
  uint64_t take[5];
  int n = 0;
  if (wantsRead) take[n++] = lockbyte::kRead;
  if (wantsWrite) take[n++] = lockbyte::kWrite;
  if (denyRead) take[n++] = lockbyte::kDenyRead;
  if (denyWrite) take[n++] = lockbyte::kDenyWrite;
  if (priority) take[n++] = lockbyte::kPriority;
  auto result = [&]() -> Result<void> {
    for (int i = 0; i < n; ++i) {
      CFB_ASSIGN(ok, file.tryLock(take[i], false));
      if (!ok) return base::makeError(STG_E_SHAREVIOLATION, "another open's sharing mode forbids this one");
      m_held[m_count++] = take[i];
    }
    auto held = [&](uint64_t b) { return file.heldByOthers(b, true); };
    if (wantsWrite) {
      CFB_ASSIGN(p, held(lockbyte::kPriority));
      if (p) return base::makeError(STG_E_LOCKVIOLATION, "a priority open holds the file");
    }
    struct Pair { bool ask; uint64_t against; } pairs[] = {
        {wantsRead, lockbyte::kDenyRead}, {wantsWrite, lockbyte::kDenyWrite},
        {denyRead, lockbyte::kRead}, {denyWrite, lockbyte::kWrite}};
    for (auto& p : pairs) {
      if (!p.ask) continue;
      CFB_ASSIGN(h, held(p.against));
      if (h) return base::makeError(STG_E_SHAREVIOLATION, "another open's sharing mode forbids this one");
    }
    // A priority open wants the right to keep writers from committing.
    if (priority) {
      CFB_ASSIGN(w, held(lockbyte::kWrite));
      if (w) return base::makeError(STG_E_LOCKVIOLATION, "a writer holds the file");
    }
    return {};
  }();
  if (!result) release(file);
  return result;
}

void SharingLocks::release(File& file) {
  for (int i = 0; i < m_count; ++i) file.unlock(m_held[i]);
  m_count = 0;
}

Result<bool> SharingLocks::priorityHeld(File& file) { return file.heldByOthers(lockbyte::kPriority, true); }

}  // namespace velmora::cfb
