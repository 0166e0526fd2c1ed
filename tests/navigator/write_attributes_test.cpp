#include <sys/wait.h>
#include <unistd.h>

#include "propstore/catalogue.h"
#include "tests/navigator/navigator_fixture.h"
#include "tests/support/values.h"

namespace velmora::test {
namespace {

VARIANT localDate(WORD y, WORD mo, WORD d, WORD h, WORD mi) {
  SYSTEMTIME st = {y, mo, 0, d, h, mi, 0, 0};
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DATE;
  EXPECT_TRUE(SystemTimeToVariantTime(&st, &v.date));
  return v;
}

// The stored value of one property, read straight through the platform.
struct RawProperty {
  HRESULT hr = E_FAIL;
  PROPVARIANT value;
  SHORT codePage = 0;
  RawProperty() { PropVariantInit(&value); }
  ~RawProperty() { PropVariantClear(&value); }
};

void readRaw(const std::filesystem::path& path, REFFMTID fmtid, const PROPSPEC& spec,
             RawProperty& out) {
  std::u16string wpath = path.u16string();
  IPropertySetStorage* sets = nullptr;
  ASSERT_EQ(S_OK, StgOpenStorageEx(wpath.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE, STGFMT_ANY, 0,
                                   nullptr, nullptr, IID_IPropertySetStorage,
                                   reinterpret_cast<void**>(&sets)));
  IPropertyStorage* props = nullptr;
  out.hr = sets->Open(fmtid, STGM_READ | STGM_SHARE_EXCLUSIVE, &props);
  if (SUCCEEDED(out.hr)) {
    out.hr = props->ReadMultiple(1, &spec, &out.value);
    PROPSPEC cp = {};
    cp.ulKind = PRSPEC_PROPID;
    cp.propid = PID_CODEPAGE;
    PROPVARIANT v;
    PropVariantInit(&v);
    if (props->ReadMultiple(1, &cp, &v) == S_OK) out.codePage = v.iVal;
    PropVariantClear(&v);
    props->Release();
  }
  sets->Release();
}

class WriteAttributesTest : public NavigatorTest {
 protected:
  std::filesystem::path document() {
    auto path = m_dir.file("target.doc");
    writeDocument(
        path,
        {
            {FMTID_SummaryInformation,
             PROPSETFLAG_DEFAULT,
             {byId(PIDSI_TITLE, pvWide(u"Old title")),
              byId(PIDSI_CREATE_DTM, pvFileTime(2020, 1, 2))}},
            {FMTID_DocSummaryInformation, PROPSETFLAG_ANSI, {byId(15, pvNarrow("Old company"))}},
            {FMTID_UserDefinedProperties,
             PROPSETFLAG_DEFAULT,
             {byName(u"Count", pvI4(1)), byName(u"Project", pvNarrow("Gemini"))}},
        },
        6000);
    return path;
  }

  // Writes one record through a fresh navigator and closes it; returns bHandled.
  LONG writeOne(const std::filesystem::path& path, const char16_t* block, const char16_t* name,
                VARIANT value) {
    auto nav = open(path);
    AttributeRecords records;
    VltAttribute& r = records.add(block, name);
    r.oValue = value;
    EXPECT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, records.data(), 0));
    EXPECT_EQ(S_OK, nav->CloseFile());
    return records[0].bHandled;
  }

  // Reads one attribute through a fresh navigator.
  void readOne(const std::filesystem::path& path, const char16_t* block, const char16_t* name,
               VARIANT& out) {
    auto nav = open(path);
    AttributeRecords records{{block, name}};
    ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, 1, records.data()));
    ASSERT_EQ(1, records[0].bHandled) << "reading the value back";
    VariantInit(&out);
    VariantCopy(&out, &records[0].oValue);
  }
};

