// Every catalogued property whose type a host value converts to: written
// through the navigator, read back through a fresh one in the stored form.
#include <cstdlib>
#include <ctime>

#include "propstore/catalogue.h"
#include "tests/navigator/navigator_fixture.h"

namespace velmora::test {
namespace {

struct Row {
  const char16_t* block;
  const PropDef* def;
};

std::vector<Row> writableRows() {
  static const std::pair<const char16_t*, int> blocks[] = {{u"Summary", kSummarySet},
                                                           {u"DocSummary", kDocSummarySet},
                                                           {u"DTProperties", kDTPropertiesSet},
                                                           {u"DTControl", kDTControlSet},
                                                           {u"ModelInfo", kPhysicalSet}};
  std::vector<Row> rows;
  for (auto& [block, set] : blocks)
    for (ULONG i = 0; i < g_PropSets[set].cRows; ++i) {
      VARTYPE vt = g_PropSets[set].pTable[i].vt;
      if (vt == VT_I2 || vt == VT_I4 || vt == VT_R8 || vt == VT_BOOL || vt == VT_LPSTR ||
          vt == VT_LPWSTR || vt == VT_FILETIME)
        rows.push_back({block, &g_PropSets[set].pTable[i]});
    }
  return rows;
}

class CatalogueRoundTripTest : public NavigatorTest, public ::testing::WithParamInterface<Row> {};

TEST_P(CatalogueRoundTripTest, WriteThenReadGivesTheStoredForm) {
  setenv("TZ", "UTC", 1);
  tzset();
  const Row& row = GetParam();
  auto path = m_dir.file("rt.doc");
  writeDocument(path, {}, 100);

  VARIANT in;
  VariantInit(&in);
  in.vt = VT_BSTR;
  switch (row.def->vt) {
    case VT_I2: in.bstrVal = SysAllocString(u"-12"); break;
    case VT_I4: in.bstrVal = SysAllocString(u"12abc"); break;
    case VT_R8: in.bstrVal = SysAllocString(u"2.5e3"); break;
    case VT_BOOL: in.bstrVal = SysAllocString(u"1"); break;
    case VT_FILETIME: in.bstrVal = SysAllocString(u"2021-03-14 15:09:26"); break;
    default: in.bstrVal = SysAllocString(u"caf\u00E9 text"); break;
  }
  auto writer = open(path);
  AttributeRecords records;
  records.add(row.block, row.def->name).oValue = in;
  ASSERT_EQ(S_OK, writer->WriteAttributes(0, 0, 0, 1, records.data(), 0));
  ASSERT_EQ(1, records[0].bHandled);
  ASSERT_EQ(S_OK, writer->CloseFile());

  auto reader = open(path);
  AttributeRecords back{{row.block, row.def->name}};
  ASSERT_EQ(S_OK, reader->ReadAttributes(0, 0, 0, 1, back.data()));
  ASSERT_EQ(1, back[0].bHandled);
  const VARIANT& v = back[0].oValue;
  switch (row.def->vt) {
    case VT_I2:
      ASSERT_EQ(VT_I2, v.vt);
      EXPECT_EQ(-12, v.iVal);
      break;
    case VT_I4:
      ASSERT_EQ(VT_I4, v.vt);
      EXPECT_EQ(12, v.lVal);
      break;
    case VT_R8:
      ASSERT_EQ(VT_R8, v.vt);
      EXPECT_EQ(2500.0, v.dblVal);
      break;
    case VT_BOOL:
      ASSERT_EQ(VT_BOOL, v.vt);
      EXPECT_EQ(VARIANT_TRUE, v.boolVal);
      break;
    case VT_FILETIME: {
      ASSERT_EQ(VT_DATE, v.vt);
      SYSTEMTIME st = {};
      ASSERT_TRUE(VariantTimeToSystemTime(v.date, &st));
      EXPECT_EQ(2021, st.wYear);
      EXPECT_EQ(15, st.wHour);
      EXPECT_EQ(26, st.wSecond);
      break;
    }
    default: EXPECT_EQ(u"caf\u00E9 text", bstrText(v));
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, CatalogueRoundTripTest, ::testing::ValuesIn(writableRows()),
                         [](const auto& info) {
                           std::string name;
                           for (const char16_t* p = info.param.block; *p; ++p) name += char(*p);
                           name += '_';
                           for (const char16_t* p = info.param.def->name; *p; ++p)
                             name += isalnum(*p) ? char(*p) : '_';
                           return name;
                         });

}  // namespace
}  // namespace velmora::test
