#include "propstore/catalogue.h"

#include <gtest/gtest.h>

namespace {

TEST(CatalogueTest, BlockNamesIgnoreCaseButNotBlanks) {
  for (const char16_t* name : {u"summary", u"SUMMARY", u"Summary"}) {
    const BlockDef* b = ResolveBlock(g_ReadBlocks, name);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(kSummarySet, b->iSet);
  }
  EXPECT_EQ(nullptr, ResolveBlock(g_ReadBlocks, u"Summary "));
  EXPECT_EQ(nullptr, ResolveBlock(g_ReadBlocks, u" Summary"));
  EXPECT_EQ(nullptr, ResolveBlock(g_ReadBlocks, nullptr));
}

TEST(CatalogueTest, ModelInfoIsThePhysicalSet) {
  const BlockDef* model = ResolveBlock(g_WriteBlocks, u"ModelInfo");
  const BlockDef* physical = ResolveBlock(g_WriteBlocks, u"physical");
  ASSERT_NE(nullptr, model);
  ASSERT_NE(nullptr, physical);
  EXPECT_EQ(model->iSet, physical->iSet);
  const PropSetDef& set = g_PropSets[model->iSet];
  int row = FindRow(set, u"Mass");
  ASSERT_EQ(2, row);
  EXPECT_EQ(4u, set.pTable[row].propid) << "not the DTProperties Mass (58)";
  EXPECT_EQ(
      58u,
      g_PropSets[kDTPropertiesSet].pTable[FindRow(g_PropSets[kDTPropertiesSet], u"MASS")].propid);
}

TEST(CatalogueTest, RowsAreFoundByNameIgnoringCase) {
  EXPECT_EQ(6, FindRow(g_PropSets[kPhysicalSet], u"lxx"));
  EXPECT_EQ(-1, FindRow(g_PropSets[kPhysicalSet], u"Ixx")) << "capital I is not lower-case l";
  EXPECT_EQ(11, FindRow(g_PropSets[kDocSummarySet], u"TitlesOfParts"));
  EXPECT_EQ(0, FindRow(g_PropSets[kSummarySet], u"title"));
  EXPECT_EQ(-1, FindRow(g_PropSets[kSummarySet], nullptr));
}

TEST(CatalogueTest, CustomBlockHasNoTable) {
  const BlockDef* custom = ResolveBlock(g_ReadBlocks, u"customproperty");
  ASSERT_NE(nullptr, custom);
  EXPECT_EQ(kCustomBlock, custom->iSet);
}

TEST(CatalogueTest, NoTableHoldsTheReservedIdsOrDuplicateNames) {
  for (const PropSetDef& set : g_PropSets) {
    for (ULONG i = 0; i < set.cRows; ++i) {
      EXPECT_GT(set.pTable[i].propid, 1u);
      for (ULONG j = i + 1; j < set.cRows; ++j)
        EXPECT_FALSE(NamesEqual(set.pTable[i].name, set.pTable[j].name));
    }
  }
}

}  // namespace

namespace {

// The quick path for plain names must agree with the full comparison.
TEST(CatalogueTest, NamesEqualAgreesWithTheFullComparison) {
  const char16_t* names[] = {u"Title",
                             u"TITLE",
                             u"Titles",
                             u"Tit",
                             u"Last Saved By",
                             u"last saved by",
                             u"Last  Saved By",
                             u"co-op",
                             u"CO-OP",
                             u"coop",
                             u"\u00C4rger",
                             u"\u00E4RGER",
                             u"l1",
                             u"L1",
                             u"I1",
                             u"",
                             u"Range Box",
                             u"range box ",
                             u"Dat\u00E9",
                             u"DAT\u00C9"};
  for (const char16_t* a : names)
    for (const char16_t* b : names) EXPECT_EQ(lstrcmpiW(a, b) == 0, NamesEqual(a, b));
  EXPECT_FALSE(NamesEqual(nullptr, u""));
  EXPECT_FALSE(NamesEqual(u"", nullptr));
}

}  // namespace
