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
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace velmora::propset {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char* kPython = "/usr/bin/python3";

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

bool haveOlefile() {
  int status = 0;
  test::runCommand(std::string(kPython) + " -c 'import olefile' 2>/dev/null", status);
  return status == 0;
}

// The peers' view of a file, or null when they cannot read it.
json peerDump(const fs::path& file) {
  int status = 0;
  std::string script = std::string(VELMORA_SOURCE_DIR) + "/tests/propset/dump_props.py";
  std::string out = test::runCommand(std::string(kPython) + " " + test::shellQuote(script) + " " +
                                         test::shellQuote(file.string()) + " 2>/dev/null",
                                     status);
  if (status != 0) return nullptr;
  return json::parse(out);
}

std::u16string fromUtf8(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    uint32_t c = uint8_t(s[i]);
    int n = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    c &= n == 0 ? 0x7F : n == 1 ? 0x1F : n == 2 ? 0x0F : 0x07;
    for (int k = 1; k <= n && i + k < s.size(); ++k) c = (c << 6) | (uint8_t(s[i + k]) & 0x3F);
    i += n + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(char16_t(0xD800 + (c >> 10)));
      out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(char16_t(c));
    }
  }
  return out;
}

std::string hexOf(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(d[p[i] >> 4]);
    s.push_back(d[p[i] & 15]);
  }
  return s;
}

GUID parseGuid(const std::string& s) {
  GUID g{};
  unsigned d[11];
  std::sscanf(s.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d[0], &d[1], &d[2], &d[3], &d[4],
              &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]);
  g.Data1 = d[0];
  g.Data2 = uint16_t(d[1]);
  g.Data3 = uint16_t(d[2]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = uint8_t(d[3 + i]);
  return g;
}

// Compares one of our values with dump_props.py's reading of it.
void expectSame(const PROPVARIANT& v, const json& want, uint16_t codePage, const std::string& what) {
  SCOPED_TRACE(what);
  if (want["vt"].is_null()) return;
  ASSERT_EQ(v.vt, want["vt"].get<int>());
  const json& x = want["value"];
  if (x.is_null()) return;
  switch (v.vt) {
    case VT_I2: EXPECT_EQ(v.iVal, x.get<int>()); break;
    case VT_UI2: EXPECT_EQ(v.uiVal, x.get<unsigned>()); break;
    case VT_I4: case VT_INT: case VT_ERROR: EXPECT_EQ(v.lVal, x.get<int64_t>()); break;
    case VT_UI4: case VT_UINT: EXPECT_EQ(v.ulVal, x.get<uint64_t>()); break;
    case VT_BOOL: EXPECT_EQ(v.boolVal != 0, x.get<bool>()); break;
    case VT_R8: EXPECT_EQ(v.dblVal, x.get<double>()); break;
    case VT_FILETIME:
      EXPECT_EQ(v.filetime.dwLowDateTime | (uint64_t(v.filetime.dwHighDateTime) << 32),
                x.get<uint64_t>());
      break;
    case VT_LPSTR:
      if (codePage == 1200) {
        // Handed out in the ANSI code page; compare what ASCII shows.
        std::u16string w = fromUtf8(x.get<std::string>());
        if (std::all_of(w.begin(), w.end(), [](char16_t c) { return c < 0x80; })) {
          EXPECT_EQ(std::string(v.pszVal), std::string(w.begin(), w.end()));
        }
      } else {
        EXPECT_EQ(hexOf(reinterpret_cast<const uint8_t*>(v.pszVal), std::strlen(v.pszVal)),
                  x["hex"].get<std::string>());
      }
      break;
    case VT_LPWSTR: EXPECT_EQ(std::u16string(v.pwszVal), fromUtf8(x.get<std::string>())); break;
    case VT_BLOB: EXPECT_EQ(hexOf(v.blob.pBlobData, v.blob.cbSize), x["hex"].get<std::string>()); break;
    default: break;
  }
}

// Compares with olefile's getproperties() value of the first section.
void expectSameAsOlefile(const PROPVARIANT& v, const json& x, const std::string& what) {
  SCOPED_TRACE(what);
  if (x.is_null()) return;  // a type olefile does not read
  switch (v.vt) {
    case VT_I2: EXPECT_EQ(v.iVal, x.get<int>()); break;
    case VT_UI2: EXPECT_EQ(v.uiVal, x.get<int>()); break;
    // olefile reads 32-bit values unsigned, whatever their type.
    case VT_I4: case VT_INT: case VT_ERROR: EXPECT_EQ(uint32_t(v.lVal), uint32_t(x.get<int64_t>())); break;
    case VT_UI4: case VT_UINT: EXPECT_EQ(int64_t(v.ulVal), x.get<int64_t>()); break;
    case VT_UI1: EXPECT_EQ(v.bVal, x.get<int>()); break;
    case VT_BOOL: EXPECT_EQ(v.boolVal != 0, x.get<bool>()); break;
    case VT_FILETIME:
      EXPECT_EQ((v.filetime.dwLowDateTime | (uint64_t(v.filetime.dwHighDateTime) << 32)) / 10000000,
                x.get<uint64_t>());
      break;
    case VT_LPSTR: {
      // olefile drops every NUL; we stop at the first.
      std::string ours = hexOf(reinterpret_cast<const uint8_t*>(v.pszVal), std::strlen(v.pszVal));
      std::string theirs = x["hex"].get<std::string>();
      EXPECT_EQ(theirs.substr(0, ours.size()), ours);
      break;
    }
    case VT_LPWSTR: {
      std::u16string theirs = fromUtf8(x.get<std::string>());
      while (!theirs.empty() && theirs.back() == 0) theirs.pop_back();
      EXPECT_EQ(std::u16string(v.pwszVal), theirs.substr(0, theirs.find(u'\0')));
      break;
    }
    case VT_BLOB: EXPECT_EQ(hexOf(v.blob.pBlobData, v.blob.cbSize), x["hex"].get<std::string>()); break;
    case VT_CF: {
      std::vector<uint8_t> b(4);
      std::memcpy(b.data(), &v.pclipdata->ulClipFmt, 4);
      b.insert(b.end(), v.pclipdata->pClipData, v.pclipdata->pClipData + v.pclipdata->cbSize - 4);
      EXPECT_EQ(hexOf(b.data(), b.size()), x["hex"].get<std::string>());
      break;
    }
    default: break;
  }
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
        PROPSPEC spec;
        spec.ulKind = PRSPEC_PROPID;
        spec.propid = PROPID(std::stoull(key));
        PROPVARIANT v;
        ASSERT_EQ(ps->ReadMultiple(1, &spec, &v), S_OK) << key;
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
        PROPSPEC spec;
        spec.ulKind = PRSPEC_LPWSTR;
        spec.lpwstr = upper.data();
        PROPVARIANT v;
        HRESULT r = ps->ReadMultiple(1, &spec, &v);
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

INSTANTIATE_TEST_SUITE_P(Documents, PropsetCorpusTest, ::testing::ValuesIn(corpusFiles()),
                         [](const auto& info) {
                           std::string n = info.param.empty() ? "NoCorpus" : info.param;
                           for (auto& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
}  // namespace velmora::propset
