// VariantChangeType to numeric and boolean targets: text read as
// VarParseNumFromStr reads it, doubles rounded half to even, range checks.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cmath>
#include <cstring>

#include "tests/support/values.h"

namespace {

using namespace velmora::test;

HRESULT change(const VARIANT& in, VARTYPE vt, VARIANT& out) {
  VariantInit(&out);
  return VariantChangeType(&out, &in, 0, vt);
}

struct TextInt {
  const char16_t* text;
  VARTYPE vt;
  HRESULT hr;
  int64_t value;
};

class TextToIntegerTest : public ::testing::TestWithParam<TextInt> {};

TEST_P(TextToIntegerTest, ParsesAndChecksTheRange) {
  VARIANT in = vText(GetParam().text);
  VARIANT out;
  EXPECT_EQ(change(in, GetParam().vt, out), GetParam().hr);
  if (SUCCEEDED(GetParam().hr)) {
    EXPECT_EQ(out.vt, GetParam().vt);
    int64_t got = 0;
    switch (GetParam().vt) {
      case VT_I2: got = out.iVal; break;
      case VT_I4: got = out.lVal; break;
      case VT_UI1: got = out.bVal; break;
      case VT_I8: got = out.llVal; break;
      case VT_UI4: got = out.ulVal; break;
      default: break;
    }
    EXPECT_EQ(got, GetParam().value);
  }
  VariantClear(&in);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, TextToIntegerTest,
    ::testing::Values(
        TextInt{u"42", VT_I4, S_OK, 42}, TextInt{u"  -7  ", VT_I4, S_OK, -7},
        TextInt{u"+5", VT_I2, S_OK, 5}, TextInt{u"1,000", VT_I4, S_OK, 1000},
        TextInt{u"1.5", VT_I4, S_OK, 2}, TextInt{u"2.5", VT_I4, S_OK, 2},
        TextInt{u"-2.5", VT_I4, S_OK, -2}, TextInt{u"3.5", VT_I4, S_OK, 4},
        TextInt{u"2.5000001", VT_I4, S_OK, 3}, TextInt{u"1e3", VT_I4, S_OK, 1000},
        TextInt{u"&H1A", VT_I4, S_OK, 26}, TextInt{u"&O17", VT_I4, S_OK, 15},
        TextInt{u"(12)", VT_I4, S_OK, -12}, TextInt{u"12-", VT_I4, S_OK, -12},
        TextInt{u"$12", VT_I4, S_OK, 12}, TextInt{u"32767", VT_I2, S_OK, 32767},
        TextInt{u"32768", VT_I2, DISP_E_OVERFLOW, 0}, TextInt{u"-32769", VT_I2, DISP_E_OVERFLOW, 0},
        TextInt{u"40000", VT_I2, DISP_E_OVERFLOW, 0}, TextInt{u"255", VT_UI1, S_OK, 255},
        TextInt{u"256", VT_UI1, DISP_E_OVERFLOW, 0}, TextInt{u"-1", VT_UI4, DISP_E_OVERFLOW, 0},
        TextInt{u"-0.4", VT_UI4, S_OK, 0}, TextInt{u"9223372036854775807", VT_I8, S_OK, INT64_MAX},
        TextInt{u"9223372036854775808", VT_I8, DISP_E_OVERFLOW, 0},
        TextInt{u"", VT_I4, DISP_E_TYPEMISMATCH, 0}, TextInt{u"abc", VT_I4, DISP_E_TYPEMISMATCH, 0},
        TextInt{u"12abc", VT_I4, DISP_E_TYPEMISMATCH, 0},
        TextInt{u"1e", VT_I4, DISP_E_TYPEMISMATCH, 0}, TextInt{u"-", VT_I4, DISP_E_TYPEMISMATCH, 0},
        TextInt{u"True", VT_I4, DISP_E_TYPEMISMATCH, 0}));

TEST(NumberToIntegerTest, RoundsHalfToEvenAndChecksTheRange) {
  VARIANT out;
  ASSERT_EQ(change(vR8(0.5), VT_I4, out), S_OK);
  EXPECT_EQ(out.lVal, 0);
  ASSERT_EQ(change(vR8(1.5), VT_I4, out), S_OK);
  EXPECT_EQ(out.lVal, 2);
  ASSERT_EQ(change(vR8(-1.5), VT_I2, out), S_OK);
  EXPECT_EQ(out.iVal, -2);
  ASSERT_EQ(change(vR8(2147483647.4), VT_I4, out), S_OK);
  EXPECT_EQ(out.lVal, INT32_MAX);
  EXPECT_EQ(change(vR8(2147483647.5), VT_I4, out), DISP_E_OVERFLOW);
  EXPECT_EQ(change(vR8(-2147483648.6), VT_I4, out), DISP_E_OVERFLOW);
  EXPECT_EQ(change(vR8(std::nan("")), VT_I4, out), DISP_E_OVERFLOW);
  EXPECT_EQ(change(vR8(1e300), VT_I8, out), DISP_E_OVERFLOW);
  ASSERT_EQ(change(vR8(-9223372036854775808.0), VT_I8, out), S_OK);
  EXPECT_EQ(out.llVal, INT64_MIN);
  VARIANT big;
  VariantInit(&big);
  big.vt = VT_UI4;
  big.ulVal = 40000;
  EXPECT_EQ(change(big, VT_I2, out), DISP_E_OVERFLOW);
  ASSERT_EQ(change(big, VT_INT, out), S_OK);
  EXPECT_EQ(out.vt, VT_INT);
  EXPECT_EQ(out.intVal, 40000);
  VARIANT cy;
  VariantInit(&cy);
  cy.vt = VT_CY;
  cy.cyVal.int64 = 25000;  // 2.5
  ASSERT_EQ(change(cy, VT_I4, out), S_OK);
  EXPECT_EQ(out.lVal, 2);
}

TEST(NumberToIntegerTest, BooleansKeepTheirBits) {
  VARIANT b;
  VariantInit(&b);
  b.vt = VT_BOOL;
  b.boolVal = VARIANT_TRUE;
  VARIANT out;
  ASSERT_EQ(change(b, VT_I4, out), S_OK);
  EXPECT_EQ(out.lVal, -1);
  ASSERT_EQ(change(b, VT_UI1, out), S_OK);
  EXPECT_EQ(out.bVal, 255);
  ASSERT_EQ(change(b, VT_UI2, out), S_OK);
  EXPECT_EQ(out.uiVal, 65535);
}

TEST(TextToRealTest, ReadsNumbers) {
  VARIANT out;
  VARIANT in = vText(u"12.375");
  ASSERT_EQ(change(in, VT_R8, out), S_OK);
  EXPECT_EQ(out.dblVal, 12.375);
  VariantClear(&in);
  in = vText(u"-1.5E+3");
  ASSERT_EQ(change(in, VT_R8, out), S_OK);
  EXPECT_EQ(out.dblVal, -1500.0);
  VariantClear(&in);
  in = vText(u"0.1");
  ASSERT_EQ(change(in, VT_R4, out), S_OK);
  EXPECT_EQ(out.fltVal, 0.1f);
  VariantClear(&in);
  in = vText(u"1e39");
  EXPECT_EQ(change(in, VT_R4, out), DISP_E_OVERFLOW);
  VariantClear(&in);
  in = vText(u"1,5");
  ASSERT_EQ(change(in, VT_R8, out), S_OK);  // "," groups digits in en-US
  EXPECT_EQ(out.dblVal, 15.0);
  VariantClear(&in);
  in = vText(u"1.2.3");
  EXPECT_EQ(change(in, VT_R8, out), DISP_E_TYPEMISMATCH);
  VariantClear(&in);
}

TEST(ToBoolTest, WordsAndNumbers) {
  VARIANT out;
  for (const char16_t* t : {u"True", u"true", u" TRUE ", u"-1", u"1", u"0.5", u"&HFF"}) {
    VARIANT in = vText(t);
    ASSERT_EQ(change(in, VT_BOOL, out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    VariantClear(&in);
  }
  for (const char16_t* t : {u"False", u"false", u"0", u"0.0"}) {
    VARIANT in = vText(t);
    ASSERT_EQ(change(in, VT_BOOL, out), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    VariantClear(&in);
  }
  VARIANT in = vText(u"yes");
  EXPECT_EQ(change(in, VT_BOOL, out), DISP_E_TYPEMISMATCH);
  VariantClear(&in);
  ASSERT_EQ(change(vR8(-0.0), VT_BOOL, out), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_FALSE);
  ASSERT_EQ(change(vR8(2), VT_BOOL, out), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
}

TEST(ToCurrencyTest, ExactFromTextRoundedFromDoubles) {
  VARIANT out;
  VARIANT in = vText(u"0.1");
  ASSERT_EQ(change(in, VT_CY, out), S_OK);
  EXPECT_EQ(out.cyVal.int64, 1000);
  VariantClear(&in);
  in = vText(u"922337203685477.5807");
  ASSERT_EQ(change(in, VT_CY, out), S_OK);
  EXPECT_EQ(out.cyVal.int64, INT64_MAX);
  VariantClear(&in);
  in = vText(u"922337203685477.5808");
  EXPECT_EQ(change(in, VT_CY, out), DISP_E_OVERFLOW);
  VariantClear(&in);
  in = vText(u"-922337203685477.5808");
  ASSERT_EQ(change(in, VT_CY, out), S_OK);
  EXPECT_EQ(out.cyVal.int64, INT64_MIN);
  VariantClear(&in);
  in = vText(u"1.00005");
  ASSERT_EQ(change(in, VT_CY, out), S_OK);
  EXPECT_EQ(out.cyVal.int64, 10000);  // half to even
  VariantClear(&in);
  ASSERT_EQ(change(vR8(1.5), VT_CY, out), S_OK);
  EXPECT_EQ(out.cyVal.int64, 15000);
  EXPECT_EQ(change(vR8(1e300), VT_CY, out), DISP_E_OVERFLOW);
}

TEST(ToDecimalTest, ExactValues) {
  VARIANT out;
  VARIANT in = vText(u"-123.4500");
  ASSERT_EQ(change(in, VT_DECIMAL, out), S_OK);
  EXPECT_EQ(out.vt, VT_DECIMAL);
  EXPECT_EQ(out.decVal.scale, 2);
  EXPECT_EQ(out.decVal.sign, 0x80);
  EXPECT_EQ(out.decVal.Lo64, 12345u);
  VariantClear(&in);
  in = vText(u"79228162514264337593543950335");
  ASSERT_EQ(change(in, VT_DECIMAL, out), S_OK);
  EXPECT_EQ(out.decVal.Hi32, 0xFFFFFFFFu);
  EXPECT_EQ(out.decVal.Lo64, ~0ull);
  VariantClear(&in);
  in = vText(u"79228162514264337593543950336");
  EXPECT_EQ(change(in, VT_DECIMAL, out), DISP_E_OVERFLOW);
  VariantClear(&in);
  ASSERT_EQ(change(vR8(0.1), VT_DECIMAL, out), S_OK);
  EXPECT_EQ(out.decVal.scale, 1);
  EXPECT_EQ(out.decVal.Lo64, 1u);
  VARIANT text;
  ASSERT_EQ(change(out, VT_BSTR, text), S_OK);
  EXPECT_EQ(std::u16string(text.bstrVal), u"0.1");
  VariantClear(&text);
}

TEST(FromEmptyTest, EveryScalarTargetIsZero) {
  VARIANT empty;
  VariantInit(&empty);
  VARIANT out;
  for (VARTYPE vt : {VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT,
                     VT_R4, VT_R8, VT_CY, VT_DATE, VT_BOOL, VT_DECIMAL, VT_NULL, VT_ERROR}) {
    EXPECT_EQ(change(empty, vt, out), S_OK) << vt;
    EXPECT_EQ(out.vt, vt);
  }
  EXPECT_EQ(change(empty, VT_UNKNOWN, out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(change(empty, VT_DISPATCH, out), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(change(empty, VT_RECORD, out), DISP_E_TYPEMISMATCH);
}

}  // namespace
