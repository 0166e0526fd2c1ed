// Local time: FileTimeToLocalFileTime and LocalFileTimeToFileTime (the offset
// in force now, applied to any instant), TzSpecificLocalTimeToSystemTime and
// SystemTimeToTzSpecificLocalTime (the offset in force at the converted
// instant), and GetTimeZoneInformation.
//
// With a null zone record the zone is the C library's (TZ, read again through
// tzset() on every call, so tests can pin it with setenv + tzset). With a
// record the zone is the record's recurring or one-year rule, read as
// Windows reads it: DaylightDate on the standard clock, StandardDate on the
// daylight clock, biases in minutes west of UTC.
//
// Local times that a daylight-saving switch makes ambiguous or skips are
// resolved as the Windows-run tests of Wine's kernel32 time.c expect: the
// repeated hour is daylight time (its first occurrence), and so is the
// skipped hour (2021-03-14 02:30 in New York -> 06:30 UTC). Microsoft's page
// for TzSpecificLocalTimeToSystemTime says "standard" for the skipped hour;
// the observed behaviour wins here.
#include "time/calendar.h"

#include <algorithm>
#include <array>
#include <ctime>

namespace velmora::time {
namespace {

struct Offset {
  int64_t seconds = 0;  // east of UTC
  bool daylight = false;
};

class Zone {
 public:
  virtual ~Zone() = default;
  // The offset in force at `utc`, in seconds from 1601.
  virtual Offset at(int64_t utc) const = 0;
};

class CLibraryZone final : public Zone {
 public:
  CLibraryZone() { tzset(); }
  Offset at(int64_t utc) const override {
    const time_t t = time_t(utc - kUnixEpochSeconds);
    tm fields{};
    if (!localtime_r(&t, &fields)) return {};
    return {fields.tm_gmtoff, fields.tm_isdst > 0};
  }
};

class RecordZone final : public Zone {
 public:
  explicit RecordZone(const TIME_ZONE_INFORMATION& tz) : m_tz(tz) {}

  Offset at(int64_t utc) const override {
    const Offset standard{-60 * int64_t(m_tz.Bias + m_tz.StandardBias), false};
    const Offset daylight{-60 * int64_t(m_tz.Bias + m_tz.DaylightBias), true};
    if (m_tz.DaylightDate.wMonth == 0 || m_tz.StandardDate.wMonth == 0) return standard;
    const int64_t year = systemTimeOf(utc + standard.seconds, 0).wYear;
    int64_t toDaylight = 0;
    int64_t toStandard = 0;
    if (!transition(year, m_tz.DaylightDate, toDaylight) ||
        !transition(year, m_tz.StandardDate, toStandard)) {
      return standard;
    }
    toDaylight -= standard.seconds;  // read on the standard clock
    toStandard -= daylight.seconds;  // read on the daylight clock
    const bool inDaylight = toDaylight < toStandard ? (utc >= toDaylight && utc < toStandard)
                                                    : (utc >= toDaylight || utc < toStandard);
    return inDaylight ? daylight : standard;
  }

 private:
  // The local instant (seconds from 1601, as if UTC) at which `rule` fires in
  // `year`. wYear 0 is a recurring rule: the wDay-th (5 = last) wDayOfWeek of
  // wMonth; otherwise the rule is an absolute date that holds in its year only.
  static bool transition(int64_t year, const SYSTEMTIME& rule, int64_t& out) {
    if (rule.wMonth < 1 || rule.wMonth > 12) return false;
    unsigned day = rule.wDay;
    if (rule.wYear == 0) {
      const int64_t first = daysFromCivil(year, rule.wMonth, 1);
      const unsigned firstWeekday = weekdayFromDays(first);
      const unsigned occurrence = std::clamp<unsigned>(rule.wDay, 1, 5);
      day = 1 + (rule.wDayOfWeek % 7 + 7 - firstWeekday) % 7 + (occurrence - 1) * 7;
      while (day > daysInMonth(year, rule.wMonth)) day -= 7;
    } else if (rule.wYear != year || day < 1 || day > daysInMonth(year, rule.wMonth)) {
      return false;
    }
    out = (daysFromCivil(year, rule.wMonth, day) * kSecondsPerDay + kUnixEpochSeconds) +
          int64_t(rule.wHour) * 3600 + int64_t(rule.wMinute) * 60 + rule.wSecond;
    return true;
  }

