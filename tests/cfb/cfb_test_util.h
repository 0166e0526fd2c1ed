// Helpers shared by the compound-file tests: building documents through the
// public API, reading them back into a plain model, and comparing.
#pragma once
#include <objbase.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cfb/storage.h"
#include "tests/support/temp_dir.h"

namespace velmora::cfb::test {

// A document as a map from "/"-joined path to content; storages map to
// the marker "<storage>".
using Tree = std::map<std::u16string, std::string>;
inline const std::string kStorageMark = "<storage>";

inline std::u16string wide(const std::filesystem::path& p) { return p.u16string(); }

// Reads every element below `stg` into `out`; returns the first failure.
inline HRESULT readTree(IStorage* stg, const std::u16string& prefix, Tree& out) {
  IEnumSTATSTG* en = nullptr;
  HRESULT hr = stg->EnumElements(0, nullptr, 0, &en);
  if (FAILED(hr)) return hr;
  STATSTG st;
  ULONG got;
  while (en->Next(1, &st, &got) == S_OK) {
    std::u16string name = st.pwcsName;
    CoTaskMemFree(st.pwcsName);
    std::u16string path = prefix.empty() ? name : prefix + u"/" + name;
    if (st.type == STGTY_STORAGE) {
      out[path] = kStorageMark;
      IStorage* sub = nullptr;
      hr = stg->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                            &sub);
      if (FAILED(hr)) break;
      hr = readTree(sub, path, out);
      sub->Release();
      if (FAILED(hr)) break;
    } else {
      IStream* stm = nullptr;
      hr = stg->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stm);
      if (FAILED(hr)) break;
      // Read by what the chain holds, never by a size the directory claims:
      // a forged size must not cost its gigabytes here either.
      std::string data;
      char chunk[64 * 1024];
      ULONG n = 0;
      while (SUCCEEDED(hr = stm->Read(chunk, sizeof chunk, &n)) && n > 0) data.append(chunk, n);
      stm->Release();
      if (FAILED(hr)) break;
      if (data.size() != st.cbSize.QuadPart) {
        hr = E_FAIL;
        break;
      }
      out[path] = data;
    }
  }
  en->Release();
  return hr;
}

inline HRESULT readFileTree(const std::filesystem::path& file, Tree& out) {
  IStorage* root = nullptr;
  HRESULT hr = StgOpenStorageEx(reinterpret_cast<const WCHAR*>(wide(file).c_str()),
                                STGM_READ | STGM_PRIORITY, STGFMT_ANY, 0, nullptr, nullptr,
                                IID_IStorage, reinterpret_cast<void**>(&root));
  if (FAILED(hr)) return hr;
  out.clear();
  hr = readTree(root, u"", out);
  root->Release();
  return hr;
}

// Writes `data` as stream `name` of `stg` (replacing it).
inline HRESULT putStream(IStorage* stg, const std::u16string& name, const std::string& data) {
  IStream* stm = nullptr;
  HRESULT hr = stg->CreateStream(name.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE,
                                 0, 0, &stm);
  if (FAILED(hr)) return hr;
  ULONG n = 0;
  if (!data.empty()) hr = stm->Write(data.data(), ULONG(data.size()), &n);
  stm->Release();
  return hr;
}

// Deterministic bytes: `n` of them, varying with `seed`.
inline std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& c : s) {
    x = x * 1103515245u + 12345;
    c = char(x >> 16);
  }
  return s;
}

inline std::filesystem::path corpusDocuments() {
  auto dir = velmora::test::corpusDir();
  return dir.empty() ? dir : dir / "documents";
}

// A writable copy of `from` (the corpus is read-only).
inline void copyWritable(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(
      to, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

inline Result<void> checkFile(const std::filesystem::path& p, bool strict) {
  auto f = openPosixFile(p.string(), false, Disposition::OpenExisting);
  if (!f) return f.error();
  return checkIntegrity(**f, strict);
}

}  // namespace velmora::cfb::test
