#include "hresult_names.h"

#include "host/vlt_records.h"

#include <windows.h>
#include <oleauto.h>

#include <cstdio>

namespace compdoc {

std::string hresultName(HRESULT hr) {
  switch (static_cast<unsigned long>(hr)) {
    // clang-format off
#define NAME(x) \
  case static_cast<unsigned long>(x): return #x;
    NAME(S_OK) NAME(S_FALSE) NAME(VLT_E_FILE_ACCESS) NAME(E_POINTER) NAME(E_FAIL)
    NAME(CLASS_E_NOAGGREGATION) NAME(CLASS_E_CLASSNOTAVAILABLE) NAME(E_NOTIMPL) NAME(E_NOINTERFACE) NAME(E_OUTOFMEMORY)
    NAME(E_INVALIDARG) NAME(STG_E_INVALIDFUNCTION) NAME(STG_E_FILENOTFOUND)
    NAME(STG_E_PATHNOTFOUND) NAME(STG_E_TOOMANYOPENFILES) NAME(STG_E_ACCESSDENIED)
    NAME(STG_E_INVALIDHANDLE) NAME(STG_E_INSUFFICIENTMEMORY) NAME(STG_E_INVALIDPOINTER)
    NAME(STG_E_NOMOREFILES) NAME(STG_E_DISKISWRITEPROTECTED) NAME(STG_E_SEEKERROR)
    NAME(STG_E_WRITEFAULT) NAME(STG_E_READFAULT) NAME(STG_E_SHAREVIOLATION)
    NAME(STG_E_LOCKVIOLATION) NAME(STG_E_FILEALREADYEXISTS) NAME(STG_E_INVALIDPARAMETER)
    NAME(STG_E_MEDIUMFULL) NAME(STG_E_PROPSETMISMATCHED) NAME(STG_E_ABNORMALAPIEXIT)
    NAME(STG_E_INVALIDHEADER) NAME(STG_E_INVALIDNAME) NAME(STG_E_UNKNOWN)
    NAME(STG_E_UNIMPLEMENTEDFUNCTION) NAME(STG_E_INVALIDFLAG) NAME(STG_E_INUSE)
    NAME(STG_E_NOTCURRENT) NAME(STG_E_REVERTED) NAME(STG_E_CANTSAVE) NAME(STG_E_OLDFORMAT)
    NAME(STG_E_OLDDLL) NAME(STG_E_SHAREREQUIRED) NAME(STG_E_NOTFILEBASEDSTORAGE)
    NAME(STG_E_EXTANTMARSHALLINGS) NAME(STG_E_DOCFILECORRUPT) NAME(STG_E_BADBASEADDRESS)
    NAME(STG_E_DOCFILETOOLARGE) NAME(STG_E_NOTSIMPLEFORMAT) NAME(STG_E_INCOMPLETE)
    NAME(STG_E_TERMINATED) NAME(REGDB_E_CLASSNOTREG) NAME(REGDB_E_READREGDB)
    NAME(CO_E_CLASSSTRING) NAME(CO_E_ERRORINDLL) NAME(TYPE_E_REGISTRYACCESS)
    NAME(TYPE_E_CANTLOADLIBRARY) NAME(TYPE_E_INVDATAREAD) NAME(TYPE_E_UNSUPFORMAT)
    NAME(DISP_E_EXCEPTION) NAME(E_UNEXPECTED) NAME(DV_E_CLIPFORMAT) NAME(MK_E_SYNTAX)
#undef NAME
        // clang-format on
        default : if (HRESULT_FACILITY(hr) == FACILITY_WIN32) return "HRESULT_FROM_WIN32(" +
                  std::to_string(HRESULT_CODE(hr)) + ")";
    return "HRESULT";
  }
}

std::string describeHresult(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return hresultName(hr) + " (" + buf + ")";
}

std::string takeErrorDescription() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return std::string();
  BSTR text = nullptr;
  std::string out;
  if (SUCCEEDED(info->GetDescription(&text)) && text) out = toUtf8(text, SysStringLen(text));
  SysFreeString(text);
  info->Release();
  return out;
}

