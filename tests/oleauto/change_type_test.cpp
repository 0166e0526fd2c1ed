// VariantChangeType: every conversion the plug-in asks for (to VT_BSTR and
// VT_DATE, flags 0) with Windows' exact text, and the mechanics (destination
// untouched on failure, in-place conversion, VARTYPE checks).
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cmath>
#include <string>

#include "test_objects.h"
#include "tests/support/values.h"

namespace {

using namespace velmora::test;

// Converts `in` to text; "!hr" when it fails.
std::string text(const VARIANT& in, USHORT flags = 0) {
  VARIANT out;
  VariantInit(&out);
  const HRESULT hr = VariantChangeType(&out, &in, flags, VT_BSTR);
  if (FAILED(hr)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "!%08X", unsigned(hr));
    return buf;
  }
  EXPECT_EQ(out.vt, VT_BSTR);
  EXPECT_NE(out.bstrVal, nullptr);
  std::string s;
  for (UINT i = 0; i < SysStringLen(out.bstrVal); ++i) s.push_back(char(out.bstrVal[i]));
  VariantClear(&out);
  return s;
}

struct RealCase {
  double value;
  const char* text;
};

class R8TextTest : public ::testing::TestWithParam<RealCase> {};

TEST_P(R8TextTest, FifteenSignificantDigits) {
  EXPECT_EQ(text(vR8(GetParam().value)), GetParam().text) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Windows, R8TextTest,
    ::testing::Values(RealCase{0.56789, "0.56789"}, RealCase{5.6789e-2, "0.056789"},
                      RealCase{5.6789e-5, "0.000056789"}, RealCase{5.6789e-11, "0.000000000056789"},
                      RealCase{5.6789e-12, "5.6789E-12"}, RealCase{5.6789e-16, "5.6789E-16"},
                      RealCase{1e8, "100000000"}, RealCase{1e12, "1000000000000"},
                      RealCase{1e14, "100000000000000"},
                      RealCase{999999999999999.0, "999999999999999"}, RealCase{1e15, "1E+15"},
                      RealCase{1.2e15, "1.2E+15"}, RealCase{1e16, "1E+16"},
                      RealCase{1.234e16, "1.234E+16"}, RealCase{3.14159265359, "3.14159265359"},
                      RealCase{3.141592653589793, "3.14159265358979"},
                      RealCase{12.345678901234567, "12.3456789012346"},
                      RealCase{123.456789012345678, "123.456789012346"},
                      RealCase{1234.567890123456789, "1234.56789012346"}));

INSTANTIATE_TEST_SUITE_P(
    ByTheRule, R8TextTest,
    ::testing::Values(
        RealCase{0.1, "0.1"}, RealCase{0.1 + 0.2, "0.3"}, RealCase{1.0 / 3, "0.333333333333333"},
        RealCase{2.0 / 3, "0.666666666666667"}, RealCase{-0.0, "0"}, RealCase{0.0, "0"},
        RealCase{1e21, "1E+21"}, RealCase{1e20, "1E+20"},
        RealCase{9007199254740992.0, "9.00719925474099E+15"},
        RealCase{123456789012345678.0, "1.23456789012346E+17"}, RealCase{1e-5, "0.00001"},
        RealCase{1.5e-7, "0.00000015"}, RealCase{-1e-7, "-0.0000001"},
        RealCase{1e-14, "0.00000000000001"}, RealCase{1e-15, "1E-15"},
        RealCase{1.234567890123e-5, "1.234567890123E-05"}, RealCase{1e-20, "1E-20"},
        RealCase{1e100, "1E+100"}, RealCase{1.7976931348623157e308, "1.79769313486232E+308"},
        RealCase{2.2250738585072014e-308, "2.2250738585072E-308"}, RealCase{-2.5, "-2.5"},
        RealCase{0.5, "0.5"}, RealCase{100, "100"}, RealCase{12345.678, "12345.678"},
        RealCase{44196.5729166667, "44196.5729166667"}, RealCase{-1e21, "-1E+21"}));

struct FloatCase {
  float value;
  const char* text;
};

