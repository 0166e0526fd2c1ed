// The property-set layer on the compound-file engine: sharing and access
// through real storages, non-simple and case-sensitive sets, and stream names
// stored in another case.
#include <objbase.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "propset/codec.h"
#include "tests/propset/set_builder.h"
#include "tests/support/temp_dir.h"

namespace velmora::propset {
namespace {

constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
const FMTID kCustom = {
    0xCC024FA2, 0x6EB5, 0x11CE, {0x8A, 0xA2, 0x08, 0x00, 0x36, 0x01, 0xE9, 0x88}};

class PropsetEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_path = test::widePath(m_dir.file("doc.cfb"));
    ASSERT_EQ(StgCreateDocfile(m_path.c_str(), kReadWrite | STGM_CREATE, 0, &m_root), S_OK);
    ASSERT_EQ(m_root->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(&m_pss)),
              S_OK);
  }
  void TearDown() override { closeAll(); }
  void closeAll() {
    if (m_pss) m_pss->Release();
    if (m_root) {
      m_root->Commit(STGC_DEFAULT);
      m_root->Release();
    }
    m_pss = nullptr;
    m_root = nullptr;
  }
  void reopen(DWORD mode) {
    closeAll();
    ASSERT_EQ(StgOpenStorageEx(m_path.c_str(), mode, STGFMT_ANY, 0, nullptr, nullptr, IID_IStorage,
                               reinterpret_cast<void**>(&m_root)),
              S_OK);
    ASSERT_EQ(StgCreatePropSetStg(m_root, 0, &m_pss), S_OK);
  }
  HRESULT writeName(IPropertyStorage* ps, const char16_t* name, LONG value) {
    PROPSPEC s;
    s.ulKind = PRSPEC_LPWSTR;
    s.lpwstr = const_cast<LPOLESTR>(name);
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return ps->WriteMultiple(1, &s, &v, PID_FIRST_USABLE);
  }
  LONG readName(IPropertyStorage* ps, const char16_t* name) {
    PROPSPEC s;
    s.ulKind = PRSPEC_LPWSTR;
    s.lpwstr = const_cast<LPOLESTR>(name);
    PROPVARIANT v;
    EXPECT_EQ(ps->ReadMultiple(1, &s, &v), S_OK);
    return v.lVal;
  }

  test::TempDir m_dir;
  std::u16string m_path;
  IStorage* m_root = nullptr;
  IPropertySetStorage* m_pss = nullptr;
};

TEST_F(PropsetEngineTest, AnOpenSetCannotBeOpenedTwice) {
  IPropertyStorage* ps = nullptr;
  ASSERT_EQ(m_pss->Create(FMTID_UserDefinedProperties, nullptr, PROPSETFLAG_ANSI, kReadWrite, &ps),
            S_OK);
  for (const FMTID* f : {&FMTID_UserDefinedProperties, &FMTID_DocSummaryInformation}) {
    IPropertyStorage* again = nullptr;
    EXPECT_EQ(m_pss->Open(*f, kRead, &again), STG_E_ACCESSDENIED);
    EXPECT_EQ(again, nullptr);
  }
  ps->Release();
  ASSERT_EQ(m_pss->Open(FMTID_DocSummaryInformation, kRead, &ps), S_OK);
  ps->Release();
}

TEST_F(PropsetEngineTest, ReadOnlyRootRefusesWrites) {
  IPropertyStorage* ps = nullptr;
  ASSERT_EQ(m_pss->Create(FMTID_SummaryInformation, nullptr, PROPSETFLAG_ANSI, kReadWrite, &ps),
            S_OK);
  ps->Release();
  reopen(STGM_READ | STGM_SHARE_DENY_WRITE);
  EXPECT_EQ(m_pss->Open(FMTID_SummaryInformation, kReadWrite, &ps), STG_E_ACCESSDENIED);
  EXPECT_EQ(m_pss->Create(FMTID_DocSummaryInformation, nullptr, 0, kReadWrite, &ps),
            STG_E_ACCESSDENIED);
  EXPECT_EQ(m_pss->Delete(FMTID_SummaryInformation), STG_E_ACCESSDENIED);
  ASSERT_EQ(m_pss->Open(FMTID_SummaryInformation, kRead, &ps), S_OK);
  ps->Release();
}

