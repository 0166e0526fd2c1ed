// Local time through the C library's zone: TzSpecificLocalTimeToSystemTime
// and SystemTimeToTzSpecificLocalTime at the instant converted (both
// daylight-saving switches, the repeated and the skipped hour), and
// FileTimeToLocalFileTime / LocalFileTimeToFileTime with the bias of "now".
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "time/calendar.h"
#include "tz_guard.h"

#include "system_time.h"

namespace {

std::string text(const SYSTEMTIME& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return buf;
}

uint64_t ticksOf(const SYSTEMTIME& t) {
  FILETIME f{};
  EXPECT_TRUE(SystemTimeToFileTime(&t, &f));
  return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

struct LocalCase {
  const char* zone;
  SYSTEMTIME local;
  SYSTEMTIME utc;
  bool roundTrips;  // false for the skipped hour, which no UTC instant shows
};

void PrintTo(const LocalCase& c, std::ostream* os) { *os << c.zone << " " << text(c.local); }

class LocalToUtcTest : public ::testing::TestWithParam<LocalCase> {};

TEST_P(LocalToUtcTest, AppliesTheRuleInForceAtThatDate) {
  TzGuard zone(GetParam().zone);
  SYSTEMTIME utc{};
  ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &GetParam().local, &utc));
  EXPECT_EQ(text(utc), text(GetParam().utc));
  if (GetParam().roundTrips) {
    SYSTEMTIME local{};
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &GetParam().utc, &local));
    EXPECT_EQ(text(local), text(GetParam().local));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Zones, LocalToUtcTest,
    ::testing::Values(
        // UTC: no offset at any date.
        LocalCase{"UTC", st(2021, 7, 1, 12), st(2021, 7, 1, 12), true},
        LocalCase{"UTC", st(1601, 1, 1), st(1601, 1, 1), true},
        LocalCase{"UTC", st(2021, 3, 28, 2, 30, 0, 250), st(2021, 3, 28, 2, 30, 0, 250), true},
        // New York, 2021: EDT from 14 March 02:00 to 7 November 02:00.
        LocalCase{"America/New_York", st(2021, 7, 1, 12), st(2021, 7, 1, 16), true},
        LocalCase{"America/New_York", st(2021, 1, 15, 12), st(2021, 1, 15, 17), true},
        LocalCase{"America/New_York", st(2021, 3, 14, 1, 59, 59), st(2021, 3, 14, 6, 59, 59), true},
        LocalCase{"America/New_York", st(2021, 3, 14, 2), st(2021, 3, 14, 6), false},
        LocalCase{"America/New_York", st(2021, 3, 14, 2, 30), st(2021, 3, 14, 6, 30), false},
        LocalCase{"America/New_York", st(2021, 3, 14, 3), st(2021, 3, 14, 7), true},
        LocalCase{"America/New_York", st(2021, 11, 7, 1), st(2021, 11, 7, 5), true},
        LocalCase{"America/New_York", st(2021, 11, 7, 1, 30), st(2021, 11, 7, 5, 30), true},
        LocalCase{"America/New_York", st(2021, 11, 7, 1, 59, 59), st(2021, 11, 7, 5, 59, 59), true},
        LocalCase{"America/New_York", st(2021, 11, 7, 2), st(2021, 11, 7, 7), true},
        LocalCase{"America/New_York", st(2021, 11, 7, 0, 59, 59), st(2021, 11, 7, 4, 59, 59), true},
        // Berlin, 2021: CEST from 28 March 02:00 CET to 31 October 03:00 CEST.
        LocalCase{"Europe/Berlin", st(2021, 1, 15, 12), st(2021, 1, 15, 11), true},
        LocalCase{"Europe/Berlin", st(2021, 7, 1, 12), st(2021, 7, 1, 10), true},
        LocalCase{"Europe/Berlin", st(2021, 3, 28, 1, 59, 59), st(2021, 3, 28, 0, 59, 59), true},
        LocalCase{"Europe/Berlin", st(2021, 3, 28, 2, 30), st(2021, 3, 28, 0, 30), false},
        LocalCase{"Europe/Berlin", st(2021, 3, 28, 3), st(2021, 3, 28, 1), true},
        LocalCase{"Europe/Berlin", st(2021, 10, 31, 1, 59, 59), st(2021, 10, 30, 23, 59, 59), true},
        LocalCase{"Europe/Berlin", st(2021, 10, 31, 2), st(2021, 10, 31, 0), true},
        LocalCase{"Europe/Berlin", st(2021, 10, 31, 2, 30), st(2021, 10, 31, 0, 30), true},
        LocalCase{"Europe/Berlin", st(2021, 10, 31, 3), st(2021, 10, 31, 2), true},
        LocalCase{"Europe/Berlin", st(2020, 12, 31, 13, 45, 30), st(2020, 12, 31, 12, 45, 30),
                  true},
        // The western zone of Wine's test, as a POSIX rule.
        LocalCase{"XST4XDT,M4.1.0/2,M10.4.0/2", st(2004, 10, 24, 1), st(2004, 10, 24, 4), true},
        LocalCase{"XST4XDT,M4.1.0/2,M10.4.0/2", st(2004, 10, 24, 2), st(2004, 10, 24, 6), true},
        LocalCase{"XST4XDT,M4.1.0/2,M10.4.0/2", st(2004, 4, 4, 1), st(2004, 4, 4, 5), true},
        // A southern zone: daylight time spans the new year.
        LocalCase{"XST4XDT,M10.4.0/2,M4.1.0/2", st(2005, 1, 10, 12), st(2005, 1, 10, 15), true},
        LocalCase{"XST4XDT,M10.4.0/2,M4.1.0/2", st(2005, 6, 10, 12), st(2005, 6, 10, 16), true}));

