// MultiByteToWideChar and WideCharToMultiByte: code page 1252 (CP_ACP,
// CP_THREAD_ACP), UTF-8, the argument rules and the last-error codes.
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

// The 80-9F row of code page 1252, undefined bytes included.
const char16_t kRow80[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

class AnsiCodePageTest : public ::testing::TestWithParam<UINT> {};

TEST_P(AnsiCodePageTest, DecodesTheRow80To9FAsWindowsDoes) {
  for (int i = 0; i < 32; ++i) {
    const std::string byte(1, char(0x80 + i));
    EXPECT_EQ(widen(GetParam(), byte, MB_ERR_INVALID_CHARS), std::u16string(1, kRow80[i]))
        << "byte " << std::hex << 0x80 + i;
  }
}

TEST_P(AnsiCodePageTest, EncodesTheRow80To9FBackToItsBytes) {
  for (int i = 0; i < 32; ++i) {
    BOOL used = TRUE;
    EXPECT_EQ(narrow(GetParam(), std::u16string(1, kRow80[i]), 0, &used),
              std::string(1, char(0x80 + i)))
        << "U+" << std::hex << int(kRow80[i]);
    EXPECT_FALSE(used);
  }
}

TEST_P(AnsiCodePageTest, RoundTripsEveryByte) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(char(b));
  const std::u16string wide = widen(GetParam(), all);
  ASSERT_EQ(wide.size(), all.size());
  BOOL used = TRUE;
  EXPECT_EQ(narrow(GetParam(), wide, WC_NO_BEST_FIT_CHARS, &used), all);
  EXPECT_FALSE(used);
}

TEST_P(AnsiCodePageTest, UndefinedBytesAreNotErrors) {
  EXPECT_EQ(widen(GetParam(), "\x81\x8D\x8F\x90\x9D", MB_ERR_INVALID_CHARS),
            (std::u16string{0x81, 0x8D, 0x8F, 0x90, 0x9D}));
}

TEST_P(AnsiCodePageTest, BestFitsLookAlikes) {
  struct Case {
    char16_t unit;
    char byte;
  } cases[] = {{0x0100, 'A'},        {0x0101, 'a'}, {0x0141, 'L'}, {0x0110, char(0xD0)},
               {0x2212, '-'},        {0x2010, '-'}, {0x2011, '-'}, {0x2002, ' '},
               {0x3000, ' '},        {0x221E, '8'}, {0x03A9, 'O'}, {0x03B2, char(0xDF)},
               {0x212B, char(0xC5)}, {0xFF21, 'A'}, {0xFF01, '!'}, {0xFF5E, '~'},
               {0x0301, char(0xB4)}};
  for (const Case& c : cases) {
    BOOL used = TRUE;
    EXPECT_EQ(narrow(GetParam(), std::u16string(1, c.unit), 0, &used), std::string(1, c.byte))
        << "U+" << std::hex << int(c.unit);
    EXPECT_FALSE(used) << "U+" << std::hex << int(c.unit);
  }
}

TEST_P(AnsiCodePageTest, NoBestFitGivesTheDefaultCharacter) {
  BOOL used = FALSE;
  EXPECT_EQ(narrow(GetParam(), u"\u0100\u2212", WC_NO_BEST_FIT_CHARS, &used), "??");
  EXPECT_TRUE(used);
}

TEST_P(AnsiCodePageTest, UnmappableCharactersGiveTheDefaultAndSayNo) {
  BOOL used = FALSE;
  EXPECT_EQ(narrow(GetParam(), u"\u4E2D", 0, &used), "?");
  EXPECT_TRUE(used);
  used = FALSE;
  EXPECT_EQ(narrow(GetParam(), u"\u7119\u6240", 0, &used), "??");
  EXPECT_TRUE(used);
  EXPECT_EQ(narrow(GetParam(), u"Th\u0440i"), "Th?i");
  EXPECT_EQ(narrow(GetParam(), u"\U0001F600"), "??");  // each half of the pair
  EXPECT_EQ(narrow(GetParam(), u"\u0080\uFFFD\u2190"), "???");
}

TEST_P(AnsiCodePageTest, FullwidthQuestionMarkCountsAsDefault) {
  BOOL used = FALSE;
  EXPECT_EQ(narrow(GetParam(), u"\uFF1F", 0, &used), "?");
  EXPECT_TRUE(used);
  used = TRUE;
  EXPECT_EQ(narrow(GetParam(), u"?", 0, &used), "?");
  EXPECT_FALSE(used);
}

