// SystemTimeToVariantTime and VariantTimeToSystemTime: the anchors, both ends
// of the range, negative dates, rounding to the second and field repairs.
#include <gtest/gtest.h>
#include <oleauto.h>
#include <windows.h>

#include <cmath>
#include <string>

#include "system_time.h"

namespace {

std::string text(const SYSTEMTIME& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u dow %u", t.wYear, t.wMonth,
                t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, t.wDayOfWeek);
  return buf;
}

struct Anchor {
  SYSTEMTIME time;
  double date;
  WORD dayOfWeek;
};

class VariantTimeAnchorTest : public ::testing::TestWithParam<Anchor> {};

TEST_P(VariantTimeAnchorTest, ConvertsBothWays) {
  SYSTEMTIME in = GetParam().time;
  double d = 12345;
  ASSERT_TRUE(SystemTimeToVariantTime(&in, &d));
  EXPECT_DOUBLE_EQ(d, GetParam().date);
  SYSTEMTIME back{};
  ASSERT_TRUE(VariantTimeToSystemTime(GetParam().date, &back));
  SYSTEMTIME expected = GetParam().time;
  expected.wDayOfWeek = GetParam().dayOfWeek;
  EXPECT_EQ(text(back), text(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Anchors, VariantTimeAnchorTest,
    ::testing::Values(Anchor{st(100, 1, 1), -657434.0, 5}, Anchor{st(1601, 1, 1), -109205.0, 1},
                      Anchor{st(1899, 1, 1), -363.0, 0}, Anchor{st(1899, 12, 29, 12), -1.5, 5},
                      Anchor{st(1899, 12, 29, 6), -1.25, 5}, Anchor{st(1899, 12, 28, 12), -2.5, 4},
                      Anchor{st(1899, 12, 29), -1.0, 5}, Anchor{st(1899, 12, 30), 0.0, 6},
                      Anchor{st(1899, 12, 30, 18), 0.75, 6}, Anchor{st(1899, 12, 31), 1.0, 0},
                      Anchor{st(1900, 1, 1), 2.0, 1}, Anchor{st(1970, 1, 1), 25569.0, 4},
                      Anchor{st(1980, 1, 1), 29221.0, 2}, Anchor{st(1980, 1, 2), 29222.0, 3},
                      Anchor{st(1990, 12, 31), 33238.0, 1},
                      Anchor{st(1980, 1, 1, 18, 1, 16), 29221.75087962963, 2},
                      Anchor{st(2000, 1, 1), 36526.0, 6},
                      Anchor{st(2020, 12, 31, 13, 45), 44196.572916666664, 4},
                      Anchor{st(9999, 12, 31), 2958465.0, 5},
                      Anchor{st(9999, 12, 31, 23, 59, 59), 2958465.999988426, 5}));

TEST(VariantTimeToSystemTimeTest, RoundsToTheNearestSecond) {
  SYSTEMTIME out{};
  ASSERT_TRUE(VariantTimeToSystemTime(29221.7508765432, &out));  // 18:01:15.733
  EXPECT_EQ(text(out), text([] {
              SYSTEMTIME t = st(1980, 1, 1, 18, 1, 16);
              t.wDayOfWeek = 2;
              return t;
            }()));
  ASSERT_TRUE(VariantTimeToSystemTime(29221.25, &out));
  EXPECT_EQ(out.wHour, 6);
  ASSERT_TRUE(VariantTimeToSystemTime(29221.33333333, &out));
  EXPECT_EQ(out.wHour, 8);
  EXPECT_EQ(out.wMinute, 0);
  EXPECT_EQ(out.wSecond, 0);
  ASSERT_TRUE(VariantTimeToSystemTime(29221.9888884444, &out));
  EXPECT_EQ(out.wHour, 23);
  EXPECT_EQ(out.wMinute, 44);
  EXPECT_EQ(out.wSecond, 0);
  // Exact half seconds round up; just below stays.
  ASSERT_TRUE(VariantTimeToSystemTime(0.5 / 86400, &out));
  EXPECT_EQ(out.wSecond, 1);
  ASSERT_TRUE(VariantTimeToSystemTime(0.4999 / 86400, &out));
  EXPECT_EQ(out.wSecond, 0);
  EXPECT_EQ(out.wMilliseconds, 0);
}

TEST(VariantTimeToSystemTimeTest, CarriesRoundingIntoTheNextDay) {
  SYSTEMTIME out{};
  ASSERT_TRUE(VariantTimeToSystemTime(44196.999999, &out));
  EXPECT_EQ(text(out), text([] {
              SYSTEMTIME t = st(2021, 1, 1);
              t.wDayOfWeek = 5;
              return t;
            }()));
  // Before 1899-12-30 the time still runs forward: the next day is later.
  ASSERT_TRUE(VariantTimeToSystemTime(-1.9999999, &out));  // 1899-12-29 23:59:59.99
  EXPECT_EQ(text(out), text([] {
              SYSTEMTIME t = st(1899, 12, 30);
              t.wDayOfWeek = 6;
              return t;
            }()));
  ASSERT_TRUE(VariantTimeToSystemTime(2958465.99999999, &out));
  EXPECT_EQ(out.wYear, 10000);
}

TEST(VariantTimeToSystemTimeTest, ValuesBetweenMinusOneAndZeroAreDayZero) {
  SYSTEMTIME a{}, b{};
  ASSERT_TRUE(VariantTimeToSystemTime(-0.75, &a));
  ASSERT_TRUE(VariantTimeToSystemTime(0.75, &b));
  EXPECT_EQ(text(a), text(b));
}

TEST(VariantTimeToSystemTimeTest, RefusesValuesOutsideTheRange) {
  SYSTEMTIME out{};
  EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &out));
  EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &out));
  EXPECT_FALSE(VariantTimeToSystemTime(std::nan(""), &out));
  EXPECT_FALSE(VariantTimeToSystemTime(1e300, &out));
  EXPECT_TRUE(VariantTimeToSystemTime(-657434.99, &out));
  EXPECT_EQ(out.wYear, 100);
}

