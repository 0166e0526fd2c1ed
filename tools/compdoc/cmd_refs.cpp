// compdoc refs [--json] FILE|DIR...: the link sources a host discovers, one
// record a line, as a batch like read. compdoc relink FILE OLDNAME=NEWPATH...: each pair one
// reference record (bsFileName OLDNAME, bsFullPath NEWPATH) handed to
// UpdateReferences. Both go through the plug-in as the vault host does.
#include <nlohmann/json.hpp>

#include <iostream>
#include <memory>
#include <vector>

#include "batch.h"
#include "command.h"
#include "plugin_host.h"

namespace compdoc {
namespace {

// A navigator for `file`, or null after printing why.
IVltFileNavigator* openNavigator(PluginHost& host, const std::string& file) {
  WideString path = fromUtf8(file);
  IVltFileNavigator* navigator = nullptr;
  HRESULT hr = host.formats()->CreateNavigator(path.c_str(), 0, &navigator);
  if (FAILED(hr)) {
    reportFailure(file, "CreateNavigator failed", hr);
    return nullptr;
  }
  return navigator;
}

// One document's link sources, as a batch job.
DocumentResult referencesOf(IVltFileFormat* formats, const std::string& file) {
  DocumentResult result;
  IUnknown* held = nullptr;
  Problem probe = probeDocument(file, nullptr, &held);
  struct Release {
    IUnknown*& p;
    ~Release() {
      if (p) p->Release();
    }
  } releaseHeld{held};
  // A busy document goes on to the plug-in, whose status is the one a host
  // sees; anything else that keeps the platform out is final.
  if (!probe.reason.empty() && probe.reason != reason::kBusy) {
    result.problems.push_back(probe);
    return result;
  }
  WideString path = fromUtf8(file);
  IVltFileNavigator* navigator = nullptr;
  HRESULT hr = formats->CreateNavigator(path.c_str(), 0, &navigator);
  if (FAILED(hr)) {
    result.problems.push_back({reason::kFailed, "CreateNavigator failed: " + describeHresult(hr)});
    return result;
  }
  LONG count = 0;
  VltReference* records = nullptr;
  hr = navigator->GetReferences(0, &count, &records);
  navigator->Release();
  // S_FALSE: not a document whose links the plug-in reads.
  if (hr != S_OK)
    result.problems.push_back({hr == VLT_E_FILE_ACCESS ? reason::kBusy : reason::kFailed,
                               "GetReferences failed: " + describeHresult(hr)});
  for (LONG i = 0; i < count && records; ++i) {
    nlohmann::ordered_json line;
    line["fullPath"] = bstrToUtf8(records[i].bsFullPath);
    line["fileName"] = bstrToUtf8(records[i].bsFileName);
    result.records.push_back(std::move(line));
    SysFreeString(records[i].bsFullPath);
    SysFreeString(records[i].bsFileName);
  }
  CoTaskMemFree(records);
  return result;
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
    WideString oldName = fromUtf8(pair.substr(0, equals));
    WideString newPath = fromUtf8(pair.substr(equals + 1));
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

const CommandRegistration kRefs("refs", [](CLI::App& app) {
  auto* sub = app.add_subcommand(
      "refs", "list the link sources of documents through the plug-in, one record a line");
  auto options = std::make_shared<BatchOptions>();
  addBatchOptions(*sub, *options);
  return [options] {
    BatchOptions o = *options;
    // A reference means nothing without the document that holds it.
    o.withFile = true;
    return runBatch("refs", o, {"fullPath", "fileName"}, "references", referencesOf);
  };
});

const CommandRegistration kRelink("relink", [](CLI::App& app) {
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