TEST_P(AnsiCodePageTest, UsesTheCallersDefaultCharacter) {
  BOOL used = FALSE;
  EXPECT_EQ(narrow(GetParam(), u"a\u4E2Db", 0, &used, "*"), "a*b");
  EXPECT_TRUE(used);
}

TEST_P(AnsiCodePageTest, ComposesWithCompositeCheck) {
  EXPECT_EQ(narrow(GetParam(), u"a\u0301", WC_COMPOSITECHECK), "\xE1");
  EXPECT_EQ(narrow(GetParam(), u"a\u0301"), "a\xB4");
  EXPECT_EQ(narrow(GetParam(), u"x\u0301", WC_COMPOSITECHECK | WC_DISCARDNS), "x");
}

TEST_P(AnsiCodePageTest, CompositeDecodingSplitsAccentedLetters) {
  EXPECT_EQ(widen(GetParam(), "\xE9", MB_COMPOSITE), u"e\u0301");
  EXPECT_EQ(widen(GetParam(), "\xE9", MB_PRECOMPOSED), u"\u00E9");
}

INSTANTIATE_TEST_SUITE_P(CodePages, AnsiCodePageTest,
                         ::testing::Values(UINT(CP_ACP), UINT(CP_THREAD_ACP), UINT(1252)));

TEST(CodePageInfoTest, FixedEnvironment) {
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(GetOEMCP(), 437u);
}

TEST(CodePageLengthTest, MinusOneIncludesTheTerminator) {
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "", -1, nullptr, 0), 1);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -7, nullptr, 0), 4);
  WCHAR buf[8];
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", -1, buf, 8), 2);
  EXPECT_EQ(buf[0], 0xE9);
  EXPECT_EQ(buf[1], 0);
  char out[8];
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00E9", -1, out, 8, nullptr, nullptr), 3);
  EXPECT_EQ(std::string(out, 3), std::string("\xC3\xA9\0", 3));
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"", -1, nullptr, 0, nullptr, nullptr), 1);
}

TEST(CodePageLengthTest, CountedInputKeepsEmbeddedNulsAndAddsNoTerminator) {
  WCHAR buf[4] = {1, 1, 1, 1};
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "a\0b", 3, buf, 4), 3);
  EXPECT_EQ(buf[0], u'a');
  EXPECT_EQ(buf[1], 0);
  EXPECT_EQ(buf[2], u'b');
  EXPECT_EQ(buf[3], 1);
}

TEST(CodePageArgumentTest, RejectsWhatWindowsRejects) {
  WCHAR wbuf[4];
  char buf[4];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 0, wbuf, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, 3, wbuf, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, nullptr, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, wbuf, -1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", 0, buf, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", 3, nullptr, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CodePageArgumentTest, RejectsUnknownFlags) {
  WCHAR wbuf[4];
  char buf[4];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wbuf, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0x100, "abc", 3, wbuf, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0x100, u"abc", 3, buf, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0x800, u"abc", 3, buf, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"abc", 3, buf, 4, nullptr, nullptr),
            0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

// Sizes around the exact fit: one short, exact, one more.
class CodePageBufferTest : public ::testing::TestWithParam<UINT> {};

TEST_P(CodePageBufferTest, ReportsInsufficientBuffer) {
  const UINT cp = GetParam();
  const int needed = MultiByteToWideChar(cp, 0, "hello", -1, nullptr, 0);
  ASSERT_EQ(needed, 6);
  std::vector<WCHAR> buf(8, 0x7777);
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(cp, 0, "hello", -1, buf.data(), needed - 1), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buf[needed - 1], 0x7777);  // nothing written past the size given
  EXPECT_EQ(MultiByteToWideChar(cp, 0, "hello", -1, buf.data(), needed), needed);
  EXPECT_EQ(MultiByteToWideChar(cp, 0, "hello", -1, buf.data(), needed + 1), needed);

  std::vector<char> out(8, 0x55);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(cp, 0, u"hello", -1, out.data(), 5, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(out[5], 0x55);
  EXPECT_EQ(WideCharToMultiByte(cp, 0, u"hello", -1, out.data(), 6, nullptr, nullptr), 6);
}

