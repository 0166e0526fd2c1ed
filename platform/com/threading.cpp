// Interlocked counters, critical sections and the thread's last error.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <new>

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

// A critical section keeps a recursive mutex behind DebugInfo: Windows lets
// the owning thread enter again, and code written for it relies on that.
EXTERN_C void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  *cs = CRITICAL_SECTION{};
  cs->DebugInfo = new std::recursive_mutex;
}

EXTERN_C void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  static_cast<std::recursive_mutex*>(cs->DebugInfo)->lock();
  ++cs->RecursionCount;
}

EXTERN_C void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  --cs->RecursionCount;
  static_cast<std::recursive_mutex*>(cs->DebugInfo)->unlock();
}

EXTERN_C void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  delete static_cast<std::recursive_mutex*>(cs->DebugInfo);
  cs->DebugInfo = nullptr;
}

static thread_local DWORD t_lastError = 0;

EXTERN_C DWORD WINAPI GetLastError(void) { return t_lastError; }

EXTERN_C void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