std::string describeFailure(HRESULT hr) {
  std::string why = takeErrorDescription();
  return describeHresult(hr) + (why.empty() ? "" : ": " + why);
}

std::string recordReason(const std::string& description, const std::string& key) {
  const std::string prefix = key + ": ";
  size_t at = 0;
  while (at < description.size()) {
    size_t end = description.find('\n', at);
    if (end == std::string::npos) end = description.size();
    if (description.compare(at, prefix.size(), prefix) == 0 && at + prefix.size() <= end)
      return description.substr(at + prefix.size(), end - at - prefix.size());
    at = end + 1;
  }
  return std::string();
}

void reportFailure(const std::string& file, const std::string& what, HRESULT hr) {
  std::fprintf(stderr, "compdoc: %s: %s: %s\n", file.c_str(), what.c_str(),
               describeFailure(hr).c_str());
}

std::string toUtf8(const OLECHAR* s) {
  size_t n = 0;
  while (s && s[n]) ++n;
  return toUtf8(s, n);
}

std::string toUtf8(const OLECHAR* text, size_t length) {
  if (!text || length == 0) return std::string();
  // Most names and values are ASCII, which is its own UTF-8.
  size_t ascii = 0;
  while (ascii < length && text[ascii] < 0x80) ++ascii;
  if (ascii == length) {
    std::string out(length, '\0');
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<char>(text[i]);
    return out;
  }
  int n = static_cast<int>(length);
  int cb = WideCharToMultiByte(CP_UTF8, 0, text, n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(cb > 0 ? cb : 0), '\0');
  if (cb > 0) WideCharToMultiByte(CP_UTF8, 0, text, n, out.data(), cb, nullptr, nullptr);
  return out;
}

WideString fromUtf8(const std::string& s) {
  int n = static_cast<int>(s.size());
  int cch = MultiByteToWideChar(CP_UTF8, 0, s.data(), n, nullptr, 0);
  WideString out(static_cast<size_t>(cch > 0 ? cch : 0), OLECHAR(0));
  if (cch > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), n, out.data(), cch);
  return out;
}

void appendEscaped(const std::string& path, std::string& out) {
  // Runs of printable bytes go in whole: a batch prints a path on every line.
  size_t from = 0;
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c >= 0x20) continue;
    out.append(path, from, i - from);
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    out += buf;
    from = i + 1;
  }
  out.append(path, from, std::string::npos);
}

std::string escapePath(const std::string& path) {
  std::string out;
  appendEscaped(path, out);
  return out;
}

bool splitPath(const std::string& path, std::vector<WideString>* out) {
  out->clear();
  std::string part;
  auto flush = [&]() {
    if (part.empty()) return false;
    out->push_back(fromUtf8(part));
    part.clear();
    return true;
  };
  for (size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '/') {
      if (!flush()) return false;
    } else if (c == '\\' && i + 3 < path.size() + 0 && (path[i + 1] == 'x' || path[i + 1] == 'X')) {
      auto hex = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        if (h >= 'A' && h <= 'F') return h - 'A' + 10;
        return -1;
      };
      int hi = hex(path[i + 2]), lo = hex(path[i + 3]);
      if (hi < 0 || lo < 0) return false;
      part += char(hi * 16 + lo);
      i += 3;
    } else {
      part += c;
    }
  }
  return flush();
}

std::string clsidString(const CLSID& c) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                unsigned(c.Data1), c.Data2, c.Data3, c.Data4[0], c.Data4[1], c.Data4[2], c.Data4[3],
                c.Data4[4], c.Data4[5], c.Data4[6], c.Data4[7]);
  return buf;
}

HRESULT openRootForReading(const std::string& file, IStorage** out) {
  WideString wide = fromUtf8(file);
  return StgOpenStorageEx(reinterpret_cast<const WCHAR*>(wide.c_str()), STGM_READ | STGM_PRIORITY,
                          STGFMT_ANY, 0, nullptr, nullptr, IID_IStorage,
                          reinterpret_cast<void**>(out));
}

}  // namespace compdoc
