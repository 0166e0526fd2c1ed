// compdoc info: what the plug-in says of itself.
#include <cstdio>
#include <iostream>
#include <sstream>

#include "command.h"
#include "plugin_host.h"

namespace compdoc {
namespace {

int runInfo(const std::string& plugin) {
  PluginHost host;
  std::string error;
  if (!host.load(plugin, error)) {
    std::cerr << "compdoc: " << error << "\n";
    return kExitFailure;
  }
  BSTR company = nullptr, description = nullptr, extensions = nullptr;
  HRESULT hr = host.formats()->GetFormatInfo(&company, &description, &extensions);
  if (FAILED(hr)) {
    std::cerr << "compdoc: GetFormatInfo failed: " << describeHresult(hr) << "\n";
    return kExitFailure;
  }
  std::string list = toUtf8(extensions);
  std::cout << "company\t" << toUtf8(company) << "\n"
            << "description\t" << toUtf8(description) << "\n"
            << "extensions\t" << list << "\n";
  SysFreeString(company);
  SysFreeString(description);
  SysFreeString(extensions);

  std::stringstream items(list);
  for (std::string ext; std::getline(items, ext, ',');) {
    LONG flags = 0;
    WideString wide = fromUtf8(ext);
    hr = host.formats()->GetExtensionFlags(wide.c_str(), &flags);
    if (FAILED(hr)) {
      std::cerr << "compdoc: GetExtensionFlags(" << ext << ") failed: " << describeHresult(hr)
                << "\n";
      return kExitFailure;
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(flags));
    std::cout << "flags\t" << ext << '\t' << hex << "\n";
  }
  return kExitOk;
}

const CommandRegistration kInfo("info", [](CLI::App& app) {
  auto* sub = app.add_subcommand("info", "the plug-in's description, extensions and their flags");
  auto plugin = std::make_shared<std::string>();
  sub->add_option("--plugin", *plugin, "the plug-in library (default: beside compdoc)");
  return [plugin] { return runInfo(*plugin); };
});

}  // namespace
}  // namespace compdoc
