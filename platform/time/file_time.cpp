// FILETIME <-> SYSTEMTIME in UTC and the present instant. FileTimeToSystemTime
// accepts every count below 2^63; SystemTimeToFileTime accepts the
// SYSTEMTIME range (1601 to 30827) and refuses fields out of range with
// ERROR_INVALID_PARAMETER ([W] Wine dlls/kernel32/tests/time.c).
#include "time/calendar.h"

using namespace velmora::time;

EXTERN_C BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
  if (!lpFileTime || !lpSystemTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const uint64_t ticks = ticksOf(*lpFileTime);
  if (ticks > kMaxFileTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The 100-ns remainder below a millisecond is dropped, not rounded.
  *lpSystemTime = systemTimeOf(int64_t(ticks / kTicksPerSecond),
                               unsigned(ticks % kTicksPerSecond / kTicksPerMillisecond));
  return TRUE;
}

EXTERN_C BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
  if (!lpSystemTime || !lpFileTime || !isValidSystemTime(*lpSystemTime)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const uint64_t ticks = uint64_t(secondsOf(*lpSystemTime)) * kTicksPerSecond +
                         uint64_t(lpSystemTime->wMilliseconds) * kTicksPerMillisecond;
  *lpFileTime = fileTimeOf(ticks);
  return TRUE;
}

EXTERN_C void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  *lpSystemTimeAsFileTime = fileTimeOf(nowTicks());
}

EXTERN_C void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  const uint64_t ticks = nowTicks();
  *lpSystemTime = systemTimeOf(int64_t(ticks / kTicksPerSecond),
                               unsigned(ticks % kTicksPerSecond / kTicksPerMillisecond));
}