class R4TextTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(R4TextTest, SevenSignificantDigits) {
  EXPECT_EQ(text(vR4(GetParam().value)), GetParam().text) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Windows, R4TextTest,
    ::testing::Values(FloatCase{0.5f, "0.5"}, FloatCase{0.05f, "0.05"}, FloatCase{0.005f, "0.005"},
                      FloatCase{0.0005f, "0.0005"}, FloatCase{0.00005f, "0.00005"},
                      FloatCase{0.000005f, "0.000005"}, FloatCase{1e8f, "1E+08"},
                      FloatCase{1e12f, "1E+12"}, FloatCase{1e14f, "1E+14"},
                      FloatCase{999999999999999.0f, "1E+15"}, FloatCase{1e15f, "1E+15"},
                      FloatCase{1.2e15f, "1.2E+15"}, FloatCase{1e16f, "1E+16"},
                      FloatCase{1.234e16f, "1.234E+16"}, FloatCase{3.141593f, "3.141593"},
                      FloatCase{3.14159265f, "3.141593"}, FloatCase{12.3456789f, "12.34568"},
                      FloatCase{123.45678901f, "123.4568"}, FloatCase{1234.56789012f, "1234.568"},
                      FloatCase{654322.23456f, "654322.3"}, FloatCase{654322.25f, "654322.3"}));

INSTANTIATE_TEST_SUITE_P(ByTheRule, R4TextTest,
                         ::testing::Values(FloatCase{0.1f, "0.1"}, FloatCase{1.0f / 3, "0.3333333"},
                                           FloatCase{16777216.0f, "1.677722E+07"},
                                           FloatCase{1e7f, "1E+07"}, FloatCase{3.4e38f, "3.4E+38"},
                                           FloatCase{1e-5f, "0.00001"}, FloatCase{1e-7f, "1E-07"},
                                           FloatCase{123456789.0f, "1.234568E+08"},
                                           FloatCase{-0.0f, "0"}));

TEST(R4TextTest, AFloatWidenedToR8ShowsItsBinaryExpansion) {
  EXPECT_EQ(text(vR8(double(0.1f))), "0.100000001490116");
}

TEST(ScalarTextTest, EmptyBecomesANonNullEmptyString) { EXPECT_EQ(text(VARIANT{}), ""); }

TEST(ScalarTextTest, BooleansAreTheirRawValue) {
  EXPECT_EQ(text(vBool(VARIANT_TRUE)), "-1");
  EXPECT_EQ(text(vBool(VARIANT_FALSE)), "0");
  EXPECT_EQ(text(vBool(1)), "1");
  EXPECT_EQ(text(vBool(VARIANT_TRUE), VARIANT_ALPHABOOL), "True");
  EXPECT_EQ(text(vBool(1), VARIANT_ALPHABOOL), "True");
  EXPECT_EQ(text(vBool(VARIANT_FALSE), VARIANT_LOCALBOOL), "False");
}

TEST(ScalarTextTest, IntegersOfEveryWidth) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I1;
  v.cVal = -42;
  EXPECT_EQ(text(v), "-42");
  v.vt = VT_UI1;
  v.bVal = 200;
  EXPECT_EQ(text(v), "200");
  v.vt = VT_I2;
  v.iVal = -32768;
  EXPECT_EQ(text(v), "-32768");
  v.vt = VT_UI2;
  v.uiVal = 65535;
  EXPECT_EQ(text(v), "65535");
  v.vt = VT_I4;
  v.lVal = INT32_MIN;
  EXPECT_EQ(text(v), "-2147483648");
  v.vt = VT_UI4;
  v.ulVal = 4294967295u;
  EXPECT_EQ(text(v), "4294967295");
  v.vt = VT_INT;
  v.intVal = -7;
  EXPECT_EQ(text(v), "-7");
  v.vt = VT_UINT;
  v.uintVal = 7;
  EXPECT_EQ(text(v), "7");
  v.vt = VT_I8;
  v.llVal = INT64_MIN;
  EXPECT_EQ(text(v), "-9223372036854775808");
  v.vt = VT_UI8;
  v.ullVal = UINT64_MAX;
  EXPECT_EQ(text(v), "18446744073709551615");
}

