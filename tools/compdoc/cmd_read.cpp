// compdoc read [options] FILE|FOLDER... [BLOCK:NAME ...]: the attributes a
// host reads, one document or a batch of them.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string_view>
#include <vector>

#include "attribute_table.h"
#include "batch.h"
#include "command.h"
#include "plugin_host.h"

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

// A request as the host hands it over, made once for every document of a
// batch: the table's and the named requests are the same for each, so
// their strings are allocated once, not twice a record a document (the
// plug-in only reads them). Custom names differ by document and are made for
// the one read.
struct PreparedRequest {
  BSTR block = nullptr;
  BSTR name = nullptr;
  std::string blockText;  // UTF-8, for the output
  std::string nameText;
};

class PreparedRequests {
 public:
  PreparedRequests() = default;
  PreparedRequests(const PreparedRequests&) = delete;
  PreparedRequests& operator=(const PreparedRequests&) = delete;
  ~PreparedRequests() {
    for (PreparedRequest& r : m_requests) {
      SysFreeString(r.block);
      SysFreeString(r.name);
    }
  }
  void add(std::basic_string_view<OLECHAR> block, std::basic_string_view<OLECHAR> name) {
    PreparedRequest r;
    r.block = SysAllocStringLen(block.data(), static_cast<UINT>(block.size()));
    r.name = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
    r.blockText = toUtf8(block.data(), block.size());
    r.nameText = toUtf8(name.data(), name.size());
    m_requests.push_back(std::move(r));
  }
  const std::vector<PreparedRequest>& all() const { return m_requests; }

 private:
  std::vector<PreparedRequest> m_requests;
};

// Every attribute of the table, in its order.
const PreparedRequests& tableRequests() {
  static const PreparedRequests* const requests = [] {
    auto* made = new PreparedRequests;
    for (const AttributeBlock& block : kAttributeBlocks)
      for (const OLECHAR* name : block.attributes) made->add(block.name, name);
    return made;
  }();
  return *requests;
}

// Reads one document as a host does. Without named attributes it reads every
// attribute of the table and every custom property, and a document the platform
// cannot open is named with the reason; with named ones, each that is not
// delivered is named, and the file is probed only then, to tell a document
// that is not there from an attribute that is not.
DocumentResult readDocument(IVltFileFormat* formats, const std::string& file,
                            const PreparedRequests& named) {
  DocumentResult result;
  Problem busy;
  HeldOpen held;
  PreparedRequests custom;
  std::vector<const PreparedRequest*> requests;
  if (named.all().empty()) {
    std::vector<WideString> customNames;
    Problem probe = probeDocument(file, &customNames, &held.p);
    // A busy document goes on to the plug-in, whose status is the one a host
    // sees; anything else that keeps the platform out is final.
    if (!probe.reason.empty() && probe.reason != reason::kBusy) {
      result.problems.push_back(probe);
      return result;
    }
    busy = probe;
    for (const WideString& name : customNames) custom.add(kCustomBlockName, name);
    const auto& table = tableRequests().all();
    requests.reserve(table.size() + custom.all().size());
    for (const PreparedRequest& r : table) requests.push_back(&r);
    for (const PreparedRequest& r : custom.all()) requests.push_back(&r);
  } else {
    for (const PreparedRequest& r : named.all()) requests.push_back(&r);
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
    records[i].bsBlock = requests[i]->block;
    records[i].bsName = requests[i]->name;
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
  for (size_t i = 0; i < records.size(); ++i) {
    VltAttribute& record = records[i];
    if (!FAILED(hr) && record.bHandled == 1) {
      // The columns block, name, type, value.
      result.fields.push_back(Field::string(requests[i]->blockText));
      result.fields.push_back(Field::string(requests[i]->nameText));
      result.fields.push_back(Field::string(typeName(record.oValue.vt)));
      result.fields.push_back(valueField(record.oValue));
    } else {
      missed = true;
    }
    VariantClear(&record.oValue);
  }
  if (FAILED(hr) || !missed || named.all().empty()) return result;

  Problem probe = probeDocument(file, nullptr);
  if (!probe.reason.empty()) {
    result.problems.push_back(probe);
    return result;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].bHandled == 1) continue;
    std::string key = requests[i]->blockText + ":" + requests[i]->nameText;
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
    auto prepared = std::make_shared<PreparedRequests>();
    for (const Request& r : named) prepared->add(r.block, r.name);
    return runBatch("read", o, {"block", "name", "type", "value"}, "attributes",
                    [prepared](IVltFileFormat* formats, const std::string& file) {
                      return readDocument(formats, file, *prepared);
                    });
  };
});

}  // namespace
}  // namespace compdoc
