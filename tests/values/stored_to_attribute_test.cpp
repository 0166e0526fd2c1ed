#include "values/stored_to_attribute.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

struct Attr {
  VARIANT v;
  Attr() { VariantInit(&v); }
  ~Attr() { VariantClear(&v); }
};

std::u16string text(const VARIANT& v) {
  EXPECT_EQ(VT_BSTR, v.vt);
  return v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : u"<null>";
}

PROPVARIANT stored(VARTYPE vt) {
  PROPVARIANT pv;
  PropVariantInit(&pv);
  pv.vt = vt;
  return pv;
}

TEST(StoredToAttributeTest, BooleansBecomeCanonical) {
  for (SHORT raw : {SHORT(1), SHORT(-1), SHORT(2)}) {
    Attr a;
    auto pv = stored(VT_BOOL);
    pv.boolVal = raw;
    ASSERT_EQ(S_OK, StoredToAttribute(&a.v, &pv, false));
    EXPECT_EQ(VT_BOOL, a.v.vt);
    EXPECT_EQ(VARIANT_TRUE, a.v.boolVal) << "stored " << raw;
  }
  Attr a;
  auto pv = stored(VT_BOOL);
  ASSERT_EQ(S_OK, StoredToAttribute(&a.v, &pv, false));
  EXPECT_EQ(VARIANT_FALSE, a.v.boolVal);
}

TEST(StoredToAttributeTest, EmptyIsDeliveredAndClearsTheAttribute) {
  Attr a;
  a.v.vt = VT_BSTR;
  a.v.bstrVal = SysAllocString(u"stale");
  auto pv = stored(VT_EMPTY);
  EXPECT_EQ(S_OK, StoredToAttribute(&a.v, &pv, false));
  EXPECT_EQ(VT_EMPTY, a.v.vt);
}

TEST(StoredToAttributeTest, ZeroFileTimeIsDateZeroNotEmpty) {
  Attr a;
  auto pv = stored(VT_FILETIME);
  ASSERT_EQ(S_OK, StoredToAttribute(&a.v, &pv, false));
  EXPECT_EQ(VT_DATE, a.v.vt);
  EXPECT_EQ(0.0, a.v.date);
}

TEST(StoredToAttributeTest, FileTimeBecomesLocalDateWithTheOffsetInForceNow) {
  // Nine hours east all year, so the offset in force now is known and moves
  // the instant across midnight.
  setenv("TZ", "JST-9", 1);
  tzset();
  SYSTEMTIME st = {2021, 3, 0, 14, 15, 9, 26, 0};
  auto pv = stored(VT_FILETIME);
  ASSERT_TRUE(SystemTimeToFileTime(&st, &pv.filetime));
  Attr a;
  ASSERT_EQ(S_OK, StoredToAttribute(&a.v, &pv, false));
  SYSTEMTIME back = {};
  ASSERT_TRUE(VariantTimeToSystemTime(a.v.date, &back));
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(2021, back.wYear);
  EXPECT_EQ(15, back.wDay);
  EXPECT_EQ(0, back.wHour);
  EXPECT_EQ(9, back.wMinute);
  EXPECT_EQ(26, back.wSecond);
}

TEST(StoredToAttributeTest, VectorOfDoublesIsLinesOfText) {
  double values[] = {1, 2.5, -0.0004};
  auto pv = stored(VT_VECTOR | VT_R8);
  pv.cadbl.cElems = 3;
  pv.cadbl.pElems = values;
  Attr a;
  ASSERT_EQ(S_OK, StoredToAttribute(&a.v, &pv, false));
  EXPECT_EQ(u"1.000\r\n2.500\r\n-0.000\r\n", text(a.v));

  auto empty = stored(VT_VECTOR | VT_R8);
  Attr b;
  ASSERT_EQ(S_OK, StoredToAttribute(&b.v, &empty, false));
  ASSERT_EQ(VT_BSTR, b.v.vt);
  EXPECT_NE(nullptr, b.v.bstrVal) << "an empty vector gives an empty, non-null text";
  EXPECT_EQ(0u, SysStringLen(b.v.bstrVal));
}

TEST(StoredToAttributeTest, NarrowTextDecodingFollowsTheUtf8Flag) {
  auto pv = stored(VT_LPSTR);
  char bytes[] = "\xC3\xA9";
  pv.pszVal = bytes;
  Attr utf8, ansi;
  ASSERT_EQ(S_OK, StoredToAttribute(&utf8.v, &pv, true));
  EXPECT_EQ(u"\u00E9", text(utf8.v));
  ASSERT_EQ(S_OK, StoredToAttribute(&ansi.v, &pv, false));
  EXPECT_EQ(u"\u00C3\u00A9", text(ansi.v));

  char invalid[] = "\xE9";
  pv.pszVal = invalid;
  Attr fallback;
  ASSERT_EQ(S_OK, StoredToAttribute(&fallback.v, &pv, true));
  EXPECT_EQ(u"\u00E9", text(fallback.v)) << "invalid UTF-8 falls back to code page 1252";
}

TEST(StoredToAttributeTest, NarrowTextIsDecodedFromTheSetsCodePage) {
  auto pv = stored(VT_LPSTR);
  char bytes[] = "\x86\xC6\xE8";
  pv.pszVal = bytes;
  const std::pair<UINT, std::u16string> cases[] = {
      {10000, u"\u00DC\u2206\u00CB"},
      {1251, u"\u2020\u0416\u0438"},
      {1250, u"\u2020\u0106\u010D"},
      {UINT(CP_ACP), u"\u2020\u00C6\u00E8"},
  };
  for (const auto& [cp, expected] : cases) {
    Attr a;
    ASSERT_EQ(S_OK, StoredToAttribute(&a.v, &pv, cp));
    EXPECT_EQ(expected, text(a.v)) << cp;
  }
}

TEST(StoredToAttributeTest, AbsentWideTextGivesNullBstr) {
  auto pv = stored(VT_LPWSTR);
  Attr a;
  ASSERT_EQ(S_OK, StoredToAttribute(&a.v, &pv, false));
  EXPECT_EQ(VT_BSTR, a.v.vt);
  EXPECT_EQ(nullptr, a.v.bstrVal);
}

TEST(StoredToAttributeTest, SinglePrecisionArrivesWidened) {
  auto pv = stored(VT_R4);
  pv.fltVal = 7.85f;
  Attr a;
  ASSERT_EQ(S_OK, StoredToAttribute(&a.v, &pv, false));
  EXPECT_EQ(VT_R8, a.v.vt);
  EXPECT_EQ(static_cast<double>(7.85f), a.v.dblVal);
}

TEST(StoredToAttributeTest, TypesWithoutValueFormAreRefused) {
  CLSID clsid = IID_IStorage;
  auto pv = stored(VT_CLSID);
  pv.puuid = &clsid;
  Attr a;
  a.v.vt = VT_I4;
  a.v.lVal = 5;
  EXPECT_EQ(E_INVALIDARG, StoredToAttribute(&a.v, &pv, false));
  EXPECT_EQ(VT_EMPTY, a.v.vt) << "a scalar without value form clears the attribute";

  auto vec = stored(VT_VECTOR | VT_LPSTR);
  Attr b;
  b.v.vt = VT_I4;
  b.v.lVal = 5;
  EXPECT_EQ(E_INVALIDARG, StoredToAttribute(&b.v, &vec, false));
  EXPECT_EQ(VT_I4, b.v.vt) << "a vector of another type leaves the attribute untouched";
  EXPECT_EQ(5, b.v.lVal);
}

}  // namespace