TEST(ScalarTextTest, CurrencyIsExact) {
  EXPECT_EQ(text(vCurrency(0)), "0");
  EXPECT_EQ(text(vCurrency(10000)), "1");
  EXPECT_EQ(text(vCurrency(15000)), "1.5");
  EXPECT_EQ(text(vCurrency(-15000)), "-1.5");
  EXPECT_EQ(text(vCurrency(9)), "0.0009");
  EXPECT_EQ(text(vCurrency(4294967295)), "429496.7295");
  EXPECT_EQ(text(vCurrency(INT64_MAX)), "922337203685477.5807");
  EXPECT_EQ(text(vCurrency(INT64_MIN)), "-922337203685477.5808");
}

TEST(ScalarTextTest, DecimalsAreExact) {
  auto dec = [](BYTE scale, bool negative, ULONG hi, ULONGLONG lo) {
    VARIANT v;
    VariantInit(&v);
    v.decVal.scale = scale;
    v.decVal.sign = negative ? 0x80 : 0;
    v.decVal.Hi32 = hi;
    v.decVal.Lo64 = lo;
    v.vt = VT_DECIMAL;
    return v;
  };
  EXPECT_EQ(text(dec(1, false, 0, 10)), "1");
  EXPECT_EQ(text(dec(3, false, 0, 1500)), "1.5");
  EXPECT_EQ(text(dec(10, false, 0, 1)), "0.0000000001");
  EXPECT_EQ(text(dec(0, false, 0xFFFFFFFF, ~0ull)), "79228162514264337593543950335");
  EXPECT_EQ(text(dec(28, false, 0xFFFFFFFF, ~0ull)), "7.9228162514264337593543950335");
  EXPECT_EQ(text(dec(2, true, 0, 12345)), "-123.45");
  EXPECT_EQ(text(dec(29, false, 0, 1)), "!80070057");
}

struct DateCase {
  double value;
  const char* text;
};

class DateTextTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(DateTextTest, EnUsShortDateAndLongTime) {
  EXPECT_EQ(text(vDate(GetParam().value)), GetParam().text) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Windows, DateTextTest,
    ::testing::Values(DateCase{0.0, "12:00:00 AM"}, DateCase{3.34, "1/2/1900 8:09:36 AM"},
                      DateCase{3339.34, "2/20/1909 8:09:36 AM"}, DateCase{365.00, "12/30/1900"},
                      DateCase{365.25, "12/30/1900 6:00:00 AM"}, DateCase{1461.0, "12/31/1903"},
                      DateCase{1461.5, "12/31/1903 12:00:00 PM"},
                      DateCase{-49192.24, "4/24/1765 5:45:36 AM"}, DateCase{-657434.0, "1/1/100"},
                      DateCase{2958465.0, "12/31/9999"}, DateCase{25570.0, "1/2/1970"}));

INSTANTIATE_TEST_SUITE_P(
    ByTheRule, DateTextTest,
    ::testing::Values(
        DateCase{0.5, "12:00:00 PM"}, DateCase{1.0, "12/31/1899"},
        DateCase{2.75, "1/1/1900 6:00:00 PM"}, DateCase{-0.25, "6:00:00 AM"},
        DateCase{-1.5, "12/29/1899 12:00:00 PM"}, DateCase{-2.75, "12/28/1899 6:00:00 PM"},
        DateCase{36526.0, "1/1/2000"}, DateCase{44196.0, "12/31/2020"},
        DateCase{44196.572916666664, "12/31/2020 1:45:00 PM"},
        DateCase{44196.5729, "12/31/2020 1:44:59 PM"}, DateCase{45000.5, "3/15/2023 12:00:00 PM"},
        DateCase{2958465.99999, "12/31/9999 11:59:59 PM"}, DateCase{2958466.0, "!80070057"},
        DateCase{-657435.0, "!80070057"}, DateCase{44196.999999, "1/1/2021 12:00:00 AM"},
        DateCase{1.0000001, "12/31/1899 12:00:00 AM"}, DateCase{0.99999999, "12:00:00 AM"}));

TEST(DateTextTest, UseNlsWritesDateAndTime) {
  EXPECT_EQ(text(vDate(25570.0), VARIANT_USE_NLS), "1/2/1970 12:00:00 AM");
}