TEST_F(WriteAttributesTest, CatalogedValuesTakeTheirCatalogueType) {
  auto path = document();
  EXPECT_EQ(1, writeOne(path, u"Summary", u"Title", vText(u"New \u03A9 title")));
  EXPECT_EQ(1, writeOne(path, u"DocSummary", u"Company", vText(u"Caf\u00E9 AG")));
  EXPECT_EQ(1, writeOne(path, u"Summary", u"Page Count", vText(u"12abc")));
  EXPECT_EQ(1, writeOne(path, u"DTProperties", u"DesignStatus", vI4(70000)));
  EXPECT_EQ(1, writeOne(path, u"ModelInfo", u"Mass", vText(u"2.5")));

  RawProperty title, company, pages, status, mass;
  readRaw(path, FMTID_SummaryInformation, specId(PIDSI_TITLE), title);
  readRaw(path, FMTID_DocSummaryInformation, specId(15), company);
  readRaw(path, FMTID_SummaryInformation, specId(PIDSI_PAGECOUNT), pages);
  readRaw(path, FMTID_DTProperties, specId(40), status);
  readRaw(path, FMTID_Physical, specId(4), mass);
  ASSERT_EQ(VT_LPWSTR, title.value.vt);
  EXPECT_EQ(std::u16string(u"New \u03A9 title"), title.value.pwszVal);
  ASSERT_EQ(VT_LPSTR, company.value.vt);
  EXPECT_STREQ("Caf\xE9 AG", company.value.pszVal);
  EXPECT_EQ(VT_I4, pages.value.vt);
  EXPECT_EQ(12, pages.value.lVal);
  EXPECT_EQ(VT_I2, status.value.vt);
  EXPECT_EQ(4464, status.value.iVal) << "the low 16 bits of 70000";
  ASSERT_EQ(VT_R8, mass.value.vt);
  EXPECT_EQ(2.5, mass.value.dblVal);
  EXPECT_EQ(1252, static_cast<USHORT>(status.codePage)) << "a new set is created ANSI";

  VARIANT back;
  readOne(path, u"Summary", u"Title", back);
  EXPECT_EQ(u"New \u03A9 title", bstrText(back));
  VariantClear(&back);
}

TEST_F(WriteAttributesTest, BooleansStoreTheNumberOfTheirText) {
  auto path = document();
  EXPECT_EQ(1, writeOne(path, u"DocSummary", u"ScaleCrop", vText(u"True")));
  VARIANT v;
  readOne(path, u"DocSummary", u"ScaleCrop", v);
  EXPECT_EQ(VARIANT_FALSE, v.boolVal) << "the word True parses as 0";
  EXPECT_EQ(1, writeOne(path, u"DocSummary", u"ScaleCrop", vText(u"1")));
  readOne(path, u"DocSummary", u"ScaleCrop", v);
  EXPECT_EQ(VARIANT_TRUE, v.boolVal);
}

TEST_F(WriteAttributesTest, DatesAreStoredAsUtcAndEmptyDeletesFileTimes) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  auto path = document();
  EXPECT_EQ(1, writeOne(path, u"Summary", u"Last Printed", localDate(2022, 7, 1, 14, 30)));
  RawProperty printed;
  readRaw(path, FMTID_SummaryInformation, specId(PIDSI_LASTPRINTED), printed);
  ASSERT_EQ(VT_FILETIME, printed.value.vt);
  SYSTEMTIME utc = {};
  FileTimeToSystemTime(&printed.value.filetime, &utc);
  EXPECT_EQ(12, utc.wHour) << "summer time in Berlin is UTC+2";

  VARIANT empty;
  VariantInit(&empty);
  EXPECT_EQ(1, writeOne(path, u"Summary", u"Created", empty));
  RawProperty created;
  readRaw(path, FMTID_SummaryInformation, specId(PIDSI_CREATE_DTM), created);
  EXPECT_EQ(VT_EMPTY, created.value.vt) << "deleted, not written";
  setenv("TZ", "UTC", 1);
  tzset();
}