  TIME_ZONE_INFORMATION m_tz;
};

// The UTC instant of the local fields `local` (seconds from 1601 as if UTC).
// The offsets found within two days either side are the candidates; a
// candidate is right when the zone maps its instant back to `local`. Two
// right candidates (the repeated hour): the daylight one, else the earlier.
// None (the skipped hour): the offset in force after the gap, the larger one,
// which is the daylight offset of a spring switch.
int64_t localToUtc(const Zone& zone, int64_t local) {
  std::array<Offset, 5> probes;
  for (int i = 0; i < 5; ++i) probes[i] = zone.at(local + (i - 2) * kSecondsPerDay);
  bool found = false;
  int64_t best = 0;
  bool bestDaylight = false;
  int64_t largest = probes[0].seconds;
  for (const Offset& probe : probes) {
    largest = std::max(largest, probe.seconds);
    const int64_t utc = local - probe.seconds;
    const Offset actual = zone.at(utc);
    if (actual.seconds != probe.seconds) continue;
    const bool better = !found || (actual.daylight && !bestDaylight) ||
                        (actual.daylight == bestDaylight && utc < best);
    if (better) {
      best = utc;
      bestDaylight = actual.daylight;
      found = true;
    }
  }
  return found ? best : local - largest;
}

bool fail() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

bool toUtc(const Zone& zone, const SYSTEMTIME& local, SYSTEMTIME& utc) {
  if (!isValidSystemTime(local)) return fail();
  const int64_t seconds = localToUtc(zone, secondsOf(local));
  // The result must be a FILETIME too: nothing before 1601.
  if (seconds < 0 || uint64_t(seconds) > kMaxFileTime / kTicksPerSecond) return fail();
  utc = systemTimeOf(seconds, local.wMilliseconds);
  return true;
}

bool toLocal(const Zone& zone, const SYSTEMTIME& utc, SYSTEMTIME& local) {
  if (!isValidSystemTime(utc)) return fail();
  const int64_t seconds = secondsOf(utc);
  const int64_t shifted = seconds + zone.at(seconds).seconds;
  if (shifted < 0 || uint64_t(shifted) > kMaxFileTime / kTicksPerSecond) return fail();
  local = systemTimeOf(shifted, utc.wMilliseconds);
  return true;
}

int64_t offsetNow(const Zone& zone) {
  return zone.at(int64_t(nowTicks() / kTicksPerSecond)).seconds;
}

void copyName(const char* name, WCHAR (&out)[32]) {
  size_t i = 0;
  for (; name && name[i] && i < 31; ++i) out[i] = WCHAR(static_cast<unsigned char>(name[i]));
  out[i] = 0;
}

// The recurring rule Windows would store for a switch at local time `local`
// (read on the clock in force before it).
SYSTEMTIME ruleOf(int64_t local) {
  SYSTEMTIME st = systemTimeOf(local, 0);
  const unsigned day = st.wDay;
  const unsigned month = st.wMonth;
  const int64_t year = st.wYear;
  st.wYear = 0;
  st.wDay = WORD(day + 7 > daysInMonth(year, month) ? 5 : (day - 1) / 7 + 1);
  return st;
}

// The instant in (lo, hi] at which the zone's offset stops being at(lo).
int64_t findSwitch(const Zone& zone, int64_t lo, int64_t hi) {
  const int64_t before = zone.at(lo).seconds;
  while (hi - lo > 1) {
    const int64_t mid = lo + (hi - lo) / 2;
    if (zone.at(mid).seconds == before) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return hi;
}

}  // namespace
}  // namespace velmora::time

using namespace velmora::time;

EXTERN_C BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime,
                                             LPFILETIME lpLocalFileTime) {
  if (!lpFileTime || !lpLocalFileTime) return fail();
  const CLibraryZone zone;
  // The bias in force now, whatever instant is converted: in July a January
  // instant moves by the daylight offset (Microsoft documents this).
  const int64_t shift = offsetNow(zone) * kTicksPerSecond;
  *lpLocalFileTime = fileTimeOf(ticksOf(*lpFileTime) + uint64_t(shift));
  return TRUE;
}

