// Sets written by this layer through the engine read back identically here,
// in olefile, in exiftool, and (when installed) in the office suite after it
// opens a corpus document we added properties to.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/propset/peer_compare.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/values.h"

namespace velmora::propset {
namespace {

namespace fs = std::filesystem;
using namespace peer;

constexpr DWORD kRootMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kSetMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
const FMTID kAllTypes = {
    0x0885CA11, 0xAC04, 0x11D3, {0x95, 0xA5, 0x00, 0xA0, 0xC9, 0xB6, 0xE3, 0x7A}};

// Values whose buffers live in this object, so a test can write them.
struct Values {
  std::vector<PROPVARIANT> list;
  std::vector<std::vector<uint8_t>> buffers;
  CLSID clsid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  CLIPDATA clip{};
  std::vector<LPSTR> strings;
  std::vector<PROPVARIANT> variants;
  SHORT shorts[3] = {1, -2, 3};
  CLSID clsids[2] = {{1, 2, 3, {4}}, {5, 6, 7, {8}}};
  char a[2] = "a", bcd[4] = "bcd";

  PROPVARIANT& add(VARTYPE vt) {
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = vt;
    list.push_back(v);
    return list.back();
  }
};

void fillAllTypes(Values& x) {
  x.list.reserve(64);
  x.add(VT_EMPTY);
  x.add(VT_NULL);
  x.add(VT_I1).cVal = -5;
  x.add(VT_UI1).bVal = 250;
  x.add(VT_I2).iVal = -12345;
  x.add(VT_UI2).uiVal = 54321;
  x.add(VT_I4).lVal = -123456789;
  x.add(VT_UI4).ulVal = 4000000000u;
  x.add(VT_INT).intVal = -7;
  x.add(VT_UINT).uintVal = 7;
  x.add(VT_I8).hVal.QuadPart = -1234567890123LL;
  x.add(VT_UI8).uhVal.QuadPart = 1234567890123ULL;
  x.add(VT_R4).fltVal = 1.5f;
  x.add(VT_R8).dblVal = 3.25;
  x.add(VT_CY).cyVal.int64 = 123456;
  x.add(VT_DATE).date = 45000.5;
  x.add(VT_BOOL).boolVal = VARIANT_TRUE;
  x.add(VT_ERROR).scode = STG_E_FILENOTFOUND;
  x.add(VT_FILETIME).filetime = {0xE7423000, 0x01CBA86C};
  PROPVARIANT& dec = x.add(VT_DECIMAL);
  dec.decVal.scale = 2;
  dec.decVal.sign = 0x80;
  dec.decVal.Hi32 = 1;
  dec.decVal.Lo64 = 99;
  dec.vt = VT_DECIMAL;
  x.add(VT_LPSTR).pszVal = const_cast<char*>("narrow");
  x.add(VT_LPWSTR).pwszVal = const_cast<LPWSTR>(u"wide \u00e9");
  x.add(VT_BSTR).bstrVal = SysAllocString(u"bstr");
  x.buffers.push_back({1, 2, 3, 4, 5});
  PROPVARIANT& blob = x.add(VT_BLOB);
  blob.blob = {5, x.buffers.back().data()};
  x.add(VT_CLSID).puuid = &x.clsid;
  x.buffers.push_back({8, 0, 6, 0});
  x.clip = {8, -1, x.buffers.back().data()};
  x.add(VT_CF).pclipdata = &x.clip;
  PROPVARIANT& vi2 = x.add(VT_VECTOR | VT_I2);
  vi2.cai = {3, x.shorts};
  PROPVARIANT& vid = x.add(VT_VECTOR | VT_CLSID);
  vid.cauuid = {2, x.clsids};
  x.strings = {x.a, x.bcd};
  PROPVARIANT& vs = x.add(VT_VECTOR | VT_LPSTR);
  vs.calpstr = {2, x.strings.data()};
  x.variants.resize(2);
  PropVariantInit(&x.variants[0]);
  x.variants[0].vt = VT_LPSTR;
  x.variants[0].pszVal = x.a;
  PropVariantInit(&x.variants[1]);
  x.variants[1].vt = VT_I4;
  x.variants[1].lVal = 3;
  PROPVARIANT& vv = x.add(VT_VECTOR | VT_VARIANT);
  vv.capropvar = {2, x.variants.data()};
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 1}};
  PROPVARIANT& ai = x.add(VT_ARRAY | VT_I4);
  ai.parray = SafeArrayCreate(VT_I4, 2, bounds);
  LONG* cells = nullptr;
  SafeArrayAccessData(ai.parray, reinterpret_cast<void**>(&cells));
  for (int i = 0; i < 6; ++i) cells[i] = i * 11;
  SafeArrayUnaccessData(ai.parray);
  PROPVARIANT& ab = x.add(VT_ARRAY | VT_BSTR);
  ab.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
  BSTR* strings = nullptr;
  SafeArrayAccessData(ab.parray, reinterpret_cast<void**>(&strings));
  strings[0] = SysAllocString(u"one");
  strings[1] = SysAllocString(u"");
  SafeArrayUnaccessData(ab.parray);
  PROPVARIANT& av = x.add(VT_ARRAY | VT_VARIANT);
  av.parray = SafeArrayCreateVector(VT_VARIANT, 1, 2);
  VARIANT* vars = nullptr;
  SafeArrayAccessData(av.parray, reinterpret_cast<void**>(&vars));
  vars[0].vt = VT_R8;
  vars[0].dblVal = 2.5;
  vars[1].vt = VT_BSTR;
  vars[1].bstrVal = SysAllocString(u"v");
  SafeArrayUnaccessData(av.parray);
}

