// compdoc register / unregister: self-registration of a component library,
// as an administrator's registration tool runs it. The library's
// DllRegisterServer or DllUnregisterServer runs as one registry transaction,
// so a concurrent registration or a crash leaves the keys from before or
// from after it, never a mixture.
#include <dlfcn.h>

#include <filesystem>
#include <iostream>

#include "command.h"
#include "plugin_host.h"
#include "registrar/script.h"
#include "registry/registry.h"

namespace compdoc {
namespace {

using EntryPoint = HRESULT (*)();

int runRegistration(const std::string& library, bool registerMode) {
  std::error_code ec;
  std::string file = library.empty() ? defaultPluginPath() : library;
  file = std::filesystem::absolute(file, ec).lexically_normal().string();
  const char* entry = registerMode ? "DllRegisterServer" : "DllUnregisterServer";
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::cerr << "compdoc: cannot load " << file << ": " << dlerror() << "\n";
    return kExitFailure;
  }
  auto run = reinterpret_cast<EntryPoint>(dlsym(handle, entry));
  if (!run) {
    std::cerr << "compdoc: " << file << " has no " << entry << "\n";
    dlclose(handle);
    return kExitFailure;
  }
  HRESULT hr;
  {
    velmora::registry::Transaction transaction;
    if (LSTATUS s = transaction.status()) {
      std::cerr << "compdoc: the registry at " << velmora::registry::location().string()
                << " cannot be written: " << describeHresult(HRESULT_FROM_WIN32(s)) << "\n";
      dlclose(handle);
      return kExitFailure;
    }
    hr = run();
    // What the library wrote before a failing step stays, as on Windows.
    if (LSTATUS s = transaction.commit(); s && SUCCEEDED(hr)) hr = HRESULT_FROM_WIN32(s);
  }
  dlclose(handle);
  if (FAILED(hr)) {
    std::cerr << "compdoc: " << file << ": " << entry << " failed: " << describeHresult(hr);
    if (hr == DISP_E_EXCEPTION && !velmora::registrar::lastParseError().empty())
      std::cerr << ": registration script: " << velmora::registrar::lastParseError();
    std::cerr << "\n";
    return kExitFailure;
  }
  std::cout << (registerMode ? "registered " : "unregistered ") << file << "\n";
  return kExitOk;
}

CommandFactory registrationCommand(bool registerMode) {
  return [registerMode](CLI::App& app) {
    auto* sub =
        app.add_subcommand(registerMode ? "register" : "unregister",
                           registerMode ? "register a component library's classes and type library"
                                        : "remove a component library's registration");
    auto library = std::make_shared<std::string>();
    sub->add_option("LIB", *library, "the library (default: the plug-in beside compdoc)");
    return std::function<int()>(
        [library, registerMode] { return runRegistration(*library, registerMode); });
  };
}

const CommandRegistration kRegister("register", registrationCommand(true));
const CommandRegistration kUnregister("unregister", registrationCommand(false));

}  // namespace
}  // namespace compdoc