TEST_F(WriteAttributesTest, UnwritableTypesLeaveTheFileByteIdentical) {
  auto path = document();
  auto before = readFileBytes(path);
  const std::pair<const char16_t*, const char16_t*> rows[] = {{u"Summary", u"Thumbnail"},
                                                              {u"DTProperties", u"Cost"},
                                                              {u"DTProperties", u"PartPropRevId"},
                                                              {u"DocSummary", u"HeadingPairs"},
                                                              {u"Physical", u"Center"},
                                                              {u"Summary", u"NoSuchName"},
                                                              {u"NoSuchBlock", u"Title"}};
  for (auto& [block, name] : rows) EXPECT_EQ(0, writeOne(path, block, name, vText(u"1")));
  EXPECT_EQ(before, readFileBytes(path));
}

TEST_F(WriteAttributesTest, CustomPropertiesKeepOrTakeTheirType) {
  auto path = document();
  EXPECT_EQ(1, writeOne(path, u"CustomProperty", u"count", vText(u"42")));
  EXPECT_EQ(1, writeOne(path, u"CustomProperty", u"Supplier", vText(u"Acme")));
  EXPECT_EQ(1, writeOne(path, u"CustomProperty", u"Due", localDate(2023, 3, 4, 5, 6)));
  EXPECT_EQ(1, writeOne(path, u"CustomProperty", u"Ratio", [] {
              VARIANT v;
              VariantInit(&v);
              v.vt = VT_R8;
              v.dblVal = 0.75;
              return v;
            }()));
  RawProperty count, supplier, due, ratio;
  readRaw(path, FMTID_UserDefinedProperties, specName(u"Count"), count);
  readRaw(path, FMTID_UserDefinedProperties, specName(u"Supplier"), supplier);
  readRaw(path, FMTID_UserDefinedProperties, specName(u"Due"), due);
  readRaw(path, FMTID_UserDefinedProperties, specName(u"Ratio"), ratio);
  EXPECT_EQ(VT_I4, count.value.vt) << "an existing custom property keeps its type";
  EXPECT_EQ(42, count.value.lVal);
  ASSERT_EQ(VT_LPSTR, supplier.value.vt);
  EXPECT_STREQ("Acme", supplier.value.pszVal);
  EXPECT_EQ(VT_FILETIME, due.value.vt);
  EXPECT_EQ(VT_R8, ratio.value.vt);
}

TEST_F(WriteAttributesTest, TheHostsValueIsNeverChanged) {
  auto path = document();
  auto nav = open(path);
  AttributeRecords records;
  records.add(u"Summary", u"Page Count").oValue = vText(u"7 pages");
  ASSERT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, records.data(), 0));
  EXPECT_EQ(1, records[0].bHandled);
  EXPECT_EQ(u"7 pages", bstrText(records[0].oValue));
}

TEST_F(WriteAttributesTest, StopFlagAndPriorityList) {
  auto path = document();
  auto nav = open(path);
  AttributeRecords records;
  records.add(u"Summary", u"Cost").oValue = vText(u"x");
  records.add(u"Summary", u"Subject").oValue = vText(u"s");
  records.add(u"DocSummary", u"Manager").oValue = vText(u"m");
  ASSERT_EQ(S_OK, nav->WriteAttributes(0, 1, 0, records.size(), records.data(), 0));
  EXPECT_EQ((std::vector<LONG>{0, 1, 0}), records.handled());

  AttributeRecords prio;
  prio.add(u"Summary", u"Keywords").oValue = vText(u"k");
  prio.add(u"DocSummary", u"Category").oValue = vText(u"c");
  BSTR list = SysAllocString(u"DocSummary");
  ASSERT_EQ(S_OK, compDoc(nav)->AttribSetFirst(prio.size(), prio.data(), list));
  SysFreeString(list);
  EXPECT_EQ((std::vector<LONG>{0, 1}), prio.handled());
}