bool sameArray(SAFEARRAY* a, SAFEARRAY* b, VARTYPE t) {
  UINT dims = SafeArrayGetDim(a);
  if (dims != SafeArrayGetDim(b)) return false;
  size_t total = 1;
  for (UINT d = 1; d <= dims; ++d) {
    LONG la, ua, lb, ub;
    SafeArrayGetLBound(a, d, &la);
    SafeArrayGetUBound(a, d, &ua);
    SafeArrayGetLBound(b, d, &lb);
    SafeArrayGetUBound(b, d, &ub);
    if (la != lb || ua != ub) return false;
    total *= size_t(ua - la + 1);
  }
  void *da, *db;
  SafeArrayAccessData(a, &da);
  SafeArrayAccessData(b, &db);
  bool ok = true;
  for (size_t i = 0; i < total && ok; ++i) {
    if (t == VT_I4) ok = static_cast<LONG*>(da)[i] == static_cast<LONG*>(db)[i];
    if (t == VT_BSTR) {
      BSTR x = static_cast<BSTR*>(da)[i], y = static_cast<BSTR*>(db)[i];
      ok = std::u16string(x, SysStringLen(x)) == std::u16string(y, SysStringLen(y));
    }
    if (t == VT_VARIANT) {
      const VARIANT& x = static_cast<VARIANT*>(da)[i];
      const VARIANT& y = static_cast<VARIANT*>(db)[i];
      ok = x.vt == y.vt && (x.vt == VT_R8 ? x.dblVal == y.dblVal
                                          : std::u16string(x.bstrVal) == std::u16string(y.bstrVal));
    }
  }
  SafeArrayUnaccessData(a);
  SafeArrayUnaccessData(b);
  return ok;
}

bool same(const PROPVARIANT& a, const PROPVARIANT& b);

bool sameVector(const PROPVARIANT& a, const PROPVARIANT& b, size_t elem) {
  if (a.cac.cElems != b.cac.cElems) return false;
  return std::memcmp(a.cac.pElems, b.cac.pElems, a.cac.cElems * elem) == 0;
}

