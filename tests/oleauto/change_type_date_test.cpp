// VariantChangeType to VT_DATE: from text (VarDateFromStr for en-US), from
// numbers with their range checks, from booleans; and back to text.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cmath>
#include <optional>
#include <string>

#include "time/calendar.h"

namespace {

// The DATE VarDateFromStr gives, or nullopt when the text is refused.
std::optional<double> parse(const char16_t* s) {
  VARIANT in;
  VariantInit(&in);
  in.vt = VT_BSTR;
  in.bstrVal = s ? SysAllocString(s) : nullptr;
  VARIANT out;
  VariantInit(&out);
  const HRESULT hr = VariantChangeType(&out, &in, 0, VT_DATE);
  VariantClear(&in);
  if (hr == DISP_E_TYPEMISMATCH) return std::nullopt;
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(out.vt, VT_DATE);
  return out.date;
}

class DateFromTextTest : public ::testing::Test {
 protected:
  // "Now" is 15 June 2024, so two-field dates fall in 2024.
  void SetUp() override { velmora::time::setNowForTesting(133628832000000000ull); }
  void TearDown() override { velmora::time::setNowForTesting(std::nullopt); }
};

struct TextDate {
  const char16_t* text;
  double value;
};

class DateFromTextValueTest : public DateFromTextTest,
                              public ::testing::WithParamInterface<TextDate> {};

TEST_P(DateFromTextValueTest, ParsesEnUsDates) {
  const auto d = parse(GetParam().text);
  ASSERT_TRUE(d.has_value());
  EXPECT_DOUBLE_EQ(*d, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, DateFromTextValueTest,
    ::testing::Values(
        TextDate{u"1 am", 1.0 / 24}, TextDate{u"0.1", 0.0006944444444444445},
        TextDate{u"0:1", 0.0006944444444444445}, TextDate{u"0.40", 0.02777777777777778},
        TextDate{u"2.5", 0.08680555555555555}, TextDate{u"3:5", 0.1284722222222222},
        TextDate{u"00:00 AM", 0.0}, TextDate{u"00:00 a", 0.0},
        TextDate{u"12:59 AM", 0.04097222222222222}, TextDate{u"00:00 pm", 0.5},
        TextDate{u"12:59 pm", 0.5409722222222222}, TextDate{u"12:59 p", 0.5409722222222222},
        TextDate{u"13:00 AM", 0.5416666666666666}, TextDate{u"13:00 PM", 0.5416666666666666},
        TextDate{u"1 2", 45293.0}, TextDate{u"30 2", 47515.0}, TextDate{u"2 30", 47515.0},
        TextDate{u"Jan 35", 49310.0}, TextDate{u"35-Jan", 49310.0}, TextDate{u"Jan/35", 49310.0},
        TextDate{u"1 2 3", 37623.0}, TextDate{u"14 2 3", 41673.0}, TextDate{u"2 14 3", 37666.0},
        TextDate{u"1 1 0", 36526.0}, TextDate{u"1 1 50", 18264.0}, TextDate{u"12 31 99", 36525.0},
        TextDate{u"1 1 100", -657434.0}, TextDate{u"2 January, 1970", 25570.0},
        TextDate{u"2 January 1970", 25570.0}, TextDate{u"2 Jan 1970", 25570.0},
        TextDate{u"2/Jan/1970", 25570.0}, TextDate{u"2-Jan-1970", 25570.0},
        TextDate{u"1 2 1970", 25570.0}, TextDate{u"1/2/1970", 25570.0},
        TextDate{u"1-2-1970", 25570.0}, TextDate{u"13-1-1970", 25581.0},
        TextDate{u"1970-1-13", 25581.0}, TextDate{u"6/30/2011 01:20:34", 40724.05594907407},
        TextDate{u"6/30/2011 01:20:34 AM", 40724.05594907407},
        TextDate{u"6/30/2011 01:20:34 PM", 40724.55594907407},
        TextDate{u"6/30/2011\u30001:20:34", 40724.05594907407},
        TextDate{u"2013-05-14 02:04:12", 41408.08625000001}));

INSTANTIATE_TEST_SUITE_P(
    ByTheRule, DateFromTextValueTest,
    ::testing::Values(
        TextDate{u"2020-12-31", 44196.0}, TextDate{u"12/31/2020", 44196.0},
        TextDate{u"12-31-2020", 44196.0}, TextDate{u"2020/12/31", 44196.0},
        TextDate{u"31/12/2020", 44196.0}, TextDate{u"31 December 2020", 44196.0},
        TextDate{u"December 31, 2020", 44196.0}, TextDate{u"Dec 31 2020", 44196.0},
        TextDate{u"Thursday, December 31, 2020", 44196.0}, TextDate{u"12/31/20", 44196.0},
        TextDate{u"12/31/49", 54788.0}, TextDate{u"12/31/50", 18628.0},
        TextDate{u"2020-12-31 13:45:00", 44196.572916666664},
        TextDate{u"12/31/2020 1:45 PM", 44196.572916666664},
        TextDate{u"12/31/2020 1:45:30 pm", 44196.573263888888},
        TextDate{u"13:45", 0.57291666666666663}, TextDate{u"13:45:00", 0.57291666666666663},
        TextDate{u"1:45 PM", 0.57291666666666663}, TextDate{u"1 PM", 0.54166666666666663},
        TextDate{u"23:59:59", 0.99998842592592596}, TextDate{u"12:00 AM", 0.0},
        TextDate{u"00:00", 0.0}, TextDate{u"12:00 PM", 0.5}, TextDate{u"0.5", 0.003472222222222222},
        TextDate{u"1/1/1601", -109205.0}, TextDate{u"1/1/1899", -363.0},
        TextDate{u"2020-13-01", 43843.0}));

TEST_F(DateFromTextTest, TheExactVectorOfTheNotes) {
  // Separately added hour, minute and second fractions, as Windows adds them.
  EXPECT_EQ(*parse(u"2013-05-14 02:04:12"), 41408.08625000001);
  EXPECT_EQ(*parse(u"1/2/1970"), 25570.0);
}

class DateFromTextRejectTest : public DateFromTextTest,
                               public ::testing::WithParamInterface<const char16_t*> {};

TEST_P(DateFromTextRejectTest, RefusesWhatWindowsRefuses) {
  EXPECT_FALSE(parse(GetParam()).has_value()) << std::string(GetParam(), GetParam() + 1);
}

INSTANTIATE_TEST_SUITE_P(Windows, DateFromTextRejectTest,
                         ::testing::Values(u"2013-05-14 02:04:12.017000000", u"0.0", u"02.01.1970",
                                           u"02.01.1970 00:00:00", u"True", u"False", u"0.", u".0",
                                           u"-1.1", u"1.1-", u"1;2;3", u"1*2*3", u"1@2@3", u"1#2#3",
                                           u"(1:2)", u"<1:2>", u"1|2|3", u"0", u"1", u"0.60",
                                           u"24.00", u"0:60", u"24:00", u"1 2 am", u"1 am 2",
                                           u"1.5 2", u"1 5.2", u"2 32 3", u"1 2 am 3", u"1.2.3.4",
                                           u"1 2 3 4", u"1.2 3.4", u"1 2 3 4 5 6 7"));

INSTANTIATE_TEST_SUITE_P(ByTheRule, DateFromTextRejectTest,
                         ::testing::Values(u"2020-12-31T13:45:00", u"2/29/2021", u"2/30/2020",
                                           u"12/31/10000", u"", u" ", u"abc", u"13", u"31.12.2020",
                                           u"1/2/3/4", u"1,", u"am 1", u"1 am pm"));

TEST_F(DateFromTextTest, NullTextIsRefused) { EXPECT_FALSE(parse(nullptr).has_value()); }

VARIANT number(VARTYPE vt, double d) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  switch (vt) {
    case VT_I1: v.cVal = CHAR(d); break;
    case VT_UI1: v.bVal = BYTE(d); break;
    case VT_I2: v.iVal = SHORT(d); break;
    case VT_UI2: v.uiVal = USHORT(d); break;
    case VT_I4: v.lVal = LONG(d); break;
    case VT_INT: v.intVal = INT(d); break;
    case VT_UI4: v.ulVal = ULONG(d); break;
    case VT_UINT: v.uintVal = UINT(d); break;
    case VT_I8: v.llVal = LONGLONG(d); break;
    case VT_UI8: v.ullVal = ULONGLONG(d); break;
    case VT_R4: v.fltVal = FLOAT(d); break;
    case VT_R8: v.dblVal = d; break;
    case VT_CY: v.cyVal.int64 = LONGLONG(d * 10000); break;
    default: break;
  }
  return v;
}

HRESULT toDate(const VARIANT& in, double& out) {
  VARIANT v;
  VariantInit(&v);
  const HRESULT hr = VariantChangeType(&v, &in, 0, VT_DATE);
  out = v.date;
  return hr;
}

struct NumberDate {
  VARTYPE vt;
  double value;
  HRESULT hr;
};

class DateFromNumberTest : public ::testing::TestWithParam<NumberDate> {};

TEST_P(DateFromNumberTest, ChecksTheDateRange) {
  double out = 0;
  EXPECT_EQ(toDate(number(GetParam().vt, GetParam().value), out), GetParam().hr);
  if (SUCCEEDED(GetParam().hr)) {
    EXPECT_EQ(out, GetParam().vt == VT_R4 ? double(float(GetParam().value)) : GetParam().value);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, DateFromNumberTest,
    ::testing::Values(
        NumberDate{VT_I1, -128, S_OK}, NumberDate{VT_UI1, 255, S_OK},
        NumberDate{VT_I2, -32768, S_OK}, NumberDate{VT_UI2, 65535, S_OK},
        NumberDate{VT_I4, 2958465, S_OK}, NumberDate{VT_I4, 2958466, DISP_E_OVERFLOW},
        NumberDate{VT_I4, -657434, S_OK}, NumberDate{VT_I4, -657435, DISP_E_OVERFLOW},
        NumberDate{VT_INT, 2958466, DISP_E_OVERFLOW}, NumberDate{VT_UI4, 2958465, S_OK},
        NumberDate{VT_UI4, 2958466, DISP_E_OVERFLOW}, NumberDate{VT_UINT, 10, S_OK},
        NumberDate{VT_I8, -657435, DISP_E_OVERFLOW}, NumberDate{VT_UI8, 3000000, DISP_E_OVERFLOW},
        NumberDate{VT_R8, 44196.5, S_OK}, NumberDate{VT_R8, 2958465.99, S_OK},
        NumberDate{VT_R8, 2958466.0, DISP_E_OVERFLOW}, NumberDate{VT_R8, -657434.99, S_OK},
        NumberDate{VT_R8, -657435.0, DISP_E_OVERFLOW}, NumberDate{VT_R4, 1.5, S_OK},
        NumberDate{VT_CY, 1.5, S_OK}));

TEST(DateFromScalarTest, BooleansAndEmpty) {
  VARIANT b;
  VariantInit(&b);
  b.vt = VT_BOOL;
  b.boolVal = VARIANT_TRUE;
  double out = 0;
  ASSERT_EQ(toDate(b, out), S_OK);
  EXPECT_EQ(out, -1.0);
  b.boolVal = VARIANT_FALSE;
  ASSERT_EQ(toDate(b, out), S_OK);
  EXPECT_EQ(out, 0.0);
  VARIANT empty;
  VariantInit(&empty);
  ASSERT_EQ(toDate(empty, out), S_OK);
  EXPECT_EQ(out, 0.0);
  VARIANT r = number(VT_R8, std::nan(""));
  EXPECT_EQ(toDate(r, out), DISP_E_OVERFLOW);
}

TEST(DateFromScalarTest, DecimalsConvertByValue) {
  VARIANT d;
  VariantInit(&d);
  d.decVal.scale = 1;
  d.decVal.Lo64 = 15;
  d.vt = VT_DECIMAL;
  double out = 0;
  ASSERT_EQ(toDate(d, out), S_OK);
  EXPECT_EQ(out, 1.5);
}

// Text written and read back gives the same DATE, to the second.
TEST_F(DateFromTextTest, RoundTripsThroughText) {
  for (double d : {0.0, 0.5, 1.0, 2.75, 25570.0, 36526.0, 44196.572916666664, 45000.5, 2958465.0,
                   -657434.0, -1.5, -2.75, -109205.0}) {
    VARIANT in;
    VariantInit(&in);
    in.vt = VT_DATE;
    in.date = d;
    VARIANT s;
    VariantInit(&s);
    ASSERT_EQ(VariantChangeType(&s, &in, 0, VT_BSTR), S_OK);
    VARIANT back;
    VariantInit(&back);
    ASSERT_EQ(VariantChangeType(&back, &s, 0, VT_DATE), S_OK)
        << std::string(s.bstrVal, s.bstrVal + SysStringLen(s.bstrVal));
    EXPECT_NEAR(back.date, d, 1e-9) << d;
    VariantClear(&s);
  }
}

}  // namespace
