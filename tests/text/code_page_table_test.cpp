// MultiByteToWideChar and WideCharToMultiByte for the table code pages:
// whole-repertoire round trips, characters checked against the published
// tables, Windows' handling of undefined and truncated input, best fit and
// the default character.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::u16string widen(UINT cp, const std::string& bytes, DWORD flags = 0) {
  const int n = MultiByteToWideChar(cp, flags, bytes.data(), int(bytes.size()), nullptr, 0);
  std::u16string out(size_t(n > 0 ? n : 0), u'\0');
  if (n > 0) MultiByteToWideChar(cp, flags, bytes.data(), int(bytes.size()), out.data(), n);
  return out;
}

std::string narrow(UINT cp, const std::u16string& text, DWORD flags = 0, BOOL* used = nullptr,
                   const char* defaultChar = nullptr) {
  const int n =
      WideCharToMultiByte(cp, flags, text.data(), int(text.size()), nullptr, 0, defaultChar, used);
  std::string out(size_t(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(cp, flags, text.data(), int(text.size()), out.data(), n, defaultChar, used);
  }
  return out;
}

bool isDoubleBytePage(UINT cp) {
  return cp == 932 || cp == 936 || cp == 949 || cp == 950 || cp == 10001 || cp == 10002 ||
         cp == 10003 || cp == 10008;
}

struct Repertoire {
  std::vector<std::string> codes;  // every byte or pair that decodes
  std::u16string units;            // what each decodes to, in the same order
};

Repertoire repertoireOf(UINT cp) {
  Repertoire r;
  auto probe = [&](const std::string& code) {
    WCHAR unit[2];
    if (MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, code.data(), int(code.size()), unit, 2) ==
        1) {
      r.codes.push_back(code);
      r.units.push_back(unit[0]);
    }
  };
  for (int b = 1; b < 256; ++b) probe(std::string(1, char(b)));
  if (isDoubleBytePage(cp)) {
    for (int lead = 0x81; lead < 0xFF; ++lead) {
      for (int trail = 0x40; trail < 0xFF; ++trail) probe({char(lead), char(trail)});
    }
  }
  return r;
}

class TableCodePageTest : public ::testing::TestWithParam<UINT> {};

TEST_P(TableCodePageTest, RoundTripsItsWholeRepertoire) {
  const UINT cp = GetParam();
  const Repertoire r = repertoireOf(cp);
  // Every single byte of an 8-bit page is defined, as in Windows' tables.
  if (!isDoubleBytePage(cp)) {
    EXPECT_EQ(r.codes.size(), 255u);
  } else {
    EXPECT_GT(r.codes.size(), 7000u);
  }
  for (size_t i = 0; i < r.codes.size(); ++i) {
    BOOL used = TRUE;
    const std::string back = narrow(cp, std::u16string(1, r.units[i]), WC_NO_BEST_FIT_CHARS, &used);
    EXPECT_FALSE(used) << "cp " << cp << " U+" << std::hex << int(r.units[i]);
    // Duplicates encode to one of their codes; that code decodes the same.
    EXPECT_EQ(widen(cp, back, MB_ERR_INVALID_CHARS), std::u16string(1, r.units[i]))
        << "cp " << cp << " U+" << std::hex << int(r.units[i]);
  }
  // All of it at once, through one call each way.
  std::string all;
  for (const std::string& c : r.codes) all += c;
  EXPECT_EQ(widen(cp, all, MB_ERR_INVALID_CHARS), r.units);
  BOOL used = TRUE;
  EXPECT_EQ(widen(cp, narrow(cp, r.units, WC_NO_BEST_FIT_CHARS, &used)), r.units);
  EXPECT_FALSE(used);
}

TEST_P(TableCodePageTest, UnmappableTextGivesTheDefaultCharacter) {
  const UINT cp = GetParam();
  BOOL used = FALSE;
  // U+0D05 (Malayalam) and U+1F600 (two surrogates) are in none of the pages.
  EXPECT_EQ(narrow(cp, u"a\u0D05b\U0001F600", 0, &used), "a?b??");
  EXPECT_TRUE(used);
  used = FALSE;
  EXPECT_EQ(narrow(cp, u"a\u0D05", 0, &used, "*"), "a*");
  EXPECT_TRUE(used);
  used = TRUE;
  EXPECT_EQ(narrow(cp, u"plain ASCII?", 0, &used), "plain ASCII?");
  EXPECT_FALSE(used);
}

INSTANTIATE_TEST_SUITE_P(CodePages, TableCodePageTest,
                         ::testing::Values(874u, 1250u, 1251u, 1253u, 1254u, 1255u, 1256u, 1257u,
                                           1258u, 437u, 850u, 852u, 866u, 10000u, 10006u, 10007u,
                                           10029u, 10079u, 10081u, 932u, 936u, 949u, 950u, 10001u,
                                           10002u, 10003u, 10008u),
                         [](const auto& info) { return "cp" + std::to_string(info.param); });

