// IPropertySetStorage and IPropertyStorage over an in-memory storage: the
// calls and codes the plug-in relies on, the document-summary pair, string
// handling per code page, and a randomised write/read model check.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "propset/codec.h"
#include "tests/propset/memory_storage.h"
#include "tests/propset/set_builder.h"
#include "tests/support/values.h"
#include "tests/support/modes.h"

namespace velmora::propset {
namespace {

using test::MemoryStorage;

constexpr DWORD kRead = kModeRead;
constexpr DWORD kReadWrite = kModeReadWrite;
const FMTID kCustom = {
    0x64440492, 0x4C8B, 0x11D1, {0x8B, 0x70, 0x08, 0x00, 0x36, 0xB1, 0x1A, 0x03}};

class PropsetStorageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(StgCreatePropSetStg(&m_storage, 0, &m_pss), S_OK); }
  void TearDown() override {
    if (m_pss) m_pss->Release();
    EXPECT_EQ(m_storage.refs(), 1u) << "a reference on the storage leaked";
  }

  IPropertyStorage* create(REFFMTID fmtid, DWORD flags, DWORD mode = kReadWrite) {
    IPropertyStorage* ps = nullptr;
    EXPECT_EQ(m_pss->Create(fmtid, nullptr, flags, mode, &ps), S_OK);
    return ps;
  }
  IPropertyStorage* open(REFFMTID fmtid, DWORD mode = kReadWrite) {
    IPropertyStorage* ps = nullptr;
    EXPECT_EQ(m_pss->Open(fmtid, mode, &ps), S_OK);
    return ps;
  }
  HRESULT read(IPropertyStorage* ps, PROPSPEC request, PROPVARIANT* out) {
    return ps->ReadMultiple(1, &request, out);
  }
  HRESULT write(IPropertyStorage* ps, PROPSPEC request, PROPVARIANT v, PROPID first = 2) {
    return ps->WriteMultiple(1, &request, &v, first);
  }

  MemoryStorage m_storage;
  IPropertySetStorage* m_pss = nullptr;
};

