// The property store on its own: opening, loading, closing, and writes
// against a closed store.
#include "propstore/comp_doc_properties.h"

#include <gtest/gtest.h>

#include "host/vlt_records.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

class Store : public CompDocProperties {
 public:
  using CompDocProperties::m_bLoaded;
  using CompDocProperties::m_bWritable;
  using CompDocProperties::m_CustomList;
  using CompDocProperties::m_pStorage;
  using CompDocProperties::m_pSummaryValues;
};

VARIANT text(const char16_t* t) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(t);
  return v;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = m_dir.file("store.doc").u16string();
    writeDocument(m_dir.file("store.doc"),
                  {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT,
                    {byId(PIDSI_TITLE, pvWide(u"Stored"))}},
                   {FMTID_UserDefinedProperties, PROPSETFLAG_DEFAULT,
                    {byName(u"Project", pvWide(u"Gemini"))}}});
  }
  TempDir m_dir;
  std::u16string m_path;
};

TEST_F(StoreTest, WritesNeedAnOpenStorage) {
  Store store;
  VARIANT v = text(u"x");
  EXPECT_EQ(S_FALSE, store.SetProperty(u"Summary", u"Subject", &v)) << "never opened";
  ASSERT_EQ(S_OK, store.OpenStorage(m_path.c_str(), false));
  EXPECT_TRUE(store.m_bWritable);
  store.CloseStorage();
  EXPECT_EQ(nullptr, store.m_pStorage);
  EXPECT_EQ(S_FALSE, store.SetProperty(u"Summary", u"Subject", &v)) << "closed";
  VariantClear(&v);
}

TEST_F(StoreTest, AReadLeavesTheFileClosedAndAReloadReadsAgain) {
  Store store;
  ASSERT_EQ(S_OK, store.LoadProperties(m_path.c_str(), false));
  EXPECT_EQ(nullptr, store.m_pStorage) << "a read never leaves the file open";
  EXPECT_TRUE(store.m_bLoaded);
  ASSERT_EQ(2u, store.m_CustomList.size()) << "the code-page record and Project";
  writeDocument(m_dir.file("store.doc"), {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT,
                                            {byId(PIDSI_TITLE, pvWide(u"Changed"))}}});
  ASSERT_EQ(S_OK, store.LoadProperties(m_path.c_str(), true));
  EXPECT_TRUE(store.m_CustomList.empty()) << "the reload dropped the old custom list";
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(S_OK, store.GetProperty(u"Summary", u"Title", &v));
  EXPECT_EQ(std::u16string(u"Changed"), v.bstrVal);
  VariantClear(&v);
}

TEST_F(StoreTest, LoadingThroughAWriteSessionCommitsItsWrites) {
  Store store;
  ASSERT_EQ(S_OK, store.OpenStorage(m_path.c_str(), false));
  VARIANT v = text(u"pending");
  ASSERT_EQ(S_OK, store.SetProperty(u"Summary", u"Subject", &v));
  VariantClear(&v);
  ASSERT_EQ(S_OK, store.LoadProperties(m_path.c_str(), false));
  EXPECT_EQ(nullptr, store.m_pStorage);
  Store reader;
  ASSERT_EQ(S_OK, reader.LoadProperties(m_path.c_str(), false));
  VARIANT subject;
  VariantInit(&subject);
  ASSERT_EQ(S_OK, reader.GetProperty(u"summary", u"SUBJECT", &subject));
  EXPECT_EQ(std::u16string(u"pending"), subject.bstrVal);
  VariantClear(&subject);
}

TEST_F(StoreTest, NothingIsServedBeforeALoadOrAfterFreeing) {
  Store store;
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(S_FALSE, store.GetProperty(u"Summary", u"Title", &v));
  ASSERT_EQ(S_OK, store.LoadProperties(m_path.c_str(), false));
  EXPECT_EQ(S_OK, store.GetProperty(u"Summary", u"Title", &v));
  VariantClear(&v);
  store.FreeValues();
  EXPECT_EQ(nullptr, store.m_pSummaryValues);
  EXPECT_EQ(S_FALSE, store.GetProperty(u"Summary", u"Title", &v));
  EXPECT_EQ(S_FALSE, store.GetProperty(u"CustomProperty", u"Project", &v));
}

TEST_F(StoreTest, NonDocumentsOpenAsNotHandled) {
  Store store;
  EXPECT_EQ(S_FALSE, store.OpenStorage(u"/nonexistent/x.doc", true));
  EXPECT_EQ(S_FALSE, store.LoadProperties(u"/nonexistent/x.doc", false));
  EXPECT_FALSE(store.m_bLoaded);
}

}  // namespace
}  // namespace velmora::test
