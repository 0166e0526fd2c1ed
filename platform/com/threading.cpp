// Interlocked counters, critical sections and the thread's last error.
#include <windows.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#if defined(__SANITIZE_THREAD__)
#define VELMORA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELMORA_TSAN 1
#endif
#endif
#if VELMORA_TSAN
#include <sanitizer/tsan_interface.h>
#endif

static_assert(sizeof(LONG) == sizeof(std::atomic<LONG>));

EXTERN_C LONG WINAPI InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

EXTERN_C LONG WINAPI InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

EXTERN_C LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

EXTERN_C LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

// A critical section lives wholly in its own record and allocates nothing:
// InitializeCriticalSection cannot fail, as on Windows, and a caller has no
// way to hear of a failure. LockCount is a futex word (0 free, 1 held,
// 2 held with waiters); OwningThread and RecursionCount let the owning
// thread enter again, which code written for Windows relies on.
namespace {

thread_local char t_threadTag;  // its address names the thread

HANDLE thisThread() { return &t_threadTag; }

void futexWait(LONG volatile* word, LONG expected) {
  syscall(SYS_futex, const_cast<LONG*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futexWake(LONG volatile* word) {
  syscall(SYS_futex, const_cast<LONG*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

EXTERN_C void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) { *cs = CRITICAL_SECTION{}; }

EXTERN_C void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  // Only this thread ever stores its own tag, so a stale read cannot match.
  if (__atomic_load_n(&cs->OwningThread, __ATOMIC_RELAXED) == thisThread()) {
    ++cs->RecursionCount;
    return;
  }
  LONG c = 0;
  if (!__atomic_compare_exchange_n(&cs->LockCount, &c, 1, false, __ATOMIC_ACQUIRE,
                                   __ATOMIC_RELAXED)) {
    if (c != 2) c = __atomic_exchange_n(&cs->LockCount, 2, __ATOMIC_ACQUIRE);
    while (c != 0) {
      futexWait(&cs->LockCount, 2);
      c = __atomic_exchange_n(&cs->LockCount, 2, __ATOMIC_ACQUIRE);
    }
  }
#if VELMORA_TSAN
  __tsan_acquire(cs);
#endif
  __atomic_store_n(&cs->OwningThread, thisThread(), __ATOMIC_RELAXED);
  cs->RecursionCount = 1;
}

EXTERN_C void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  if (--cs->RecursionCount > 0) return;
  __atomic_store_n(&cs->OwningThread, nullptr, __ATOMIC_RELAXED);
#if VELMORA_TSAN
  __tsan_release(cs);
#endif
  if (__atomic_exchange_n(&cs->LockCount, 0, __ATOMIC_RELEASE) == 2) futexWake(&cs->LockCount);
}

EXTERN_C void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) { *cs = CRITICAL_SECTION{}; }

static thread_local DWORD t_lastError = 0;

EXTERN_C DWORD WINAPI GetLastError(void) { return t_lastError; }

EXTERN_C void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
