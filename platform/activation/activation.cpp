// In-process activation through the registry, the loaded-library table, and
// the loader's module functions (GetModuleHandleExW, GetModuleFileNameW).
#include "activation/activation.h"

#include <dlfcn.h>
#include <link.h>

#include <filesystem>
#include <map>
#include <mutex>

#include "text/text.h"

namespace velmora::activation {
namespace {

using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using DllCanUnloadNowFn = HRESULT (*)();

struct LoadedLibrary {
  void* handle;
  DllCanUnloadNowFn canUnloadNow;
};

struct State {
  std::mutex mutex;
  std::map<std::string, LoadedLibrary> libraries;  // by the path the registry gives
  std::vector<std::pair<CLSID, BuiltinClassFactory>> builtins;
};

State& state() {
  static State* s_state = new State;  // outlives the libraries' static destructors
  return *s_state;
}

BuiltinClassFactory findBuiltin(REFCLSID clsid) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  for (auto& [id, factory] : s.builtins)
    if (IsEqualCLSID(id, clsid)) return factory;
  return nullptr;
}

// The default value of HKCR\CLSID\{clsid}\InprocServer32: REGDB_E_CLASSNOTREG
// when the class or its in-process server is not registered.
HRESULT inprocServerPath(REFCLSID clsid, std::u16string& path) {
  WCHAR key[64] = u"CLSID\\";
  StringFromGUID2(clsid, key + 6, 40);
  std::u16string sub = std::u16string(key) + u"\\InprocServer32";
  HKEY hKey = nullptr;
  LSTATUS s = RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &hKey);
  if (s == ERROR_FILE_NOT_FOUND) return REGDB_E_CLASSNOTREG;
  if (s != ERROR_SUCCESS) return REGDB_E_READREGDB;
  DWORD type = 0, size = 0;
  s = RegQueryValueExW(hKey, nullptr, nullptr, &type, nullptr, &size);
  std::u16string value(size / sizeof(WCHAR), u'\0');
  if (s == ERROR_SUCCESS && size)
    s = RegQueryValueExW(hKey, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                         &size);
  RegCloseKey(hKey);
  if (s == ERROR_FILE_NOT_FOUND || (s == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ))
    return REGDB_E_CLASSNOTREG;
  if (s != ERROR_SUCCESS) return REGDB_E_READREGDB;
  value.resize(text::lengthOf(value.c_str()));
  if (value.empty()) return REGDB_E_CLASSNOTREG;
  path = std::move(value);
  return S_OK;
}

}  // namespace

void registerBuiltinClass(const CLSID& clsid, BuiltinClassFactory factory) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.builtins.emplace_back(clsid, factory);
}

base::Result<std::vector<uint8_t>> loadResource(const std::u16string& modulePath,
                                                std::u16string_view type, uint32_t id) {
  std::string path = text::utf8FromUtf16(modulePath);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle)
    return base::makeError(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "cannot load %s: %s",
                           path.c_str(), dlerror());
  auto* entry = static_cast<const ResourceEntry*>(dlsym(handle, kResourceDirectorySymbol));
  bool typeSeen = false;
  std::vector<uint8_t> data;
  bool found = false;
  for (; entry && entry->type; ++entry) {
    if (std::u16string_view(entry->type) != type) continue;
    typeSeen = true;
    if (entry->id != id) continue;
    data.assign(entry->data, entry->data + entry->size);
    found = true;
    break;
  }
  dlclose(handle);
  if (found) return data;
  return base::makeError(
      HRESULT_FROM_WIN32(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND),
      "%s has no resource %s %u", path.c_str(), text::utf8FromUtf16(std::u16string(type)).c_str(),
      id);
}

}  // namespace velmora::activation

using namespace velmora::activation;

EXTERN_C HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO*,
                                         REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  // Only in-process servers exist here; a context without them finds nothing.
  if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  std::u16string widePath;
  if (HRESULT hr = inprocServerPath(rclsid, widePath); FAILED(hr)) return hr;
  std::string path = velmora::text::utf8FromUtf16(widePath);

  State& s = state();
  DllGetClassObjectFn getClassObject = nullptr;
  {
    std::lock_guard lock(s.mutex);
    auto it = s.libraries.find(path);
    void* handle = it != s.libraries.end() ? it->second.handle : nullptr;
    if (!handle) {
      handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
      auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
      s.libraries[path] = LoadedLibrary{handle, canUnload};
    }
    getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
  }
  if (!getClassObject) return CO_E_ERRORINDLL;
  return getClassObject(rclsid, riid, ppv);
}

EXTERN_C HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                         REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (BuiltinClassFactory builtin = findBuiltin(rclsid)) {
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    return builtin(riid, ppv);
  }
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}

EXTERN_C void WINAPI CoFreeUnusedLibraries(void) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  for (auto it = s.libraries.begin(); it != s.libraries.end();) {
    // A library without DllCanUnloadNow stays loaded, as on Windows.
    if (it->second.canUnloadNow && it->second.canUnloadNow() == S_OK) {
      dlclose(it->second.handle);
      it = s.libraries.erase(it);
    } else {
      ++it;
    }
  }
}

EXTERN_C HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  *lpclsid = CLSID_NULL;
  std::u16string sub = std::u16string(lpszProgID) + u"\\CLSID";
  HKEY hKey = nullptr;
  LSTATUS s = RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &hKey);
  if (s == ERROR_FILE_NOT_FOUND) return CO_E_CLASSSTRING;
  if (s != ERROR_SUCCESS) return REGDB_E_READREGDB;
  WCHAR text[40] = {};
  DWORD type = 0, size = sizeof text - sizeof(WCHAR);
  s = RegQueryValueExW(hKey, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(hKey);
  if (s != ERROR_SUCCESS || type != REG_SZ) return CO_E_CLASSSTRING;
  return CLSIDFromString(text, lpclsid);
}

EXTERN_C BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  if (!phModule) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *phModule = nullptr;
  Dl_info info{};
  if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    if (!dladdr(lpModuleName, &info) || !info.dli_fbase) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    *phModule = info.dli_fbase;
    return TRUE;
  }
  // By name: only the main program (a null name) is looked up here.
  if (lpModuleName) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  *phModule = nullptr;
  return TRUE;
}

EXTERN_C DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  std::error_code ec;
  std::filesystem::path file;
  Dl_info info{};
  if (!hModule)
    file = std::filesystem::read_symlink("/proc/self/exe", ec);
  else if (dladdr(hModule, &info) && info.dli_fname && info.dli_fbase == hModule)
    file = std::filesystem::absolute(info.dli_fname, ec);
  if (file.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::u16string wide = velmora::text::utf16FromUtf8(file.lexically_normal().string());
  if (!lpFilename || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // Windows truncates to the buffer, terminates, and says so in the last error.
  if (wide.size() >= nSize) {
    std::memcpy(lpFilename, wide.data(), (nSize - 1) * sizeof(WCHAR));
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(wide.size());
}
