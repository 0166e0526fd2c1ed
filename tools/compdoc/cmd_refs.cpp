// compdoc refs [--json] FILE...: the link sources a host discovers, one
// record a line. compdoc relink FILE OLDNAME=NEWPATH...: each pair one
// reference record (bsFileName OLDNAME, bsFullPath NEWPATH) handed to
// UpdateReferences. Both go through the plug-in as the vault host does.
#include <nlohmann/json.hpp>

#include <iostream>
#include <memory>
#include <vector>

#include "command.h"
#include "plugin_host.h"

namespace compdoc {
namespace {

// A navigator for `file`, or null after printing why.
IVltFileNavigator* openNavigator(PluginHost& host, const std::string& file) {
  std::u16string path = fromUtf8(file);
  IVltFileNavigator* navigator = nullptr;
  HRESULT hr = host.formats()->CreateNavigator(path.c_str(), 0, &navigator);
  if (FAILED(hr)) {
    reportFailure(file, "CreateNavigator failed", hr);
    return nullptr;
  }
  return navigator;
}

int runRefs(const std::vector<std::string>& files, bool json, const std::string& plugin) {
  PluginHost host;
  std::string error;
  if (!host.load(plugin, error)) {
    std::cerr << "compdoc: " << error << "\n";
    return kExitFailure;
  }
  int status = kExitOk;
  for (const std::string& file : files) {
    IVltFileNavigator* navigator = openNavigator(host, file);
    if (!navigator) {
      status = kExitFailure;
      continue;
    }
    LONG count = 0;
    VltReference* records = nullptr;
    HRESULT hr = navigator->GetReferences(0, &count, &records);
    navigator->Release();
    // S_FALSE: not a document whose links the plug-in reads.
    if (hr != S_OK) {
      reportFailure(file, "GetReferences failed", hr);
      status = kExitFailure;
    }
    for (LONG i = 0; i < count && records; ++i) {
      std::string fullPath = bstrToUtf8(records[i].bsFullPath);
      std::string fileName = bstrToUtf8(records[i].bsFileName);
      if (json) {
        nlohmann::ordered_json line;
        line["file"] = file;
        line["fullPath"] = fullPath;
        line["fileName"] = fileName;
        std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
      } else {
        std::cout << file << '\t' << fullPath << '\t' << fileName << "\n";
      }
      SysFreeString(records[i].bsFullPath);
      SysFreeString(records[i].bsFileName);
    }
    CoTaskMemFree(records);
  }
  return status;
}

int runRelink(const std::string& file, const std::vector<std::string>& pairs,
              const std::string& plugin) {
  std::vector<VltReference> records;
  auto freeRecords = [&] {
    for (auto& r : records) {
      SysFreeString(r.bsFileName);
      SysFreeString(r.bsFullPath);
    }
  };
  for (const std::string& pair : pairs) {
    // The old name ends at the first '='; the new path may hold more.
    auto equals = pair.find('=');
    if (equals == std::string::npos || equals == 0) {
      freeRecords();
      std::cerr << "compdoc relink: '" << pair << "' is not OLDNAME=NEWPATH\n";
      return kExitUsage;
    }
    std::u16string oldName = fromUtf8(pair.substr(0, equals));
    std::u16string newPath = fromUtf8(pair.substr(equals + 1));
    VltReference record = {};
    record.bsFileName = SysAllocStringLen(oldName.data(), static_cast<UINT>(oldName.size()));
    record.bsFullPath = SysAllocStringLen(newPath.data(), static_cast<UINT>(newPath.size()));
    records.push_back(record);
  }
  PluginHost host;
  std::string error;
  if (!host.load(plugin, error)) {
    freeRecords();
    std::cerr << "compdoc: " << error << "\n";
    return kExitFailure;
  }
  int status = kExitOk;
  if (IVltFileNavigator* navigator = openNavigator(host, file)) {
    HRESULT hr = navigator->UpdateReferences(0, static_cast<LONG>(records.size()), records.data());
    navigator->Release();
    if (hr != S_OK) {
      reportFailure(file, "UpdateReferences failed", hr);
      status = kExitFailure;
    }
  } else {
    status = kExitFailure;
  }
  freeRecords();
  return status;
}

const CommandRegistration refsRegistration("refs", [](CLI::App& app) {
  auto* sub = app.add_subcommand("refs", "list a document's link sources through the plug-in");
  struct Options {
    std::vector<std::string> files;
    bool json = false;
    std::string plugin;
  };
  auto options = std::make_shared<Options>();
  sub->add_flag("--json", options->json, "one JSON object a line");
  sub->add_option("--plugin", options->plugin, "the plug-in library (default: beside compdoc)");
  sub->add_option("FILE", options->files, "the documents")->required();
  return [options] { return runRefs(options->files, options->json, options->plugin); };
});

const CommandRegistration relinkRegistration("relink", [](CLI::App& app) {
  auto* sub = app.add_subcommand("relink", "point a document's links at new paths through the plug-in");
  struct Options {
    std::string file;
    std::vector<std::string> pairs;
    std::string plugin;
  };
  auto options = std::make_shared<Options>();
  sub->add_option("--plugin", options->plugin, "the plug-in library (default: beside compdoc)");
  sub->add_option("FILE", options->file, "the document")->required();
  sub->add_option("PAIRS", options->pairs, "OLDNAME=NEWPATH: links whose file name is OLDNAME")
      ->required();
  return [options] { return runRelink(options->file, options->pairs, options->plugin); };
});

}  // namespace
}  // namespace compdoc