TEST(LocalToUtcTest, RefusesInvalidFieldsAndResultsBefore1601) {
  TzGuard zone("America/New_York");
  SYSTEMTIME utc{};
  const SYSTEMTIME bad = st(2021, 2, 30);
  SetLastError(0);
  EXPECT_FALSE(TzSpecificLocalTimeToSystemTime(nullptr, &bad, &utc));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  const SYSTEMTIME early = st(1600, 12, 31, 23);
  EXPECT_FALSE(TzSpecificLocalTimeToSystemTime(nullptr, &early, &utc));
  TzGuard east("JST-9");
  const SYSTEMTIME first = st(1601, 1, 1, 5);  // 1600-12-31 20:00 UTC
  SetLastError(0);
  EXPECT_FALSE(TzSpecificLocalTimeToSystemTime(nullptr, &first, &utc));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(LocalToUtcTest, UsesAZoneRecordWhenGiven) {
  TzGuard zone("UTC");
  TIME_ZONE_INFORMATION eastern{};
  eastern.Bias = 300;
  eastern.DaylightBias = -60;
  eastern.DaylightDate = st(0, 3, 2, 2);
  eastern.DaylightDate.wDayOfWeek = 0;
  eastern.StandardDate = st(0, 11, 1, 2);
  eastern.StandardDate.wDayOfWeek = 0;
  SYSTEMTIME utc{};
  const SYSTEMTIME summer = st(2021, 7, 1, 12);
  ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(&eastern, &summer, &utc));
  EXPECT_EQ(text(utc), text(st(2021, 7, 1, 16)));
  const SYSTEMTIME repeated = st(2021, 11, 7, 1, 30);
  ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(&eastern, &repeated, &utc));
  EXPECT_EQ(text(utc), text(st(2021, 11, 7, 5, 30)));
  const SYSTEMTIME after = st(2021, 11, 7, 2);
  ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(&eastern, &after, &utc));
  EXPECT_EQ(text(utc), text(st(2021, 11, 7, 7)));
  SYSTEMTIME local{};
  const SYSTEMTIME noon = st(2021, 1, 15, 17);
  ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&eastern, &noon, &local));
  EXPECT_EQ(text(local), text(st(2021, 1, 15, 12)));
}

struct NowCase {
  const char* zone;
  SYSTEMTIME now;     // UTC
  int offsetMinutes;  // east of UTC, in force at `now`
};

void PrintTo(const NowCase& c, std::ostream* os) { *os << c.zone << " now " << text(c.now); }

class LocalFileTimeTest : public ::testing::TestWithParam<NowCase> {};

