// `compdoc cat FILE PATH`: a stream's bytes on standard output. PATH joins
// names with "/"; "\xNN" stands for a control character, as in
// '\x05SummaryInformation'.
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "hresult_names.h"

namespace compdoc {
namespace {

struct CatArgs {
  std::string file;
  std::string path;
};

int runCat(const CatArgs& a) {
  std::vector<WideString> parts;
  if (!splitPath(a.path, &parts) || parts.empty()) {
    std::fprintf(stderr, "compdoc: %s: bad element path\n", a.path.c_str());
    return kExitUsage;
  }
  IStorage* root = nullptr;
  HRESULT hr = openRootForReading(a.file, &root);
  if (FAILED(hr)) {
    reportFailure(a.file, "cannot open", hr);
    return kExitFailure;
  }
  std::vector<IStorage*> chain{root};
  for (size_t i = 0; i + 1 < parts.size() && SUCCEEDED(hr); ++i) {
    IStorage* sub = nullptr;
    hr = chain.back()->OpenStorage(parts[i].c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                   nullptr, 0, &sub);
    if (SUCCEEDED(hr)) chain.push_back(sub);
  }
  IStream* stm = nullptr;
  if (SUCCEEDED(hr))
    hr = chain.back()->OpenStream(parts.back().c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                  0, &stm);
  if (SUCCEEDED(hr)) {
    std::vector<char> buf(1 << 16);
    for (;;) {
      ULONG got = 0;
      hr = stm->Read(buf.data(), ULONG(buf.size()), &got);
      if (FAILED(hr) || got == 0) break;
      std::fwrite(buf.data(), 1, got, stdout);
    }
    stm->Release();
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) (*it)->Release();
  if (FAILED(hr)) {
    reportFailure(a.file, "cannot read " + a.path, hr);
    return kExitFailure;
  }
  return kExitOk;
}

const CommandRegistration kCat("cat", [](CLI::App& app) -> std::function<int()> {
  auto* cmd = app.add_subcommand("cat", "write a stream's bytes to standard output");
  auto args = std::make_shared<CatArgs>();
  cmd->add_option("FILE", args->file, "the compound file")->required();
  cmd->add_option("PATH", args->path, "the stream, names joined with /")->required();
  return [args]() { return runCat(*args); };
});

}  // namespace
}  // namespace compdoc
