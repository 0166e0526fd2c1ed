// compdoc read [options] FILE|FOLDER... [BLOCK:NAME ...]: the attributes a
// host reads, one document or a batch of them.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <vector>

#include "batch.h"
#include "command.h"
#include "plugin_host.h"
#include "propstore/catalogue.h"

namespace fs = std::filesystem;

namespace compdoc {
namespace {

struct Request {
  WideString block;
  WideString name;
};

const char* typeName(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_NULL: return "VT_NULL";
    case VT_I2: return "VT_I2";
    case VT_I4: return "VT_I4";
    case VT_R4: return "VT_R4";
    case VT_R8: return "VT_R8";
    case VT_CY: return "VT_CY";
    case VT_DATE: return "VT_DATE";
    case VT_BSTR: return "VT_BSTR";
    case VT_ERROR: return "VT_ERROR";
    case VT_BOOL: return "VT_BOOL";
    case VT_I1: return "VT_I1";
    case VT_UI1: return "VT_UI1";
    case VT_UI2: return "VT_UI2";
    case VT_UI4: return "VT_UI4";
    case VT_I8: return "VT_I8";
    case VT_UI8: return "VT_UI8";
    case VT_INT: return "VT_INT";
    case VT_UINT: return "VT_UINT";
    default: return "VT_UNKNOWN";
  }
}

std::string dateText(DATE date) {
  SYSTEMTIME st = {};
  if (!VariantTimeToSystemTime(date, &st)) return "invalid";
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute, st.wSecond);
  return text;
}

Field valueField(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY: return Field::null();
    case VT_I2: return Field::number(int64_t(v.iVal));
    case VT_I4: return Field::number(int64_t(v.lVal));
    case VT_R4: return Field::number(static_cast<double>(v.fltVal));
    case VT_R8: return Field::number(v.dblVal);
    case VT_BOOL: return Field::flag(v.boolVal != VARIANT_FALSE);
    case VT_DATE: return Field::string(dateText(v.date));
    case VT_BSTR: return Field::string(bstrToUtf8(v.bstrVal));
    default: return Field::null();
  }
}

// A request by reference: to a named one, a catalogue row or a custom name,
// which all outlive the read; a document's hundred requests cost no copies.
struct RequestRef {
  std::basic_string_view<OLECHAR> block;
  std::basic_string_view<OLECHAR> name;
};

std::vector<RequestRef> defaultRequests(const std::vector<WideString>& customNames) {
  struct Block {
    const OLECHAR* name;
    int set;
  };
  static const Block blocks[] = {{OLESTR("Summary"), kSummarySet},
                                 {OLESTR("DocSummary"), kDocSummarySet},
                                 {OLESTR("DTProperties"), kDTPropertiesSet},
                                 {OLESTR("DTControl"), kDTControlSet},
                                 {OLESTR("Physical"), kPhysicalSet}};
  std::vector<RequestRef> requests;
  requests.reserve(128 + customNames.size());
  for (const Block& b : blocks) {
    const PropSetDef& set = g_PropSets[b.set];
    for (ULONG i = 0; i < set.cRows; ++i) requests.push_back({b.name, set.pTable[i].name});
  }
  for (auto& name : customNames) requests.push_back({OLESTR("CustomProperty"), name});
  return requests;
}