TEST(SystemTimeToVariantTimeTest, IgnoresMillisecondsAndDayOfWeek) {
  SYSTEMTIME a = st(2020, 12, 31, 13, 45, 30, 999);
  a.wDayOfWeek = 1;
  SYSTEMTIME b = st(2020, 12, 31, 13, 45, 30);
  double da = 0, db = 0;
  ASSERT_TRUE(SystemTimeToVariantTime(&a, &da));
  ASSERT_TRUE(SystemTimeToVariantTime(&b, &db));
  EXPECT_EQ(da, db);
}

TEST(SystemTimeToVariantTimeTest, RepairsFields) {
  double d = 0;
  SYSTEMTIME day0 = st(1980, 1, 0);
  ASSERT_TRUE(SystemTimeToVariantTime(&day0, &d));
  EXPECT_EQ(d, 29220.0);
  SYSTEMTIME feb29 = st(2001, 2, 29);
  ASSERT_TRUE(SystemTimeToVariantTime(&feb29, &d));
  SYSTEMTIME march1 = st(2001, 3, 1);
  double expected = 0;
  ASSERT_TRUE(SystemTimeToVariantTime(&march1, &expected));
  EXPECT_EQ(d, expected);
  SYSTEMTIME overflow = st(2021, 1, 1, 25, 61, 61);
  ASSERT_TRUE(SystemTimeToVariantTime(&overflow, &d));
  SYSTEMTIME rolled{};
  ASSERT_TRUE(VariantTimeToSystemTime(d, &rolled));
  EXPECT_EQ(rolled.wDay, 2);
  EXPECT_EQ(rolled.wHour, 2);
  EXPECT_EQ(rolled.wMinute, 2);
  EXPECT_EQ(rolled.wSecond, 1);
  SYSTEMTIME month0 = st(2021, 0, 15);
  ASSERT_TRUE(SystemTimeToVariantTime(&month0, &d));
  ASSERT_TRUE(VariantTimeToSystemTime(d, &rolled));
  EXPECT_EQ(rolled.wYear, 2020);
  EXPECT_EQ(rolled.wMonth, 12);
}

TEST(SystemTimeToVariantTimeTest, ReadsTwoDigitYears) {
  double d = 0;
  SYSTEMTIME y90 = st(90, 12, 31);
  ASSERT_TRUE(SystemTimeToVariantTime(&y90, &d));
  EXPECT_EQ(d, 33238.0);
  SYSTEMTIME y20 = st(20, 12, 31);
  ASSERT_TRUE(SystemTimeToVariantTime(&y20, &d));
  EXPECT_EQ(d, 44196.0);
}

TEST(SystemTimeToVariantTimeTest, RefusesImpossibleFields) {
  double d = 0;
  for (const SYSTEMTIME& bad :
       {st(2021, 13, 1), st(2021, 1, 32), st(10000, 1, 1), st(WORD(-1), 1, 1), st(9999, 12, 32)}) {
    SYSTEMTIME copy = bad;
    EXPECT_FALSE(SystemTimeToVariantTime(&copy, &d)) << text(bad);
  }
}

// Every file time from 1601 through 9999 survives the round trip of the
// stored-to-attribute conversion to the second.
class VariantTimeRoundTripTest : public ::testing::TestWithParam<int> {};

TEST_P(VariantTimeRoundTripTest, FileTimeToDateAndBack) {
  const int year = GetParam();
  for (WORD month : {1, 2, 6, 12}) {
    for (WORD second : {0, 1, 29, 59}) {
      SYSTEMTIME in = st(WORD(year), month, month == 2 ? 28 : 30, 23, 59, second, 999);
      double d = 0;
      ASSERT_TRUE(SystemTimeToVariantTime(&in, &d));
      SYSTEMTIME out{};
      ASSERT_TRUE(VariantTimeToSystemTime(d, &out));
      in.wMilliseconds = 0;
      FILETIME f{};
      ASSERT_TRUE(SystemTimeToFileTime(&in, &f));
      SYSTEMTIME expected{};
      ASSERT_TRUE(FileTimeToSystemTime(&f, &expected));
      EXPECT_EQ(text(out), text(expected));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Years, VariantTimeRoundTripTest,
                         ::testing::Values(1601, 1700, 1899, 1900, 1970, 2000, 2038, 2100, 5000,
                                           9999));

}  // namespace