struct Known {
  UINT cp;
  const char* bytes;
  std::u16string text;
};

// From the published tables (bestfit*.txt MBTABLE and the vendors' mapping
// files), including the bytes Windows defines where other tables do not.
TEST(TableCodePageValuesTest, DecodeAndEncodeAsThePublishedTables) {
  const Known cases[] = {
      {1250, "\x8A\xB9\xE8", u"\u0160\u0105\u010D"},
      {1250, "\x81", u"\u0081"},
      {1251, "\xC6\xFF\xA8", u"\u0416\u044F\u0401"},
      {1251, "\x98", u"\u0098"},
      {1253, "\xC1\xF9", u"\u0391\u03C9"},
      {1253, "\xAA\xD2\xFF", u"\uF8F9\uF8FA\uF8FB"},
      {1254, "\xD0\xFD", u"\u011E\u0131"},
      {1255, "\xE0\xCA\xFB", u"\u05D0\u05BA\uF894"},
      {1256, "\xC7\x81", u"\u0627\u067E"},
      {1257, "\xC0\xA1", u"\u0104\uF8FC"},
      {1258, "\xD2\xFE", u"\u0309\u20AB"},
      {874, "\xA1\xDB\x81", u"\u0E01\uF8C1\u0081"},
      {437, "\x81\xB0", u"\u00FC\u2591"},
      {850, "\xD5\x9B", u"\u0131\u00F8"},
      {852, "\xA5", u"\u0105"},
      {866, "\x80\xF0", u"\u0410\u0401"},
      {10000, "\x86\xDB\xF0", u"\u00DC\u20AC\uF8FF"},
      {10006, "\xC1", u"\u039D"},
      {10007, "\x80\xDF", u"\u0410\u044F"},
      {10029, "\x81", u"\u0100"},
      {10079, "\xDC", u"\u00D0"},
      {10081, "\xDA", u"\u011E"},
      {932, "\x82\xA0\x88\x9F\xB1", u"\u3042\u4E9C\uFF71"},
      {932, "\x87\x40\xF0\x40\x5C", u"\u2460\uE000\\"},
      {936, "\xD6\xD0\x80\x81\x40", u"\u4E2D\u20AC\u4E02"},
      {949, "\xB0\xA1\xA2\xE6", u"\uAC00\u20AC"},
      {950, "\xA4\xA4\xA3\xE1", u"\u4E2D\u20AC"},
      {CP_OEMCP, "\x81", u"\u00FC"},
      {CP_MACCP, "\x86", u"\u00DC"},
      // The Mac East Asian pages: Shift-JIS, Big5, KS X 1001 and GB 2312
      // with Apple's single bytes.
      {10001, "\x82\xA0\x88\x9F\xB1\xFD", u"\u3042\u4E9C\uFF71\u00A9"},
      {10002, "\xA4\xA4\xC5\x40\xFE", u"\u4E2D\u8B77\u2122"},
      {10003, "\xB0\xA1\x81\x83", u"\uAC00\u20A9\u00A9"},
      {10008, "Microsoft Office \xD3\xC3\xBB\xA7\xFF", u"Microsoft Office \u7528\u6237\u2026"},
  };
  for (const Known& c : cases) {
    EXPECT_EQ(widen(c.cp, c.bytes, MB_ERR_INVALID_CHARS), c.text) << c.cp << " " << c.bytes;
    BOOL used = TRUE;
    EXPECT_EQ(narrow(c.cp, c.text, WC_NO_BEST_FIT_CHARS, &used), c.bytes) << c.cp;
    EXPECT_FALSE(used);
  }
}

TEST(TableCodePageValuesTest, DuplicatesEncodeToTheCodeWindowsPrefers) {
  // NEC row 13 and the IBM rows share characters; Windows encodes them to
  // the JIS row or the IBM row.
  EXPECT_EQ(narrow(932, u"\u2252\u2170\uFFE2"), "\x81\xE0\xFA\x40\x81\xCA");
  EXPECT_EQ(widen(932, "\x87\x90\xED\x40\xEE\xEF"), u"\u2252\u7E8A\u2170");
}

