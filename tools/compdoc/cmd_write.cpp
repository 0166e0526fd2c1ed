// compdoc write FILE [--type VT_x] BLOCK:NAME=VALUE ...: attribute writes as
// a host makes them, then the close that commits them.
#include <cstdio>
#include <iostream>
#include <vector>

#include "batch.h"
#include "command.h"
#include "plugin_host.h"

namespace compdoc {
namespace {

struct Pair {
  std::string text;  // as given, for the report
  WideString block;
  WideString name;
  VARIANT value;
};

// A value given on the command line as the VARIANT type `type` asks for;
// false when the text does not fit the type.
bool makeValue(const std::string& type, const std::string& text, VARIANT& v) {
  VariantInit(&v);
  try {
    if (type.empty() || type == "VT_BSTR") {
      WideString wide = fromUtf8(text);
      v.vt = VT_BSTR;
      v.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
      return true;
    }
    if (type == "VT_EMPTY") return true;
    if (type == "VT_I4") {
      size_t used = 0;
      long long n = std::stoll(text, &used);
      if (used != text.size() || n < INT32_MIN || n > INT32_MAX) return false;
      v.vt = VT_I4;
      v.lVal = static_cast<LONG>(n);
      return true;
    }
    if (type == "VT_R8") {
      size_t used = 0;
      double d = std::stod(text, &used);
      if (used != text.size()) return false;
      v.vt = VT_R8;
      v.dblVal = d;
      return true;
    }
    if (type == "VT_BOOL") {
      if (text != "true" && text != "false" && text != "1" && text != "0" && text != "-1")
        return false;
      v.vt = VT_BOOL;
      v.boolVal = (text == "true" || text == "1" || text == "-1") ? VARIANT_TRUE : VARIANT_FALSE;
      return true;
    }
    if (type == "VT_DATE") {
      SYSTEMTIME st = {};
      unsigned y, mo, d, h, mi, s;
      char tail;
      if (std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &tail) !=
          6)
        return false;
      st.wYear = WORD(y), st.wMonth = WORD(mo), st.wDay = WORD(d);
      st.wHour = WORD(h), st.wMinute = WORD(mi), st.wSecond = WORD(s);
      DATE date = 0;
      if (!SystemTimeToVariantTime(&st, &date)) return false;
      v.vt = VT_DATE;
      v.date = date;
      return true;
    }
  } catch (const std::exception&) {
  }
  return false;
}

int usage(const std::string& message) {
  std::cerr << "compdoc write: " << message << "\n"
            << "usage: compdoc write FILE [--type VT_I4|VT_R8|VT_BOOL|VT_DATE|VT_EMPTY] "
               "BLOCK:NAME=VALUE ...\n";
  return kExitUsage;
}

bool knownType(const std::string& type) {
  static const char* known[] = {"VT_I4", "VT_R8", "VT_BOOL", "VT_DATE", "VT_EMPTY", "VT_BSTR"};
  bool ok = false;
  for (const char* k : known) ok = ok || type == k;
  return ok;
}

// The pairs after FILE, each with the value its --type asks for. False with
// the usage message at the first argument that does not read; the pairs read
// until then stay for the caller to free.
bool parsePairs(const std::vector<std::string>& args, std::vector<Pair>& pairs,
                std::string& problem) {
  std::string type;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--type") {
      if (i + 1 >= args.size()) return problem = "--type needs a type", false;
      type = args[++i];
      if (!knownType(type)) return problem = "unknown type " + type, false;
      continue;
    }
    const std::string& given = args[i];
    auto colon = given.find(':');
    auto equals = colon == std::string::npos ? std::string::npos : given.find('=', colon + 1);
    if (colon == std::string::npos || equals == std::string::npos)
      return problem = "'" + given + "' is not BLOCK:NAME=VALUE", false;
    Pair pair{given,
              fromUtf8(given.substr(0, colon)),
              fromUtf8(given.substr(colon + 1, equals - colon - 1)),
              {}};
    if (!makeValue(type, given.substr(equals + 1), pair.value))
      return problem = "'" + given.substr(equals + 1) + "' is not a " + type + " value", false;
    pairs.push_back(pair);
    type.clear();
  }
  return true;
}