TEST_P(LocalFileTimeTest, AppliesTheBiasOfNowToEveryInstant) {
  TzGuard zone(GetParam().zone);
  velmora::time::setNowForTesting(ticksOf(GetParam().now));
  const int64_t shift = int64_t(GetParam().offsetMinutes) * 60 * 10'000'000;
  // A winter and a summer instant move by the same amount: the bias of now.
  for (const SYSTEMTIME& instant : {st(2021, 1, 15, 12), st(2021, 7, 1, 16)}) {
    const uint64_t utc = ticksOf(instant);
    const FILETIME in{DWORD(utc), DWORD(utc >> 32)};
    FILETIME local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&in, &local));
    const uint64_t localTicks = (uint64_t(local.dwHighDateTime) << 32) | local.dwLowDateTime;
    EXPECT_EQ(int64_t(localTicks - utc), shift) << text(instant);
    FILETIME back{};
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(back.dwLowDateTime, in.dwLowDateTime);
    EXPECT_EQ(back.dwHighDateTime, in.dwHighDateTime);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Zones, LocalFileTimeTest,
    ::testing::Values(NowCase{"UTC", st(2021, 7, 1), 0}, NowCase{"UTC", st(2021, 1, 1), 0},
                      NowCase{"America/New_York", st(2021, 7, 1), -240},
                      NowCase{"America/New_York", st(2021, 1, 15), -300},
                      NowCase{"America/New_York", st(2021, 3, 14, 6, 59, 59), -300},
                      NowCase{"America/New_York", st(2021, 3, 14, 7), -240},
                      NowCase{"America/New_York", st(2021, 11, 7, 5, 59, 59), -240},
                      NowCase{"America/New_York", st(2021, 11, 7, 6), -300},
                      NowCase{"Europe/Berlin", st(2021, 7, 1), 120},
                      NowCase{"Europe/Berlin", st(2021, 1, 15), 60},
                      NowCase{"Europe/Berlin", st(2021, 3, 28, 0, 59, 59), 60},
                      NowCase{"Europe/Berlin", st(2021, 3, 28, 1), 120},
                      NowCase{"Europe/Berlin", st(2021, 10, 31, 0, 59, 59), 120},
                      NowCase{"Europe/Berlin", st(2021, 10, 31, 1), 60}));

TEST(LocalFileTimeTest, StoredSummerInstantReadInWinterAndSummer) {
  TzGuard zone("America/New_York");
  const uint64_t stored = ticksOf(st(2021, 7, 1, 16));
  const FILETIME in{DWORD(stored), DWORD(stored >> 32)};
  FILETIME local{};
  SYSTEMTIME fields{};
  velmora::time::setNowForTesting(ticksOf(st(2021, 7, 10)));
  ASSERT_TRUE(FileTimeToLocalFileTime(&in, &local));
  ASSERT_TRUE(FileTimeToSystemTime(&local, &fields));
  EXPECT_EQ(fields.wHour, 12);
  velmora::time::setNowForTesting(ticksOf(st(2021, 1, 10)));
  ASSERT_TRUE(FileTimeToLocalFileTime(&in, &local));
  ASSERT_TRUE(FileTimeToSystemTime(&local, &fields));
  EXPECT_EQ(fields.wHour, 11);
}

struct ZoneInfoCase {
  const char* zone;
  LONG bias;
  LONG daylightBias;
  WORD daylightMonth, daylightWeek, daylightHour;
  WORD standardMonth, standardWeek, standardHour;
};

class TimeZoneInformationTest : public ::testing::TestWithParam<ZoneInfoCase> {};

TEST_P(TimeZoneInformationTest, DescribesTheZoneAsRecurringRules) {
  TzGuard zone(GetParam().zone);
  velmora::time::setNowForTesting(ticksOf(st(2021, 7, 1)));
  TIME_ZONE_INFORMATION tz{};
  const DWORD id = GetTimeZoneInformation(&tz);
  const auto& c = GetParam();
  EXPECT_EQ(tz.Bias, c.bias);
  EXPECT_EQ(tz.StandardBias, 0);
  EXPECT_EQ(tz.DaylightBias, c.daylightBias);
  EXPECT_EQ(tz.DaylightDate.wMonth, c.daylightMonth);
  EXPECT_EQ(tz.StandardDate.wMonth, c.standardMonth);
  if (c.daylightMonth) {
    EXPECT_EQ(id, DWORD(TIME_ZONE_ID_DAYLIGHT));
    EXPECT_EQ(tz.DaylightDate.wYear, 0);
    EXPECT_EQ(tz.DaylightDate.wDay, c.daylightWeek);
    EXPECT_EQ(tz.DaylightDate.wDayOfWeek, 0);
    EXPECT_EQ(tz.DaylightDate.wHour, c.daylightHour);
    EXPECT_EQ(tz.StandardDate.wDay, c.standardWeek);
    EXPECT_EQ(tz.StandardDate.wHour, c.standardHour);
    // The record converts as the C library's zone does.
    SYSTEMTIME a{}, b{};
    const SYSTEMTIME probe = st(2021, 11, 20, 12);
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(&tz, &probe, &a));
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &probe, &b));
    EXPECT_EQ(text(a), text(b));
  } else {
    EXPECT_EQ(id, DWORD(TIME_ZONE_ID_UNKNOWN));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Zones, TimeZoneInformationTest,
    ::testing::Values(ZoneInfoCase{"UTC", 0, 0, 0, 0, 0, 0, 0, 0},
                      ZoneInfoCase{"JST-9", -540, 0, 0, 0, 0, 0, 0, 0},
                      ZoneInfoCase{"America/New_York", 300, -60, 3, 2, 2, 11, 1, 2},
                      ZoneInfoCase{"Europe/Berlin", -60, -60, 3, 5, 2, 10, 5, 3}));

}  // namespace