TEST(ChangeTypeTextTest, NullErrorAndUnknownAreRefusedAndTheDestinationKept) {
  VARIANT dest = vText(u"keep");
  const BSTR before = dest.bstrVal;
  VARIANT src;
  VariantInit(&src);
  src.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_DATE), DISP_E_TYPEMISMATCH);
  src.vt = VT_ERROR;
  src.scode = DISP_E_TYPEMISMATCH;
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_DATE), DISP_E_TYPEMISMATCH);
  CountedUnknown unk;
  src.vt = VT_UNKNOWN;
  src.punkVal = &unk;
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(unk.refs(), 1);
  EXPECT_EQ(dest.vt, VT_BSTR);
  EXPECT_EQ(dest.bstrVal, before);
  VariantClear(&dest);
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  VARIANT out;
  VariantInit(&out);
  EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_NULL), S_OK);
  EXPECT_EQ(out.vt, VT_NULL);
}

TEST(ChangeTypeTextTest, BstrToBstrIsACopy) {
  VARIANT src = vText(u"copy me");
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), S_OK);
  EXPECT_NE(out.bstrVal, src.bstrVal);
  EXPECT_EQ(std::u16string(out.bstrVal), u"copy me");
  VariantClear(&out);
  VariantClear(&src);
}

TEST(ChangeTypeMechanicsTest, ConvertsInPlace) {
  VARIANT v = vR8(0.1);
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(v.bstrVal), u"0.1");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_R8), S_OK);
  EXPECT_EQ(v.vt, VT_R8);
  EXPECT_EQ(v.dblVal, 0.1);
}

TEST(ChangeTypeMechanicsTest, KeepsAnInvalidDestinationOnFailure) {
  VARIANT dest;
  VariantInit(&dest);
  dest.vt = VT_FILETIME;  // not valid in a VARIANT
  VARIANT src;
  VariantInit(&src);
  src.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(dest.vt, VT_FILETIME);
}

TEST(ChangeTypeMechanicsTest, RefusesBadVarTypes) {
  VARIANT dest, src = vR8(1);
  VariantInit(&dest);
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_CLSID), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_LPSTR), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_LPWSTR), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_FILETIME), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, 15), DISP_E_BADVARTYPE);
  src.vt = VT_VECTOR | VT_R8;
  EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), DISP_E_BADVARTYPE);
  EXPECT_EQ(dest.vt, VT_EMPTY);
}

TEST(ChangeTypeMechanicsTest, DereferencesTheSource) {
  double value = 2.5;
  VARIANT src;
  VariantInit(&src);
  src.vt = VT_R8 | VT_BYREF;
  src.pdblVal = &value;
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(out.bstrVal), u"2.5");
  VariantClear(&out);
  src.pdblVal = nullptr;
  EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
}

TEST(ChangeTypeMechanicsTest, ObjectsConvertThroughTheirValue) {
  VARIANT value = vR8(1.5);
  ValueDispatch object(value);
  VARIANT src;
  VariantInit(&src);
  src.vt = VT_DISPATCH;
  src.pdispVal = &object;
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(std::u16string(out.bstrVal), u"1.5");
  VariantClear(&out);
  ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_DATE), S_OK);
  EXPECT_EQ(out.date, 1.5);
  EXPECT_EQ(VariantChangeType(&out, &src, VARIANT_NOVALUEPROP, VT_BSTR), DISP_E_TYPEMISMATCH);
  ValueDispatch failing(value, E_FAIL);
  src.pdispVal = &failing;
  EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(object.refs(), 1);
}

TEST(ChangeTypeMechanicsTest, BytesAndTextConvertVerbatim) {
  VARIANT src;
  VariantInit(&src);
  src.vt = VT_ARRAY | VT_UI1;
  src.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  std::memcpy(src.parray->pvData, "abc", 3);
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(VariantChangeType(&out, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(SysStringByteLen(out.bstrVal), 3u);
  VARIANT back;
  VariantInit(&back);
  ASSERT_EQ(VariantChangeType(&back, &out, 0, VT_ARRAY | VT_UI1), S_OK);
  EXPECT_EQ(back.parray->rgsabound[0].cElements, 3u);
  EXPECT_EQ(std::memcmp(back.parray->pvData, "abc", 3), 0);
  VariantClear(&back);
  VariantClear(&out);
  EXPECT_EQ(VariantChangeType(&out, &src, 0, VT_ARRAY | VT_I2), DISP_E_TYPEMISMATCH);
  VariantClear(&src);
}

}  // namespace