// The plug-in's navigator on `file`, or null once the reason is printed.
IVltFileNavigator* openNavigator(PluginHost& host, const std::string& file,
                                 const std::string& plugin) {
  // The plug-in opens nothing it cannot write and reports that by marks
  // alone; the probe names why. A busy document goes on to the plug-in, whose
  // status is the one a host sees.
  Problem probe = probeDocument(file, nullptr);
  if (!probe.reason.empty() && probe.reason != reason::kBusy) {
    std::cerr << "compdoc: " << escapePath(file) << ": " << probe.reason << ": " << probe.detail
              << "\n";
    return nullptr;
  }
  std::string error;
  if (!host.load(plugin, error)) {
    std::cerr << "compdoc: " << error << "\n";
    return nullptr;
  }
  WideString path = fromUtf8(file);
  IVltFileNavigator* navigator = nullptr;
  HRESULT hr = host.formats()->CreateNavigator(path.c_str(), 0, &navigator);
  if (FAILED(hr)) {
    std::cerr << "compdoc: " << file << ": CreateNavigator failed: " << describeHresult(hr) << "\n";
    return nullptr;
  }
  return navigator;
}

// A failed WriteAttributes, or a failed close after it.
void reportWriteFailure(const std::string& file, HRESULT hr, HRESULT hrClose,
                        const std::string& refusals) {
  // The close is the document's commit: its failure means nothing of the
  // session reached the file.
  HRESULT failure = FAILED(hr) ? hr : hrClose;
  // The commit's own reason, when the platform gave one.
  std::string why = FAILED(hr) ? refusals : takeErrorDescription();
  std::cerr << "compdoc: " << escapePath(file) << ": "
            << (failure == VLT_E_FILE_ACCESS ? reason::kBusy : reason::kFailed) << ": "
            << (FAILED(hr) ? "WriteAttributes: " : "commit failed, nothing written: ")
            << describeHresult(failure) << (why.empty() ? "" : ": " + escapePath(why)) << "\n";
}

// Each pair written or not, and why not: kExitFailure when any was not.
int reportRecords(const std::string& file, const std::vector<Pair>& pairs,
                  const std::vector<VltAttribute>& records, const std::string& refusals) {
  int status = kExitOk;
  for (size_t i = 0; i < records.size(); ++i) {
    bool written = records[i].bHandled == 1;
    std::cout << escapePath(pairs[i].text) << '\t' << (written ? "written" : "not written") << "\n";
    if (written) continue;
    std::string why =
        recordReason(refusals, toUtf8(records[i].bsBlock) + ":" +
                                   toUtf8(records[i].bsName, SysStringLen(records[i].bsName)));
    std::cerr << "compdoc: " << escapePath(file) << ": " << reason::kNotWritten << ": "
              << escapePath(pairs[i].text) << (why.empty() ? "" : ": " + escapePath(why)) << "\n";
    status = kExitFailure;
  }
  return status;
}

int runWrite(const std::vector<std::string>& args, const std::string& plugin) {
  if (args.empty()) return usage("no document given");
  const std::string& file = args[0];
  std::vector<Pair> pairs;
  auto freePairs = [&pairs] {
    for (Pair& p : pairs) VariantClear(&p.value);
  };
  std::string problem;
  if (!parsePairs(args, pairs, problem)) return freePairs(), usage(problem);
  if (pairs.empty()) return usage("nothing to write");

  PluginHost host;
  IVltFileNavigator* navigator = openNavigator(host, file, plugin);
  if (!navigator) return freePairs(), kExitFailure;
  std::vector<VltAttribute> records(pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    records[i] = VltAttribute{};
    records[i].bsBlock = SysAllocString(pairs[i].block.c_str());
    records[i].bsName =
        SysAllocStringLen(pairs[i].name.data(), static_cast<UINT>(pairs[i].name.size()));
    records[i].oValue = pairs[i].value;  // the records borrow the values
  }
  HRESULT hr =
      navigator->WriteAttributes(0, 0, 0, static_cast<LONG>(records.size()), records.data(), 0);
  // Why records were not written, one line a record; or why the document
  // was refused.
  const std::string refusals = takeErrorDescription();
  HRESULT hrClose = navigator->CloseFile();
  navigator->Release();

  int status = kExitFailure;
  if (FAILED(hr) || FAILED(hrClose))
    reportWriteFailure(file, hr, hrClose, refusals);
  else
    status = reportRecords(file, pairs, records, refusals);
  for (auto& record : records) {
    SysFreeString(record.bsBlock);
    SysFreeString(record.bsName);
  }
  freePairs();
  return status;
}

const CommandRegistration kWrite("write", [](CLI::App& app) {
  auto* sub = app.add_subcommand("write", "write attributes into a document through the plug-in");
  auto plugin = std::make_shared<std::string>();
  sub->add_option("--plugin", *plugin, "the plug-in library (default: beside compdoc)");
  // FILE, --type and the pairs are read in order by hand: a --type applies to
  // the pair after it.
  sub->prefix_command();
  sub->footer(kExitStatusText);
  return [sub, plugin] { return runWrite(sub->remaining(), *plugin); };
});

}  // namespace
}  // namespace compdoc
