// compdoc refs [--json] FILE|DIR...: the link sources a host discovers, one
// record a line, as a batch like read. compdoc relink FILE OLDNAME=NEWPATH...: each pair one
// reference record (bsFileName OLDNAME, bsFullPath NEWPATH) handed to
// UpdateReferences. compdoc relink --map OLD=NEW... [--dry-run] FILE|DIR...:
// the links of whole trees moved by path prefix (relink_plan.h), one record
// a link. All go through the plug-in as the vault host does.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <vector>

#include "batch.h"
#include "command.h"
#include "plugin_host.h"
#include "relink_plan.h"

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

using Link = std::pair<WideString, WideString>;  // full path, file name

// The link sources of `path` through the plug-in; false, with the problem
// in `problems`, when they cannot be listed.
bool listReferences(IVltFileFormat* formats, const WideString& path, std::vector<Link>& links,
                    std::vector<Problem>& problems) {
  IVltFileNavigator* navigator = nullptr;
  HRESULT hr = formats->CreateNavigator(path.c_str(), 0, &navigator);
  if (FAILED(hr)) {
    problems.push_back({reason::kFailed, "CreateNavigator failed: " + describeHresult(hr)});
    return false;
  }
  LONG count = 0;
  VltReference* records = nullptr;
  hr = navigator->GetReferences(0, &count, &records);
  // Why the list failed, or which link objects it passed over as
  // unreadable (one line each), when the plug-in says.
  const std::string why = takeErrorDescription();
  navigator->Release();
  // S_FALSE: not a document whose links the plug-in reads.
  if (hr != S_OK)
    problems.push_back(
        {hr == VLT_E_FILE_ACCESS ? reason::kBusy : reason::kFailed,
         "GetReferences failed: " + describeHresult(hr) + (why.empty() ? "" : ": " + why)});
  else
    for (size_t at = 0; at < why.size();) {
      size_t end = std::min(why.find('\n', at), why.size());
      // Noted, not counted: the links that could be read are served.
      problems.push_back({reason::kSkippedLink, why.substr(at, end - at), false, false});
      at = end + 1;
    }
  for (LONG i = 0; i < count && records; ++i) {
    links.emplace_back(WideString(records[i].bsFullPath, SysStringLen(records[i].bsFullPath)),
                       WideString(records[i].bsFileName, SysStringLen(records[i].bsFileName)));
    SysFreeString(records[i].bsFullPath);
    SysFreeString(records[i].bsFileName);
  }
  CoTaskMemFree(records);
  return hr == S_OK;
}

// The probe of a batch job: a busy document goes on to the plug-in, whose
// status is the one a host sees; anything else that keeps the platform out
// is final.
bool probeForPlugin(const std::string& file, DocumentResult& result, IUnknown** ppHeld = nullptr) {
  Problem probe = probeDocument(file, nullptr, ppHeld);
  if (!probe.reason.empty() && probe.reason != reason::kBusy) {
    result.problems.push_back(probe);
    return false;
  }
  return true;
}

// One document's link sources, as a batch job.
DocumentResult referencesOf(IVltFileFormat* formats, const std::string& file) {
  DocumentResult result;
  // The probe's open is held while the plug-in reads, which then shares it
  // instead of opening the file again.
  HeldOpen held;
  if (!probeForPlugin(file, result, &held.p)) return result;
  std::vector<Link> links;
  listReferences(formats, fromUtf8(file), links, result.problems);
  for (const auto& [fullPath, fileName] : links) {
    nlohmann::ordered_json line;
    line["fullPath"] = toUtf8(fullPath.data(), fullPath.size());
    line["fileName"] = toUtf8(fileName.data(), fileName.size());
    result.records.push_back(std::move(line));
  }
  return result;
}

// ---- Relinking trees by prefix ----

// Runs the plan's records on the document in place: the plug-in commits a
// document's links in one step, which the engine makes whole or not at all,
// so an interrupted run leaves each document old or new, and the file keeps
// its owner, links and identity on the server. The links are then read back;
// false, with the reason in `problems`, when the rewrite failed or does not
// read back as planned.
bool rewriteWhole(IVltFileFormat* formats, const std::string& file, const DocumentPlan& plan,
                  std::vector<Problem>& problems) {
  std::vector<VltReference> records;
  for (const auto& [fileName, target] : plan.records) {
    VltReference r = {};
    r.bsFileName = SysAllocStringLen(fileName.data(), static_cast<UINT>(fileName.size()));
    r.bsFullPath = SysAllocStringLen(target.data(), static_cast<UINT>(target.size()));
    records.push_back(r);
  }
  const WideString path = fromUtf8(file);
  IVltFileNavigator* navigator = nullptr;
  HRESULT hr = formats->CreateNavigator(path.c_str(), 0, &navigator);
  if (SUCCEEDED(hr)) {
    hr = navigator->UpdateReferences(0, static_cast<LONG>(records.size()), records.data());
    navigator->Release();
  }
  for (auto& r : records) {
    SysFreeString(r.bsFileName);
    SysFreeString(r.bsFullPath);
  }
  if (hr != S_OK) {
    problems.push_back({hr == VLT_E_FILE_ACCESS ? reason::kBusy : reason::kFailed,
                        "UpdateReferences failed: " + describeFailure(hr)});
    return false;
  }
  std::vector<Link> after;
  std::vector<Problem> unread;
  if (!listReferences(formats, path, after, unread)) {
    problems.push_back({reason::kFailed, "the rewritten links cannot be read back"});
    return false;
  }
  bool asPlanned = after.size() == plan.links.size();
  for (size_t i = 0; asPlanned && i < after.size(); ++i)
    asPlanned = after[i].first == plan.links[i].target;
  if (!asPlanned) {
    problems.push_back({reason::kFailed, "the rewritten links do not read back as planned"});
    return false;
  }
  return true;
}

