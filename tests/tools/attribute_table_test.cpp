// compdoc's own table of the attributes it requests against the plug-in's
// catalogue: the same sets, block names, attribute names and order, so that
// `read` keeps asking for every catalogued attribute, in catalogue order, and
// `check` keeps telling which streams the attributes come from.
#include <gtest/gtest.h>

#include <string>

#include "propstore/catalogue.h"
#include "tools/compdoc/attribute_table.h"

namespace {

std::string text(const OLECHAR* s) {
  std::string out;
  for (; s && *s; ++s) out += *s < 0x80 ? char(*s) : '?';
  return out;
}

bool same(const OLECHAR* a, const OLECHAR* b) {
  return std::u16string_view(a) == std::u16string_view(b);
}

// The read block spelt exactly `name`, or null.
const BlockDef* readBlockNamed(const OLECHAR* name) {
  for (const BlockDef& block : g_ReadBlocks)
    if (same(block.name, name)) return &block;
  return nullptr;
}

TEST(AttributeTableTest, EverySetOfTheCatalogueInItsOrderWithItsNames) {
  ASSERT_EQ(size_t(kCatalogedSetCount), std::size(compdoc::kAttributeBlocks));
  for (size_t i = 0; i < std::size(compdoc::kAttributeBlocks); ++i) {
    const compdoc::AttributeBlock& block = compdoc::kAttributeBlocks[i];
    const PropSetDef& set = g_PropSets[i];
    SCOPED_TRACE(text(block.name));
    EXPECT_TRUE(IsEqualGUID(*set.pFmtid, *block.fmtid)) << "not the format id of set " << i;
    // The block is one the plug-in reads by that spelling, and it reads this set.
    const BlockDef* read = readBlockNamed(block.name);
    ASSERT_NE(nullptr, read) << "no block of the plug-in";
    EXPECT_EQ(int(i), read->iSet);
    // The Physical set's second name would rename every record of it.
    EXPECT_FALSE(same(block.name, u"ModelInfo"));
    ASSERT_EQ(set.cRows, block.attributes.size());
    for (ULONG row = 0; row < set.cRows; ++row)
      EXPECT_TRUE(same(set.pTable[row].name, block.attributes[row]))
          << "row " << row << ": " << text(block.attributes[row]) << ", the catalogue has "
          << text(set.pTable[row].name);
  }
}

TEST(AttributeTableTest, CustomBlockAndCodePageRecordAreThePluginsNames) {
  const BlockDef* custom = readBlockNamed(compdoc::kCustomBlockName);
  ASSERT_NE(nullptr, custom);
  EXPECT_EQ(kCustomBlock, custom->iSet);
  EXPECT_TRUE(same(::kCodePageRecordName, compdoc::kCodePageRecordName));
}

}  // namespace
