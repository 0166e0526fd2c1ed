// Comparing this layer's values with the peer readers' view of a file:
// olefile (first sections) and dump_props.py's own reading (dictionaries,
// every section's simple values). Shared by the corpus and round-trip tests.
#pragma once
#include <objbase.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/support/process.h"

namespace velmora::propset::peer {

namespace fs = std::filesystem;
using nlohmann::json;

inline const char* kPython = "/usr/bin/python3";

inline bool haveOlefile() {
  int status = 0;
  test::runCommand(std::string(kPython) + " -c 'import olefile' 2>/dev/null", status);
  return status == 0;
}

// The peers' view of a file, or null when they cannot read it.
inline json peerDump(const fs::path& file) {
  int status = 0;
  std::string script = std::string(VELMORA_SOURCE_DIR) + "/tests/propset/dump_props.py";
  std::string out = test::runCommand(std::string(kPython) + " " + test::shellQuote(script) + " " +
                                         test::shellQuote(file.string()) + " 2>/dev/null",
                                     status);
  if (status != 0) return nullptr;
  return json::parse(out);
}

inline std::u16string fromUtf8(const std::string& s) {
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

inline std::string hexOf(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(d[p[i] >> 4]);
    s.push_back(d[p[i] & 15]);
  }
  return s;
}

inline GUID parseGuid(const std::string& s) {
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
inline void expectSame(const PROPVARIANT& v, const json& want, uint16_t codePage,
                       const std::string& what) {
  SCOPED_TRACE(what);
  if (want["vt"].is_null()) return;
  ASSERT_EQ(v.vt, want["vt"].get<int>());
  const json& x = want["value"];
  if (x.is_null()) return;
  switch (v.vt) {
    case VT_I2: EXPECT_EQ(v.iVal, x.get<int>()); break;
    case VT_UI2: EXPECT_EQ(v.uiVal, x.get<unsigned>()); break;
    case VT_I4:
    case VT_INT:
    case VT_ERROR: EXPECT_EQ(v.lVal, x.get<int64_t>()); break;
    case VT_UI4:
    case VT_UINT: EXPECT_EQ(v.ulVal, x.get<uint64_t>()); break;
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
    case VT_BLOB:
      EXPECT_EQ(hexOf(v.blob.pBlobData, v.blob.cbSize), x["hex"].get<std::string>());
      break;
    default: break;
  }
}

// Compares with olefile's getproperties() value of the first section.
inline void expectSameAsOlefile(const PROPVARIANT& v, const json& x, const std::string& what) {
  SCOPED_TRACE(what);
  if (x.is_null()) return;  // a type olefile does not read
  switch (v.vt) {
    case VT_I2: EXPECT_EQ(v.iVal, x.get<int>()); break;
    case VT_UI2: EXPECT_EQ(v.uiVal, x.get<int>()); break;
    // olefile reads 32-bit values unsigned, whatever their type.
    case VT_I4:
    case VT_INT:
    case VT_ERROR: EXPECT_EQ(uint32_t(v.lVal), uint32_t(x.get<int64_t>())); break;
    case VT_UI4:
    case VT_UINT: EXPECT_EQ(int64_t(v.ulVal), x.get<int64_t>()); break;
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
    case VT_BLOB:
      EXPECT_EQ(hexOf(v.blob.pBlobData, v.blob.cbSize), x["hex"].get<std::string>());
      break;
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

}  // namespace velmora::propset::peer
