// compdoc: a command-line host for compound documents. `ls` and `cat` look
// inside a document through the platform's structured storage; `read`,
// `write` and `info` go through the Velmora plug-in as the vault host does.
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "command.h"
#include "hresult_names.h"

namespace compdoc {

std::vector<std::pair<std::string, CommandFactory>>& commandRegistry() {
  static std::vector<std::pair<std::string, CommandFactory>> registry;
  return registry;
}

std::string& pluginProgId() {
  static std::string progId;
  return progId;
}

CommandRegistration::CommandRegistration(std::string name, CommandFactory factory) {
  commandRegistry().emplace_back(std::move(name), std::move(factory));
}

}  // namespace compdoc

namespace {

// A host enters an apartment before it creates components: activation by
// ProgID and the system's storage and marshaling services expect one.
struct Apartment {
  Apartment() : hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~Apartment() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
  HRESULT hr;
};

}  // namespace

int run(int argc, char** argv);

// What no command caught (memory running out while the command line is
// parsed, say) is reported as a failure, not left to abort the process.
int runReporting(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("compdoc: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "compdoc: %s\n", e.what());
  } catch (...) {
    std::fputs("compdoc: an unexpected failure\n", stderr);
  }
  return compdoc::kExitFailure;
}

#ifdef _WIN32

// The arguments as the system keeps them, in UTF-16, so that values outside
// the ANSI code page arrive whole; CLI11 and the commands take UTF-8.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(compdoc::toUtf8(wargv[i]));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return runReporting(argc, argv.data());
}
#else
int main(int argc, char** argv) { return runReporting(argc, argv); }
#endif

int run(int argc, char** argv) {
  // The platform's time conversions ask the C library for the zone on every
  // call; without TZ it looks at /etc/localtime again each time. Naming that
  // same file once spares a call per converted time.
#ifndef _WIN32
  if (!std::getenv("TZ")) setenv("TZ", ":/etc/localtime", 0);
#endif
  Apartment apartment;
  CLI::App app{"compdoc: look inside compound documents and read or write their attributes"};
  app.set_version_flag("--version", "compdoc " VELMORA_VERSION);
  app.footer(compdoc::kExitStatusText);
  // A subcommand is checked for after parsing, so that --version needs none.
  app.require_subcommand(0, 1);
  app.add_option("--progid", compdoc::pluginProgId(),
                 "create the plug-in by ProgID through the registry (after compdoc register)");
  std::map<CLI::App*, std::function<int()>> runners;
  for (auto& [name, factory] : compdoc::commandRegistry()) {
    auto run = factory(app);
    runners[app.get_subcommand(name)] = std::move(run);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return compdoc::kExitUsage;
  }
  for (auto& [sub, run] : runners) {
    if (sub->parsed()) return run();
  }
  std::fprintf(stderr,
               "compdoc: a subcommand is required\nRun with --help for more information.\n");
  return compdoc::kExitUsage;
}
