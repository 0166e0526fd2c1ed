// How compdoc hosts the plug-in: it loads the library, asks its class
// object for the format descriptor and works through the host interfaces
// exactly as the vault host does; it never links the plug-in's code.
#pragma once
#include <windows.h>
#include <ole2.h>

#include <string>

#include "host/vlt_interfaces.h"
#include "hresult_names.h"

namespace compdoc {

class PluginHost {
 public:
  PluginHost() = default;
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Loads the plug-in (`path`, or $VELMORA_PLUGIN, or Velmora.so (Velmora.dll
  // on Windows) beside this program, or the installed one) and creates its
  // format descriptor; with --progid, creates it through the registry
  // instead. False with a message in `error` when that fails.
  bool load(const std::string& path, std::string& error);

  IVltFileFormat* formats() const { return m_formats; }

  // Asks the plug-in whether it can be unloaded, and unloads it if so.
  void unload();

 private:
  void* m_library = nullptr;
  bool m_byProgId = false;
  IVltFileFormat* m_formats = nullptr;
};

// $VELMORA_PLUGIN, else Velmora.so (Velmora.dll on Windows) beside this program.
std::string defaultPluginPath();

// A BSTR as UTF-8, embedded NULs included.
std::string bstrToUtf8(BSTR text);

}  // namespace compdoc
