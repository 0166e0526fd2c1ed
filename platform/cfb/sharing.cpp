// The sharing check of a root open (see sharing.h for the scheme).
#include "cfb/sharing.h"

#include <objbase.h>

namespace velmora::cfb {

namespace {
// The lock bytes in ascending order (see sharing.h).
constexpr uint64_t kOrder[5] = {lockbyte::kPriority, lockbyte::kRead, lockbyte::kWrite,
                                lockbyte::kDenyRead, lockbyte::kDenyWrite};

// Calls `fn(first, last)` for each run of flagged bytes that lie next to
// each other in kOrder.
template <typename Fn>
Result<bool> forRuns(const bool (&flag)[5], Fn fn) {
  for (int i = 0; i < 5;) {
    if (!flag[i]) {
      ++i;
      continue;
    }
    int j = i;
    while (j + 1 < 5 && flag[j + 1]) ++j;
    ASSIGN(stop, fn(kOrder[i], kOrder[j]));
    if (stop) return true;
    i = j + 1;
  }
  return false;
}
}  // namespace

Result<void> SharingLocks::acquire(File& file, DWORD mode) {
  const DWORD access = mode & 3;
  const DWORD share = mode & 0x70;
  const bool priority = (mode & STGM_PRIORITY) != 0;
  const bool wantsRead = access != STGM_WRITE;
  const bool wantsWrite = access != STGM_READ;
  // A priority open implies deny-none whatever sharing flag comes with it.
  const bool denyRead =
      !priority && (share == STGM_SHARE_EXCLUSIVE || share == STGM_SHARE_DENY_READ);
  const bool denyWrite =
      !priority && (share == STGM_SHARE_EXCLUSIVE || share == STGM_SHARE_DENY_WRITE);

  // Take first, test second: of two racing openers that conflict, at least
  // one sees the other's locks, so both can fail but never both succeed.
  // Only shared locks are taken, which a read-only descriptor allows.
  const bool take[5] = {priority, wantsRead, wantsWrite, denyRead, denyWrite};
  // What conflicts with this open: a priority open for a writer, the
  // denials of what it does, the uses of what it denies, writers for a
  // priority open.
  const bool test[5] = {wantsWrite, denyRead, denyWrite || priority, wantsRead, wantsWrite};
  auto result = [&]() -> Result<void> {
    ASSIGN(refused, forRuns(take, [&](uint64_t first, uint64_t last) -> Result<bool> {
             ASSIGN(ok, file.tryLockRange(first, last));
             if (!ok) return true;
             m_held[m_count++] = {first, last};
             return false;
           }));
    if (refused)
      return base::makeError(STG_E_SHAREVIOLATION, "another open's sharing mode forbids this one");
    ASSIGN(conflict, forRuns(test, [&](uint64_t first, uint64_t last) {
             return file.heldByOthersInRange(first, last);
           }));
    if (!conflict) return {};
    // Someone stands in the way: the single tests, in the order that
    // decides which code the caller hears.
    auto held = [&](uint64_t b) { return file.heldByOthers(b, true); };
    if (wantsWrite) {
      ASSIGN(p, held(lockbyte::kPriority));
      if (p) return base::makeError(STG_E_LOCKVIOLATION, "a priority open holds the file");
    }
    struct Pair {
      bool ask;
      uint64_t against;
    } pairs[] = {{wantsRead, lockbyte::kDenyRead},
                 {wantsWrite, lockbyte::kDenyWrite},
                 {denyRead, lockbyte::kRead},
                 {denyWrite, lockbyte::kWrite}};
    for (auto& p : pairs) {
      if (!p.ask) continue;
      ASSIGN(h, held(p.against));
      if (h)
        return base::makeError(STG_E_SHAREVIOLATION,
                               "another open's sharing mode forbids this one");
    }
    // A priority open wants the right to keep writers from committing.
    if (priority) {
      ASSIGN(w, held(lockbyte::kWrite));
      if (w) return base::makeError(STG_E_LOCKVIOLATION, "a writer holds the file");
    }
    return {};
  }();
  if (!result) release(file);
  return result;
}

void SharingLocks::release(File& file) {
  for (int i = 0; i < m_count; ++i) file.unlockRange(m_held[i].first, m_held[i].last);
  m_count = 0;
}

Result<bool> SharingLocks::priorityHeld(File& file) {
  return file.heldByOthers(lockbyte::kPriority, true);
}

}  // namespace velmora::cfb
