#include "values/attribute_to_stored.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

struct In {
  VARIANT v;
  In() { VariantInit(&v); }
  explicit In(const char16_t* text) {
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
  }
  ~In() { VariantClear(&v); }
};

struct ParseCase {
  const char16_t* text;
  VARTYPE vt;
  LONG expected;
};

class AttributeToStoredParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(AttributeToStoredParseTest, TextIsParsedAsFarAsItGoes) {
  const ParseCase& c = GetParam();
  In in(c.text);
  StoredValue out;
  ASSERT_TRUE(AttributeToStored(&in.v, c.vt, false, out));
  EXPECT_EQ(c.vt, out.oValue.vt);
  LONG got = c.vt == VT_I4 ? out.oValue.lVal : out.oValue.iVal;
  EXPECT_EQ(c.expected, got);
  EXPECT_FALSE(out.bDelete);
}

INSTANTIATE_TEST_SUITE_P(Numbers, AttributeToStoredParseTest,
                         ::testing::Values(ParseCase{u"12abc", VT_I4, 12},
                                           ParseCase{u"abc", VT_I4, 0}, ParseCase{u"", VT_I4, 0},
                                           ParseCase{u"  -7", VT_I4, -7},
                                           ParseCase{u"99999999999", VT_I4, 2147483647},
                                           ParseCase{u"70000", VT_I2, 4464},  // the low 16 bits
                                           ParseCase{u"True", VT_BOOL, 0},
                                           ParseCase{u"1", VT_BOOL, 1},
                                           ParseCase{u"-1", VT_BOOL, -1}));

TEST(AttributeToStoredTest, NumbersGoThroughTheirText) {
  In in;
  in.v.vt = VT_R8;
  in.v.dblVal = 2.5;
  StoredValue r4;
  ASSERT_TRUE(AttributeToStored(&in.v, VT_R4, false, r4));
  EXPECT_EQ(2.5f, r4.oValue.fltVal);
  StoredValue text;
  ASSERT_TRUE(AttributeToStored(&in.v, VT_LPWSTR, false, text));
  EXPECT_EQ(std::u16string(u"2.5"), text.oValue.pwszVal);
}

TEST(AttributeToStoredTest, EmptyDeletesOnlyFileTimes) {
  In empty;
  StoredValue ft;
  ASSERT_TRUE(AttributeToStored(&empty.v, VT_FILETIME, false, ft));
  EXPECT_TRUE(ft.bDelete);

  StoredValue wide;
  ASSERT_TRUE(AttributeToStored(&empty.v, VT_LPWSTR, false, wide));
  EXPECT_FALSE(wide.bDelete);
  ASSERT_NE(nullptr, wide.oValue.pwszVal);
  EXPECT_EQ(std::u16string(), wide.oValue.pwszVal);

  StoredValue number;
  ASSERT_TRUE(AttributeToStored(&empty.v, VT_I4, false, number));
  EXPECT_EQ(0, number.oValue.lVal);
}

TEST(AttributeToStoredTest, UnconvertibleTargetsAreRefused) {
  In in(u"x");
  for (VARTYPE vt :
       {VARTYPE(VT_CLSID), VARTYPE(VT_CY), VARTYPE(VT_CF), VARTYPE(VT_VECTOR | VT_R8),
        VARTYPE(VT_VECTOR | VT_VARIANT), VARTYPE(VT_VECTOR | VT_LPSTR), VARTYPE(VT_UI4)}) {
    StoredValue out;
    EXPECT_FALSE(AttributeToStored(&in.v, vt, false, out)) << vt;
  }
}

TEST(AttributeToStoredTest, ValuesWithoutTextRaise) {
  In null;
  null.v.vt = VT_NULL;
  StoredValue out;
  try {
    (void)AttributeToStored(&null.v, VT_I4, false, out);
    FAIL() << "VT_NULL has no text form";
  } catch (const ValueError& e) {
    EXPECT_EQ(DISP_E_TYPEMISMATCH, e.Code());
  }
}

TEST(AttributeToStoredTest, NarrowTextIsUtf8OnlyWhenAsked) {
  In in(u"\u00E9\u4E00");
  StoredValue utf8;
  ASSERT_TRUE(AttributeToStored(&in.v, VT_LPSTR, true, utf8));
  EXPECT_STREQ("\xC3\xA9\xE4\xB8\x80", utf8.oValue.pszVal);
  StoredValue ansi;
  EXPECT_FALSE(AttributeToStored(&in.v, VT_LPSTR, false, ansi)) << "1252 has no U+4E00";
  EXPECT_EQ(VT_EMPTY, ansi.oValue.vt);
}

