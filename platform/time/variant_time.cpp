// Automation dates (DATE, a double): days from 1899-12-30 in the whole part,
// the time of day in the fraction, counted forward from midnight even below
// zero (-1.25 is 1899-12-29 06:00). The range is 0100-01-01 (-657434) to
// 9999-12-31 (2958465). Resolution is one second: SystemTimeToVariantTime
// drops milliseconds, VariantTimeToSystemTime rounds to the nearest second.
//
// The arithmetic follows Windows step by step where the last bit shows: the
// hours, minutes and seconds are added as three separate fractions (so
// "2013-05-14 02:04:12" is 41408.08625000001, as Windows gives it), and the
// split adds 1e-11 days before truncating, so exact half seconds round up.
#include <oleauto.h>

#include <cmath>

#include "time/calendar.h"

namespace velmora::time {
namespace {

constexpr double kMinDate = -657434.0;  // 0100-01-01
constexpr double kMaxDate = 2958465.0;  // 9999-12-31
const int64_t kDateEpoch = daysFromCivil(1899, 12, 30);

// Repairs fields the way VarDateFromUdate does: seconds, minutes and hours
// beyond their ranges carry forward, month 0 is December of the year before,
// day 0 is the last day of the month before, and a day past the month's end
// moves into the next month.
bool rollFields(int64_t& year, int64_t& month, int64_t& day, int64_t& hour, int64_t& minute,
                int64_t& second) {
  minute += second / 60;
  second %= 60;
  hour += minute / 60;
  minute %= 60;
  day += hour / 24;
  hour %= 24;
  if (month == 0) {
    month = 12;
    --year;
  }
  while (day > int64_t(daysInMonth(year, unsigned(month)))) {
    day -= daysInMonth(year, unsigned(month));
    if (++month > 12) {
      month = 1;
      ++year;
    }
  }
  while (day <= 0) {
    if (--month < 1) {
      month = 12;
      --year;
    }
    day += daysInMonth(year, unsigned(month));
  }
  return year >= 100 && year <= 9999;
}

}  // namespace
}  // namespace velmora::time

using namespace velmora::time;

EXTERN_C INT WINAPI SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime) {
  if (!lpSystemTime || !pvtime) return FALSE;
  const SYSTEMTIME& st = *lpSystemTime;
  if (st.wMonth > 12 || st.wDay > 31 || SHORT(st.wYear) < 0) return FALSE;
  int64_t year = st.wYear;
  // Two-digit years: 0-49 are 2000-2049, 50-99 are 1950-1999 (Windows 10 1903
  // and later read two-digit years with this limit).
  if (year < 100) year += year < 50 ? 2000 : 1900;
  int64_t month = st.wMonth, day = st.wDay;
  int64_t hour = st.wHour, minute = st.wMinute, second = st.wSecond;
  if (!rollFields(year, month, day, hour, minute, second)) return FALSE;
  // wDayOfWeek and wMilliseconds play no part.
  double date = double(daysFromCivil(year, unsigned(month), unsigned(day)) - kDateEpoch);
  const double sign = date < 0.0 ? -1.0 : 1.0;
  date += double(hour) / 24.0 * sign;
  date += double(minute) / 1440.0 * sign;
  date += double(second) / 86400.0 * sign;
  *pvtime = date;
  return TRUE;
}

EXTERN_C INT WINAPI VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime) {
  if (!lpSystemTime) return FALSE;
  if (!(vtime > kMinDate - 1.0 && vtime < kMaxDate + 1.0)) return FALSE;  // NaN too
  const double wholeDays = vtime < 0.0 ? std::ceil(vtime) : std::floor(vtime);
  double time = std::fabs(vtime - wholeDays) + 0.00000000001;
  if (time >= 1.0) time -= 0.00000000001;
  time *= 24.0;
  int64_t hour = int64_t(time);
  time = (time - double(hour)) * 60.0;
  int64_t minute = int64_t(time);
  time = (time - double(minute)) * 60.0;
  int64_t second = int64_t(time);
  time -= double(second);
  int64_t days = int64_t(wholeDays) + kDateEpoch;
  if (time > 0.5 && ++second == 60) {
    second = 0;
    if (++minute == 60) {
      minute = 0;
      if (++hour == 24) {
        hour = 0;
        // Within half a second of midnight: the next calendar day. At the
        // very top this is 10000-01-01, which Windows' model (Wine) reports
        // as success.
        ++days;
      }
    }
  }
  const CivilDate date = civilFromDays(days);
  SYSTEMTIME st{};
  st.wYear = WORD(date.year);
  st.wMonth = WORD(date.month);
  st.wDay = WORD(date.day);
  st.wDayOfWeek = WORD(weekdayFromDays(days));
  st.wHour = WORD(hour);
  st.wMinute = WORD(minute);
  st.wSecond = WORD(second);
  st.wMilliseconds = 0;
  *lpSystemTime = st;
  return TRUE;
}