INSTANTIATE_TEST_SUITE_P(CodePages, CodePageBufferTest,
                         ::testing::Values(UINT(CP_ACP), UINT(CP_UTF8)));

TEST(Utf8DecodeTest, RefusesInvalidInputWithTheFlag) {
  WCHAR buf[8];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC3\xA9", -1, nullptr, 0), 2);
  for (const char* bad : {"\xE9", "\xED\xA0\x80", "\xC0\x80", "\x80", "\xF4\x90\x80\x80",
                          "\xE0\xA0", "\xF8\x88\x80\x80\x80"}) {
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1, nullptr, 0), 0) << bad;
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1, buf, 8), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  }
}

struct Utf8Case {
  const char* bytes;
  std::u16string expected;
};

class Utf8ReplacementTest : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ReplacementTest, ReplacesInvalidUnitsAsWindows) {
  EXPECT_EQ(widen(CP_UTF8, GetParam().bytes), GetParam().expected);
}

const std::u16string R(1, 0xFFFD);

INSTANTIATE_TEST_SUITE_P(
    RtlStrVectors, Utf8ReplacementTest,
    ::testing::Values(
        Utf8Case{"\xED\xA0\x80", R + R}, Utf8Case{"\xED\xAF\xBF\xED\xBF\xBF", R + R + R + R},
        Utf8Case{"\xF4\x90\x80\x80", R + R + R}, Utf8Case{"\xF7\xBF\xBF\xBF", R + R + R + R},
        Utf8Case{"\xFA\x80\x80\x80\x80", R + R + R + R + R},
        Utf8Case{"\xFD\xBF\xBF\xBF\xBF\xBF", R + R + R + R + R + R}, Utf8Case{"\xC0\xAD", R + R},
        Utf8Case{"\xC1\xBF", R + R}, Utf8Case{"\xE0\x80\xAD", R + R},
        Utf8Case{"\xE0\x9F\xBF", R + R}, Utf8Case{"\xF0\x80\x80\xAD", R + R + R},
        Utf8Case{"\xF0\x8F\xBF\xBF", R + R + R}, Utf8Case{"\xFE", R}, Utf8Case{"\xFF", R},
        Utf8Case{"\xFF\x40\x80\x80\x80\x80\x80\x80\x80", R + u"@" + R + R + R + R + R + R + R},
        Utf8Case{"\x80", R}, Utf8Case{"\x80\x80", R + R}, Utf8Case{"\xC2-", R + u"-"},
        Utf8Case{"\xE0\xA0-", R + u"-"}, Utf8Case{"\xF0\x90\x80-", R + u"-"},
        Utf8Case{"\xF4\x8F\xBF-", R + u"-"}, Utf8Case{"\xFA\x80\x80\x80-", R + R + R + R + u"-"},
        Utf8Case{"\xE0\xA0\x80\x80-", u"\u0800" + R + u"-"}, Utf8Case{"\xEF\xBB\xBF-", u"\uFEFF-"},
        Utf8Case{"\xEF\xBF\xBD-\xEF\xBF\xBE-\xEF\xBF\xBF-", u"\uFFFD-\uFFFE-\uFFFF-"},
        Utf8Case{"\xC4\x87\xCC\xA7", u"\u0107\u0327"}, Utf8Case{"\xF0\x90\x80\x80", u"\U00010000"},
        Utf8Case{"\xF4\x8F\xBF\xBF", u"\U0010FFFF"}));

TEST(Utf8EncodeTest, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(narrow(CP_UTF8, std::u16string{0xD800}), "\xEF\xBF\xBD");
  EXPECT_EQ(narrow(CP_UTF8, std::u16string{0xDC00, 0xD800}), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(narrow(CP_UTF8, u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(narrow(CP_UTF8, u"\uFEFF\uFFFF"), "\xEF\xBB\xBF\xEF\xBF\xBF");
  char buf[8];
  SetLastError(0);
  const WCHAR lone[] = {0xD800, 0};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, buf, 8, nullptr, nullptr),
            0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(Utf8EncodeTest, NeverSplitsACharacterAtTheBufferEnd) {
  char buf[4] = {0x55, 0x55, 0x55, 0x55};
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a\u20AC", 2, buf, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buf[1], 0x55);
  WCHAR wbuf[2] = {0x7777, 0x7777};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", 4, wbuf, 1), 0);
  EXPECT_EQ(wbuf[0], 0x7777);
}

}  // namespace