TEST_F(PropsetStorageTest, CreateRecordsCodePageAndLocale) {
  for (DWORD flags : {DWORD(PROPSETFLAG_DEFAULT), DWORD(PROPSETFLAG_ANSI)}) {
    IPropertyStorage* ps = nullptr;
    ASSERT_EQ(
        m_pss->Create(FMTID_SummaryInformation, nullptr, flags, kReadWrite | STGM_CREATE, &ps),
        S_OK);
    PROPVARIANT v;
    ASSERT_EQ(read(ps, test::specId(PID_CODEPAGE), &v), S_OK);
    EXPECT_EQ(v.vt, VT_I2);
    EXPECT_EQ(uint16_t(v.iVal), flags ? 1252 : 1200);
    ASSERT_EQ(read(ps, test::specId(PID_LOCALE), &v), S_OK);
    EXPECT_EQ(v.vt, VT_UI4);
    STATPROPSETSTG st;
    ASSERT_EQ(ps->Stat(&st), S_OK);
    EXPECT_EQ(st.fmtid, FMTID_SummaryInformation);
    EXPECT_EQ(st.grfFlags, flags);
    EXPECT_EQ(st.dwOSVersion, 0x0002000Au);
    ps->Release();
  }
  IPropertyStorage* ps = nullptr;
  EXPECT_EQ(m_pss->Create(FMTID_SummaryInformation, nullptr, PROPSETFLAG_ANSI, kReadWrite, &ps),
            STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(ps, nullptr);
}

TEST_F(PropsetStorageTest, RefusesModesAndFlagsWindowsRefuses) {
  IPropertyStorage* ps = nullptr;
  EXPECT_EQ(m_pss->Open(FMTID_SummaryInformation, STGM_READ | STGM_SHARE_DENY_NONE, &ps),
            STG_E_INVALIDFUNCTION);
  EXPECT_EQ(
      m_pss->Create(FMTID_SummaryInformation, nullptr, 0, STGM_WRITE | STGM_SHARE_EXCLUSIVE, &ps),
      STG_E_INVALIDFUNCTION);
  EXPECT_EQ(m_pss->Create(FMTID_SummaryInformation, nullptr, 0x100, kReadWrite, &ps),
            STG_E_INVALIDFLAG);
  EXPECT_EQ(m_pss->Open(FMTID_SummaryInformation, kRead, nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(m_pss->Open(FMTID_SummaryInformation, kRead, &ps), STG_E_FILENOTFOUND);
  EXPECT_EQ(ps, nullptr);
}

struct DamagedStream {
  const char* name;
  std::vector<uint8_t> bytes;
};

// A sound one-section stream cut inside its id/offset table.
std::vector<uint8_t> truncatedSet() {
  auto b = test::stream(
      {{FMTID_SummaryInformation, test::section({{1, test::i2(1252)}, {2, test::i2(1)}})}});
  b.resize(60);
  return b;
}

class PropsetStorageDamageTest : public PropsetStorageTest,
                                 public ::testing::WithParamInterface<DamagedStream> {};

TEST_P(PropsetStorageDamageTest, OpenGivesInvalidHeaderAndDeleteRecovers) {
  m_storage.put(u"\005SummaryInformation", GetParam().bytes);
  m_storage.put(u"\005DocumentSummaryInformation", GetParam().bytes);
  for (const FMTID* f :
       {&FMTID_SummaryInformation, &FMTID_DocSummaryInformation, &FMTID_UserDefinedProperties}) {
    IPropertyStorage* ps = nullptr;
    EXPECT_EQ(m_pss->Open(*f, kRead, &ps), STG_E_INVALIDHEADER);
    EXPECT_EQ(m_pss->Open(*f, kReadWrite, &ps), STG_E_INVALIDHEADER);
  }
  // Property writing's path for a damaged set: Delete, then Create.
  for (const FMTID* f : {&FMTID_SummaryInformation, &FMTID_UserDefinedProperties}) {
    EXPECT_EQ(m_pss->Delete(*f), S_OK);
    IPropertyStorage* ps = create(*f, PROPSETFLAG_ANSI);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(write(ps, test::specName(u"x"), test::pvI4(1)), S_OK);
    EXPECT_EQ(ps->Commit(STGC_DEFAULT), S_OK);
    ps->Release();
  }
  open(FMTID_DocSummaryInformation)->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PropsetStorageDamageTest,
    ::testing::Values(DamagedStream{"Empty", {}},
                      DamagedStream{"Zeros4096", std::vector<uint8_t>(4096, 0)},
                      DamagedStream{"ByteOrder", {0xFF, 0xFE, 0, 0, 5, 0, 2, 0}},
                      DamagedStream{"SectionCut", truncatedSet()},
                      // Sound, but the section is not the set the stream is named after.
                      DamagedStream{
                          "OtherFmtid",
                          test::stream({{kCustom, test::section({{1, test::i2(1252)}})}})}),
    [](const auto& info) { return info.param.name; });

TEST_F(PropsetStorageTest, ReadsByIdAndNameWithSFalseAndEmpty) {
  IPropertyStorage* ps = create(FMTID_UserDefinedProperties, PROPSETFLAG_ANSI);
  ASSERT_EQ(write(ps, test::specName(u"Count"), test::pvI4(7)), S_OK);
  PROPSPEC requests[3] = {test::specName(u"cOUNT"), test::specId(9), test::specName(u"missing")};
  PROPVARIANT out[3];
  out[1].vt = VT_BSTR;  // overwritten, not freed
  ASSERT_EQ(ps->ReadMultiple(3, requests, out), S_OK);
  EXPECT_EQ(out[0].vt, VT_I4);
  EXPECT_EQ(out[0].lVal, 7);
  EXPECT_EQ(out[1].vt, VT_EMPTY);
  EXPECT_EQ(out[2].vt, VT_EMPTY);
  PROPSPEC none[2] = {test::specId(9), test::specId(PID_DICTIONARY)};
  EXPECT_EQ(ps->ReadMultiple(2, none, out), S_FALSE);
  EXPECT_EQ(ps->ReadMultiple(0, nullptr, nullptr), S_FALSE);
  EXPECT_EQ(ps->ReadMultiple(1, nullptr, nullptr), E_INVALIDARG);
  ps->Release();
}

// A set opened to be read is a snapshot: its values stay as read while
// other sets are opened on the same thread, the stream is replaced, and the
// set storage that opened it is gone.
TEST_F(PropsetStorageTest, ReadOnlySetKeepsItsValuesAsRead) {
  using test::ascii;
  auto set = [](const std::string& text) {
    return test::stream(
        {{FMTID_SummaryInformation,
          test::section({{1, test::i2(1252)},
                         {2, test::lpstr(ascii(text + std::string(1, '\0')))},
                         {3, test::lpstr(ascii(std::string(3000, 'x') + '\0'))}})}});
  };
  m_storage.put(u"\005SummaryInformation", set("First title"));
  IPropertyStorage* first = open(FMTID_SummaryInformation, kRead);
  ASSERT_NE(first, nullptr);
  // The next opens on this thread reuse whatever the first one read into.
  for (int i = 0; i < 3; ++i) {
    m_storage.put(u"\005SummaryInformation", set("Other title " + std::to_string(i)));
    IPropertyStorage* other = open(FMTID_SummaryInformation, kRead);
    ASSERT_NE(other, nullptr);
    other->Release();
  }
  m_storage.put(u"\005SummaryInformation", set("Replaced"));
  m_pss->Release();
  m_pss = nullptr;
  PROPVARIANT v;
  PropVariantInit(&v);
  ASSERT_EQ(read(first, test::specId(2), &v), S_OK);
  ASSERT_EQ(v.vt, VT_LPSTR);
  EXPECT_STREQ(v.pszVal, "First title");
  PropVariantClear(&v);
  ASSERT_EQ(read(first, test::specId(3), &v), S_OK);
  ASSERT_EQ(v.vt, VT_LPSTR);
  EXPECT_EQ(std::string(v.pszVal), std::string(3000, 'x'));
  PropVariantClear(&v);
  first->Release();
}

TEST_F(PropsetStorageTest, NamesGetTheLowestFreeIdsAndKeepThem) {
  IPropertyStorage* ps = create(FMTID_UserDefinedProperties, PROPSETFLAG_ANSI);
  ASSERT_EQ(write(ps, test::specId(3), test::pvI4(0)), S_OK);
  PROPSPEC names[3] = {test::specName(u"First"), test::specName(u"Second"),
                       test::specName(u"Third")};
  PROPVARIANT values[3] = {test::pvI4(1), test::pvI4(2), test::pvI4(3)};
  ASSERT_EQ(ps->WriteMultiple(3, names, values, 2), S_OK);
  PROPID ids[3] = {2, 4, 5};
  LPOLESTR got[3];
  ASSERT_EQ(ps->ReadPropertyNames(3, ids, got), S_OK);
  EXPECT_EQ(std::u16string(got[0]), u"First");
  EXPECT_EQ(std::u16string(got[1]), u"Second");
  EXPECT_EQ(std::u16string(got[2]), u"Third");
  for (auto* n : got) CoTaskMemFree(n);
  // A rewrite in other case keeps the id and the stored spelling.
  ASSERT_EQ(write(ps, test::specName(u"SECOND"), test::pvNarrow("two")), S_OK);
  PROPVARIANT v;
  ASSERT_EQ(read(ps, test::specId(4), &v), S_OK);
  EXPECT_EQ(v.vt, VT_LPSTR);
  EXPECT_STREQ(v.pszVal, "two");
  PropVariantClear(&v);
  EXPECT_EQ(write(ps, test::specName(u"new"), test::pvI4(1), 0), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(write(ps, test::specName(u"new"), test::pvI4(1), PID_MIN_READONLY),
            STG_E_INVALIDPARAMETER);
  std::u16string longName(256, u'n');
  EXPECT_EQ(write(ps, test::specName(longName.c_str()), test::pvI4(1)), STG_E_INVALIDPARAMETER);
  ps->Release();
}

// WritePropertyNames checks every name before any is kept: one bad name
// leaves the whole batch unwritten.
TEST_F(PropsetStorageTest, WritePropertyNamesRefusesBadNamesAndKeepsThemUnique) {
  IPropertyStorage* ps = create(FMTID_UserDefinedProperties, PROPSETFLAG_DEFAULT);
  PROPID ids[2] = {2, 3};
  LPOLESTR names[2] = {const_cast<LPOLESTR>(u"Alpha"), const_cast<LPOLESTR>(u"Beta")};
  EXPECT_EQ(ps->WritePropertyNames(0, nullptr, nullptr), S_OK);
  EXPECT_EQ(ps->WritePropertyNames(1, ids, nullptr), E_INVALIDARG);
  ASSERT_EQ(ps->WritePropertyNames(2, ids, names), S_OK);

  std::u16string longName(256, u'n');
  struct Case {
    PROPID id;
    const char16_t* name;
  } refused[] = {{PID_DICTIONARY, u"x"},
                 {PID_CODEPAGE, u"x"},
                 {PID_MIN_READONLY, u"x"},
                 {4, nullptr},
                 {4, u""},
                 {4, longName.c_str()},
                 {4, u"ALPHA"}};
  for (const Case& c : refused) {
    PROPID batch[2] = {5, c.id};
    LPOLESTR batchNames[2] = {const_cast<LPOLESTR>(u"Gamma"), const_cast<LPOLESTR>(c.name)};
    EXPECT_EQ(ps->WritePropertyNames(2, batch, batchNames), STG_E_INVALIDPARAMETER) << c.id;
  }
  PROPID gamma = 5;
  LPOLESTR got = nullptr;
  EXPECT_EQ(ps->ReadPropertyNames(1, &gamma, &got), S_FALSE) << "the refused batch left a name";

  // Renaming an id to its own name in other case is no clash.
  LPOLESTR renamed = const_cast<LPOLESTR>(u"ALPHA");
  ASSERT_EQ(ps->WritePropertyNames(1, ids, &renamed), S_OK);
  ASSERT_EQ(ps->ReadPropertyNames(1, ids, &got), S_OK);
  EXPECT_EQ(std::u16string(got), u"ALPHA");
  CoTaskMemFree(got);
  ps->Release();

  ps = open(FMTID_UserDefinedProperties, kRead);
  EXPECT_EQ(ps->WritePropertyNames(2, ids, names), STG_E_ACCESSDENIED);
  ps->Release();
}

TEST_F(PropsetStorageTest, RefusesReservedIdsAndLateCodePage) {
  IPropertyStorage* ps = create(FMTID_SummaryInformation, PROPSETFLAG_DEFAULT);
  PROPVARIANT cp;
  PropVariantInit(&cp);
  cp.vt = VT_I2;
  cp.iVal = 1252;
  // While the set is empty the code page may change.
  EXPECT_EQ(write(ps, test::specId(PID_CODEPAGE), cp), S_OK);
  EXPECT_EQ(write(ps, test::specId(PID_DICTIONARY), test::pvI4(1)), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(write(ps, test::specId(PID_BEHAVIOR), test::pvI4(1)), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(write(ps, test::specId(PID_ILLEGAL), test::pvI4(1)), S_OK);
  EXPECT_EQ(write(ps, test::specId(PIDSI_TITLE), test::pvNarrow("t")), S_OK);
  cp.iVal = 1200;
  EXPECT_EQ(write(ps, test::specId(PID_CODEPAGE), cp), STG_E_INVALIDPARAMETER);
  PROPVARIANT stream;
  PropVariantInit(&stream);
  stream.vt = VT_STREAM;
  EXPECT_EQ(write(ps, test::specId(5), stream), STG_E_PROPSETMISMATCHED);
  stream.vt = VT_UNKNOWN;
  EXPECT_EQ(write(ps, test::specId(5), stream), STG_E_INVALIDPARAMETER);
  // A VT_BYREF value is stored as the value it points at.
  LONG target = 77;
  PROPVARIANT ref;
  PropVariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &target;
  EXPECT_EQ(write(ps, test::specId(6), ref), S_OK);
  PROPVARIANT deref;
  ASSERT_EQ(read(ps, test::specId(6), &deref), S_OK);
  EXPECT_EQ(deref.vt, VT_I4);
  EXPECT_EQ(deref.lVal, 77);
  PROPSPEC del[2] = {test::specId(PIDSI_TITLE), test::specId(PID_CODEPAGE)};
  EXPECT_EQ(ps->DeleteMultiple(2, del), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(ps->DeleteMultiple(1, del), S_OK);
  PROPVARIANT v;
  EXPECT_EQ(read(ps, test::specId(PIDSI_TITLE), &v), S_FALSE);
  // A failed batch leaves the set as it was.
  PROPSPEC batch[2] = {test::specId(7), test::specId(PID_DICTIONARY)};
  PROPVARIANT vals[2] = {test::pvI4(1), test::pvI4(2)};
  EXPECT_EQ(ps->WriteMultiple(2, batch, vals, 2), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(read(ps, test::specId(7), &v), S_FALSE);
  ps->Release();
  IPropertyStorage* ro = open(FMTID_SummaryInformation, kRead);
  EXPECT_EQ(write(ro, test::specId(8), test::pvI4(1)), STG_E_ACCESSDENIED);
  EXPECT_EQ(ro->DeleteMultiple(1, del), STG_E_ACCESSDENIED);
  ro->Release();
}

// --- Strings by code page ---------------------------------------------------

struct CodePageCase {
  const char* name;
  uint16_t codePage;
  const char* lpstrIn;          // what the caller passes
  const char* lpstrOut;         // what comes back
  std::vector<uint8_t> stored;  // the characters in the stream
};

class PropsetStorageCodePageTest : public PropsetStorageTest,
                                   public ::testing::WithParamInterface<CodePageCase> {};

TEST_P(PropsetStorageCodePageTest, StoresStringsAsWindowsDoes) {
  const auto& c = GetParam();
  IPropertyStorage* ps = create(kCustom, PROPSETFLAG_ANSI);
  PROPVARIANT cp;
  PropVariantInit(&cp);
  cp.vt = VT_I2;
  cp.iVal = SHORT(c.codePage);
  ASSERT_EQ(write(ps, test::specId(PID_CODEPAGE), cp), S_OK);
  ASSERT_EQ(write(ps, test::specName(u"N\u00e4me"), test::pvNarrow(c.lpstrIn)), S_OK);
  ASSERT_EQ(write(ps, test::specName(u"Wide"), test::pvWide(u"\u00e9\u4e2d")), S_OK);
  PROPVARIANT b;
  PropVariantInit(&b);
  b.vt = VT_BSTR;
  b.bstrVal = SysAllocString(u"b\u00e9");
  ASSERT_EQ(write(ps, test::specName(u"Bstr"), b), S_OK);
  PropVariantClear(&b);
  ASSERT_EQ(ps->Commit(STGC_DEFAULT), S_OK);
  ps->Release();

  auto* bytes = m_storage.bytes(u"\005SebiesnrMkudrfcoIaamtykdDa");
  ASSERT_NE(bytes, nullptr);
  auto set = parsePropertySet(*bytes);
  ASSERT_TRUE(set.ok());
  size_t used = 0;
  auto stored = decodeValue(set->sections[0].find(2)->bytes, c.codePage, &used);
  ASSERT_TRUE(stored.ok());
  EXPECT_EQ(stored->bytes, c.stored);

  ps = open(kCustom, kRead);
  PROPSPEC requests[3] = {test::specName(u"N\u00c4ME"), test::specName(u"wide"),
                          test::specName(u"bstr")};
  PROPVARIANT out[3];
  ASSERT_EQ(ps->ReadMultiple(3, requests, out), S_OK);
  ASSERT_EQ(out[0].vt, VT_LPSTR);
  EXPECT_STREQ(out[0].pszVal, c.lpstrOut);
  ASSERT_EQ(out[1].vt, VT_LPWSTR);
  EXPECT_EQ(std::u16string(out[1].pwszVal), u"\u00e9\u4e2d");
  ASSERT_EQ(out[2].vt, VT_BSTR);
  EXPECT_EQ(std::u16string(out[2].bstrVal, SysStringLen(out[2].bstrVal)), u"b\u00e9");
  for (auto& v : out) PropVariantClear(&v);
  ps->Release();
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, PropsetStorageCodePageTest,
    ::testing::Values(
        // 1252: bytes stored and returned as given.
        CodePageCase{"Ansi1252", 1252, "caf\xe9", "caf\xe9", {'c', 'a', 'f', 0xE9, 0}},
        // 65001: the caller's UTF-8 bytes are stored and returned as they are.
        CodePageCase{"Utf8", 65001, "caf\xc3\xa9", "caf\xc3\xa9", {'c', 'a', 'f', 0xC3, 0xA9, 0}},
        // 1200: ANSI in, UTF-16 stored, ANSI out.
        CodePageCase{
            "Unicode1200", 1200, "caf\xe9", "caf\xe9", {'c', 0, 'a', 0, 'f', 0, 0xE9, 0, 0, 0}}),
    [](const auto& info) { return info.param.name; });

TEST_F(PropsetStorageTest, RefusesNamesAndBstrsTheCodePageCannotHold) {
  IPropertyStorage* ps = create(FMTID_UserDefinedProperties, PROPSETFLAG_ANSI);
  const HRESULT kNoTranslation = HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
  // Two such names would both become "??" and collide.
  EXPECT_EQ(write(ps, test::specName(u"\u4e2d\u6587"), test::pvI4(1)), kNoTranslation);
  EXPECT_EQ(write(ps, test::specName(u"\u0100"), test::pvI4(1)),
            kNoTranslation);  // no best-fit 'A'
  PROPVARIANT b;
  PropVariantInit(&b);
  b.vt = VT_BSTR;
  b.bstrVal = SysAllocString(u"\u65e5");
  EXPECT_EQ(write(ps, test::specId(5), b), kNoTranslation);
  PropVariantClear(&b);
  EXPECT_EQ(write(ps, test::specName(u"Gr\u00fc\u00dfe \u20ac"), test::pvI4(1)), S_OK);
  ps->Release();
}

// --- Enum, Commit, Release ----------------------------------------------------

TEST_F(PropsetStorageTest, EnumListsOrdinaryPropertiesInStoredOrder) {
  IPropertyStorage* ps = create(FMTID_UserDefinedProperties, PROPSETFLAG_DEFAULT);
  ASSERT_EQ(write(ps, test::specId(0x01000002), test::pvNarrow("link")), S_OK);
  ASSERT_EQ(write(ps, test::specName(u"Alpha"), test::pvI4(1)), S_OK);
  ASSERT_EQ(write(ps, test::specName(u"Beta"), test::pvWide(u"b")), S_OK);
  IEnumSTATPROPSTG* e = nullptr;
  ASSERT_EQ(ps->Enum(&e), S_OK);
  STATPROPSTG st;
  std::vector<std::pair<PROPID, std::u16string>> seen;
  while (e->Next(1, &st, nullptr) == S_OK) {
    seen.emplace_back(st.propid, st.lpwstrName ? st.lpwstrName : u"(null)");
    CoTaskMemFree(st.lpwstrName);
  }
  e->Release();
  std::vector<std::pair<PROPID, std::u16string>> want = {
      {0x01000002, u"(null)"}, {2, u"Alpha"}, {3, u"Beta"}};
  EXPECT_EQ(seen, want);
  ps->Release();
}

TEST_F(PropsetStorageTest, EnumeratorsSkipResetAndClone) {
  IPropertyStorage* ps = create(kCustom, PROPSETFLAG_ANSI);
  for (PROPID id = 2; id < 6; ++id)
    ASSERT_EQ(write(ps, test::specId(id), test::pvI4(LONG(id))), S_OK);
  IEnumSTATPROPSTG* e = nullptr;
  ASSERT_EQ(ps->Enum(&e), S_OK);
  // The enumerator is a snapshot.
  ASSERT_EQ(write(ps, test::specId(9), test::pvI4(9)), S_OK);
  STATPROPSTG st[8];
  ULONG got = 0;
  ASSERT_EQ(e->Skip(1), S_OK);
  IEnumSTATPROPSTG* clone = nullptr;
  ASSERT_EQ(e->Clone(&clone), S_OK);
  EXPECT_EQ(e->Next(8, st, &got), S_FALSE);
  ASSERT_EQ(got, 3u);
  EXPECT_EQ(st[0].propid, 3u);
  EXPECT_EQ(st[2].propid, 5u);
  EXPECT_EQ(e->Next(1, st, nullptr), S_FALSE);
  EXPECT_EQ(e->Skip(1), S_FALSE);
  EXPECT_EQ(e->Next(2, st, nullptr), E_INVALIDARG);
  ASSERT_EQ(e->Reset(), S_OK);
  ASSERT_EQ(e->Next(1, st, nullptr), S_OK);
  EXPECT_EQ(st[0].propid, 2u);
  ASSERT_EQ(clone->Next(1, st, nullptr), S_OK);
  EXPECT_EQ(st[0].propid, 3u);
  clone->Release();
  e->Release();
  ps->Release();
}

TEST_F(PropsetStorageTest, SetClassIsKeptAndStatReportsIt) {
  const CLSID clsid = {0xCAFE, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  IPropertyStorage* ps = create(FMTID_SummaryInformation, PROPSETFLAG_ANSI);
  ASSERT_EQ(ps->SetClass(clsid), S_OK);
  EXPECT_EQ(ps->SetTimes(nullptr, nullptr, nullptr), S_OK);
  ps->Release();
  ps = open(FMTID_SummaryInformation, kRead);
  STATPROPSETSTG st;
  ASSERT_EQ(ps->Stat(&st), S_OK);
  EXPECT_EQ(st.clsid, clsid);
  EXPECT_EQ(st.mtime.dwLowDateTime | st.mtime.dwHighDateTime, 0u);
  EXPECT_EQ(ps->SetClass(GUID{}), STG_E_ACCESSDENIED);
  ps->Release();
}

TEST_F(PropsetStorageTest, ReleaseWritesAndSecondOpeningIsRefused) {
  IPropertyStorage* ps = create(FMTID_SummaryInformation, PROPSETFLAG_ANSI);
  IPropertyStorage* again = nullptr;
  EXPECT_EQ(m_pss->Open(FMTID_SummaryInformation, kRead, &again), STG_E_ACCESSDENIED);
  ASSERT_EQ(write(ps, test::specId(PIDSI_PAGECOUNT), test::pvI4(42)), S_OK);
  ps->Release();  // no Commit: Release writes a direct-mode set
  ps = open(FMTID_SummaryInformation, kRead);
  PROPVARIANT v;
  ASSERT_EQ(read(ps, test::specId(PIDSI_PAGECOUNT), &v), S_OK);
  EXPECT_EQ(v.lVal, 42);
  ps->Release();
}

TEST_F(PropsetStorageTest, RevertDropsUncommittedChanges) {
  IPropertyStorage* ps = create(FMTID_SummaryInformation, PROPSETFLAG_ANSI);
  ASSERT_EQ(write(ps, test::specId(14), test::pvI4(1)), S_OK);
  ASSERT_EQ(ps->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(write(ps, test::specId(15), test::pvI4(2)), S_OK);
  ASSERT_EQ(ps->Revert(), S_OK);
  PROPVARIANT v;
  EXPECT_EQ(read(ps, test::specId(15), &v), S_FALSE);
  EXPECT_EQ(read(ps, test::specId(14), &v), S_OK);
  ps->Release();
}

TEST_F(PropsetStorageTest, FailedCommitKeepsChangesForTheNextOne) {
  IPropertyStorage* ps = create(FMTID_SummaryInformation, PROPSETFLAG_ANSI);
  ASSERT_EQ(write(ps, test::specId(PIDSI_WORDCOUNT), test::pvI4(99)), S_OK);
  m_storage.setFailWrites(true);
  EXPECT_EQ(ps->Commit(STGC_DEFAULT), STG_E_WRITEFAULT);
  m_storage.setFailWrites(false);
  EXPECT_EQ(ps->Commit(STGC_DEFAULT), S_OK);
  ps->Release();
  ps = open(FMTID_SummaryInformation, kRead);
  PROPVARIANT v;
  ASSERT_EQ(read(ps, test::specId(PIDSI_WORDCOUNT), &v), S_OK);
  EXPECT_EQ(v.lVal, 99);
  ps->Release();
}

// --- The document-summary pair ---------------------------------------------------

TEST_F(PropsetStorageTest, UserDefinedSharesTheDocSummaryStream) {
  IPropertyStorage* ps = nullptr;
  // Only the document summary: the user-defined set does not exist.
  ps = create(FMTID_DocSummaryInformation, PROPSETFLAG_ANSI);
  ASSERT_EQ(write(ps, test::specId(0x10), test::pvI4(16)), S_OK);
  ps->Release();
  EXPECT_EQ(m_pss->Open(FMTID_UserDefinedProperties, kRead, &ps), STG_E_FILENOTFOUND);

  ps = create(FMTID_UserDefinedProperties, PROPSETFLAG_ANSI);
  ASSERT_EQ(write(ps, test::specId(0x10), test::pvNarrow("custom")), S_OK);
  // The other section of the same stream cannot be open at the same time.
  IPropertyStorage* other = nullptr;
  EXPECT_EQ(m_pss->Open(FMTID_DocSummaryInformation, kRead, &other), STG_E_ACCESSDENIED);
  ps->Release();

  auto set = parsePropertySet(*m_storage.bytes(u"\005DocumentSummaryInformation"));
  ASSERT_TRUE(set.ok());
  ASSERT_EQ(set->sections.size(), 2u);
  EXPECT_EQ(set->sections[0].fmtid, FMTID_DocSummaryInformation);
  EXPECT_EQ(set->sections[1].fmtid, FMTID_UserDefinedProperties);

  ps = open(FMTID_DocSummaryInformation, kRead);
  PROPVARIANT v;
  ASSERT_EQ(read(ps, test::specId(0x10), &v), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  ps->Release();

  IEnumSTATPROPSETSTG* e = nullptr;
  ASSERT_EQ(m_pss->Enum(&e), S_OK);
  STATPROPSETSTG st;
  std::vector<FMTID> listed;
  while (e->Next(1, &st, nullptr) == S_OK) listed.push_back(st.fmtid);
  e->Release();
  EXPECT_EQ(listed, std::vector<FMTID>{FMTID_DocSummaryInformation});

  // Deleting the user-defined set keeps the document summary as it was.
  auto before = set->sections[0].original;
  ASSERT_EQ(m_pss->Delete(FMTID_UserDefinedProperties), S_OK);
  auto after = parsePropertySet(*m_storage.bytes(u"\005DocumentSummaryInformation"));
  ASSERT_TRUE(after.ok());
  ASSERT_EQ(after->sections.size(), 1u);
  EXPECT_EQ(after->sections[0].original, before);
  EXPECT_EQ(m_pss->Delete(FMTID_UserDefinedProperties), STG_E_FILENOTFOUND);

  // Creating it again appends the section; deleting the document summary
  // removes the stream.
  create(FMTID_UserDefinedProperties, PROPSETFLAG_ANSI)->Release();
  ASSERT_EQ(m_pss->Delete(FMTID_DocSummaryInformation), S_OK);
  EXPECT_EQ(m_storage.bytes(u"\005DocumentSummaryInformation"), nullptr);
  EXPECT_EQ(m_pss->Open(FMTID_UserDefinedProperties, kRead, &ps), STG_E_FILENOTFOUND);
}

TEST_F(PropsetStorageTest, KeepsClassAndUnknownDataOfTheOtherSection) {
  const GUID clsid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  auto unknown = test::typed(0x77, {1, 2, 3, 4, 5});
  auto docSummary = test::section({{1, test::i2(1252)},
                                   {0x77, unknown},
                                   {3, test::lpstr(test::ascii(std::string("odd\0", 4)))}});
  auto custom = test::section({{1, test::i2(1252)}});
  m_storage.put(u"\005DocumentSummaryInformation",
                test::stream({{FMTID_DocSummaryInformation, docSummary},
                              {FMTID_UserDefinedProperties, custom}},
                             0, clsid));
  IPropertyStorage* ps = open(FMTID_UserDefinedProperties);
  ASSERT_EQ(write(ps, test::specName(u"Added"), test::pvI4(5)), S_OK);
  ASSERT_EQ(ps->Commit(0), S_OK);
  ps->Release();
  auto set = parsePropertySet(*m_storage.bytes(u"\005DocumentSummaryInformation"));
  ASSERT_TRUE(set.ok());
  EXPECT_EQ(set->clsid, clsid);
  // Section 0 comes back byte for byte, unaligned string and unknown type included.
  EXPECT_EQ(set->sections[0].original, std::optional(docSummary));
  EXPECT_EQ(set->sections[1].find(2)->vt, VT_I4);
}

TEST_F(PropsetStorageTest, CreateWithStgmCreateReplacesOnlyItsSection) {
  IPropertyStorage* ps = create(FMTID_UserDefinedProperties, PROPSETFLAG_ANSI);
  ASSERT_EQ(write(ps, test::specName(u"Kept"), test::pvI4(1)), S_OK);
  ps->Release();
  ps = open(FMTID_DocSummaryInformation);
  ASSERT_EQ(write(ps, test::specId(0x0F), test::pvNarrow("old company")), S_OK);
  ps->Release();
  ps = nullptr;
  ASSERT_EQ(m_pss->Create(FMTID_DocSummaryInformation, nullptr, PROPSETFLAG_ANSI,
                          kReadWrite | STGM_CREATE, &ps),
            S_OK);
  PROPVARIANT v;
  EXPECT_EQ(read(ps, test::specId(0x0F), &v), S_FALSE);
  ps->Release();
  ps = open(FMTID_UserDefinedProperties, kRead);
  EXPECT_EQ(read(ps, test::specName(u"kept"), &v), S_OK);
  ps->Release();
}

TEST_F(PropsetStorageTest, LpstrIntoUnicodeSetIsReadAsAnsiText) {
  // Windows takes a VT_LPSTR as NUL-terminated ANSI text: the bytes of a
  // UTF-16 "hi" come back as "h".
  IPropertyStorage* ps = create(FMTID_SummaryInformation, PROPSETFLAG_DEFAULT);
  const char utf16[] = {'h', 0, 'i', 0, 0, 0};
  ASSERT_EQ(write(ps, test::specId(PIDSI_TITLE), test::pvNarrow(utf16)), S_OK);
  PROPVARIANT v;
  ASSERT_EQ(read(ps, test::specId(PIDSI_TITLE), &v), S_OK);
  ASSERT_EQ(v.vt, VT_LPSTR);
  EXPECT_STREQ(v.pszVal, "h");
  PropVariantClear(&v);
  ps->Release();
}

// --- Random edits against a model --------------------------------------------------

PROPVARIANT randomValue(std::mt19937& rng, std::vector<std::string>& keep) {
  PROPVARIANT v;
  PropVariantInit(&v);
  switch (rng() % 5) {
    case 0:
      v.vt = VT_I4;
      v.lVal = LONG(rng());
      break;
    case 1:
      v.vt = VT_BOOL;
      v.boolVal = (rng() & 1) ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case 2:
      v.vt = VT_FILETIME;
      v.filetime = {DWORD(rng()), DWORD(rng() >> 8)};
      break;
    case 3:
      v.vt = VT_R8;
      v.dblVal = double(rng()) / 7.0;
      break;
    default: {
      std::string s(rng() % 40, 'x');
      for (auto& c : s) c = char('a' + rng() % 26);
      keep.push_back(s);
      v.vt = VT_LPSTR;
      v.pszVal = keep.back().data();
      break;
    }
  }
  return v;
}

bool sameValue(const PROPVARIANT& a, const PROPVARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_I4: return a.lVal == b.lVal;
    case VT_BOOL: return a.boolVal == b.boolVal;
    case VT_FILETIME:
      return a.filetime.dwLowDateTime == b.filetime.dwLowDateTime &&
             a.filetime.dwHighDateTime == b.filetime.dwHighDateTime;
    case VT_R8: return a.dblVal == b.dblVal;
    case VT_LPSTR: return std::string(a.pszVal) == b.pszVal;
    default: return false;
  }
}

TEST_F(PropsetStorageTest, RandomEditsReadBackAsWritten) {
  std::mt19937 rng(20261209);
  for (int round = 0; round < 40; ++round) {
    const FMTID& fmtid = (round % 2) ? FMTID_UserDefinedProperties : kCustom;
    DWORD flags = (round % 3) ? PROPSETFLAG_ANSI : PROPSETFLAG_DEFAULT;
    IPropertyStorage* ps = nullptr;
    ASSERT_EQ(m_pss->Create(fmtid, nullptr, flags, kReadWrite | STGM_CREATE, &ps), S_OK);
    std::vector<std::string> keep;
    keep.reserve(1000);
    std::map<std::u16string, PROPVARIANT> model;  // the value the set must hold under a name
    for (int edit = 0; edit < 30; ++edit) {
      std::u16string name = u"p" + std::u16string(1, char16_t(u'a' + rng() % 12));
      PROPSPEC request = test::specName(name.c_str());
      if (rng() % 4 == 0) {
        ASSERT_EQ(ps->DeleteMultiple(1, &request), S_OK);
        model.erase(name);
      } else {
        PROPVARIANT v = randomValue(rng, keep);
        ASSERT_EQ(ps->WriteMultiple(1, &request, &v, 2), S_OK);
        model[name] = v;
      }
      if (rng() % 5 == 0) {
        ASSERT_EQ(ps->Commit(0), S_OK);
        ps->Release();
        ps = open(fmtid);
      }
    }
    ps->Release();
    ps = open(fmtid, kRead);
    for (char16_t c = u'a'; c < u'a' + 12; ++c) {
      std::u16string name = u"p" + std::u16string(1, c);
      PROPSPEC request = test::specName(name.c_str());
      PROPVARIANT got;
      HRESULT hr = ps->ReadMultiple(1, &request, &got);
      auto it = model.find(name);
      if (it == model.end()) {
        EXPECT_EQ(hr, S_FALSE) << round;
      } else {
        EXPECT_EQ(hr, S_OK) << round;
        EXPECT_TRUE(sameValue(got, it->second)) << round;
      }
      PropVariantClear(&got);
    }
    IEnumSTATPROPSTG* e = nullptr;
    ASSERT_EQ(ps->Enum(&e), S_OK);
    STATPROPSTG st;
    size_t listed = 0;
    while (e->Next(1, &st, nullptr) == S_OK) {
      ++listed;
      ASSERT_NE(st.lpwstrName, nullptr);
      EXPECT_TRUE(model.count(st.lpwstrName));
      CoTaskMemFree(st.lpwstrName);
    }
    e->Release();
    EXPECT_EQ(listed, model.size());
    ps->Release();
  }
}

TEST(PropsetNameApiTest, ConvertsBothWays) {
  OLECHAR name[CCH_MAX_PROPSTG_NAME + 1];
  ASSERT_EQ(FmtIdToPropStgName(&FMTID_UserDefinedProperties, name), S_OK);
  EXPECT_EQ(std::u16string(name), u"\005DocumentSummaryInformation");
  FMTID f;
  ASSERT_EQ(PropStgNameToFmtId(const_cast<LPOLESTR>(u"\0050JAAAAAAAAAAAADAAAAAAAAAGC"), &f), S_OK);
  EXPECT_EQ(f, IID_IPropertySetStorage);
  EXPECT_EQ(PropStgNameToFmtId(nullptr, &f), STG_E_INVALIDNAME);
  EXPECT_EQ(PropStgNameToFmtId(name, nullptr), E_INVALIDARG);
  EXPECT_EQ(FmtIdToPropStgName(nullptr, name), E_INVALIDARG);
  EXPECT_EQ(PropStgNameToFmtId(const_cast<LPOLESTR>(u"Contents"), &f), STG_E_INVALIDNAME);
}

}  // namespace
}  // namespace velmora::propset