TEST_F(PropsetEngineTest, NonSimpleSetLivesInAStorage) {
  const CLSID clsid = {0xABCDEF01, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  IPropertyStorage* ps = nullptr;
  ASSERT_EQ(m_pss->Create(kCustom, &clsid, PROPSETFLAG_NONSIMPLE, kReadWrite, &ps), S_OK);
  ASSERT_EQ(writeName(ps, u"Inside", 9), S_OK);
  ps->Release();
  reopen(kReadWrite);
  IStorage* holder = nullptr;
  ASSERT_EQ(
      m_root->OpenStorage(u"\005C3teagxwOttdbfkuIaamtae3Ie", nullptr, kRead, nullptr, 0, &holder),
      S_OK);
  STATSTG st;
  ASSERT_EQ(holder->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.clsid, clsid);
  holder->Release();
  ASSERT_EQ(m_pss->Open(kCustom, kRead, &ps), S_OK);
  EXPECT_EQ(readName(ps, u"inside"), 9);
  STATPROPSETSTG ss;
  ASSERT_EQ(ps->Stat(&ss), S_OK);
  EXPECT_EQ(ss.grfFlags, DWORD(PROPSETFLAG_NONSIMPLE));
  EXPECT_EQ(ss.clsid, clsid);
  ps->Release();
  ASSERT_EQ(m_pss->Delete(kCustom), S_OK);
  EXPECT_EQ(m_pss->Open(kCustom, kRead, &ps), STG_E_FILENOTFOUND);
}

TEST_F(PropsetEngineTest, NonSimpleSetKeepsStreamAndStorageValuesInElements) {
  // Sources in the root: a stream, and a storage holding one.
  IStream* source = nullptr;
  ASSERT_EQ(m_root->CreateStream(u"source", kReadWrite, 0, 0, &source), S_OK);
  ASSERT_EQ(source->Write("hello", 5, nullptr), S_OK);
  IStorage* folder = nullptr;
  ASSERT_EQ(m_root->CreateStorage(u"folder", kReadWrite, 0, 0, &folder), S_OK);
  IStream* inner = nullptr;
  ASSERT_EQ(folder->CreateStream(u"inner", kReadWrite, 0, 0, &inner), S_OK);
  ASSERT_EQ(inner->Write("xy", 2, nullptr), S_OK);
  inner->Release();

  IPropertyStorage* ps = nullptr;
  ASSERT_EQ(m_pss->Create(kCustom, nullptr, PROPSETFLAG_NONSIMPLE, kReadWrite, &ps), S_OK);
  PROPSPEC ids[2];
  ids[0].ulKind = ids[1].ulKind = PRSPEC_PROPID;
  ids[0].propid = 5;
  ids[1].propid = 6;
  PROPVARIANT values[2];
  PropVariantInit(&values[0]);
  PropVariantInit(&values[1]);
  values[0].vt = VT_STREAM;
  values[0].pStream = source;
  values[1].vt = VT_STORAGE;
  values[1].pStorage = folder;
  ASSERT_EQ(ps->WriteMultiple(2, ids, values, PID_FIRST_USABLE), S_OK);
  ps->Release();
  source->Release();
  folder->Release();

  reopen(kReadWrite);
  ASSERT_EQ(m_pss->Open(kCustom, kReadWrite, &ps), S_OK);
  PROPVARIANT got[2];
  ASSERT_EQ(ps->ReadMultiple(2, ids, got), S_OK);
  ASSERT_EQ(got[0].vt, VT_STREAM);
  char text[8] = {};
  ULONG n = 0;
  ASSERT_EQ(got[0].pStream->Read(text, sizeof text, &n), S_OK);
  EXPECT_EQ(std::string(text, n), "hello");
  ASSERT_EQ(got[1].vt, VT_STORAGE);
  ASSERT_EQ(got[1].pStorage->OpenStream(u"inner", nullptr, kRead, 0, &inner), S_OK);
  ASSERT_EQ(inner->Read(text, sizeof text, &n), S_OK);
  EXPECT_EQ(std::string(text, n), "xy");
  inner->Release();
  FreePropVariantArray(2, got);
  // Deleting the property removes its element.
  ASSERT_EQ(ps->DeleteMultiple(1, &ids[0]), S_OK);
  ps->Release();
  IStorage* holder = nullptr;
  ASSERT_EQ(
      m_root->OpenStorage(u"\005C3teagxwOttdbfkuIaamtae3Ie", nullptr, kRead, nullptr, 0, &holder),
      S_OK);
  IStream* gone = nullptr;
  EXPECT_EQ(holder->OpenStream(u"prop5", nullptr, kRead, 0, &gone), STG_E_FILENOTFOUND);
  IStorage* kept = nullptr;
  EXPECT_EQ(holder->OpenStorage(u"prop6", nullptr, kRead, nullptr, 0, &kept), S_OK);
  if (kept) kept->Release();
  holder->Release();
}

TEST_F(PropsetEngineTest, CaseSensitiveSetKeepsNamesApart) {
  IPropertyStorage* ps = nullptr;
  ASSERT_EQ(m_pss->Create(kCustom, nullptr, PROPSETFLAG_CASE_SENSITIVE, kReadWrite, &ps), S_OK);
  ASSERT_EQ(writeName(ps, u"Name", 1), S_OK);
  ASSERT_EQ(writeName(ps, u"NAME", 2), S_OK);
  EXPECT_EQ(readName(ps, u"Name"), 1);
  EXPECT_EQ(readName(ps, u"NAME"), 2);
  STATPROPSETSTG ss;
  ASSERT_EQ(ps->Stat(&ss), S_OK);
  EXPECT_EQ(ss.grfFlags, DWORD(PROPSETFLAG_CASE_SENSITIVE));
  ps->Release();
  // The flag is kept as Behavior = 1, which needs a version-1 stream.
  IStream* s = nullptr;
  ASSERT_EQ(m_root->OpenStream(u"\005C3teagxwOttdbfkuIaamtae3Ie", nullptr, kRead, 0, &s), S_OK);
  uint8_t head[4] = {};
  ULONG got = 0;
  s->Read(head, 4, &got);
  s->Release();
  EXPECT_EQ(head[2], 1);
}

TEST_F(PropsetEngineTest, FindsStreamsStoredInAnotherCase) {
  auto bytes =
      test::stream({{FMTID_SummaryInformation,
                     test::section({{1, test::i2(1252)},
                                    {PIDSI_PAGECOUNT, test::typed(VT_I4, test::u32(3))}})}});
  IStream* s = nullptr;
  ASSERT_EQ(m_root->CreateStream(u"\005summaryinformation", kReadWrite, 0, 0, &s), S_OK);
  s->Write(bytes.data(), ULONG(bytes.size()), nullptr);
  s->Release();
  IPropertyStorage* ps = nullptr;
  ASSERT_EQ(m_pss->Open(FMTID_SummaryInformation, kReadWrite, &ps), S_OK);
  ASSERT_EQ(writeName(ps, u"Added", 5), S_OK);
  ps->Release();
  // The stored spelling stays.
  IEnumSTATSTG* e = nullptr;
  ASSERT_EQ(m_root->EnumElements(0, nullptr, 0, &e), S_OK);
  STATSTG st;
  std::vector<std::u16string> names;
  while (e->Next(1, &st, nullptr) == S_OK) {
    names.push_back(st.pwcsName);
    CoTaskMemFree(st.pwcsName);
  }
  e->Release();
  EXPECT_EQ(names, std::vector<std::u16string>{u"\005summaryinformation"});
  IEnumSTATPROPSETSTG* sets = nullptr;
  ASSERT_EQ(m_pss->Enum(&sets), S_OK);
  STATPROPSETSTG ss;
  ASSERT_EQ(sets->Next(1, &ss, nullptr), S_OK);
  EXPECT_EQ(ss.fmtid, FMTID_SummaryInformation);
  EXPECT_EQ(ss.grfFlags, DWORD(PROPSETFLAG_ANSI));
  EXPECT_EQ(sets->Next(1, &ss, nullptr), S_FALSE);
  sets->Release();
}

}  // namespace
}  // namespace velmora::propset
