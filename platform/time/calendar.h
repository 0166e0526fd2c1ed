// The time room's shared arithmetic: the proleptic Gregorian calendar,
// FILETIME ticks, SYSTEMTIME validation, and the one clock every "now" of the
// layer reads. FILETIME counts 100-ns ticks from 1601-01-01 00:00 UTC; day
// numbers here count from 1970-01-01 (day 0).
#pragma once
#include <windows.h>

#include <cstdint>
#include <ctime>
#include <optional>

namespace velmora::time {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kSecondsPerDay = 86'400;
constexpr int64_t kTicksPerDay = kTicksPerSecond * kSecondsPerDay;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochSeconds = 11'644'473'600;
// The largest FILETIME that FileTimeToSystemTime accepts (30828-09-14
// 02:48:05.4775807).
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;

// Day number (1970-01-01 = 0) of a proleptic Gregorian date; any year.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day);

struct CivilDate {
  int64_t year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
};

CivilDate civilFromDays(int64_t days);

// 0 = Sunday, as SYSTEMTIME counts.
unsigned weekdayFromDays(int64_t days);

bool isLeapYear(int64_t year);
unsigned daysInMonth(int64_t year, unsigned month);

uint64_t ticksOf(const FILETIME& ft);
FILETIME fileTimeOf(uint64_t ticks);

// The fields of a SYSTEMTIME that SystemTimeToFileTime accepts: year 1601 to
// 30827, a month 1-12, a day that exists in that month, hour < 24,
// minute < 60, second < 60, milliseconds < 1000. wDayOfWeek is ignored.
bool isValidSystemTime(const SYSTEMTIME& st);

// Whole seconds from 1601 to the instant the fields name read as UTC; the
// fields must be valid (milliseconds are left out).
int64_t secondsOf(const SYSTEMTIME& st);

// The SYSTEMTIME of `seconds` from 1601 plus `milliseconds`, read as UTC,
// with wDayOfWeek filled in.
SYSTEMTIME systemTimeOf(int64_t seconds, unsigned milliseconds);

// The present instant as ticks from 1601. Reads the system's real-time clock
// unless a test has pinned it.
uint64_t nowTicks();

// The FILETIME ticks of a POSIX time (a file's mtime, the real-time clock).
uint64_t ticksOfUnix(const timespec& ts);

// Pins (or, with nullopt, releases) the clock behind nowTicks(), so tests of
// FileTimeToLocalFileTime and of two-digit years can choose "now". Not
// thread-safe against concurrent conversions; for tests only.
void setNowForTesting(std::optional<uint64_t> ticks);

}  // namespace velmora::time
