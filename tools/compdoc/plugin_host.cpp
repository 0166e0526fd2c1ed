#include "plugin_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "command.h"
#include "module/velmora_lib.h"

namespace compdoc {

namespace {

using DllGetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using DllCanUnloadNowFn = HRESULT (*)();

}  // namespace

std::string defaultPluginPath() {
  if (const char* env = std::getenv("VELMORA_PLUGIN")) return env;
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "Velmora.so";
  auto beside = self.parent_path() / "Velmora.so";
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
  std::u16string wide = fromUtf8(progId);
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
  auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(m_library, "DllCanUnloadNow"));
  if (canUnload && canUnload() == S_OK) dlclose(m_library);
  m_library = nullptr;
}

std::string bstrToUtf8(BSTR text) { return toUtf8(text, text ? SysStringLen(text) : 0); }

}  // namespace compdoc