TEST_F(WriteAttributesTest, ADamagedSetIsReplacedByTheWrittenProperty) {
  auto path = document();
  {
    std::u16string wpath = path.u16string();
    IStorage* root = nullptr;
    ASSERT_EQ(S_OK, StgOpenStorage(wpath.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                   nullptr, 0, &root));
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, root->OpenStream(u"\x05SummaryInformation", nullptr,
                                     STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stream));
    const char garbage[] = "this is not a property set at all......";
    ULONG n = 0;
    stream->Write(garbage, sizeof garbage, &n);
    stream->Release();
    root->Commit(STGC_DEFAULT);
    root->Release();
  }
  EXPECT_EQ(1, writeOne(path, u"Summary", u"Subject", vText(u"fresh")));
  RawProperty subject, title;
  readRaw(path, FMTID_SummaryInformation, specId(PIDSI_SUBJECT), subject);
  readRaw(path, FMTID_SummaryInformation, specId(PIDSI_TITLE), title);
  EXPECT_EQ(VT_LPWSTR, subject.value.vt);
  EXPECT_EQ(VT_EMPTY, title.value.vt) << "only the written property remains";
}

TEST_F(WriteAttributesTest, Utf8SetsGetUtf8NarrowStrings) {
  auto path = m_dir.file("utf8.doc");
  writeDocument(
      path, {{FMTID_DocSummaryInformation, PROPSETFLAG_ANSI, {byId(14, pvNarrow("x"))}, 65001}});
  EXPECT_EQ(1, writeOne(path, u"DocSummary", u"Company", vText(u"\u03A9mega")));
  RawProperty company;
  readRaw(path, FMTID_DocSummaryInformation, specId(15), company);
  ASSERT_EQ(VT_LPSTR, company.value.vt);
  EXPECT_STREQ("\xCE\xA9mega", company.value.pszVal);
  VARIANT v;
  readOne(path, u"DocSummary", u"Company", v);
  EXPECT_EQ(u"\u03A9mega", bstrText(v));
  VariantClear(&v);
}

TEST_F(WriteAttributesTest, AWriteSessionShutsOutOtherProcesses) {
  auto path = document();
  auto nav = open(path);
  AttributeRecords records;
  records.add(u"Summary", u"Subject").oValue = vText(u"held");
  ASSERT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, records.data(), 0));
  pid_t child = fork();
  if (child == 0) {
    // A second host process: both a reader and a writer are refused.
    auto* formats = static_cast<IVltFileFormat*>(nullptr);
    CCompDocFormats::CreateInstance(IID_IVltFileFormat, reinterpret_cast<void**>(&formats));
    IVltFileNavigator* other = nullptr;
    std::u16string wpath = path.u16string();
    formats->CreateNavigator(wpath.c_str(), 0, &other);
    AttributeRecords r{{u"Summary", u"Title"}};
    HRESULT hrRead = other->ReadAttributes(0, 0, 0, 1, r.data());
    HRESULT hrWrite = other->WriteAttributes(0, 0, 0, 1, r.data(), 0);
    _exit(hrRead == VLT_E_FILE_ACCESS && hrWrite == VLT_E_FILE_ACCESS ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(S_OK, nav->CloseFile());
  RawProperty subject;
  readRaw(path, FMTID_SummaryInformation, specId(PIDSI_SUBJECT), subject);
  EXPECT_EQ(VT_LPWSTR, subject.value.vt) << "committed at close";
}

TEST_F(WriteAttributesTest, ReleaseWithoutCloseCommits) {
  auto path = document();
  {
    auto nav = open(path);
    AttributeRecords records;
    records.add(u"Summary", u"Subject").oValue = vText(u"on release");
    ASSERT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, records.data(), 0));
    m_navigators.pop_back();
    nav->Release();
  }
  RawProperty subject;
  readRaw(path, FMTID_SummaryInformation, specId(PIDSI_SUBJECT), subject);
  ASSERT_EQ(VT_LPWSTR, subject.value.vt);
  EXPECT_EQ(std::u16string(u"on release"), subject.value.pwszVal);
}

