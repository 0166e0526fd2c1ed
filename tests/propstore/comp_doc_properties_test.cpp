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
  using CompDocProperties::CustomProps;
  using CompDocProperties::FormatValue;
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
    writeDocument(
        m_dir.file("store.doc"),
        {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT, {byId(PIDSI_TITLE, pvWide(u"Stored"))}},
         {FMTID_UserDefinedProperties,
          PROPSETFLAG_DEFAULT,
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
  EXPECT_EQ(PROPID(PID_CODEPAGE), store.m_CustomList.front()->propid) << "the code page leads";
  EXPECT_EQ(std::u16string(u"Project"), store.m_CustomList.back()->strName.c_str());
  writeDocument(
      m_dir.file("store.doc"),
      {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT, {byId(PIDSI_TITLE, pvWide(u"Changed"))}}});
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

TEST_F(StoreTest, ALongCustomListAnswersEveryNameAsTheFirstEqualRecord) {
  // Enough custom properties for the store to look names up through its
  // index, with names the plain folding cannot settle among them: every
  // answer must be the first record a scan of the list finds.
  std::vector<std::u16string> names = {u"Cost-Centre", u"M\u00fcller", u"Part No"};
  for (int i = 0; i < 24; ++i) names.push_back(u"Field" + std::u16string(1, char16_t(u'A' + i)));
  names.push_back(u"O'Brien");
  std::vector<PropertyValue> values;
  for (size_t i = 0; i < names.size(); ++i) values.push_back(byName(names[i], pvI4(LONG(100 + i))));
  writeDocument(m_dir.file("long.doc"),
                {{FMTID_UserDefinedProperties, PROPSETFLAG_DEFAULT, values}});
  const std::u16string path = m_dir.file("long.doc").u16string();
  Store store;
  ASSERT_EQ(S_OK, store.LoadProperties(path.c_str(), false));
  ASSERT_GE(store.m_CustomList.size(), 16u);

  std::vector<std::u16string> queries = {
      u"CostCentre", u"COST-CENTRE", u"costcentre", u"M\u00dcLLER",
      u"muller",     u"PART NO",     u"partno",     u"OBrien",
      u"o'brien",    u"FieldZ",      u"",           u"824B7195-5022-D47e-A0EA-69C3CF360213"};
  for (const auto& n : names) {
    queries.push_back(n);
    std::u16string upper = n, lower = n;
    for (auto& c : upper) c = (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    for (auto& c : lower) c = (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
    queries.push_back(upper);
    queries.push_back(lower);
  }
  for (const auto& q : queries) {
    const Store::CustomProps* expected = nullptr;
    for (auto* record : store.m_CustomList)
      if (NamesEqual(record->strName.c_str(), q.c_str())) {
        expected = record;
        break;
      }
    VARIANT got;
    VariantInit(&got);
    HRESULT hr = store.GetProperty(u"CustomProperty", q.c_str(), &got);
    if (!expected) {
      EXPECT_EQ(S_FALSE, hr) << std::string(q.begin(), q.end());
    } else {
      VARIANT want;
      VariantInit(&want);
      ASSERT_EQ(S_OK, store.FormatValue(&expected->oValue, &want, CP_ACP));
      EXPECT_EQ(S_OK, hr) << std::string(q.begin(), q.end());
      EXPECT_EQ(want.vt, got.vt) << std::string(q.begin(), q.end());
      if (want.vt == VT_I4 && got.vt == VT_I4) {
        EXPECT_EQ(want.lVal, got.lVal) << std::string(q.begin(), q.end());
      }
      VariantClear(&want);
    }
    VariantClear(&got);
  }
}

// A picture is refused by its stored type, whatever its size, and never
// costs the values beside it; the same row holding text delivers the text,
// and a picture row with nothing stored reads as empty.
TEST_F(StoreTest, PictureRowsAreRefusedByTypeAndTheirSetStillServes) {
  std::vector<uint8_t> picture(200000, 0xA5);
  CLIPDATA clip = {ULONG(4 + picture.size()), -1, picture.data()};
  PROPVARIANT thumbnail = pvOfType(VT_CF);
  thumbnail.pclipdata = &clip;
  auto withThumbnail = m_dir.file("thumb.doc");
  writeDocument(withThumbnail,
                {{FMTID_SummaryInformation,
                  PROPSETFLAG_DEFAULT,
                  {byId(PIDSI_TITLE, pvWide(u"Pictured")), byId(PIDSI_THUMBNAIL, thumbnail)}}});
  auto withText = m_dir.file("text.doc");
  writeDocument(withText, {{FMTID_SummaryInformation,
                            PROPSETFLAG_DEFAULT,
                            {byId(PIDSI_THUMBNAIL, pvWide(u"not a picture"))}}});

  auto read = [](const std::filesystem::path& path, const char16_t* name, VARIANT& out) {
    Store store;
    EXPECT_EQ(S_OK, store.LoadProperties(path.u16string().c_str(), false));
    VariantInit(&out);
    return store.GetProperty(u"Summary", name, &out);
  };
  VARIANT v;
  EXPECT_EQ(E_INVALIDARG, read(withThumbnail, u"Thumbnail", v));
  EXPECT_EQ(VT_EMPTY, v.vt);
  ASSERT_EQ(S_OK, read(withThumbnail, u"Title", v));
  EXPECT_EQ(std::u16string(u"Pictured"), v.bstrVal);
  VariantClear(&v);
  ASSERT_EQ(S_OK, read(withText, u"Thumbnail", v));
  ASSERT_EQ(VT_BSTR, v.vt);
  EXPECT_EQ(std::u16string(u"not a picture"), v.bstrVal);
  VariantClear(&v);
  EXPECT_EQ(S_OK, read(m_path, u"Thumbnail", v)) << "nothing stored";
  EXPECT_EQ(VT_EMPTY, v.vt);
}

TEST_F(StoreTest, NonDocumentsOpenAsNotHandled) {
  Store store;
  EXPECT_EQ(S_FALSE, store.OpenStorage(u"/nonexistent/x.doc", true));
  EXPECT_EQ(S_FALSE, store.LoadProperties(u"/nonexistent/x.doc", false));
  EXPECT_FALSE(store.m_bLoaded);
}

}  // namespace
}  // namespace velmora::test