bool same(const PROPVARIANT& a, const PROPVARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_EMPTY:
    case VT_NULL: return true;
    case VT_I1:
    case VT_UI1: return a.bVal == b.bVal;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return a.uiVal == b.uiVal;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_R4: return a.ulVal == b.ulVal;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_FILETIME: return a.uhVal.QuadPart == b.uhVal.QuadPart;
    case VT_DECIMAL:
      return a.decVal.scale == b.decVal.scale && a.decVal.sign == b.decVal.sign &&
             a.decVal.Hi32 == b.decVal.Hi32 && a.decVal.Lo64 == b.decVal.Lo64;
    case VT_LPSTR: return std::strcmp(a.pszVal, b.pszVal) == 0;
    case VT_LPWSTR: return std::u16string(a.pwszVal) == b.pwszVal;
    case VT_BSTR:
      return std::u16string(a.bstrVal, SysStringLen(a.bstrVal)) ==
             std::u16string(b.bstrVal, SysStringLen(b.bstrVal));
    case VT_BLOB:
      return a.blob.cbSize == b.blob.cbSize &&
             std::memcmp(a.blob.pBlobData, b.blob.pBlobData, a.blob.cbSize) == 0;
    case VT_CLSID: return *a.puuid == *b.puuid;
    case VT_CF:
      return a.pclipdata->cbSize == b.pclipdata->cbSize &&
             a.pclipdata->ulClipFmt == b.pclipdata->ulClipFmt &&
             std::memcmp(a.pclipdata->pClipData, b.pclipdata->pClipData, a.pclipdata->cbSize - 4) ==
                 0;
    case VT_VECTOR | VT_I2: return sameVector(a, b, 2);
    case VT_VECTOR | VT_CLSID: return sameVector(a, b, sizeof(CLSID));
    case VT_VECTOR | VT_LPSTR:
      if (a.calpstr.cElems != b.calpstr.cElems) return false;
      for (ULONG i = 0; i < a.calpstr.cElems; ++i)
        if (std::strcmp(a.calpstr.pElems[i], b.calpstr.pElems[i])) return false;
      return true;
    case VT_VECTOR | VT_VARIANT:
      if (a.capropvar.cElems != b.capropvar.cElems) return false;
      for (ULONG i = 0; i < a.capropvar.cElems; ++i)
        if (!same(a.capropvar.pElems[i], b.capropvar.pElems[i])) return false;
      return true;
    case VT_ARRAY | VT_I4:
    case VT_ARRAY | VT_BSTR:
    case VT_ARRAY | VT_VARIANT: return sameArray(a.parray, b.parray, a.vt & VT_TYPEMASK);
    default: return false;
  }
}

struct RoundTripCase {
  const char* name;
  uint16_t codePage;
  const char* text;          // VT_LPSTR as the caller passes it
  const char16_t* nonAscii;  // a name that needs the code page
};