TEST(TableCodePageValuesTest, BestFitUnlessForbidden) {
  struct Case {
    UINT cp;
    std::u16string text;
    const char* bestFit;
  } cases[] = {
      {1250, u"\uFF21\uFF5E", "A~"},
      {1251, u"\uFF10", "0"},
      {932, u"\u301C\u00A2", "\x81\x60\x81\x91"},
      {950, u"\u00A2", "\xA2\x46"},
  };
  for (const Case& c : cases) {
    BOOL used = TRUE;
    EXPECT_EQ(narrow(c.cp, c.text, 0, &used), c.bestFit) << c.cp;
    EXPECT_FALSE(used);
    EXPECT_EQ(narrow(c.cp, c.text, WC_NO_BEST_FIT_CHARS, &used), std::string(c.text.size(), '?'))
        << c.cp;
    EXPECT_TRUE(used);
  }
  // Mac and OEM pages have no best fit.
  BOOL used = FALSE;
  EXPECT_EQ(narrow(10000, u"\uFF21", 0, &used), "?");
  EXPECT_TRUE(used);
}

TEST(TableCodePageValuesTest, ComposesWithCompositeCheck) {
  EXPECT_EQ(narrow(1250, u"c\u030C", WC_COMPOSITECHECK), "\xE8");
  EXPECT_EQ(narrow(1251, u"\u0415\u0308", WC_COMPOSITECHECK), "\xA8");
  EXPECT_EQ(widen(1250, "\xE8", MB_COMPOSITE), u"c\u030C");
}

class DoubleByteTest : public ::testing::TestWithParam<UINT> {};

// A lead byte of each page, and a character of it that takes two bytes.
char leadOf(UINT cp) { return cp == 10002 || cp == 10003 || cp == 10008 ? '\xB0' : '\x82'; }
std::u16string wideOf(UINT cp) { return cp == 949 || cp == 10003 ? u"\uAC00" : u"\u4E2D"; }

TEST_P(DoubleByteTest, RefusesTruncatedLeadBytes) {
  const UINT cp = GetParam();
  const std::u16string fallback(1, cp == 932 ? char16_t(0x30FB) : u'?');
  const std::string lead(1, leadOf(cp));
  WCHAR buf[8];
  for (const std::string& bad : {"ab" + lead, lead + "\x21", lead + std::string(1, '\0')}) {
    SetLastError(0);
    EXPECT_EQ(
        MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bad.data(), int(bad.size()), nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bad.data(), int(bad.size()), buf, 8),
              0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  }
  // Without the flag the lone lead byte becomes the default character, and
  // a byte that cannot trail it is read on its own.
  EXPECT_EQ(widen(cp, "ab" + lead), u"ab" + fallback);
  EXPECT_EQ(widen(cp, lead + "!"), fallback + u"!");
  // A count that cuts a pair in half leaves a lone lead byte too.
  const std::string pair = narrow(cp, wideOf(cp));
  ASSERT_EQ(2u, pair.size());
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, pair.data(), 1, buf, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST_P(DoubleByteTest, NeverWritesHalfACharacter) {
  const UINT cp = GetParam();
  const std::u16string text = u"a" + wideOf(cp);
  const std::string bytes = narrow(cp, text);
  ASSERT_EQ(bytes.size(), 3u);
  char buf[4] = {0x55, 0x55, 0x55, 0x55};
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(cp, 0, text.data(), 2, buf, 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buf[1], 0x55);
  // A double-byte default character is taken whole.
  BOOL used = FALSE;
  EXPECT_EQ(narrow(cp, u"\u0D05", 0, &used, bytes.c_str() + 1), bytes.substr(1));
  EXPECT_TRUE(used);
}

INSTANTIATE_TEST_SUITE_P(CodePages, DoubleByteTest,
                         ::testing::Values(932u, 936u, 949u, 950u, 10001u, 10002u, 10003u, 10008u),
                         [](const auto& info) { return "cp" + std::to_string(info.param); });

TEST(UnknownCodePageTest, FailsWithInvalidParameter) {
  WCHAR wbuf[4];
  char buf[4];
  for (UINT cp : {UINT(CP_UTF7), 1200u, 1201u, 12345u, 20127u, 28591u, 54936u, 42u}) {
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(cp, 0, "abc", 3, wbuf, 4), 0) << cp;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << cp;
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(cp, 0, u"abc", 3, buf, 4, nullptr, nullptr), 0) << cp;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << cp;
  }
}

}  // namespace

// A default character that starts with a lead byte is that double-byte
// character; UTF-8 takes a default character but never substitutes it.
TEST(DefaultCharacterTest, LeadByteDefaultsAreWholeAndUtf8NeverSubstitutes) {
  BOOL used = FALSE;
  EXPECT_EQ(narrow(932, u"a\u0D05", 0, &used, "\x81\x40"), "a\x81\x40");
  EXPECT_TRUE(used);
  used = TRUE;
  EXPECT_EQ(narrow(CP_UTF8, u"a\u0D05", 0, &used, "*"), "a\xE0\xB4\x85");
  EXPECT_FALSE(used);
}
