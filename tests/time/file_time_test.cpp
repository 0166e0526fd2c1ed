// FILETIME <-> SYSTEMTIME in UTC: the vectors of Wine's kernel32 time tests
// (run against Windows), the 1601 and 30828 edges, and field validation.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "time/calendar.h"

#include "system_time.h"

namespace {

FILETIME ft(uint64_t ticks) { return FILETIME{DWORD(ticks), DWORD(ticks >> 32)}; }
uint64_t ticks(const FILETIME& f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

struct Anchor {
  SYSTEMTIME time;
  uint64_t ticks;
  WORD dayOfWeek;
};

class FileTimeAnchorTest : public ::testing::TestWithParam<Anchor> {};

TEST_P(FileTimeAnchorTest, ConvertsBothWays) {
  FILETIME out{};
  ASSERT_TRUE(SystemTimeToFileTime(&GetParam().time, &out));
  EXPECT_EQ(ticks(out), GetParam().ticks);
  SYSTEMTIME back{};
  const FILETIME in = ft(GetParam().ticks);
  ASSERT_TRUE(FileTimeToSystemTime(&in, &back));
  EXPECT_EQ(back.wYear, GetParam().time.wYear);
  EXPECT_EQ(back.wMonth, GetParam().time.wMonth);
  EXPECT_EQ(back.wDay, GetParam().time.wDay);
  EXPECT_EQ(back.wHour, GetParam().time.wHour);
  EXPECT_EQ(back.wMinute, GetParam().time.wMinute);
  EXPECT_EQ(back.wSecond, GetParam().time.wSecond);
  EXPECT_EQ(back.wMilliseconds, GetParam().time.wMilliseconds);
  EXPECT_EQ(back.wDayOfWeek, GetParam().dayOfWeek);
}

INSTANTIATE_TEST_SUITE_P(
    Anchors, FileTimeAnchorTest,
    ::testing::Values(Anchor{st(1601, 1, 1), 0, 1},
                      Anchor{st(1970, 1, 1), 116444736000000000ull, 4},
                      Anchor{st(1970, 1, 1, 0, 0, 1), 116444736010000000ull, 4},
                      Anchor{st(1899, 12, 30), 94353120000000000ull, 6},
                      Anchor{st(1980, 1, 1), 0x01A8E79FE1D58000ull, 2},
                      Anchor{st(2002, 5, 1, 12), 0x01C1F107B82B6000ull, 3},
                      Anchor{st(2002, 7, 26, 11, 55, 32, 123), 0x01C2349B580716B0ull, 5},
                      Anchor{st(2020, 12, 31, 13, 45, 30), 132538959300000000ull, 4},
                      Anchor{st(2000, 2, 29, 23, 59, 59, 999), 125963423999990000ull, 2},
                      Anchor{st(30827, 12, 31, 23, 59, 59, 999), 0x7FFF35F4F06C58F0ull, 5}));

TEST(FileTimeToSystemTimeTest, DropsTheSubMillisecondRemainder) {
  const FILETIME in = ft(123456789);
  SYSTEMTIME out{};
  ASSERT_TRUE(FileTimeToSystemTime(&in, &out));
  EXPECT_EQ(out.wSecond, 12);
  EXPECT_EQ(out.wMilliseconds, 345);
}

TEST(FileTimeToSystemTimeTest, AcceptsUpTo2To63) {
  const FILETIME max = ft(0x7FFFFFFFFFFFFFFFull);
  SYSTEMTIME out{};
  ASSERT_TRUE(FileTimeToSystemTime(&max, &out));
  EXPECT_EQ(out.wYear, 30828);
  EXPECT_EQ(out.wMonth, 9);
  EXPECT_EQ(out.wDay, 14);
  EXPECT_EQ(out.wHour, 2);
  EXPECT_EQ(out.wMinute, 48);
  EXPECT_EQ(out.wSecond, 5);
  EXPECT_EQ(out.wMilliseconds, 477);
  for (uint64_t bad : {0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull}) {
    const FILETIME in = ft(bad);
    SetLastError(0);
    EXPECT_FALSE(FileTimeToSystemTime(&in, &out));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

class SystemTimeRejectTest : public ::testing::TestWithParam<SYSTEMTIME> {};

TEST_P(SystemTimeRejectTest, RefusesFieldsOutOfRange) {
  FILETIME out{0x1234, 0x5678};
  SetLastError(0);
  EXPECT_FALSE(SystemTimeToFileTime(&GetParam(), &out));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(Fields, SystemTimeRejectTest,
                         ::testing::Values(st(1600, 12, 31, 23, 59, 59, 999), st(2021, 0, 1),
                                           st(2021, 13, 1), st(2021, 1, 0), st(2021, 1, 32),
                                           st(2021, 2, 29), st(2021, 4, 31), st(2021, 1, 1, 24),
                                           st(2021, 1, 1, 0, 60), st(2021, 1, 1, 0, 0, 60),
                                           st(2021, 1, 1, 0, 0, 0, 1000), st(30828, 1, 1)));

TEST(SystemTimeToFileTimeTest, IgnoresDayOfWeek) {
  SYSTEMTIME in = st(1980, 1, 1);
  in.wDayOfWeek = 6;
  FILETIME out{};
  ASSERT_TRUE(SystemTimeToFileTime(&in, &out));
  EXPECT_EQ(ticks(out), 0x01A8E79FE1D58000ull);
}

TEST(SystemClockTest, ReportsThePinnedPresent) {
  velmora::time::setNowForTesting(0x01C2349B580716B0ull);
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  EXPECT_EQ(ticks(now), 0x01C2349B580716B0ull);
  SYSTEMTIME st{};
  GetSystemTime(&st);
  EXPECT_EQ(st.wYear, 2002);
  EXPECT_EQ(st.wMilliseconds, 123);
  velmora::time::setNowForTesting(std::nullopt);
  GetSystemTimeAsFileTime(&now);
  EXPECT_GT(ticks(now), 0x01D6DF7B33F9F900ull);  // after 2020
}

}  // namespace