class PropsetPeerRoundTripTest : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(PropsetPeerRoundTripTest, WrittenSetsReadBackEverywhere) {
  const auto& c = GetParam();
  test::TempDir dir;
  fs::path file = dir.file("written.doc");
  IStorage* root = nullptr;
  ASSERT_EQ(StgCreateDocfile(test::widePath(file).c_str(), kRootMode | STGM_CREATE, 0, &root),
            S_OK);
  IPropertySetStorage* pss = nullptr;
  ASSERT_EQ(root->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(&pss)), S_OK);

  DWORD flags = c.codePage == 1200 ? PROPSETFLAG_DEFAULT : PROPSETFLAG_ANSI;
  IPropertyStorage* ps = nullptr;
  ASSERT_EQ(pss->Create(FMTID_SummaryInformation, nullptr, flags, kSetMode, &ps), S_OK);
  PROPSPEC sumRequests[3] = {test::specId(PIDSI_TITLE), test::specId(PIDSI_AUTHOR),
                             test::specId(PIDSI_PAGECOUNT)};
  PROPVARIANT sumValues[3];
  for (auto& v : sumValues) PropVariantInit(&v);
  sumValues[0].vt = VT_LPSTR;
  sumValues[0].pszVal = const_cast<char*>("Velmora title");
  sumValues[1].vt = VT_LPWSTR;
  sumValues[1].pwszVal = const_cast<LPWSTR>(u"Velmora author");
  sumValues[2].vt = VT_I4;
  sumValues[2].lVal = 7;
  ASSERT_EQ(ps->WriteMultiple(3, sumRequests, sumValues, 2), S_OK);
  ps->Release();

  // The pair: the document summary first, then the user-defined set in
  // its own code page, with names.
  ASSERT_EQ(pss->Create(FMTID_DocSummaryInformation, nullptr, PROPSETFLAG_ANSI, kSetMode, &ps),
            S_OK);
  PROPSPEC company = test::specId(0x0F);
  PROPVARIANT companyValue;
  PropVariantInit(&companyValue);
  companyValue.vt = VT_LPSTR;
  companyValue.pszVal = const_cast<char*>("Velmora Ltd");
  ASSERT_EQ(ps->WriteMultiple(1, &company, &companyValue, 2), S_OK);
  ps->Release();
  ASSERT_EQ(pss->Create(FMTID_UserDefinedProperties, nullptr, PROPSETFLAG_ANSI, kSetMode, &ps),
            S_OK);
  PROPSPEC cpRequest = test::specId(PID_CODEPAGE);
  PROPVARIANT cp;
  PropVariantInit(&cp);
  cp.vt = VT_I2;
  cp.iVal = SHORT(c.codePage);
  ASSERT_EQ(ps->WriteMultiple(1, &cpRequest, &cp, 2), S_OK);
  PROPSPEC names[4];
  const char16_t* nameText[4] = {u"VelmoraText", u"VelmoraNumber", u"VelmoraFlag", c.nonAscii};
  for (int i = 0; i < 4; ++i) {
    names[i].ulKind = PRSPEC_LPWSTR;
    names[i].lpwstr = const_cast<LPOLESTR>(nameText[i]);
  }
  PROPVARIANT custom[4];
  for (auto& v : custom) PropVariantInit(&v);
  custom[0].vt = VT_LPSTR;
  custom[0].pszVal = const_cast<char*>(c.text);
  custom[1].vt = VT_I4;
  custom[1].lVal = 42;
  custom[2].vt = VT_BOOL;
  custom[2].boolVal = VARIANT_TRUE;
  custom[3].vt = VT_LPWSTR;
  custom[3].pwszVal = const_cast<LPWSTR>(u"wide");
  ASSERT_EQ(ps->WriteMultiple(4, names, custom, 2), S_OK);
  ps->Release();

  // Every type, by id, in a set of its own FMTID.
  Values all;
  fillAllTypes(all);
  ASSERT_EQ(pss->Create(kAllTypes, nullptr, flags, kSetMode, &ps), S_OK);
  std::vector<PROPSPEC> allRequests;
  for (size_t i = 0; i < all.list.size(); ++i) allRequests.push_back(test::specId(PROPID(100 + i)));
  ASSERT_EQ(ps->WriteMultiple(ULONG(all.list.size()), allRequests.data(), all.list.data(), 2),
            S_OK);
  ASSERT_EQ(ps->Commit(STGC_DEFAULT), S_OK);
  ps->Release();
  pss->Release();
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root->Release();

  // Here.
  ASSERT_EQ(StgOpenStorageEx(test::widePath(file).c_str(), STGM_READ | STGM_SHARE_EXCLUSIVE,
                             STGFMT_ANY, 0, nullptr, nullptr, IID_IPropertySetStorage,
                             reinterpret_cast<void**>(&pss)),
            S_OK);
  ASSERT_EQ(pss->Open(kAllTypes, STGM_READ | STGM_SHARE_EXCLUSIVE, &ps), S_OK);
  std::vector<PROPVARIANT> back(all.list.size());
  ASSERT_EQ(ps->ReadMultiple(ULONG(back.size()), allRequests.data(), back.data()), S_OK);
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_TRUE(same(all.list[i], back[i])) << "type 0x" << std::hex << all.list[i].vt;
    PropVariantClear(&back[i]);
  }
  ps->Release();
  ASSERT_EQ(pss->Open(FMTID_UserDefinedProperties, STGM_READ | STGM_SHARE_EXCLUSIVE, &ps), S_OK);
  PROPVARIANT got[4];
  ASSERT_EQ(ps->ReadMultiple(4, names, got), S_OK);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(same(custom[i], got[i])) << i;
    PropVariantClear(&got[i]);
  }
  ps->Release();
  pss->Release();
  for (auto& v : all.list) {
    if (v.vt == VT_BSTR) SysFreeString(v.bstrVal);
    if (v.vt & VT_ARRAY) SafeArrayDestroy(v.parray);
  }

  // olefile, and the independent dictionary reader.
  if (!haveOlefile()) GTEST_SKIP() << "olefile is not installed for " << kPython;
  json dump = peerDump(file);
  ASSERT_FALSE(dump.is_null());
  bool sawCustom = false, sawSummary = false;
  for (const json& stream : dump["streams"]) {
    ASSERT_FALSE(stream["damaged"].get<bool>());
    if (stream["name"] == "\x05SummaryInformation") {
      sawSummary = true;
      EXPECT_EQ(stream["olefile"]["2"]["hex"],
                hexOf(reinterpret_cast<const uint8_t*>("Velmora title"), 13));
      // olefile keeps the terminator that the UnicodeString count includes.
      std::u16string author = fromUtf8(stream["olefile"]["4"].get<std::string>());
      EXPECT_EQ(author.substr(0, author.find(u'\0')), u"Velmora author");
      EXPECT_EQ(stream["olefile"]["14"], 7);
    }
    if (stream["name"] !=
        "\x05"
        "DocumentSummaryInformation")
      continue;
    ASSERT_EQ(stream["sections"].size(), 2u);
    const json& user = stream["sections"][1];
    EXPECT_EQ(user["codepage"], c.codePage);
    std::map<std::u16string, std::string> byName;
    for (auto& [id, n] : user["names"].items()) byName[fromUtf8(n.get<std::string>())] = id;
    ASSERT_EQ(byName.size(), 4u);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(byName.count(nameText[i])) << i;
    EXPECT_EQ(user["values"][byName[u"VelmoraNumber"]]["value"], 42);
    EXPECT_EQ(user["values"][byName[u"VelmoraFlag"]]["value"], true);
    EXPECT_EQ(user["values"][byName[c.nonAscii]]["value"], "wide");
    sawCustom = true;
  }
  EXPECT_TRUE(sawCustom && sawSummary);

  // exiftool.
  if (!test::haveProgram("exiftool")) GTEST_SKIP() << "exiftool is not installed";
  int status = 0;
  std::string out = test::runCommand("exiftool -j -G " + test::shellQuote(file.string()), status);
  ASSERT_EQ(status, 0) << out;
  json tool = json::parse(out)[0];
  EXPECT_EQ(tool["FlashPix:Title"], "Velmora title");
  EXPECT_EQ(tool["FlashPix:Author"], "Velmora author");
  EXPECT_EQ(tool["FlashPix:Company"], "Velmora Ltd");
  // exiftool takes the names of a code-page-1200 dictionary for others (it
  // shows winUnicodeDictionary.doc's the same way), so only 8-bit ones are
  // checked by name.
  if (c.codePage != 1200) {
    EXPECT_EQ(tool["FlashPix:VelmoraNumber"], 42);
    EXPECT_TRUE(tool.contains("FlashPix:VelmoraText")) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(CodePages, PropsetPeerRoundTripTest,
                         ::testing::Values(RoundTripCase{"Ansi1252", 1252,
                                                         "Gr\xfc\xdf"
                                                         "e",
                                                         u"Gr\u00fc\u00dfe"},
                                           RoundTripCase{"Unicode1200", 1200,
                                                         "Gr\xfc\xdf"
                                                         "e",
                                                         u"\u4e2d\u6587"},
                                           RoundTripCase{"Utf8", 65001,
                                                         "Gr\xc3\xbc\xc3\x9f"
                                                         "e",
                                                         u"\u00e9t\u00e9"}),
                         [](const auto& info) { return info.param.name; });

// The office suite reads a set we created in a copy of a corpus document.
TEST(PropsetOfficeSuiteTest, SeesPropertiesAddedToACorpusDocument) {
  fs::path corpus = test::corpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the document corpus is not present";
  if (!test::haveProgram("soffice")) GTEST_SKIP() << "the office suite is not installed";
  test::TempDir dir;
  fs::path file = dir.file("doc.doc");
  fs::copy_file(corpus / "documents" / "mcdf_Office365BlankSample_v2507.doc", file);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);

  IPropertySetStorage* pss = nullptr;
  ASSERT_EQ(StgOpenStorageEx(test::widePath(file).c_str(), kRootMode, STGFMT_ANY, 0, nullptr,
                             nullptr, IID_IPropertySetStorage, reinterpret_cast<void**>(&pss)),
            S_OK);
  IPropertyStorage* ps = nullptr;
  // Property writing's sequence: Open, and Create on STG_E_FILENOTFOUND.
  HRESULT hr = pss->Open(FMTID_UserDefinedProperties, kSetMode, &ps);
  if (hr == STG_E_FILENOTFOUND)
    hr = pss->Create(FMTID_UserDefinedProperties, nullptr, PROPSETFLAG_ANSI, kSetMode, &ps);
  ASSERT_EQ(hr, S_OK);
  PROPSPEC request;
  request.ulKind = PRSPEC_LPWSTR;
  request.lpwstr = const_cast<LPOLESTR>(u"VelmoraCheck");
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_LPSTR;
  v.pszVal = const_cast<char*>("roundtrip-42");
  ASSERT_EQ(ps->WriteMultiple(1, &request, &v, 2), S_OK);
  ASSERT_EQ(ps->Commit(STGC_DEFAULT), S_OK);
  ps->Release();
  ASSERT_EQ(pss->Open(FMTID_SummaryInformation, kSetMode, &ps), S_OK);
  request.ulKind = PRSPEC_PROPID;
  request.propid = PIDSI_TITLE;
  v.pszVal = const_cast<char*>("Velmora Title Check");
  ASSERT_EQ(ps->WriteMultiple(1, &request, &v, 2), S_OK);
  ps->Release();  // Release commits a changed direct-mode set
  IStorage* root = nullptr;
  ASSERT_EQ(pss->QueryInterface(IID_IStorage, reinterpret_cast<void**>(&root)), S_OK);
  pss->Release();
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root->Release();

  int status = 0;
  std::string profile = "file://" + (dir.path() / "profile").string();
  std::string out = test::runCommand(
      "timeout 300 soffice -env:UserInstallation=" + test::shellQuote(profile) +
          " --headless --convert-to odt --outdir " + test::shellQuote(dir.path().string()) + " " +
          test::shellQuote(file.string()) + " 2>&1",
      status);
  ASSERT_EQ(status, 0) << out;
  std::string meta = test::runCommand(
      std::string(kPython) + " -c " +
          test::shellQuote(
              "import sys,zipfile; "
              "sys.stdout.write(zipfile.ZipFile(sys.argv[1]).read('meta.xml').decode())") +
          " " + test::shellQuote((dir.path() / "doc.odt").string()),
      status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(meta.find("VelmoraCheck"), std::string::npos) << meta;
  EXPECT_NE(meta.find("roundtrip-42"), std::string::npos) << meta;
  EXPECT_NE(meta.find("Velmora Title Check"), std::string::npos) << meta;
}

}  // namespace
}  // namespace velmora::propset
