#include "tests/support/registry_dump.h"

#include <cstdlib>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/process.h"

namespace velmora::test {
namespace {

std::string narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

void dumpKey(HKEY hKey, const std::string& path, std::string& out) {
  out += path + "\n";
  for (DWORD i = 0;; ++i) {
    WCHAR name[1024];
    BYTE data[4096];
    DWORD cch = 1024, size = sizeof data, type = 0;
    if (RegEnumValueW(hKey, i, name, &cch, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    std::string value;
    if (type == REG_SZ) {
      std::u16string text(reinterpret_cast<const char16_t*>(data), size / 2);
      while (!text.empty() && text.back() == 0) text.pop_back();
      value = narrow(text);
    } else {
      value = "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes";
    }
    out += path + "\\" + (cch ? narrow(std::u16string(name, cch)) : "@") + "=" + value + "\n";
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD cch = 256;
    if (RegEnumKeyExW(hKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    HKEY hSub = nullptr;
    if (RegOpenKeyExW(hKey, name, 0, KEY_READ, &hSub) != ERROR_SUCCESS) continue;
    dumpKey(hSub, (path.empty() ? "" : path + "\\") + narrow(std::u16string(name, cch)), out);
    RegCloseKey(hSub);
  }
}

}  // namespace

std::string dumpRegistry(const std::u16string& under) {
  HKEY hKey = HKEY_CLASSES_ROOT;
  if (!under.empty() && RegOpenKeyExW(HKEY_CLASSES_ROOT, under.c_str(), 0, KEY_READ, &hKey))
    return "";
  std::string out;
  dumpKey(hKey, narrow(under), out);
  if (hKey != HKEY_CLASSES_ROOT) RegCloseKey(hKey);
  return out;
}

ScratchRegistry::ScratchRegistry() : m_path(m_dir.file("registry.db")) {
  registry::closeDatabase();
  setenv("VELMORA_REGISTRY", m_path.c_str(), 1);
}

ScratchRegistry::~ScratchRegistry() {
  registry::closeDatabase();
  unsetenv("VELMORA_REGISTRY");
}

std::string ScratchRegistry::environment() const {
  return "VELMORA_REGISTRY=" + shellQuote(m_path.string());
}

}  // namespace velmora::test
