// libFuzzer target for the write path: open arbitrary bytes read-write,
// apply a few edits (create, write, resize, delete, a storage, a property),
// commit, then the file must pass the strict integrity check and reopen with
// every element readable. The input's last byte counts the edits, the 8-byte
// edits before it say what each does, and the bytes before them are the file.
// A crash, a leak, a hang or a failed check is a finding; a refusal is not.
#include <objbase.h>
#include <propidl.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cfb/storage.h"

namespace {

using namespace velmora;
using namespace velmora::cfb;

// A view of one MemoryFile that the storage may own and close while the
// target keeps the bytes.
class SharedFile final : public File {
 public:
  explicit SharedFile(std::shared_ptr<MemoryFile> f) : m_f(std::move(f)) {}
  Result<size_t> readAt(uint64_t o, std::span<uint8_t> out) override { return m_f->readAt(o, out); }
  Result<void> writeAt(uint64_t o, std::span<const uint8_t> d) override {
    return m_f->writeAt(o, d);
  }
  Result<void> sync() override { return m_f->sync(); }
  Result<uint64_t> size() override { return m_f->size(); }
  Result<void> extend(uint64_t n) override { return m_f->extend(n); }
  Result<void> discard() override { return m_f->discard(); }
  Result<bool> tryLock(uint64_t, bool) override { return true; }
  Result<bool> heldByOthers(uint64_t, bool) override { return false; }
  void unlock(uint64_t) override {}

 private:
  std::shared_ptr<MemoryFile> m_f;
};

constexpr DWORD kRW = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
const char16_t* const kNames[] = {u"A", u"B", u"\u0005SummaryInformation", u"Sub"};

void edit(IStorage* root, const uint8_t* op) {
  IStorage* where = root;
  IStorage* sub = nullptr;
  if ((op[2] & 1) && SUCCEEDED(root->OpenStorage(u"Sub", nullptr, kRW, nullptr, 0, &sub)))
    where = sub;
  const char16_t* name = kNames[op[1] % 3];
  const uint32_t size = (op[3] | op[4] << 8 | uint32_t(op[5]) << 16) % 20000;
  std::string data(size, char(op[7]));
  IStream* s = nullptr;
  switch (op[0] % 6) {
    case 0:
      if (SUCCEEDED(where->CreateStream(name, kRW | STGM_CREATE, 0, 0, &s))) {
        ULONG n = 0;
        (void)s->Write(data.data(), ULONG(data.size()), &n);
      }
      break;
    case 1:
      if (SUCCEEDED(where->OpenStream(name, nullptr, kRW, 0, &s))) {
        ULARGE_INTEGER n{};
        n.QuadPart = size;
        (void)s->SetSize(n);
      }
      break;
    case 2:
      if (SUCCEEDED(where->OpenStream(name, nullptr, kRW, 0, &s))) {
        LARGE_INTEGER at{};
        at.QuadPart = op[6] * 97;
        ULONG n = 0;
        (void)s->Seek(at, STREAM_SEEK_SET, nullptr);
        (void)s->Write(data.data(), ULONG(std::min<size_t>(data.size(), 600)), &n);
      }
      break;
    case 3: (void)where->DestroyElement(kNames[op[1] % 4]); break;
    case 4: {
      IStorage* made = nullptr;
      if (SUCCEEDED(root->CreateStorage(u"Sub", kRW | STGM_CREATE, 0, 0, &made))) made->Release();
      break;
    }
    case 5: {
      IPropertySetStorage* pss = nullptr;
      if (FAILED(StgCreatePropSetStg(root, 0, &pss))) break;
      IPropertyStorage* ps = nullptr;
      if (FAILED(pss->Open(FMTID_SummaryInformation, kRW, &ps)))
        (void)pss->Create(FMTID_SummaryInformation, nullptr, PROPSETFLAG_ANSI, kRW, &ps);
      if (ps) {
        PROPSPEC spec{};
        spec.ulKind = PRSPEC_PROPID;
        spec.propid = 2 + op[6] % 4;
        PROPVARIANT v{};
        v.vt = VT_LPSTR;
        data.resize(std::min<size_t>(data.size(), 300));
        v.pszVal = data.data();
        (void)ps->WriteMultiple(1, &spec, &v, PID_FIRST_USABLE);
        (void)ps->Commit(STGC_DEFAULT);
        ps->Release();
      }
      pss->Release();
      break;
    }
  }
  if (s) s->Release();
  if (sub) sub->Release();
}

// Reads every element; false when one that is listed cannot be read whole.
bool readAll(IStorage* stg, int depth) {
  if (depth > 32) return true;
  IEnumSTATSTG* en = nullptr;
  if (FAILED(stg->EnumElements(0, nullptr, 0, &en))) return false;
  STATSTG st;
  ULONG got = 0;
  bool ok = true;
  while (ok && en->Next(1, &st, &got) == S_OK) {
    if (st.type == STGTY_STORAGE) {
      IStorage* sub = nullptr;
      ok = SUCCEEDED(stg->OpenStorage(st.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                      nullptr, 0, &sub)) &&
           readAll(sub, depth + 1);
      if (sub) sub->Release();
    } else {
      IStream* s = nullptr;
      ok =
          SUCCEEDED(stg->OpenStream(st.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &s));
      uint64_t total = 0;
      uint8_t buf[4096];
      ULONG n = 0;
      HRESULT hr = S_OK;
      while (ok && SUCCEEDED(hr = s->Read(buf, sizeof buf, &n)) && n > 0) total += n;
      ok = ok && SUCCEEDED(hr) && total == st.cbSize.QuadPart;
      if (s) s->Release();
    }
    CoTaskMemFree(st.pwcsName);
  }
  en->Release();
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t ops = data[size - 1] % 8;
  if (size < 1 + 8 * ops) return 0;
  const uint8_t* script = data + size - 1 - 8 * ops;
  auto file = std::make_shared<MemoryFile>(std::vector<uint8_t>(data, script));
  // What the input was: sound for the checker, and readable whole.
  MemoryFile input(file->bytes());
  bool sound = bool(checkIntegrity(input, false));
  if (sound) {
    IStorage* before = nullptr;
    sound = SUCCEEDED(openStorageOnFile(std::make_unique<MemoryFile>(file->bytes()),
                                        STGM_READ | STGM_SHARE_EXCLUSIVE, &before)) &&
            readAll(before, 0);
    if (before) before->Release();
  }
  IStorage* root = nullptr;
  if (FAILED(openStorageOnFile(std::make_unique<SharedFile>(file), kRW, &root))) return 0;
  for (size_t i = 0; i < ops; ++i) edit(root, script + 8 * i);
  HRESULT hr = root->Commit(STGC_DEFAULT);
  root->Release();
  if (FAILED(hr)) return 0;
  // The commit never damages: a file that was sound and readable whole stays
  // so, and any file it accepted reopens.
  IStorage* again = nullptr;
  if (FAILED(openStorageOnFile(std::make_unique<MemoryFile>(file->bytes()),
                               STGM_READ | STGM_SHARE_EXCLUSIVE, &again)))
    std::abort();
  bool whole = readAll(again, 0);
  again->Release();
  if (sound) {
    MemoryFile written(file->bytes());
    if (!checkIntegrity(written, false) || !whole) std::abort();
  }
  return 0;
}
