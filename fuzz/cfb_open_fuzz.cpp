// libFuzzer target: open a compound file from arbitrary bytes, walk every
// storage, stat and read every stream, and check the structure. Anything but
// a clean failure (a crash, a hang, a leak, unbounded memory) is a bug.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cfb/storage.h"

namespace {

using namespace velmora::cfb;

void walk(IStorage* stg, int depth) {
  if (depth > 64) return;  // the engine rejects loops; this only bounds the stack
  IEnumSTATSTG* en = nullptr;
  if (FAILED(stg->EnumElements(0, nullptr, 0, &en))) return;
  STATSTG st;
  ULONG got = 0;
  int count = 0;
  while (en->Next(1, &st, &got) == S_OK && ++count < 10000) {
    if (st.type == STGTY_STORAGE) {
      IStorage* sub = nullptr;
      if (SUCCEEDED(stg->OpenStorage(st.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                     nullptr, 0, &sub))) {
        walk(sub, depth + 1);
        sub->Release();
      }
    } else {
      IStream* s = nullptr;
      if (SUCCEEDED(
              stg->OpenStream(st.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &s))) {
        uint8_t buf[4096];
        ULONG n = 0;
        uint64_t total = 0;
        while (SUCCEEDED(s->Read(buf, sizeof buf, &n)) && n > 0 && total < (64u << 20)) total += n;
        STATSTG ss;
        if (SUCCEEDED(s->Stat(&ss, STATFLAG_DEFAULT))) CoTaskMemFree(ss.pwcsName);
        s->Release();
      }
    }
    CoTaskMemFree(st.pwcsName);
  }
  en->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  IStorage* root = nullptr;
  if (SUCCEEDED(openStorageOnFile(std::make_unique<MemoryFile>(bytes),
                                  STGM_READ | STGM_SHARE_EXCLUSIVE, &root))) {
    walk(root, 0);
    root->Release();
  }
  MemoryFile again(std::move(bytes));
  (void)checkIntegrity(again, true);
  return 0;
}