const char* statusText(LinkAction action, bool dryRun) {
  switch (action) {
    case LinkAction::kRewrite: return dryRun ? "would rewrite" : "rewritten";
    case LinkAction::kAmbiguous: return "ambiguous";
    case LinkAction::kUnchanged: break;
  }
  return "unchanged";
}

// One document relinked by `map`, as a batch job: a record a link.
DocumentResult relinkDocument(IVltFileFormat* formats, const std::string& file,
                              const PrefixMap& map, bool dryRun) {
  DocumentResult result;
  // Only word-processor documents and spreadsheets hold links the plug-in
  // serves (it tells them by the last three characters of the path); the
  // other documents of a tree are counted, not failed.
  std::string ending = file.substr(file.size() < 3 ? 0 : file.size() - 3);
  for (char& c : ending) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (ending != "doc" && ending != "xls") return result;
  if (!probeForPlugin(file, result)) return result;
  std::vector<Link> links;
  if (!listReferences(formats, fromUtf8(file), links, result.problems)) return result;
  DocumentPlan plan = planDocument(map, links);
  bool rewritten = true;
  if (plan.ambiguousName) {
    result.problems.push_back(
        {reason::kAmbiguous, toUtf8(plan.ambiguousName->data(), plan.ambiguousName->size())});
  } else if (!dryRun && !plan.records.empty()) {
    rewritten = rewriteWhole(formats, file, plan, result.problems);
  }
  for (const LinkPlan& link : plan.links) {
    nlohmann::ordered_json line;
    line["source"] = toUtf8(link.source.data(), link.source.size());
    line["target"] = toUtf8(link.target.data(), link.target.size());
    line["status"] = !rewritten && link.action == LinkAction::kRewrite
                         ? "failed"
                         : statusText(link.action, dryRun);
    result.records.push_back(std::move(line));
  }
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

int runRelinkBatch(const BatchOptions& options, const std::vector<std::string>& maps, bool dryRun) {
  auto map = std::make_shared<PrefixMap>();
  for (const std::string& text : maps) {
    PrefixMapping mapping;
    std::string error;
    if (!parseMapping(text, mapping, error) || !map->add(std::move(mapping), error)) {
      std::cerr << "compdoc relink: " << error << "\n";
      return kExitUsage;
    }
  }
  BatchOptions o = options;
  // A link's record means nothing without its document.
  o.withFile = true;
  return runBatch("relink", o, {"source", "target", "status"}, "links",
                  [map, dryRun](IVltFileFormat* formats, const std::string& file) {
                    return relinkDocument(formats, file, *map, dryRun);
                  });
}

const CommandRegistration kRelink("relink", [](CLI::App& app) {
  auto* sub = app.add_subcommand(
      "relink",
      "point a document's links at new paths through the plug-in; with --map, move the links "
      "of whole trees by path prefix");
  struct Options {
    BatchOptions batch;
    std::vector<std::string> maps;
    bool dryRun = false;
  };
  auto options = std::make_shared<Options>();
  addBatchOptions(*sub, options->batch);
  sub->add_option("--map", options->maps,
                  "OLDPREFIX=NEWPREFIX: links whose source starts with OLDPREFIX (without regard "
                  "to case, '/' and '\\' alike) move under NEWPREFIX; the longest prefix wins")
      // One value a --map, so that the documents after it stay operands.
      ->allow_extra_args(false);
  sub->add_flag("-n,--dry-run", options->dryRun,
                "with --map: report what would be rewritten, writing nothing");
  // Without --map the operands are one document and its OLDNAME=NEWPATH
  // pairs, as before.
  return [options]() -> int {
    if (!options->maps.empty())
      return runRelinkBatch(options->batch, options->maps, options->dryRun);
    const BatchOptions& b = options->batch;
    if (options->dryRun || b.recursive || b.json || b.csv || !b.filesFrom.empty() ||
        b.operands.size() < 2) {
      std::cerr << "compdoc relink: FILE OLDNAME=NEWPATH..., or --map OLD=NEW FILE|DIR...\n";
      return kExitUsage;
    }
    std::vector<std::string> pairs(b.operands.begin() + 1, b.operands.end());
    return runRelink(b.operands.front(), pairs, b.plugin);
  };
});

}  // namespace
}  // namespace compdoc
