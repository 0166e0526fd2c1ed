// compdoc registry export: HKEY_CLASSES_ROOT in the ".reg" text form
// (REGEDIT4) that administrators read, through the registry API alone.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "command.h"
#include "hresult_names.h"
#include "registry/registry.h"

namespace compdoc {
namespace {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string hexBytes(const std::vector<BYTE>& data) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x", data[i]);
    if (i) out += ',';
    out += buf;
  }
  return out;
}

std::string valueLine(const WideString& name, DWORD type, const std::vector<BYTE>& data) {
  std::string line = name.empty() ? "@" : quoted(toUtf8(name.c_str(), name.size()));
  line += '=';
  if (type == REG_SZ) {
    WideString text(data.size() / 2, OLECHAR(0));
    if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * 2);
    while (!text.empty() && text.back() == 0) text.pop_back();
    return line + quoted(toUtf8(text.c_str(), text.size()));
  }
  if (type == REG_DWORD && data.size() == 4) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x",
                  data[0] | data[1] << 8 | data[2] << 16 | static_cast<unsigned>(data[3]) << 24);
    return line + buf;
  }
  if (type == REG_BINARY) return line + "hex:" + hexBytes(data);
  return line + "hex(" + std::to_string(type) + "):" + hexBytes(data);
}

LSTATUS exportKey(HKEY hKey, const std::string& path, std::string& out) {
  out += "\n[" + path + "]\n";
  for (DWORD i = 0;; ++i) {
    WCHAR name[16384];
    DWORD cchName = 16384, type = 0, size = 0;
    LSTATUS s = RegEnumValueW(hKey, i, name, &cchName, nullptr, &type, nullptr, &size);
    if (s == ERROR_NO_MORE_ITEMS) break;
    if (s) return s;
    std::vector<BYTE> data(size);
    cchName = 16384;
    s = RegEnumValueW(hKey, i, name, &cchName, nullptr, &type, data.data(), &size);
    if (s) return s;
    out += valueLine(WideString(name, cchName), type, data) + "\n";
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD cch = 256;
    LSTATUS s = RegEnumKeyExW(hKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (s == ERROR_NO_MORE_ITEMS) break;
    if (s) return s;
    HKEY hSub = nullptr;
    if ((s = RegOpenKeyExW(hKey, name, 0, KEY_READ, &hSub))) return s;
    s = exportKey(hSub, path + "\\" + toUtf8(name, cch), out);
    RegCloseKey(hSub);
    if (s) return s;
  }
  return ERROR_SUCCESS;
}

int runExport() {
  std::string out = "REGEDIT4\n";
  // One read transaction, so the export is one consistent state.
  velmora::registry::Transaction snapshot;
  LSTATUS s = snapshot.status();
  if (!s) s = exportKey(HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", out);
  if (!s) s = snapshot.commit();
  if (s) {
    std::cerr << "compdoc: cannot read the registry at " << velmora::registry::location().string()
              << ": " << describeHresult(HRESULT_FROM_WIN32(s)) << "\n";
    return kExitFailure;
  }
  std::cout << out;
  return kExitOk;
}

const CommandRegistration kRegistry("registry", [](CLI::App& app) {
  auto* sub = app.add_subcommand("registry", "the component registry");
  sub->require_subcommand(1);
  sub->add_subcommand("export", "print HKEY_CLASSES_ROOT as REGEDIT4 text");
  return [] { return runExport(); };
});

}  // namespace
}  // namespace compdoc
