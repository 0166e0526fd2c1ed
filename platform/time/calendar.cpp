// Calendar arithmetic and the layer's clock. The day-number algorithms are
// Howard Hinnant's days_from_civil and civil_from_days, exact for every
// proleptic Gregorian date a SYSTEMTIME or an automation date can hold.
#include "time/calendar.h"

#include <atomic>
#include <ctime>

namespace velmora::time {

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

CivilDate civilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = int64_t(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {y + (m <= 2), m, d};
}

unsigned weekdayFromDays(int64_t z) {
  // 1970-01-01 was a Thursday (4).
  int64_t w = (z + 4) % 7;
  if (w < 0) w += 7;
  return unsigned(w);
}

bool isLeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(int64_t year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

uint64_t ticksOf(const FILETIME& ft) {
  return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME fileTimeOf(uint64_t ticks) {
  return FILETIME{DWORD(ticks & 0xFFFFFFFFu), DWORD(ticks >> 32)};
}

bool isValidSystemTime(const SYSTEMTIME& st) {
  if (st.wYear < 1601 || st.wYear > 30827) return false;
  if (st.wMonth < 1 || st.wMonth > 12) return false;
  if (st.wDay < 1 || st.wDay > daysInMonth(st.wYear, st.wMonth)) return false;
  return st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

int64_t secondsOf(const SYSTEMTIME& st) {
  const int64_t days = daysFromCivil(st.wYear, st.wMonth, st.wDay);
  return (days * kSecondsPerDay + int64_t(st.wHour) * 3600 + int64_t(st.wMinute) * 60 +
          st.wSecond) +
         kUnixEpochSeconds;
}

SYSTEMTIME systemTimeOf(int64_t seconds, unsigned milliseconds) {
  const int64_t unixSeconds = seconds - kUnixEpochSeconds;
  int64_t days = unixSeconds / kSecondsPerDay;
  int64_t rest = unixSeconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  const CivilDate date = civilFromDays(days);
  SYSTEMTIME st{};
  st.wYear = WORD(date.year);
  st.wMonth = WORD(date.month);
  st.wDay = WORD(date.day);
  st.wDayOfWeek = WORD(weekdayFromDays(days));
  st.wHour = WORD(rest / 3600);
  st.wMinute = WORD(rest / 60 % 60);
  st.wSecond = WORD(rest % 60);
  st.wMilliseconds = WORD(milliseconds);
  return st;
}

namespace {
std::atomic<bool> g_pinned{false};
std::atomic<uint64_t> g_pinnedTicks{0};
}  // namespace

uint64_t nowTicks() {
  if (g_pinned.load()) return g_pinnedTicks.load();
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ticksOfUnix(ts);
}

uint64_t ticksOfUnix(const timespec& ts) {
  return uint64_t(int64_t(ts.tv_sec) + kUnixEpochSeconds) * kTicksPerSecond +
         uint64_t(ts.tv_nsec / 100);
}

void setNowForTesting(std::optional<uint64_t> ticks) {
  if (ticks) {
    g_pinnedTicks.store(*ticks);
    g_pinned.store(true);
  } else {
    g_pinned.store(false);
  }
}

}  // namespace velmora::time
