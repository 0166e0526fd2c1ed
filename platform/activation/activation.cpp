// In-process activation through the registry, the loaded-library table, and
// the loader's module functions (GetModuleHandleExW, GetModuleFileNameW).
#include "activation/activation.h"

#include <dlfcn.h>
#include <link.h>

#include <chrono>
#include <cstring>
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
  DllGetClassObjectFn getClassObject;
  // Calls into DllGetClassObject under way: the library is not unloaded
  // while any runs, whatever DllCanUnloadNow answers meanwhile (the class
  // object it is making takes its module lock only at the end).
  int pins = 0;
  // Since when DllCanUnloadNow has said yes with no activation in between:
  // the library goes on a later pass, once the unload delay has passed.
  bool idle = false;
  std::chrono::steady_clock::time_point idleSince{};
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
  if (s == ERROR_OUTOFMEMORY || s == ERROR_NOT_ENOUGH_MEMORY) return E_OUTOFMEMORY;
  if (s != ERROR_SUCCESS) return REGDB_E_READREGDB;
  // Closed on every way out, a failed allocation of the value included.
  struct KeyCloser {
    HKEY h;
    ~KeyCloser() { RegCloseKey(h); }
  } closer{hKey};
  DWORD type = 0, size = 0;
  s = RegQueryValueExW(hKey, nullptr, nullptr, &type, nullptr, &size);
  std::u16string value(size / sizeof(WCHAR), u'\0');
  if (s == ERROR_SUCCESS && size)
    s = RegQueryValueExW(hKey, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                         &size);
  if (s == ERROR_FILE_NOT_FOUND || (s == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ))
    return REGDB_E_CLASSNOTREG;
  if (s == ERROR_OUTOFMEMORY || s == ERROR_NOT_ENOUGH_MEMORY) return E_OUTOFMEMORY;
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

namespace {

// The library of an in-process server, loaded if need be and pinned for one
// call of its DllGetClassObject; null with the reason in `hr`.
LoadedLibrary* pinLibrary(const std::string& path, HRESULT& hr) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.libraries.find(path);
  if (it == s.libraries.end()) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      // The loader tells a failed allocation only in its message: with the
      // errno text, or, for its path and map records, as an open or a
      // descriptor that failed with no reason given.
      const char* why = dlerror();
      std::string_view text = why ? why : "";
      bool memory = text.find("Cannot allocate memory") != text.npos ||
                    text.find("out of memory") != text.npos ||
                    text.ends_with("cannot create shared object descriptor") ||
                    text.ends_with("cannot open shared object file");
      hr = memory ? E_OUTOFMEMORY : HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    LoadedLibrary loaded{handle,
                         reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow")),
                         reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"))};
    try {
      it = s.libraries.emplace(path, loaded).first;
    } catch (...) {
      dlclose(handle);
      throw;
    }
  }
  if (!it->second.getClassObject) {
    hr = CO_E_ERRORINDLL;
    return nullptr;
  }
  ++it->second.pins;
  it->second.idle = false;
  return &it->second;  // map nodes stay put while others come and go
}

void unpinLibrary(LoadedLibrary* library) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  --library->pins;
}

HRESULT getClassObject(REFCLSID rclsid, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  // Only in-process servers exist here; a context without them finds nothing.
  if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  std::u16string widePath;
  if (HRESULT hr = inprocServerPath(rclsid, widePath); FAILED(hr)) return hr;
  std::string path = velmora::text::utf8FromUtf16(widePath);
  HRESULT hr = S_OK;
  LoadedLibrary* library = pinLibrary(path, hr);
  if (!library) return hr;
  // Outside the table's lock, as a server may activate other classes from
  // its DllGetClassObject; the pin keeps its code mapped meanwhile.
  hr = library->getClassObject(rclsid, riid, ppv);
  unpinLibrary(library);
  return hr;
}

}  // namespace

EXTERN_C HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, COSERVERINFO*,
                                         REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  return velmora::base::atBoundary<E_OUTOFMEMORY>(
      [&] { return getClassObject(rclsid, dwClsContext, riid, ppv); });
}

EXTERN_C HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                         REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  BuiltinClassFactory builtin = nullptr;
  if (HRESULT hr = velmora::base::atBoundary<E_OUTOFMEMORY>([&] {
        builtin = findBuiltin(rclsid);
        return S_OK;
      });
      FAILED(hr))
    return hr;
  if (builtin) {
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

namespace {

// Windows' default unload delay for a caller outside a single-threaded
// apartment.
constexpr std::chrono::minutes kDefaultUnloadDelay{10};

void freeUnusedLibraries(std::chrono::steady_clock::duration delay) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  const auto now = std::chrono::steady_clock::now();
  for (auto it = s.libraries.begin(); it != s.libraries.end();) {
    LoadedLibrary& library = it->second;
    // A library without DllCanUnloadNow stays loaded, as on Windows.
    if (library.pins != 0 || !library.canUnloadNow || library.canUnloadNow() != S_OK) {
      library.idle = false;
      ++it;
      continue;
    }
    if (delay.count() == 0 || (library.idle && now - library.idleSince >= delay)) {
      dlclose(library.handle);
      it = s.libraries.erase(it);
      continue;
    }
    if (!library.idle) {
      library.idle = true;
      library.idleSince = now;
    }
    ++it;
  }
}

}  // namespace

// A server's last object may still be returning through the library's code
// when its module count reaches zero; a library that must have said it can
// unload on two passes, the delay apart, is no longer running any of it.
// Only a single-threaded apartment, whose objects are called and released
// on the thread that frees, goes at once.
EXTERN_C void WINAPI CoFreeUnusedLibraries(void) {
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  const bool singleThreaded = CoGetApartmentType(&type, &qualifier) == S_OK &&
                              (type == APTTYPE_STA || type == APTTYPE_MAINSTA);
  freeUnusedLibraries(singleThreaded ? std::chrono::steady_clock::duration::zero()
                                     : std::chrono::steady_clock::duration(kDefaultUnloadDelay));
}

// INFINITE asks for the default delay; 0 unloads at once, as the caller
// vouches that no thread is still inside the library.
EXTERN_C void WINAPI CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD) {
  if (dwUnloadDelay == INFINITE) return CoFreeUnusedLibraries();
  freeUnusedLibraries(std::chrono::milliseconds(dwUnloadDelay));
}

namespace {

HRESULT clsidFromProgId(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  std::u16string sub = std::u16string(lpszProgID) + u"\\CLSID";
  HKEY hKey = nullptr;
  LSTATUS s = RegOpenKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &hKey);
  if (s == ERROR_FILE_NOT_FOUND) return CO_E_CLASSSTRING;
  if (s == ERROR_OUTOFMEMORY || s == ERROR_NOT_ENOUGH_MEMORY) return E_OUTOFMEMORY;
  if (s != ERROR_SUCCESS) return REGDB_E_READREGDB;
  WCHAR text[40] = {};
  DWORD type = 0, size = sizeof text - sizeof(WCHAR);
  s = RegQueryValueExW(hKey, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(hKey);
  if (s != ERROR_SUCCESS || type != REG_SZ) return CO_E_CLASSSTRING;
  return CLSIDFromString(text, lpclsid);
}

}  // namespace

EXTERN_C HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  *lpclsid = CLSID_NULL;
  return velmora::base::atBoundary<E_OUTOFMEMORY>(
      [&] { return clsidFromProgId(lpszProgID, lpclsid); });
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

namespace {

DWORD moduleFileName(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
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

}  // namespace

EXTERN_C DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  try {
    return moduleFileName(hModule, lpFilename, nSize);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}
