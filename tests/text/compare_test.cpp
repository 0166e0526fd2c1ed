// lstrcmpiW, lstrcmpW, lstrlenW: equal only when texts differ by case (or are
// canonically equivalent), and Windows' word-sort order where the platform
// models it.
#include <gtest/gtest.h>
#include <windows.h>

#include "text/text.h"

namespace {

struct CasePair {
  const char16_t* a;
  const char16_t* b;
};

class CaseInsensitiveEqualTest : public ::testing::TestWithParam<CasePair> {};

TEST_P(CaseInsensitiveEqualTest, EqualWhateverTheCase) {
  EXPECT_EQ(lstrcmpiW(GetParam().a, GetParam().b), 0);
  EXPECT_EQ(lstrcmpiW(GetParam().b, GetParam().a), 0);
  EXPECT_NE(lstrcmpW(GetParam().a, GetParam().b), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, CaseInsensitiveEqualTest,
    ::testing::Values(CasePair{u"summary", u"Summary"}, CasePair{u"SUMMARY", u"summary"},
                      CasePair{u"SummaryInformation", u"SUMMARYINFORMATION"}, CasePair{u"i", u"I"},
                      CasePair{u"\u00E9t\u00E9", u"\u00C9T\u00C9"},            // été
                      CasePair{u"\u00FE\u00F0", u"\u00DE\u00D0"},              // þð
                      CasePair{u"\u0161\u017E", u"\u0160\u017D"},              // šž
                      CasePair{u"\u0153\u00FF", u"\u0152\u0178"},              // œÿ
                      CasePair{u"\u03B1\u03B2\u03B3", u"\u0391\u0392\u0393"},  // αβγ
                      CasePair{u"\u03C9\u03AC", u"\u03A9\u0386"},              // ωά
                      CasePair{u"\u0430\u0431", u"\u0410\u0411"},              // Cyrillic
                      CasePair{u"\U00010428", u"\U00010400"}));                // Deseret

TEST(CaseInsensitiveCompareTest, DifferentTextsAreNotEqual) {
  EXPECT_NE(lstrcmpiW(u"Summary\r", u"Summary"), 0);
  EXPECT_NE(lstrcmpiW(u"Summary\n", u"Summary"), 0);
  EXPECT_NE(lstrcmpiW(u"Summary\t", u"Summary"), 0);
  EXPECT_NE(lstrcmpiW(u"ABC ", u"ABC"), 0);
  EXPECT_NE(lstrcmpiW(u" ABC", u"ABC"), 0);
  EXPECT_NE(lstrcmpiW(u"x\u0300", u"x"), 0);
  EXPECT_NE(lstrcmpiW(u"\uFF21", u"A"), 0);   // width counts
  EXPECT_NE(lstrcmpiW(u"\u0131", u"I"), 0);   // dotless i
  EXPECT_NE(lstrcmpiW(u"\u0130", u"i"), 0);   // dotted capital I
  EXPECT_NE(lstrcmpiW(u"\u00DF", u"ss"), 0);  // simple folding only
  EXPECT_NE(lstrcmpiW(u"\u2010", u"-"), 0);
  EXPECT_NE(lstrcmpiW(u"\u2019", u"'"), 0);
  EXPECT_NE(lstrcmpiW(u"\u00B2", u"2"), 0);
  EXPECT_NE(lstrcmpiW(u"\u200B", u""), 0);
}

TEST(CaseInsensitiveCompareTest, CanonicallyEquivalentTextsAreEqual) {
  EXPECT_EQ(lstrcmpiW(u"\u00C1BC", u"A\u0301BC"), 0);
  EXPECT_EQ(lstrcmpiW(u"\u00E9", u"e\u0301"), 0);
  EXPECT_EQ(lstrcmpiW(u"\u00C5", u"A\u030A"), 0);
  EXPECT_EQ(lstrcmpiW(u"\u212B", u"\u00E5"), 0);              // angstrom sign decomposes to Å
  EXPECT_EQ(lstrcmpiW(u"\uD55C", u"\u1112\u1161\u11AB"), 0);  // Hangul
  EXPECT_EQ(lstrcmpW(u"\u00C1BC", u"A\u0301BC"), 0);
  // The order of marks of different classes does not matter.
  EXPECT_EQ(lstrcmpW(u"a\u0323\u0301", u"a\u0301\u0323"), 0);
}

TEST(CaseInsensitiveCompareTest, WordSortPutsHyphensAndApostrophesLast) {
  EXPECT_EQ(lstrcmpiW(u"co-op", u"coop"), 1);
  EXPECT_EQ(lstrcmpiW(u"coop", u"co-op"), -1);
  EXPECT_EQ(lstrcmpiW(u"a-", u"a"), 1);
  EXPECT_EQ(lstrcmpiW(u"co-op", u"cop"), -1);  // letters first: "coop" < "cop"
  EXPECT_EQ(lstrcmpiW(u"can't", u"cant"), 1);
}

TEST(CaseInsensitiveCompareTest, OrdersLikeWindows) {
  EXPECT_EQ(lstrcmpiW(u"a", u"B"), -1);
  EXPECT_EQ(lstrcmpiW(u"B", u"a"), 1);
  EXPECT_EQ(lstrcmpiW(u"abc", u"ABCD"), -1);
  EXPECT_EQ(lstrcmpiW(u"1", u"a"), -1);  // digits before letters
  EXPECT_EQ(lstrcmpiW(u"_", u"1"), -1);  // symbols before digits
  EXPECT_EQ(lstrcmpiW(u"~", u"a"), -1);
  EXPECT_EQ(lstrcmpiW(u"e", u"\u00E9"), -1);
  EXPECT_EQ(lstrcmpiW(u"\u00E9", u"f"), -1);  // accents weigh after letters
}

TEST(CaseSensitiveCompareTest, LowerBeforeUpper) {
  EXPECT_EQ(lstrcmpW(u"a", u"A"), -1);
  EXPECT_EQ(lstrcmpW(u"A", u"a"), 1);
  EXPECT_EQ(lstrcmpW(u"A", u"b"), -1);
  EXPECT_EQ(lstrcmpW(u"Summary", u"Summary"), 0);
}

TEST(CompareNullTest, NullSortsBeforeEverything) {
  EXPECT_EQ(lstrcmpiW(nullptr, nullptr), 0);
  EXPECT_EQ(lstrcmpiW(nullptr, u""), -1);
  EXPECT_EQ(lstrcmpiW(u"", nullptr), 1);
  EXPECT_EQ(lstrcmpW(nullptr, u"a"), -1);
  EXPECT_EQ(lstrcmpiW(u"", u""), 0);
}

TEST(StringLengthTest, CountsUpToTheTerminator) {
  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrlenW(u""), 0);
  EXPECT_EQ(lstrlenW(u"abc"), 3);
  const WCHAR embedded[] = {u'a', 0, u'b', 0};
  EXPECT_EQ(lstrlenW(embedded), 1);
  EXPECT_EQ(lstrlenW(u"\U0001F600"), 2);
}

}  // namespace

