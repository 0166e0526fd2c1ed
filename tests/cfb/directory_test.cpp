// The name order of [MS-CFB] 2.6.4: length first, then simple upper-case
// code unit by code unit.
#include "cfb/directory.h"
#include "tests/cfb/cfb_test_util.h"

namespace velmora::cfb::test {
namespace {

struct Order {
  std::u16string a, b;
  int sign;
};

class NameOrder : public ::testing::TestWithParam<Order> {};

TEST_P(NameOrder, ComparesAsTheFormatSays) {
  auto [a, b, sign] = GetParam();
  int c = compareNames(a, b);
  EXPECT_EQ((c > 0) - (c < 0), sign);
  int r = compareNames(b, a);
  EXPECT_EQ((r > 0) - (r < 0), -sign);
}

INSTANTIATE_TEST_SUITE_P(Cases, NameOrder,
                         ::testing::Values(Order{u"ABCDEFGHIJ", u"CONTENTS", 1}, Order{u"b", u"AA", -1},
                                           Order{u"contents", u"CONTENTS", 0}, Order{u"a", u"B", -1},
                                           Order{u"\x05SummaryInformation", u"\x05summaryinformation", 0},
                                           Order{u"\u00e9t\u00e9", u"\u00c9T\u00c9", 0},
                                           Order{u"\u03c3", u"\u03a3", 0},
                                           // Upper-cased first: '_' (0x5F) sorts after 'a' (as 0x41).
                                           Order{u"_", u"a", 1},
                                           Order{u"\xD800", u"\xD801", -1}));

}  // namespace
}  // namespace velmora::cfb::test
