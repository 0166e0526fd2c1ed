// The index gives the scan's answer for every name: each catalogue name in
// several casings, near misses, names the locale decides, and random plain
// names.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "propstore/catalogue_index.h"

namespace {

TEST(CatalogueIndexTest, GivesTheScansFirstMatchForEveryName) {
  std::vector<std::u16string> names = {u"",
                                       u" ",
                                       u"Titl",
                                       u"Title ",
                                       u" Title",
                                       u"Ixx",
                                       u"l xx",
                                       u"TitlesOfParts",
                                       u"Mass\u00A0",
                                       u"T\u00EFtle",
                                       u"\uFF34itle",
                                       u"Last\tSaved By",
                                       u"LAST SAVED BY",
                                       std::u16string(70, u'a'),
                                       std::u16string(70, u'a') + u"\u00E9"};
  for (const PropSetDef& set : g_PropSets) {
    for (ULONG i = 0; i < set.cRows; ++i) {
      std::u16string name(set.pTable[i].name);
      std::u16string upper = name, lower = name, mixed = name;
      for (size_t k = 0; k < name.size(); ++k) {
        if (name[k] >= u'a' && name[k] <= u'z') upper[k] = char16_t(name[k] - 32);
        if (name[k] >= u'A' && name[k] <= u'Z') lower[k] = char16_t(name[k] + 32);
        mixed[k] = k % 2 ? upper[k] : lower[k];
      }
      names.insert(names.end(), {name, upper, lower, mixed, name + u"s", name.substr(1)});
    }
  }
  std::mt19937 random(14);
  const char16_t alphabet[] = u"aAbBcClLmMsStTxX 0123";
  for (int n = 0; n < 2000; ++n) {
    std::u16string name(random() % 6 + 1, u' ');
    for (auto& ch : name) ch = alphabet[random() % (sizeof alphabet / sizeof *alphabet - 1)];
    names.push_back(name);
  }
  for (const PropSetDef& set : g_PropSets) {
    for (const auto& name : names)
      ASSERT_EQ(FindRow(set, name.c_str()), LookupRow(set, name.c_str()))
          << std::string(name.begin(), name.end());
    EXPECT_EQ(-1, LookupRow(set, nullptr));
  }
  EXPECT_EQ(4, LookupRow(g_PropSets[kPhysicalSet], u"CENTER"));
}

}  // namespace