// The ASCII fast path must order every pair exactly as the general
// comparison does: random texts over letters of both cases, digits, symbols,
// hyphens and apostrophes, many of them sharing prefixes.
TEST(CompareFastPathTest, AgreesWithTheGeneralComparisonOnAsciiTexts) {
  const char16_t alphabet[] = u"aAbBzZ09-'_ .!~";
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  auto randomText = [&](std::u16string prefix) {
    size_t extra = next() % 6;
    for (size_t i = 0; i < extra; ++i)
      prefix.push_back(alphabet[next() % (sizeof alphabet / 2 - 1)]);
    return prefix;
  };
  for (int i = 0; i < 20000; ++i) {
    std::u16string a = randomText(u"");
    std::u16string b =
        next() % 2 ? randomText(a.substr(0, next() % (a.size() + 1))) : randomText(u"");
    for (bool ignoreCase : {true, false}) {
      int general =
          velmora::text::compareTextGeneral(a.data(), a.size(), b.data(), b.size(), ignoreCase);
      int fast = ignoreCase ? lstrcmpiW(a.c_str(), b.c_str()) : lstrcmpW(a.c_str(), b.c_str());
      int sign = fast < 0 ? -1 : fast > 0 ? 1 : 0;
      ASSERT_EQ(general, sign) << "ignoreCase " << ignoreCase << " a=" << a.size()
                               << " b=" << b.size();
    }
  }
}
