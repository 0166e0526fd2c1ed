// `compdoc ls [--json] FILE`: every element of a compound file, depth-first,
// children in enumeration order (the format's name order).
#include <objbase.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "command.h"
#include "hresult_names.h"

namespace compdoc {
namespace {

struct Lister {
  bool json = false;
  std::string file;
  HRESULT failure = S_OK;

  void print(const std::string& path, bool storage, unsigned long long size, const CLSID& clsid) {
    if (json) {
      nlohmann::ordered_json j;
      j["path"] = path;
      j["type"] = storage ? "storage" : "stream";
      j["size"] = size;
      j["clsid"] = clsidString(clsid);
      std::printf("%s\n", j.dump().c_str());
    } else {
      std::printf("%-7s %12llu %s %s\n", storage ? "storage" : "stream", size,
                  clsidString(clsid).c_str(), path.empty() ? "/" : escapePath(path).c_str());
    }
  }

  void walk(IStorage* stg, const std::string& prefix) {
    IEnumSTATSTG* en = nullptr;
    HRESULT hr = stg->EnumElements(0, nullptr, 0, &en);
    if (FAILED(hr)) {
      failure = hr;
      return;
    }
    STATSTG st;
    ULONG got = 0;
    while ((hr = en->Next(1, &st, &got)) == S_OK && got == 1) {
      std::string name = toUtf8(st.pwcsName);
      std::string path = prefix.empty() ? name : prefix + '/';
      if (!prefix.empty()) path += name;
      bool storage = st.type == STGTY_STORAGE;
      print(path, storage, st.cbSize.QuadPart, st.clsid);
      if (storage) {
        IStorage* sub = nullptr;
        HRESULT h2 = stg->OpenStorage(st.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                      nullptr, 0, &sub);
        if (SUCCEEDED(h2)) {
          walk(sub, path);
          sub->Release();
        } else {
          failure = h2;
        }
      }
      CoTaskMemFree(st.pwcsName);
    }
    if (FAILED(hr)) failure = hr;
    en->Release();
  }
};

const CommandRegistration kLs("ls", [](CLI::App& app) -> std::function<int()> {
  auto* cmd = app.add_subcommand("ls", "list the storages and streams of a compound file");
  auto lister = std::make_shared<Lister>();
  cmd->add_flag("--json", lister->json, "one JSON object a line");
  cmd->add_option("FILE", lister->file, "the compound file")->required();
  return [lister]() -> int {
    IStorage* root = nullptr;
    HRESULT hr = openRootForReading(lister->file, &root);
    if (FAILED(hr)) {
      reportFailure(lister->file, "cannot open", hr);
      return kExitFailure;
    }
    STATSTG st{};
    root->Stat(&st, STATFLAG_NONAME);
    lister->print("", true, 0, st.clsid);
    lister->walk(root, "");
    root->Release();
    if (FAILED(lister->failure)) {
      reportFailure(lister->file, "cannot list", lister->failure);
      return kExitFailure;
    }
    return kExitOk;
  };
});

}  // namespace
}  // namespace compdoc
