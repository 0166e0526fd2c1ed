// Every property set of every corpus document, read through the engine's
// root storage, against two independent readers (olefile for first sections,
// dump_props.py's own reading for dictionaries and the user-defined section).
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>

#include "propset/stream_name.h"
#include "tests/propset/peer_compare.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace velmora::propset {
namespace {

namespace fs = std::filesystem;
using namespace peer;

std::vector<std::string> corpusFiles() {
  std::vector<std::string> names;
  fs::path dir = test::corpusDir();
  if (!dir.empty())
    for (const auto& e : fs::directory_iterator(dir / "documents"))
      if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  if (names.empty()) names.push_back("");  // one case, which skips
  return names;
}

class PropsetCorpusTest : public ::testing::TestWithParam<std::string> {};

TEST_P(PropsetCorpusTest, EverySetReadsAsThePeersReadIt) {
  if (GetParam().empty()) GTEST_SKIP() << "the document corpus is not present";
  if (!haveOlefile()) GTEST_SKIP() << "olefile is not installed for " << kPython;
  fs::path file = test::corpusDir() / "documents" / GetParam();
  json dump = peerDump(file);
  IPropertySetStorage* pss = nullptr;
  HRESULT hr = StgOpenStorageEx(test::widePath(file).c_str(), STGM_READ | STGM_SHARE_DENY_WRITE,
                                STGFMT_ANY, 0, nullptr, nullptr, IID_IPropertySetStorage,
                                reinterpret_cast<void**>(&pss));
  if (dump.is_null()) {
    EXPECT_TRUE(FAILED(hr)) << "olefile cannot read it, but the engine opened it";
    return;
  }
  ASSERT_EQ(hr, S_OK);
  for (const json& stream : dump["streams"]) {
    std::u16string name = fromUtf8(stream["name"].get<std::string>());
    auto named = fmtidForStreamName(name);
    if (!named) continue;  // "\005..." elements that are not property sets
    SCOPED_TRACE(stream["name"].get<std::string>());
    IPropertyStorage* ps = nullptr;
    if (stream["damaged"].get<bool>()) {
      EXPECT_EQ(pss->Open(*named, STGM_READ | STGM_SHARE_EXCLUSIVE, &ps), STG_E_INVALIDHEADER);
      continue;
    }
    const json& sections = stream["sections"];
    for (size_t si = 0; si < sections.size(); ++si) {
      const json& sec = sections[si];
      FMTID fmtid = parseGuid(sec["fmtid"].get<std::string>());
      // Only the pair shares a stream; a lone section is the set its name says.
      if (si > 0 && !IsEqualGUID(fmtid, FMTID_UserDefinedProperties)) continue;
      if (si == 0 && !IsEqualGUID(fmtid, *named)) {
        ADD_FAILURE() << "section FMTID " << sec["fmtid"] << " differs from the stream name";
        continue;
      }
      ASSERT_EQ(pss->Open(fmtid, STGM_READ | STGM_SHARE_EXCLUSIVE, &ps), S_OK);
      uint16_t cp = sec["codepage"].is_null() ? 1252 : sec["codepage"].get<uint16_t>();

      // Enum lists exactly the ordinary ids of the section.
      std::set<PROPID> want, listed;
      for (auto& [key, value] : sec["values"].items()) {
        PROPID id = PROPID(std::stoull(key));
        if (id != PID_CODEPAGE && id != PID_LOCALE && id != PID_BEHAVIOR) want.insert(id);
      }
      IEnumSTATPROPSTG* e = nullptr;
      ASSERT_EQ(ps->Enum(&e), S_OK);
      STATPROPSTG st;
      while (e->Next(1, &st, nullptr) == S_OK) {
        listed.insert(st.propid);
        if (sec["names"].contains(std::to_string(st.propid))) {
          EXPECT_NE(st.lpwstrName, nullptr) << st.propid;
          if (st.lpwstrName) {
            EXPECT_EQ(std::u16string(st.lpwstrName),
                      fromUtf8(sec["names"][std::to_string(st.propid)].get<std::string>()));
          }
        }
        CoTaskMemFree(st.lpwstrName);
      }
      e->Release();
      EXPECT_EQ(listed, want);

      for (auto& [key, expected] : sec["values"].items()) {
        PROPSPEC request;
        request.ulKind = PRSPEC_PROPID;
        request.propid = PROPID(std::stoull(key));
        PROPVARIANT v;
        ASSERT_EQ(ps->ReadMultiple(1, &request, &v), S_OK) << key;
        expectSame(v, expected, cp, "id " + key);
        if (si == 0 && stream.contains("olefile") && stream["olefile"].contains(key))
          expectSameAsOlefile(v, stream["olefile"][key], "olefile id " + key);
        PropVariantClear(&v);
      }
      // Named properties read by name, whatever the case.
      for (auto& [key, n] : sec["names"].items()) {
        std::u16string upper = fromUtf8(n.get<std::string>());
        for (auto& c : upper)
          if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
        PROPSPEC request;
        request.ulKind = PRSPEC_LPWSTR;
        request.lpwstr = upper.data();
        PROPVARIANT v;
        HRESULT r = ps->ReadMultiple(1, &request, &v);
        if (sec["values"].contains(key)) {
          EXPECT_EQ(r, S_OK) << n;
        }
        PropVariantClear(&v);
      }
      ps->Release();
    }
  }
  pss->Release();
}

// Office's unpadded string vectors, as exiftool shows this workbook's.
TEST(PropsetCorpusVectorTest, ReadsOfficeTitlesAndHeadings) {
  fs::path dir = test::corpusDir();
  if (dir.empty()) GTEST_SKIP() << "the document corpus is not present";
  fs::path file = dir / "documents" / "testEXCEL_custom_props.xls";
  IPropertySetStorage* pss = nullptr;
  ASSERT_EQ(StgOpenStorageEx(test::widePath(file).c_str(), STGM_READ | STGM_SHARE_DENY_WRITE,
                             STGFMT_ANY, 0, nullptr, nullptr, IID_IPropertySetStorage,
                             reinterpret_cast<void**>(&pss)),
            S_OK);
  IPropertyStorage* ps = nullptr;
  ASSERT_EQ(pss->Open(FMTID_DocSummaryInformation, STGM_READ | STGM_SHARE_EXCLUSIVE, &ps), S_OK);
  PROPSPEC requests[2];
  requests[0].ulKind = requests[1].ulKind = PRSPEC_PROPID;
  requests[0].propid = 13;  // TitlesOfParts
  requests[1].propid = 12;  // HeadingPairs
  PROPVARIANT v[2];
  ASSERT_EQ(ps->ReadMultiple(2, requests, v), S_OK);
  ASSERT_EQ(v[0].vt, VT_VECTOR | VT_LPSTR);
  ASSERT_EQ(v[0].calpstr.cElems, 3u);
  EXPECT_STREQ(v[0].calpstr.pElems[0], "Feuil1");
  EXPECT_STREQ(v[0].calpstr.pElems[2], "Feuil3");
  ASSERT_EQ(v[1].vt, VT_VECTOR | VT_VARIANT);
  ASSERT_EQ(v[1].capropvar.cElems, 2u);
  ASSERT_EQ(v[1].capropvar.pElems[0].vt, VT_LPSTR);
  EXPECT_STREQ(v[1].capropvar.pElems[0].pszVal, "Feuilles de calcul");
  ASSERT_EQ(v[1].capropvar.pElems[1].vt, VT_I4);
  EXPECT_EQ(v[1].capropvar.pElems[1].lVal, 3);
  FreePropVariantArray(2, v);
  ps->Release();
  pss->Release();
}

INSTANTIATE_TEST_SUITE_P(Documents, PropsetCorpusTest, ::testing::ValuesIn(corpusFiles()),
                         [](const auto& info) {
                           std::string n = info.param.empty() ? "NoCorpus" : info.param;
                           for (auto& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
}  // namespace velmora::propset