TEST_F(WriteAttributesTest, WritesAfterCloseOpenTheDocumentAgain) {
  auto path = document();
  auto nav = open(path);
  AttributeRecords first;
  first.add(u"Summary", u"Subject").oValue = vText(u"one");
  ASSERT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, first.data(), 0));
  ASSERT_EQ(S_OK, nav->CloseFile());
  AttributeRecords second;
  second.add(u"Summary", u"Keywords").oValue = vText(u"two");
  ASSERT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, second.data(), 0));
  EXPECT_EQ(1, second[0].bHandled);
  ASSERT_EQ(S_OK, nav->CloseFile());
  RawProperty keywords;
  readRaw(path, FMTID_SummaryInformation, specId(PIDSI_KEYWORDS), keywords);
  EXPECT_EQ(VT_LPWSTR, keywords.value.vt);
}

TEST_F(WriteAttributesTest, ReadsAfterAWriteSeeTheCacheOrTheDocument) {
  auto path = document();
  auto readTitle = [](IVltFileNavigator* nav) {
    AttributeRecords r{{u"Summary", u"Title"}};
    EXPECT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, 1, r.data()));
    EXPECT_EQ(1, r[0].bHandled);
    return bstrText(r[0].oValue);
  };
  auto writeTitle = [](IVltFileNavigator* nav, const char16_t* title) {
    AttributeRecords w;
    w.add(u"Summary", u"Title").oValue = vText(title);
    EXPECT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, w.data(), 0));
    EXPECT_EQ(1, w[0].bHandled);
  };
  // Loaded before the write: a write does not touch the loaded values.
  auto loaded = open(path);
  ASSERT_EQ(u"Old title", readTitle(loaded));
  writeTitle(loaded, u"Second title");
  EXPECT_EQ(u"Old title", readTitle(loaded)) << "the cache changed without a reload";
  ASSERT_EQ(S_OK, loaded->CloseFile());
  // Nothing loaded yet: the first read loads through the write session and
  // sees what it wrote.
  auto fresh = open(path);
  writeTitle(fresh, u"Third title");
  EXPECT_EQ(u"Third title", readTitle(fresh)) << "the read did not see the session's write";
}

// A value with no text form makes the store give up its open document and
// its cache; the reads after it load from the file again instead of finding
// an empty cache that still claims to be loaded.
TEST_F(WriteAttributesTest, ReadsRecoverAfterAWriteOfAValueWithNoTextForm) {
  auto path = document();
  auto before = readFileBytes(path);
  auto readTitle = [](IVltFileNavigator* nav) {
    AttributeRecords r{{u"Summary", u"Title"}};
    EXPECT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, 1, r.data()));
    return r[0].bHandled ? bstrText(r[0].oValue) : std::u16string(u"<not delivered>");
  };
  VARIANT nullValue;
  VariantInit(&nullValue);
  nullValue.vt = VT_NULL;
  VARIANT errorValue;
  VariantInit(&errorValue);
  errorValue.vt = VT_ERROR;
  errorValue.scode = E_FAIL;
  for (const VARIANT& bad : {nullValue, errorValue}) {
    for (bool loadedFirst : {false, true}) {
      auto nav = open(path);
      if (loadedFirst) {
        ASSERT_EQ(u"Old title", readTitle(nav));
      }
      AttributeRecords w;
      w.add(u"Summary", u"Title").oValue = bad;
      EXPECT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, w.data(), 0));
      EXPECT_EQ(0, w[0].bHandled);
      EXPECT_EQ(u"Old title", readTitle(nav))
          << "vt " << bad.vt << (loadedFirst ? ", loaded before the write" : "");
      EXPECT_EQ(S_OK, nav->CloseFile());
    }
  }
  EXPECT_EQ(before, readFileBytes(path));
}

TEST_F(WriteAttributesTest, NonDocumentsRefuseEveryWrite) {
  auto path = m_dir.file("missing.doc");
  EXPECT_EQ(0, writeOne(path, u"Summary", u"Title", vText(u"x")));
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace velmora::test
