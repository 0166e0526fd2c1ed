#include "plugin_host.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>

#include "command.h"
#include "module/velmora_lib.h"

namespace compdoc {

namespace {

using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using DllCanUnloadNowFn = HRESULT (*)();

// The system's library loader: the real one on Windows, the dynamic linker
// (which our platform's in-process activation uses too) elsewhere.
#ifdef _WIN32
constexpr const char* kPluginFile = "Velmora.dll";
void* openLibrary(const std::string& file) { return LoadLibraryW(fromUtf8(file).c_str()); }
void* librarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void closeLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
std::string loaderError() { return describeHresult(HRESULT_FROM_WIN32(GetLastError())); }
std::filesystem::path selfPath(std::error_code& ec) {
  wchar_t path[MAX_PATH];
  DWORD cch = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (cch == 0 || cch >= MAX_PATH) ec = std::make_error_code(std::errc::filename_too_long);
  return std::filesystem::path(path);
}
#else
constexpr const char* kPluginFile = "Velmora.so";
void* openLibrary(const std::string& file) { return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* librarySymbol(void* library, const char* name) { return dlsym(library, name); }
void closeLibrary(void* library) { dlclose(library); }
std::string loaderError() { return dlerror(); }
std::filesystem::path selfPath(std::error_code& ec) {
  return std::filesystem::read_symlink("/proc/self/exe", ec);
}
#endif

}  // namespace

std::string defaultPluginPath() {
  if (const char* env = std::getenv("VELMORA_PLUGIN")) return env;
  std::error_code ec;
  auto self = selfPath(ec);
  if (ec) return kPluginFile;
  auto beside = self.parent_path() / kPluginFile;
#ifdef VELMORA_PLUGIN_FROM_BINDIR
  // Installed, the plug-in lives in its own folder under the library folder.
  if (!std::filesystem::exists(beside, ec))
    return (self.parent_path() / VELMORA_PLUGIN_FROM_BINDIR).lexically_normal().string();
#endif
  return beside.string();
}

namespace {

// Creates the format descriptor as a vault host does: ProgID -> class id
// through the registry, then the registered in-process server.
bool createByProgId(const std::string& progId, IVltFileFormat** formats, std::string& error) {
  WideString wide = fromUtf8(progId);
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(wide.c_str(), &clsid);
  if (FAILED(hr)) {
    error = "the ProgID " + progId + " is not registered (" + describeHresult(hr) +
            "); register the plug-in with 'compdoc register'";
    return false;
  }
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IVltFileFormat,
                        reinterpret_cast<void**>(formats));
  if (FAILED(hr)) {
    *formats = nullptr;
    error = "cannot create " + progId + " " + clsidString(clsid) + ": " + describeHresult(hr);
    return false;
  }
  return true;
}

}  // namespace

PluginHost::~PluginHost() { unload(); }

bool PluginHost::load(const std::string& path, std::string& error) {
  if (!pluginProgId().empty()) {
    if (!path.empty()) {
      error = "--progid and --plugin exclude each other";
      return false;
    }
    m_byProgId = true;
    return createByProgId(pluginProgId(), &m_formats, error);
  }
  std::string file = path.empty() ? defaultPluginPath() : path;
  m_library = openLibrary(file);
  if (!m_library) {
    error = "cannot load the plug-in: " + loaderError();
    return false;
  }
  auto getClassObject =
      reinterpret_cast<DllGetClassObjectFn>(librarySymbol(m_library, "DllGetClassObject"));
  if (!getClassObject) {
    error = file + " has no DllGetClassObject";
    return false;
  }
  IClassFactory* factory = nullptr;
  HRESULT hr =
      getClassObject(CLSID_CompDocFormats, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) {
    error = "DllGetClassObject failed: " + describeHresult(hr);
    return false;
  }
  hr = factory->CreateInstance(nullptr, IID_IVltFileFormat, reinterpret_cast<void**>(&m_formats));
  factory->Release();
  if (FAILED(hr)) {
    m_formats = nullptr;
    error = "CreateInstance of CompDocFormats failed: " + describeHresult(hr);
    return false;
  }
  return true;
}

void PluginHost::unload() {
  if (m_formats) {
    m_formats->Release();
    m_formats = nullptr;
  }
  if (m_byProgId) {
    CoFreeUnusedLibraries();
    return;
  }
  if (!m_library) return;
  auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(librarySymbol(m_library, "DllCanUnloadNow"));
  if (canUnload && canUnload() == S_OK) closeLibrary(m_library);
  m_library = nullptr;
}

std::string bstrToUtf8(BSTR text) { return toUtf8(text, text ? SysStringLen(text) : 0); }

}  // namespace compdoc
