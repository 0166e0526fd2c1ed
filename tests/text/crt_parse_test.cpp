// _wtoi, _wtol and _wtof: Windows widths, the C runtime's grammar, clamping.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cmath>

namespace {

struct IntCase {
  const char16_t* text;
  LONG expected;
};

class WideToLongTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(WideToLongTest, ParsesLikeTheRuntime) {
  EXPECT_EQ(_wtol(GetParam().text), GetParam().expected);
  EXPECT_EQ(_wtoi(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, WideToLongTest,
    ::testing::Values(IntCase{u"12abc", 12}, IntCase{u"", 0}, IntCase{u"  -7", -7},
                      IntCase{u"\t\r\n\v\f+42", 42}, IntCase{u"abc", 0}, IntCase{u"True", 0},
                      IntCase{u"0x1A", 0}, IntCase{u"1e3", 1}, IntCase{u"3.9", 3},
                      IntCase{u"--5", 0}, IntCase{u"- 5", 0}, IntCase{u"+-5", 0}, IntCase{u"-0", 0},
                      IntCase{u"40000", 40000}, IntCase{u"2147483647", 2147483647},
                      IntCase{u"-2147483648", INT32_MIN},
                      IntCase{u"\u00A0\u3000"
                              u"5",
                              5},
                      IntCase{u"\uFF11\uFF12", 12}));

class WideToLongRangeTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(WideToLongRangeTest, ClampsToTheNearest32BitLimit) {
  errno = 0;
  EXPECT_EQ(_wtol(GetParam().text), GetParam().expected);
  EXPECT_EQ(errno, ERANGE);
  errno = 0;
  EXPECT_EQ(_wtoi(GetParam().text), GetParam().expected);
  EXPECT_EQ(errno, ERANGE);
}

INSTANTIATE_TEST_SUITE_P(BeyondRange, WideToLongRangeTest,
                         ::testing::Values(IntCase{u"2147483648", INT32_MAX},
                                           IntCase{u"-2147483649", INT32_MIN},
                                           IntCase{u"99999999999999999999", INT32_MAX},
                                           IntCase{u"-99999999999999999999999999", INT32_MIN},
                                           IntCase{u"4294967296", INT32_MAX}));

TEST(WideToDoubleTest, ParsesTheRuntimeGrammar) {
  EXPECT_EQ(_wtof(u"2.5e3x"), 2500.0);
  EXPECT_EQ(_wtof(u"1e"), 1.0);
  EXPECT_EQ(_wtof(u"1e+"), 1.0);
  EXPECT_EQ(_wtof(u"5."), 5.0);
  EXPECT_EQ(_wtof(u".5"), 0.5);
  EXPECT_EQ(_wtof(u"  +.5E-1"), 0.05);
  EXPECT_EQ(_wtof(u"abc"), 0.0);
  EXPECT_EQ(_wtof(u""), 0.0);
  EXPECT_EQ(_wtof(u"."), 0.0);
  EXPECT_EQ(_wtof(u"1,5"), 1.0);
  EXPECT_EQ(_wtof(u"1d2"), 1.0);  // the Universal CRT has no Fortran exponent
  EXPECT_EQ(_wtof(u"0x1A"), 26.0);
  EXPECT_EQ(_wtof(u"12.375"), 12.375);
  const double negativeZero = _wtof(u"-0");
  EXPECT_EQ(negativeZero, 0.0);
  EXPECT_TRUE(std::signbit(negativeZero));
}

TEST(WideToDoubleTest, InfinityNanAndOverflow) {
  EXPECT_TRUE(std::isinf(_wtof(u"inf")));
  EXPECT_TRUE(std::isinf(_wtof(u"INFINITY")));
  EXPECT_LT(_wtof(u"-inf"), 0.0);
  EXPECT_TRUE(std::isnan(_wtof(u"nan")));
  errno = 0;
  EXPECT_TRUE(std::isinf(_wtof(u"1e400")));
  EXPECT_EQ(errno, ERANGE);
  errno = 0;
  EXPECT_EQ(_wtof(u"1e-400"), 0.0);
  EXPECT_EQ(errno, ERANGE);
}

}  // namespace