EXTERN_C BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime,
                                             LPFILETIME lpFileTime) {
  if (!lpLocalFileTime || !lpFileTime) return fail();
  const CLibraryZone zone;
  const int64_t shift = offsetNow(zone) * kTicksPerSecond;
  *lpFileTime = fileTimeOf(ticksOf(*lpLocalFileTime) - uint64_t(shift));
  return TRUE;
}

EXTERN_C BOOL WINAPI
TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                const SYSTEMTIME* lpLocalTime, LPSYSTEMTIME lpUniversalTime) {
  if (!lpLocalTime || !lpUniversalTime) return fail();
  if (lpTimeZoneInformation)
    return toUtc(RecordZone(*lpTimeZoneInformation), *lpLocalTime, *lpUniversalTime);
  return toUtc(CLibraryZone(), *lpLocalTime, *lpUniversalTime);
}

EXTERN_C BOOL WINAPI
SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                const SYSTEMTIME* lpUniversalTime, LPSYSTEMTIME lpLocalTime) {
  if (!lpUniversalTime || !lpLocalTime) return fail();
  if (lpTimeZoneInformation)
    return toLocal(RecordZone(*lpTimeZoneInformation), *lpUniversalTime, *lpLocalTime);
  return toLocal(CLibraryZone(), *lpUniversalTime, *lpLocalTime);
}

// Best effort from the C library: the biases and the two switches of the
// current year, written as recurring rules; the names are the C library's
// abbreviations ("EST"), not Windows' display names ("Eastern Standard Time").
EXTERN_C DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation) {
  if (!lpTimeZoneInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return TIME_ZONE_ID_INVALID;
  }
  const CLibraryZone zone;
  TIME_ZONE_INFORMATION tz{};
  const int64_t now = int64_t(nowTicks() / kTicksPerSecond);
  const Offset current = zone.at(now);
  const int64_t year = systemTimeOf(now, 0).wYear;
  const int64_t start = (daysFromCivil(year, 1, 1) * kSecondsPerDay + kUnixEpochSeconds);
  const int64_t end = (daysFromCivil(year + 1, 1, 1) * kSecondsPerDay + kUnixEpochSeconds);

  bool haveStandard = !current.daylight;
  bool haveDaylight = current.daylight;
  Offset standard = current.daylight ? Offset{} : current;
  Offset daylight = current.daylight ? current : Offset{};
  int64_t toDaylight = -1;
  int64_t toStandard = -1;
  Offset previous = zone.at(start);
  for (int64_t t = start; t < end; t += kSecondsPerDay / 4) {
    const int64_t next = std::min(t + kSecondsPerDay / 4, end);
    const Offset after = zone.at(next);
    if (after.seconds != previous.seconds || after.daylight != previous.daylight) {
      const int64_t at = findSwitch(zone, t, next);
      if (after.daylight && !previous.daylight) {
        toDaylight = at + previous.seconds;  // local, on the standard clock
        daylight = after;
        standard = previous;
        haveDaylight = haveStandard = true;
      } else if (!after.daylight && previous.daylight) {
        toStandard = at + previous.seconds;  // local, on the daylight clock
        standard = after;
        daylight = previous;
        haveDaylight = haveStandard = true;
      }
    }
    previous = after;
  }
  if (!haveStandard) standard = Offset{daylight.seconds - 3600, false};
  tz.Bias = LONG(-standard.seconds / 60);
  tz.StandardBias = 0;
  copyName(tzname[0], tz.StandardName);
  copyName(tzname[1], tz.DaylightName);
  if (haveDaylight && toDaylight >= 0 && toStandard >= 0) {
    tz.DaylightBias = LONG(-(daylight.seconds - standard.seconds) / 60);
    tz.DaylightDate = ruleOf(toDaylight);
    tz.StandardDate = ruleOf(toStandard);
  }
  *lpTimeZoneInformation = tz;
  if (tz.DaylightDate.wMonth == 0) return TIME_ZONE_ID_UNKNOWN;
  return current.daylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}
