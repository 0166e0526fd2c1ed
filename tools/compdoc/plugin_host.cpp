#include "plugin_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "module/velmora_lib.h"

namespace compdoc {

namespace {

using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using DllCanUnloadNowFn = HRESULT (*)();

std::string defaultPluginPath() {
  if (const char* env = std::getenv("VELMORA_PLUGIN")) return env;
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "Velmora.so";
  return (self.parent_path() / "Velmora.so").string();
}

}  // namespace

PluginHost::~PluginHost() { unload(); }

bool PluginHost::load(const std::string& path, std::string& error) {
  std::string file = path.empty() ? defaultPluginPath() : path;
  m_library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_library) {
    error = std::string("cannot load the plug-in: ") + dlerror();
    return false;
  }
  auto getClassObject =
      reinterpret_cast<DllGetClassObjectFn>(dlsym(m_library, "DllGetClassObject"));
  if (!getClassObject) {
    error = file + " has no DllGetClassObject";
    return false;
  }
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(CLSID_CompDocFormats, IID_IClassFactory,
                              reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) {
    error = "DllGetClassObject failed: " + statusText(hr);
    return false;
  }
  hr = factory->CreateInstance(nullptr, IID_IVltFileFormat, reinterpret_cast<void**>(&m_formats));
  factory->Release();
  if (FAILED(hr)) {
    m_formats = nullptr;
    error = "CreateInstance of CompDocFormats failed: " + statusText(hr);
    return false;
  }
  return true;
}

void PluginHost::unload() {
  if (m_formats) {
    m_formats->Release();
    m_formats = nullptr;
  }
  if (!m_library) return;
  auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(m_library, "DllCanUnloadNow"));
  if (canUnload && canUnload() == S_OK) dlclose(m_library);
  m_library = nullptr;
}

std::u16string toUtf16(const std::string& utf8) {
  int cch = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(cch > 0 ? cch : 0), u'\0');
  if (cch > 0)
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), cch);
  return out;
}

std::string toUtf8(const WCHAR* text, size_t length) {
  if (!text || length == 0) return std::string();
  int n = static_cast<int>(length);
  int cb = WideCharToMultiByte(CP_UTF8, 0, text, n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(cb > 0 ? cb : 0), '\0');
  if (cb > 0) WideCharToMultiByte(CP_UTF8, 0, text, n, out.data(), cb, nullptr, nullptr);
  return out;
}

std::string toUtf8(BSTR text) { return toUtf8(text, text ? SysStringLen(text) : 0); }

std::string statusText(HRESULT hr) {
  struct Name {
    HRESULT hr;
    const char* name;
  };
  static const Name names[] = {
      {S_OK, "S_OK"},
      {S_FALSE, "S_FALSE"},
      {VLT_E_FILE_ACCESS, "VLT_E_FILE_ACCESS"},
      {E_NOTIMPL, "E_NOTIMPL"},
      {E_NOINTERFACE, "E_NOINTERFACE"},
      {E_POINTER, "E_POINTER"},
      {E_FAIL, "E_FAIL"},
      {E_INVALIDARG, "E_INVALIDARG"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
      {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
      {STG_E_FILENOTFOUND, "STG_E_FILENOTFOUND"},
      {STG_E_PATHNOTFOUND, "STG_E_PATHNOTFOUND"},
      {STG_E_ACCESSDENIED, "STG_E_ACCESSDENIED"},
      {STG_E_SHAREVIOLATION, "STG_E_SHAREVIOLATION"},
      {STG_E_LOCKVIOLATION, "STG_E_LOCKVIOLATION"},
      {STG_E_FILEALREADYEXISTS, "STG_E_FILEALREADYEXISTS"},
      {STG_E_INVALIDHEADER, "STG_E_INVALIDHEADER"},
      {STG_E_DOCFILECORRUPT, "STG_E_DOCFILECORRUPT"},
      {STG_E_INVALIDNAME, "STG_E_INVALIDNAME"},
      {STG_E_INVALIDFLAG, "STG_E_INVALIDFLAG"},
  };
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
  for (const Name& n : names)
    if (n.hr == hr) return std::string(n.name) + " (" + hex + ")";
  return hex;
}

}  // namespace compdoc
