#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "propstore/catalogue.h"
#include "tests/navigator/navigator_fixture.h"

namespace velmora::test {
namespace {

class ReadAttributesTest : public NavigatorTest {
 protected:
  // Summary with a title and a page count, DocSummary with a company, and
  // two custom properties; no engineering sets.
  std::filesystem::path standardDocument() {
    auto path = m_dir.file("standard.doc");
    writeDocument(
        path, {
                  {FMTID_SummaryInformation,
                   PROPSETFLAG_DEFAULT,
                   {byId(PIDSI_TITLE, pvWide(u"Bracket")), byId(PIDSI_PAGECOUNT, pvI4(3))}},
                  {FMTID_DocSummaryInformation, PROPSETFLAG_ANSI, {byId(15, pvNarrow("Fennmark"))}},
                  {FMTID_UserDefinedProperties,
                   PROPSETFLAG_DEFAULT,
                   {byName(u"Project", pvWide(u"Gemini")), byName(u"Count", pvI4(2))}},
              });
    return path;
  }
};

TEST_F(ReadAttributesTest, MarksWhatIsDeliveredAndLeavesTheRest) {
  auto nav = open(standardDocument());
  AttributeRecords records{
      {u"Summary", u"Title"}, {u"CustomProperty", u"Missing"}, {u"docsummary", u"COMPANY"}};
  records[1].oValue.vt = VT_I4;
  records[1].oValue.lVal = 99;
  ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, records.size(), records.data()));
  EXPECT_EQ((std::vector<LONG>{1, 0, 1}), records.handled());
  EXPECT_EQ(u"Bracket", bstrText(records[0].oValue));
  EXPECT_EQ(u"Fennmark", bstrText(records[2].oValue));
  EXPECT_EQ(VT_I4, records[1].oValue.vt) << "an undelivered record's value is left as it was";
  EXPECT_EQ(99, records[1].oValue.lVal);
}

TEST_F(ReadAttributesTest, StopFlagStopsAfterTheFirstDelivered) {
  auto nav = open(standardDocument());
  AttributeRecords records{
      {u"Summary", u"Nope"}, {u"Summary", u"Page Count"}, {u"Summary", u"Title"}};
  ASSERT_EQ(S_OK, nav->ReadAttributes(0, 1, 0, records.size(), records.data()));
  EXPECT_EQ((std::vector<LONG>{0, 1, 0}), records.handled());
  EXPECT_EQ(VT_I4, records[1].oValue.vt);
  EXPECT_EQ(3, records[1].oValue.lVal);
}

TEST_F(ReadAttributesTest, CatalogedButAbsentIsDeliveredEmpty) {
  auto nav = open(standardDocument());
  AttributeRecords records{{u"Summary", u"Subject"},
                           {u"DTProperties", u"PartNumber"},
                           {u"Summary", nullptr},
                           {nullptr, u"Title"}};
  ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, records.size(), records.data()));
  EXPECT_EQ((std::vector<LONG>{1, 0, 0, 0}), records.handled())
      << "absent set, null name and null block deliver nothing";
  EXPECT_EQ(VT_EMPTY, records[0].oValue.vt);
}

TEST_F(ReadAttributesTest, CustomNamesMatchIgnoringCase) {
  auto nav = open(standardDocument());
  AttributeRecords records{{u"CustomProperty", u"PROJECT"},
                           {u"CustomProperty", u"824B7195-5022-D47E-A0EA-69C3CF360213"}};
  ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, records.size(), records.data()));
  EXPECT_EQ(u"Gemini", bstrText(records[0].oValue));
  ASSERT_EQ(1, records[1].bHandled) << "the code-page record is found by its reserved name";
  EXPECT_EQ(VT_I2, records[1].oValue.vt);
  EXPECT_EQ(1200, records[1].oValue.iVal);
}

TEST_F(ReadAttributesTest, Utf8SetsDecodeNarrowStringsInEveryBlock) {
  auto path = m_dir.file("utf8.doc");
  writeDocument(path, {
                          {FMTID_DocSummaryInformation,
                           PROPSETFLAG_ANSI,
                           {byId(15, pvNarrow("Caf\xC3\xA9"))},
                           65001},
                          {FMTID_UserDefinedProperties,
                           PROPSETFLAG_ANSI,
                           {byName(u"Wide", pvNarrow("\xCE\xA9"))},
                           65001},
                      });
  auto nav = open(path);
  AttributeRecords records{{u"DocSummary", u"Company"},
                           {u"CustomProperty", u"Wide"},
                           {u"CustomProperty", u"824B7195-5022-D47e-A0EA-69C3CF360213"}};
  ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, records.size(), records.data()));
  EXPECT_EQ(u"Caf\u00E9", bstrText(records[0].oValue));
  EXPECT_EQ(u"\u03A9", bstrText(records[1].oValue));
  EXPECT_EQ(-535, records[2].oValue.iVal) << "65001 read as a signed VT_I2";
}

TEST_F(ReadAttributesTest, NonDocumentsAndMissingFilesLoadNothing) {
  auto text = m_dir.file("plain.doc");
  std::ofstream(text) << "just text";
  for (auto path : {text, m_dir.file("missing.doc")}) {
    auto nav = open(path);
    AttributeRecords records{{u"Summary", u"Title"}};
    EXPECT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, records.size(), records.data()));
    EXPECT_EQ(0, records[0].bHandled);
  }
}

