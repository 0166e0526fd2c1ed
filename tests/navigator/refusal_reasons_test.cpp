// What a host reads through GetErrorInfo after the plug-in refused a
// document, a set, a record or a link object: the engine's own reason, with
// what the plug-in could not do in front of it.
#include <fstream>

#include "tests/navigator/navigator_fixture.h"
#include "tests/support/link_doc.h"

namespace velmora::test {
namespace {

// The thread's error description, taken the way a host takes it; empty
// when GetErrorInfo answers S_FALSE.
std::string takeDescription() {
  IErrorInfo* info = nullptr;
  HRESULT hr = GetErrorInfo(0, &info);
  if (hr != S_OK || !info) return "";
  BSTR text = nullptr;
  EXPECT_EQ(S_OK, info->GetDescription(&text));
  std::string out;
  for (UINT i = 0; text && i < SysStringLen(text); ++i) out += char(text[i] < 0x80 ? text[i] : '?');
  SysFreeString(text);
  info->Release();
  return out;
}

void patchFile(const std::filesystem::path& path, size_t at, std::initializer_list<uint8_t> bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(std::streamoff(at));
  for (uint8_t b : bytes) f.put(char(b));
}

// The directory entry named `name`: entries are 128 bytes, aligned, and
// start with their UTF-16LE name.
size_t entryOffset(const std::filesystem::path& path, const std::u16string& name) {
  std::vector<uint8_t> bytes = readFileBytes(path);
  for (size_t at = 512; at + 128 <= bytes.size(); at += 128) {
    bool same = true;
    for (size_t i = 0; i <= name.size() && same; ++i) {
      char16_t c = i < name.size() ? name[i] : 0;
      same = bytes[at + 2 * i] == (c & 0xFF) && bytes[at + 2 * i + 1] == (c >> 8);
    }
    if (same) return at;
  }
  ADD_FAILURE() << "no entry of that name";
  return 0;
}

class RefusalReasonTest : public NavigatorTest {
 protected:
  void SetUp() override { (void)takeDescription(); }

  std::filesystem::path document(const char* name) {
    auto path = m_dir.file(name);
    writeDocument(
        path, {
                  {FMTID_SummaryInformation,
                   PROPSETFLAG_DEFAULT,
                   {byId(PIDSI_TITLE, pvWide(u"Bracket"))}},
                  {FMTID_DocSummaryInformation, PROPSETFLAG_ANSI, {byId(15, pvNarrow("Fennmark"))}},
              });
    return path;
  }
};

TEST_F(RefusalReasonTest, ARefusedDocumentSaysWhatTheEngineFound) {
  auto path = document("byteorder.doc");
  patchFile(path, 0x1C, {0xFF, 0xFE});  // the header's byte order mark reversed
  auto nav = open(path);
  AttributeRecords records{{u"Summary", u"Title"}};
  ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, records.size(), records.data()));
  EXPECT_EQ(0, records[0].bHandled);
  EXPECT_EQ("the document cannot be opened: byte order mark 0xFEFF, expected 0xFFFE (offset 0x1C)",
            takeDescription());
  EXPECT_EQ("", takeDescription()) << "GetErrorInfo hands the reason out once";
}

TEST_F(RefusalReasonTest, AnUnreadableSetNamesItsRecordsAndTheDamage) {
  auto path = document("set.doc");
  {
    IStorage* root = nullptr;
    std::u16string wide = path.u16string();
    ASSERT_EQ(S_OK,
              StgOpenStorageEx(wide.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_ANY, 0,
                               nullptr, nullptr, IID_IStorage, reinterpret_cast<void**>(&root)));
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, root->OpenStream(u"\005SummaryInformation", nullptr,
                                     STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stream));
    const uint8_t reversed[2] = {0xFF, 0xFE};
    ASSERT_EQ(S_OK, stream->Write(reversed, 2, nullptr));
    stream->Release();
    root->Release();
  }
  auto nav = open(path);
  AttributeRecords records{
      {u"Summary", u"Title"}, {u"DocSummary", u"Company"}, {u"Summary", u"NoSuchName"}};
  ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, records.size(), records.data()));
  EXPECT_EQ((std::vector<LONG>{0, 1, 0}), records.handled());
  // The unknown name is no refusal: only the damaged set's record is named.
  EXPECT_EQ(
      "Summary:Title: its property set cannot be read: property set SummaryInformation: byte order "
      "0xFEFF, not 0xFFFE (byte 0)",
      takeDescription());
}

TEST_F(RefusalReasonTest, ARefusedWriteNamesEachRecordAndWhy) {
  auto path = document("write.doc");
  // An entry of an unknown type: readers step over it, a writer refuses.
  patchFile(path, entryOffset(path, u"\005DocumentSummaryInformation") + 0x42, {0xFF});
  auto nav = open(path);
  AttributeRecords records{{u"Summary", u"Title"}};
  records[0].oValue.vt = VT_BSTR;
  records[0].oValue.bstrVal = SysAllocString(u"After");
  ASSERT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, records.size(), records.data(), 0));
  EXPECT_EQ(0, records[0].bHandled);
  std::string why = takeDescription();
  EXPECT_EQ(0u, why.find("Summary:Title: the document cannot be opened: directory entry ")) << why;
  EXPECT_NE(std::string::npos, why.find(" has type 255 (directory sector ")) << why;
  nav->CloseFile();
}

TEST_F(RefusalReasonTest, UnreadableLinkObjectsAreNamedAndTheRestListed) {
  auto path = m_dir.file("links.doc");
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(u"_1", fileMoniker(u"C:\\data\\book.xls")));
  objects.push_back(linkTo(u"_2", fileMoniker(u"C:\\data\\plan.doc")));
  objects.push_back(embedding(u"_3"));
  writeLinkDocument(path, std::move(objects));
  {
    // _2's "\1Ole" stream gets a version no writer stores.
    IStorage* root = nullptr;
    std::u16string wide = path.u16string();
    ASSERT_EQ(S_OK,
              StgOpenStorageEx(wide.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_ANY, 0,
                               nullptr, nullptr, IID_IStorage, reinterpret_cast<void**>(&root)));
    IStorage *pool = nullptr, *object = nullptr;
    ASSERT_EQ(S_OK, root->OpenStorage(u"ObjectPool", nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                      nullptr, 0, &pool));
    ASSERT_EQ(S_OK, pool->OpenStorage(u"_2", nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                      nullptr, 0, &object));
    IStream* ole = nullptr;
    ASSERT_EQ(S_OK, object->OpenStream(u"\001Ole", nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                       0, &ole));
    const uint8_t version[4] = {0x07, 0x00, 0x00, 0x03};
    ASSERT_EQ(S_OK, ole->Write(version, 4, nullptr));
    ole->Release();
    object->Release();
    pool->Release();
    root->Release();
  }
  auto nav = open(path);
  LONG count = 0;
  VltReference* refs = nullptr;
  ASSERT_EQ(S_OK, nav->GetReferences(0, &count, &refs));
  EXPECT_EQ(1, count);
  for (LONG i = 0; i < count; ++i) {
    SysFreeString(refs[i].bsFullPath);
    SysFreeString(refs[i].bsFileName);
  }
  CoTaskMemFree(refs);
  EXPECT_EQ("ObjectPool/_2: the link object cannot be read: \\1Ole version 0x03000007",
            takeDescription())
      << "the embedding is no link and is not named";
}

}  // namespace
}  // namespace velmora::test