TEST(AttributeToStoredTest, NarrowTextGoesInTheSetsCodePageExactlyOrNotAtAll) {
  struct Case {
    UINT cp;
    const char16_t* text;
    const char* bytes;  // null: refused
  } cases[] = {
      {1251, u"\u0416\u0438\u0432", "\xC6\xE8\xE2"},
      {10000, u"\u00DCnited", "\x86nited"},
      {932, u"\u65E5\u672C", "\x93\xFA\x96\x7B"},
      {1251, u"\u0416\u00E9", nullptr},  // no e acute in Cyrillic
      {1250, u"\uFF21", nullptr},        // only a best fit ("A")
      {10000, u"\u0141ukasz", nullptr},  // no L with stroke in Mac Roman
      // CP_ACP: a set in 1252, in UTF-16 or without a code page.
      {CP_ACP, u"\u00DCn\u00EFcode \u20AC",
       "\xDCn\xEF"
       "code \x80"},
      {CP_ACP, u"", ""},
      {CP_ACP, u"\u0141\u00F3d\u017A \u017Buraw", nullptr},  // best fit "Lodz Zuraw"
      {CP_ACP, u"\u03A9mega", nullptr},                      // best fit "Omega"
      {CP_ACP, u"\u6771\u4EAC", nullptr},                    // only "??"
      {CP_ACP, u"U\u0308", nullptr},  // decomposed: no 1252 form without composing
  };
  for (const Case& c : cases) {
    In in(c.text);
    StoredValue out;
    if (!c.bytes) {
      EXPECT_FALSE(AttributeToStored(&in.v, VT_LPSTR, c.cp, out)) << c.cp;
      EXPECT_EQ(VT_EMPTY, out.oValue.vt);
      continue;
    }
    ASSERT_TRUE(AttributeToStored(&in.v, VT_LPSTR, c.cp, out)) << c.cp;
    EXPECT_EQ(VT_LPSTR, out.oValue.vt);
    EXPECT_STREQ(c.bytes, out.oValue.pszVal) << c.cp;
  }
}

TEST(AttributeToStoredTest, BstrTargetRoundTripsThroughTheAnsiCodePage) {
  In in(u"caf\u00E9 \u4E00 \u03A9");
  StoredValue out;
  ASSERT_TRUE(AttributeToStored(&in.v, VT_BSTR, false, out));
  EXPECT_EQ(std::u16string(u"caf\u00E9 ? O"), out.oValue.bstrVal)
      << "no 1252 form gives the default character; Omega has a best fit";
}

struct ZoneCase {
  const char* tz;
  WORD month;
  WORD utcHour;  // of a local 12:00
};

class AttributeToStoredZoneTest : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(AttributeToStoredZoneTest, LocalDatesAreStoredAsUtcByTheirOwnRule) {
  setenv("TZ", GetParam().tz, 1);
  tzset();
  SYSTEMTIME local = {2022, GetParam().month, 0, 15, 12, 0, 0, 0};
  In in;
  in.v.vt = VT_DATE;
  ASSERT_TRUE(SystemTimeToVariantTime(&local, &in.v.date));
  StoredValue out;
  ASSERT_TRUE(AttributeToStored(&in.v, VT_FILETIME, false, out));
  SYSTEMTIME utc = {};
  ASSERT_TRUE(FileTimeToSystemTime(&out.oValue.filetime, &utc));
  EXPECT_EQ(GetParam().utcHour, utc.wHour);
  setenv("TZ", "UTC", 1);
  tzset();
}

INSTANTIATE_TEST_SUITE_P(Zones, AttributeToStoredZoneTest,
                         ::testing::Values(ZoneCase{"UTC", 1, 12}, ZoneCase{"Europe/Berlin", 1, 11},
                                           ZoneCase{"Europe/Berlin", 7, 10},
                                           ZoneCase{"America/New_York", 1, 17},
                                           ZoneCase{"America/New_York", 7, 16}));

TEST(AttributeToStoredTest, TextThatIsNoDateIsNotWrittenAsFileTime) {
  In in(u"not a date");
  StoredValue out;
  EXPECT_FALSE(AttributeToStored(&in.v, VT_FILETIME, false, out));
}

}  // namespace
