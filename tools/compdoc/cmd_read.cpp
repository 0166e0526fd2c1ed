// compdoc read [--json] FILE [BLOCK:NAME ...]: the attributes a host reads.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <vector>

#include "command.h"
#include "plugin_host.h"
#include "propstore/catalogue.h"

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

nlohmann::ordered_json jsonValue(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY: return nullptr;
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_R4: return static_cast<double>(v.fltVal);
    case VT_R8: return v.dblVal;
    case VT_BOOL: return v.boolVal != VARIANT_FALSE;
    case VT_DATE: return dateText(v.date);
    case VT_BSTR: return bstrToUtf8(v.bstrVal);
    default: return nullptr;
  }
}

std::string plainValue(const VARIANT& v) {
  nlohmann::ordered_json j = jsonValue(v);
  if (j.is_null()) return "";
  if (j.is_string()) return j.get<std::string>();
  return j.dump();
}

// The names of the document's custom list as the platform enumerates them:
// the code-page record first when the set has a code page, then every named
// property in set order. Empty when the document cannot be opened; the
// plug-in then reports why.
std::vector<WideString> customNames(const WideString& path) {
  std::vector<WideString> names;
  IPropertySetStorage* setStorage = nullptr;
  if (FAILED(StgOpenStorageEx(path.c_str(), STGM_PRIORITY | STGM_READ, STGFMT_ANY, 0, nullptr,
                              nullptr, IID_IPropertySetStorage,
                              reinterpret_cast<void**>(&setStorage))))
    return names;
  IPropertyStorage* props = nullptr;
  if (SUCCEEDED(setStorage->Open(FMTID_UserDefinedProperties, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                 &props))) {
    PROPSPEC codePage = {};
    codePage.ulKind = PRSPEC_PROPID;
    codePage.propid = PID_CODEPAGE;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (props->ReadMultiple(1, &codePage, &value) == S_OK) names.emplace_back(kCodePageRecordName);
    PropVariantClear(&value);
    IEnumSTATPROPSTG* it = nullptr;
    if (SUCCEEDED(props->Enum(&it))) {
      STATPROPSTG stat = {};
      while (it->Next(1, &stat, nullptr) == S_OK) {
        names.emplace_back(stat.lpwstrName ? stat.lpwstrName : OLESTR(""));
        CoTaskMemFree(stat.lpwstrName);
      }
      it->Release();
    }
    props->Release();
  }
  setStorage->Release();

  std::vector<WideString> unique;
  for (auto& name : names) {
    bool seen = false;
    for (auto& kept : unique) seen = seen || lstrcmpiW(kept.c_str(), name.c_str()) == 0;
    if (!seen) unique.push_back(name);
  }
  return unique;
}

std::vector<Request> defaultRequests(const WideString& path) {
  struct Block {
    const OLECHAR* name;
    int set;
  };
  static const Block blocks[] = {{OLESTR("Summary"), kSummarySet},
                                 {OLESTR("DocSummary"), kDocSummarySet},
                                 {OLESTR("DTProperties"), kDTPropertiesSet},
                                 {OLESTR("DTControl"), kDTControlSet},
                                 {OLESTR("Physical"), kPhysicalSet}};
  std::vector<Request> requests;
  for (const Block& b : blocks) {
    const PropSetDef& set = g_PropSets[b.set];
    for (ULONG i = 0; i < set.cRows; ++i) requests.push_back({b.name, set.pTable[i].name});
  }
  for (auto& name : customNames(path)) requests.push_back({OLESTR("CustomProperty"), name});
  return requests;
}

int runRead(const std::string& file, const std::vector<std::string>& names, bool json,
            const std::string& plugin) {
  std::vector<Request> requests;
  WideString path = fromUtf8(file);
  if (names.empty()) {
    requests = defaultRequests(path);
  } else {
    for (const std::string& spec : names) {
      auto colon = spec.find(':');
      if (colon == std::string::npos) {
        std::cerr << "compdoc read: '" << spec << "' is not BLOCK:NAME\n";
        return kExitUsage;
      }
      requests.push_back({fromUtf8(spec.substr(0, colon)), fromUtf8(spec.substr(colon + 1))});
    }
  }

  PluginHost host;
  std::string error;
  if (!host.load(plugin, error)) {
    std::cerr << "compdoc: " << error << "\n";
    return kExitFailure;
  }
  IVltFileNavigator* navigator = nullptr;
  HRESULT hr = host.formats()->CreateNavigator(path.c_str(), 0, &navigator);
  if (FAILED(hr)) {
    std::cerr << "compdoc: " << file << ": CreateNavigator failed: " << describeHresult(hr) << "\n";
    return kExitFailure;
  }

  std::vector<VltAttribute> records(requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    records[i] = VltAttribute{};
    records[i].bsBlock = SysAllocString(requests[i].block.c_str());
    records[i].bsName = SysAllocStringLen(requests[i].name.data(),
                                          static_cast<UINT>(requests[i].name.size()));
    VariantInit(&records[i].oValue);
  }
  hr = navigator->ReadAttributes(0, 0, 0, static_cast<LONG>(records.size()), records.data());
  navigator->CloseFile();
  navigator->Release();

  int status = kExitOk;
  if (FAILED(hr)) {
    std::cerr << "compdoc: " << file << ": ReadAttributes failed: " << describeHresult(hr) << "\n";
    status = kExitFailure;
  }
  for (auto& record : records) {
    if (status == kExitOk && record.bHandled == 1) {
      std::string block = bstrToUtf8(record.bsBlock);
      std::string name = bstrToUtf8(record.bsName);
      if (json) {
        nlohmann::ordered_json line;
        line["block"] = block;
        line["name"] = name;
        line["type"] = typeName(record.oValue.vt);
        line["value"] = jsonValue(record.oValue);
        std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
      } else {
        std::cout << block << '\t' << name << '\t' << typeName(record.oValue.vt) << '\t'
                  << plainValue(record.oValue) << "\n";
      }
    }
    VariantClear(&record.oValue);
    SysFreeString(record.bsBlock);
    SysFreeString(record.bsName);
  }
  return status;
}

const CommandRegistration registration("read", [](CLI::App& app) {
  auto* sub = app.add_subcommand("read", "read a document's attributes through the plug-in");
  struct Options {
    std::string file;
    std::vector<std::string> names;
    bool json = false;
    std::string plugin;
  };
  auto options = std::make_shared<Options>();
  sub->add_flag("--json", options->json, "one JSON object a line");
  sub->add_option("--plugin", options->plugin, "the plug-in library (default: beside compdoc)");
  sub->add_option("FILE", options->file, "the document")->required();
  sub->add_option("NAMES", options->names, "BLOCK:NAME attributes (default: all)");
  return [options] { return runRead(options->file, options->names, options->json, options->plugin); };
});

}  // namespace
}  // namespace compdoc
