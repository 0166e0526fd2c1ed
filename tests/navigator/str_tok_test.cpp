#include "navigator/str_tok.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::u16string> split(const char16_t* text) {
  static const WCHAR delims[] = {u'\n', 0};
  StrTok tok(text);
  std::vector<std::u16string> out;
  for (const WCHAR* p = tok.FirstToken(delims); p;) out.push_back(tok.NextToken(&p, delims));
  return out;
}

TEST(StrTokTest, SplitsAtLineFeedsOnly) {
  using V = std::vector<std::u16string>;
  EXPECT_EQ((V{u"Summary\r", u"DocSummary"}), split(u"Summary\r\nDocSummary"));
  EXPECT_EQ((V{u" a\t", u"b "}), split(u" a\t\nb ")) << "nothing is trimmed";
}

TEST(StrTokTest, RunsOfDelimitersCountAsOne) {
  using V = std::vector<std::u16string>;
  EXPECT_EQ((V{u"a", u"b"}), split(u"\n\na\n\n\nb\n\n"));
}

TEST(StrTokTest, EmptyNullAndDelimiterOnlyListsHaveNoToken) {
  EXPECT_TRUE(split(nullptr).empty());
  EXPECT_TRUE(split(u"").empty());
  EXPECT_TRUE(split(u"\n\n\n").empty());
}

TEST(StrTokTest, StopsAtTheFirstZeroCharacter) {
  const char16_t text[] = u"a\nb\0c";
  using V = std::vector<std::u16string>;
  EXPECT_EQ((V{u"a", u"b"}), split(text));
}

}  // namespace