TEST_F(ReadAttributesTest, NullArrayAndEmptyCounts) {
  auto nav = open(standardDocument());
  EXPECT_EQ(E_POINTER, nav->ReadAttributes(0, 0, 0, 0, nullptr));
  AttributeRecords records{{u"Summary", u"Title"}};
  EXPECT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, 0, records.data()));
  EXPECT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, -3, records.data()));
  EXPECT_EQ(0, records[0].bHandled);
  EXPECT_EQ(E_POINTER, compDoc(nav)->AttribGetFirst(1, nullptr, nullptr));
}

TEST_F(ReadAttributesTest, LoadedValuesAreServedAfterTheFileChanges) {
  auto path = standardDocument();
  auto nav = open(path);
  AttributeRecords first{{u"Summary", u"Title"}};
  ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, first.size(), first.data()));
  writeDocument(
      path,
      {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT, {byId(PIDSI_TITLE, pvWide(u"Changed"))}}});
  AttributeRecords second{{u"Summary", u"Title"}};
  ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, second.size(), second.data()));
  EXPECT_EQ(u"Bracket", bstrText(second[0].oValue));
  auto fresh = open(path);
  AttributeRecords third{{u"Summary", u"Title"}};
  ASSERT_EQ(S_OK, fresh->ReadAttributes(0, 0, 0, third.size(), third.data()));
  EXPECT_EQ(u"Changed", bstrText(third[0].oValue));
}

TEST_F(ReadAttributesTest, DocumentHeldExclusivelyElsewhereIsFileAccess) {
  auto path = standardDocument();
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t child = fork();
  if (child == 0) {
    IStorage* stg = nullptr;
    std::u16string wpath = path.u16string();
    HRESULT hr =
        StgOpenStorageEx(wpath.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_ANY, 0,
                         nullptr, nullptr, IID_IStorage, reinterpret_cast<void**>(&stg));
    char c = SUCCEEDED(hr) ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  ASSERT_EQ('y', c);
  auto nav = open(path);
  AttributeRecords records{{u"Summary", u"Title"}};
  EXPECT_EQ(VLT_E_FILE_ACCESS, nav->ReadAttributes(0, 0, 0, records.size(), records.data()));
  EXPECT_EQ(0, records[0].bHandled);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  AttributeRecords again{{u"Summary", u"Title"}};
  EXPECT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, again.size(), again.data()))
      << "a failed load does not stick";
  EXPECT_EQ(1, again[0].bHandled);
}

class AttribGetFirstTest : public ReadAttributesTest {};

TEST_F(AttribGetFirstTest, ListedBlocksComeFirstInListOrder) {
  auto path = m_dir.file("engineering.doc");
  writeDocument(
      path, {
                {FMTID_SummaryInformation, PROPSETFLAG_DEFAULT, {byId(PIDSI_TITLE, pvWide(u"T"))}},
                {FMTID_DTProperties, PROPSETFLAG_DEFAULT, {byId(5, pvWide(u"P-1"))}},
            });
  auto nav = open(path);
  // The list names DTControl (absent) before DTProperties; the Summary record
  // stands first in the array but its block is not listed.
  AttributeRecords records{
      {u"Summary", u"Title"}, {u"DTControl", u"ReservedBy"}, {u"DTProperties", u"PartNumber"}};
  BSTR list = SysAllocString(u"DTControl\nDTProperties");
  ASSERT_EQ(S_OK, compDoc(nav)->AttribGetFirst(records.size(), records.data(), list));
  SysFreeString(list);
  EXPECT_EQ((std::vector<LONG>{0, 0, 1}), records.handled());
  EXPECT_EQ(u"P-1", bstrText(records[2].oValue));
}

TEST_F(AttribGetFirstTest, CarriageReturnSpoilsAToken) {
  auto nav = open(standardDocument());
  AttributeRecords records{{u"Summary", u"Title"}, {u"DocSummary", u"Company"}};
  BSTR list = SysAllocString(u"Summary\r\nDocSummary");
  ASSERT_EQ(S_OK, compDoc(nav)->AttribGetFirst(records.size(), records.data(), list));
  SysFreeString(list);
  EXPECT_EQ((std::vector<LONG>{0, 1}), records.handled());
}

TEST_F(AttribGetFirstTest, EmptyListsReadInArrayOrderAndAbsentCountsAsDelivered) {
  for (const char16_t* text : {static_cast<const char16_t*>(nullptr), u"", u"\n\n"}) {
    auto nav = open(standardDocument());
    AttributeRecords records{
        {u"Physical", u"Mass"}, {u"summary", u"Subject"}, {u"Summary", u"Title"}};
    BSTR list = text ? SysAllocString(text) : nullptr;
    ASSERT_EQ(S_OK, compDoc(nav)->AttribGetFirst(records.size(), records.data(), list));
    SysFreeString(list);
    EXPECT_EQ((std::vector<LONG>{0, 1, 0}), records.handled())
        << "stops at the cataloged Subject even though it is empty";
  }
}

TEST_F(AttribGetFirstTest, ABlockListedTwiceTriesNothingMore) {
  auto nav = open(standardDocument());
  AttributeRecords records{{u"Summary", u"Nope"}, {u"DocSummary", u"Company"}};
  BSTR list = SysAllocString(u"Summary\nSummary\nDocSummary");
  ASSERT_EQ(S_OK, compDoc(nav)->AttribGetFirst(records.size(), records.data(), list));
  SysFreeString(list);
  EXPECT_EQ((std::vector<LONG>{0, 1}), records.handled());
}

}  // namespace
}  // namespace velmora::test