// Reads one document as a host does. Without named attributes it reads every
// catalogued one and every custom property, and a document the platform
// cannot open is named with the reason; with named ones, each that is not
// delivered is named, and the file is probed only then, to tell a document
// that is not there from an attribute that is not.
DocumentResult readDocument(IVltFileFormat* formats, const std::string& file,
                            const std::vector<Request>& named) {
  DocumentResult result;
  std::vector<RequestRef> requests;
  requests.reserve(named.size());
  for (const Request& r : named) requests.push_back({r.block, r.name});
  Problem busy;
  HeldOpen held;
  std::vector<WideString> custom;
  if (named.empty()) {
    Problem probe = probeDocument(file, &custom, &held.p);
    // A busy document goes on to the plug-in, whose status is the one a host
    // sees; anything else that keeps the platform out is final.
    if (!probe.reason.empty() && probe.reason != reason::kBusy) {
      result.problems.push_back(probe);
      return result;
    }
    busy = probe;
    requests = defaultRequests(custom);
  }

  WideString path = fromUtf8(file);
  IVltFileNavigator* navigator = nullptr;
  HRESULT hr = formats->CreateNavigator(path.c_str(), 0, &navigator);
  if (FAILED(hr)) {
    result.problems.push_back({reason::kFailed, "CreateNavigator: " + describeHresult(hr)});
    return result;
  }
  std::vector<VltAttribute> records(requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    records[i] = VltAttribute{};
    records[i].bsBlock =
        SysAllocStringLen(requests[i].block.data(), static_cast<UINT>(requests[i].block.size()));
    records[i].bsName =
        SysAllocStringLen(requests[i].name.data(), static_cast<UINT>(requests[i].name.size()));
    VariantInit(&records[i].oValue);
  }
  hr = navigator->ReadAttributes(0, 0, 0, static_cast<LONG>(records.size()), records.data());
  // Why records were refused, when the plug-in says (one line a record).
  const std::string refusals = SUCCEEDED(hr) ? takeErrorDescription() : std::string();
  navigator->CloseFile();
  navigator->Release();

  if (FAILED(hr)) {
    result.problems.push_back({hr == VLT_E_FILE_ACCESS ? reason::kBusy : reason::kFailed,
                               "ReadAttributes: " + describeFailure(hr)});
  } else if (!busy.reason.empty()) {
    // The lock went between the probe and the read: the custom list is unknown.
    result.problems.push_back(busy);
  }
  bool missed = false;
  result.fields.reserve(records.size() * 4);
  for (auto& record : records) {
    if (!FAILED(hr) && record.bHandled == 1) {
      // The columns block, name, type, value.
      result.fields.push_back(Field::string(bstrToUtf8(record.bsBlock)));
      result.fields.push_back(Field::string(bstrToUtf8(record.bsName)));
      result.fields.push_back(Field::string(typeName(record.oValue.vt)));
      result.fields.push_back(valueField(record.oValue));
    } else {
      missed = true;
    }
    VariantClear(&record.oValue);
    SysFreeString(record.bsBlock);
    SysFreeString(record.bsName);
  }
  if (FAILED(hr) || !missed || named.empty()) return result;

  Problem probe = probeDocument(file, nullptr);
  if (!probe.reason.empty()) {
    result.problems.push_back(probe);
    return result;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].bHandled == 1) continue;
    std::string key = toUtf8(requests[i].block.data(), requests[i].block.size()) + ":" +
                      toUtf8(requests[i].name.data(), requests[i].name.size());
    std::string why = recordReason(refusals, key);
    if (!why.empty()) key.append(": ").append(why);
    result.problems.push_back({reason::kNotDelivered, std::move(key), false});
  }
  return result;
}

// Which operands are attributes: after the first operand, one that is no
// file and holds a colon is BLOCK:NAME. The first is always a document, so
// that the old form `read FILE BLOCK:NAME...` reads as before.
int splitOperands(const std::vector<std::string>& operands, std::vector<std::string>& files,
                  std::vector<Request>& named) {
  for (size_t i = 0; i < operands.size(); ++i) {
    const std::string& op = operands[i];
    auto colon = op.find(':');
    std::error_code ec;
    if (i == 0 || op == "-" || colon == std::string::npos ||
        fs::exists(fs::symlink_status(op, ec))) {
      files.push_back(op);
      continue;
    }
    if (colon == 0 || colon + 1 == op.size()) {
      std::cerr << "compdoc read: '" << op << "' is not BLOCK:NAME\n";
      return kExitUsage;
    }
    named.push_back({fromUtf8(op.substr(0, colon)), fromUtf8(op.substr(colon + 1))});
  }
  return kExitOk;
}

const CommandRegistration kRead("read", [](CLI::App& app) {
  auto* sub = app.add_subcommand(
      "read",
      "read the attributes of documents through the plug-in: every attribute, or the "
      "BLOCK:NAME ones given after the first FILE");
  auto options = std::make_shared<BatchOptions>();
  addBatchOptions(*sub, *options);
  return [options] {
    BatchOptions o = *options;
    std::vector<std::string> files;
    std::vector<Request> named;
    if (int status = splitOperands(options->operands, files, named); status != kExitOk)
      return status;
    o.operands = files;
    return runBatch("read", o, {"block", "name", "type", "value"}, "attributes",
                    [named](IVltFileFormat* formats, const std::string& file) {
                      return readDocument(formats, file, named);
                    });
  };
});

}  // namespace
}  // namespace compdoc
