#include "tests/support/link_doc.h"

#include <gtest/gtest.h>
#include <urlmon.h>

#include <cstring>

#include "tests/support/temp_dir.h"

namespace velmora::test {

namespace {

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kOpen = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

void check(HRESULT hr, const char* what) {
  if (FAILED(hr)) ADD_FAILURE() << what << " failed: 0x" << std::hex << hr;
}

void writeBytes(IStream* s, const void* p, ULONG n) {
  ULONG done = 0;
  check(s->Write(p, n, &done), "IStream::Write");
}

void writeU32(IStream* s, uint32_t v) {
  uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  writeBytes(s, b, 4);
}

ULONGLONG position(IStream* s) {
  LARGE_INTEGER zero{};
  ULARGE_INTEGER pos{};
  check(s->Seek(zero, STREAM_SEEK_CUR, &pos), "IStream::Seek");
  return pos.QuadPart;
}

void seekTo(IStream* s, ULONGLONG at) {
  LARGE_INTEGER to{};
  to.QuadPart = LONGLONG(at);
  check(s->Seek(to, STREAM_SEEK_SET, nullptr), "IStream::Seek");
}

// A size field (counting itself), then the moniker; 0 alone when absent.
void writeFramedMoniker(IStream* s, IMoniker* m) {
  if (!m) {
    writeU32(s, 0);
    return;
  }
  ULONGLONG at = position(s);
  writeU32(s, 0);
  IPersistStream* persist = nullptr;
  check(m->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist)),
        "QueryInterface");
  if (persist) {
    check(OleSaveToStream(persist, s), "OleSaveToStream");
    persist->Release();
  }
  ULONGLONG end = position(s);
  seekTo(s, at);
  writeU32(s, uint32_t(end - at));
  seekTo(s, end);
}

void writeObject(IStorage* container, PoolObject& desc) {
  if (desc.asStream) {
    IStream* s = nullptr;
    check(container->CreateStream(desc.name.c_str(), kCreate, 0, 0, &s), "CreateStream");
    if (s) {
      writeBytes(s, "not a storage", 13);
      s->Release();
    }
    return;
  }
  IStorage* object = nullptr;
  check(container->CreateStorage(desc.name.c_str(), kCreate, 0, 0, &object), "CreateStorage");
  if (!object) return;
  check(WriteClassStg(object, desc.clsid), "WriteClassStg");
  bool link = desc.clsid == kStdOleLinkClass;
  if (desc.writeOle) {
    IStream* s = nullptr;
    check(object->CreateStream(u"\1Ole", kCreate, 0, 0, &s), "CreateStream");
    if (s && !desc.oleBytes.empty()) {
      writeBytes(s, desc.oleBytes.data(), ULONG(desc.oleBytes.size()));
    } else if (s) {
      writeU32(s, 0x02000001);
      writeU32(s, link ? 9 : 0);
      writeU32(s, link ? 1 : 0);
      writeU32(s, 0);
      writeU32(s, 0);
      if (link) {
        writeFramedMoniker(s, desc.relative);
        writeFramedMoniker(s, desc.absolute);
        writeU32(s, 0xFFFFFFFF);
        const uint8_t source[16] = {0x30, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
        writeBytes(s, source, 16);
        writeU32(s, 0);           // ReservedDisplayName
        writeU32(s, 0xFFFFFFFF);  // Reserved2
        const uint8_t times[24] = {1,  2,  3,  4, 5,  6,  7,  1,  8,  9,  10, 11,
                                   12, 13, 14, 1, 15, 16, 17, 18, 19, 20, 21, 1};
        writeBytes(s, times, 24);
      }
    }
    if (s) s->Release();
  }
  // The container's own streams beside the link, which a save must keep.
  IStream* info = nullptr;
  check(object->CreateStream(u"\3ObjInfo", kCreate, 0, 0, &info), "CreateStream");
  if (info) {
    const uint8_t odt[6] = {uint8_t(link ? 0x10 : 0x00), 0, 3, 0, 0x0D, 0};
    writeBytes(info, odt, 6);
    info->Release();
  }
  object->Release();
  if (desc.relative) desc.relative->Release();
  if (desc.absolute) desc.absolute->Release();
  desc.relative = desc.absolute = nullptr;
}

void walk(IStorage* storage, const std::u16string& prefix, Snapshot& out) {
  STATSTG self{};
  if (SUCCEEDED(storage->Stat(&self, STATFLAG_NONAME))) out.classes[prefix] = self.clsid;
  IEnumSTATSTG* it = nullptr;
  check(storage->EnumElements(0, nullptr, 0, &it), "EnumElements");
  if (!it) return;
  STATSTG st{};
  while (it->Next(1, &st, nullptr) == S_OK) {
    std::u16string name = st.pwcsName;
    std::u16string path = prefix.empty() ? name : prefix + u"/" + name;
    if (st.type == STGTY_STORAGE) {
      IStorage* child = nullptr;
      check(storage->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr,
                                 0, &child),
            "OpenStorage");
      if (child) {
        walk(child, path, out);
        child->Release();
      }
    } else {
      IStream* s = nullptr;
      check(storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &s),
            "OpenStream");
      std::vector<uint8_t> bytes(size_t(st.cbSize.QuadPart));
      ULONG got = 0;
      if (s) {
        if (!bytes.empty()) s->Read(bytes.data(), ULONG(bytes.size()), &got);
        s->Release();
      }
      out.streams[path] = bytes;
    }
    CoTaskMemFree(st.pwcsName);
  }
  it->Release();
}

// Opens the storages along `elements` (all but the last) and calls `body`
// with the last one's parent.
template <typename F>
void atElement(const std::filesystem::path& path, const std::vector<std::u16string>& elements,
               DWORD mode, F&& body) {
  IStorage* root = nullptr;
  check(StgOpenStorage(widePath(path).c_str(), nullptr, mode, nullptr, 0, &root), "StgOpenStorage");
  if (!root) return;
  std::vector<IStorage*> chain{root};
  for (size_t i = 0; i + 1 < elements.size(); ++i) {
    IStorage* child = nullptr;
    check(chain.back()->OpenStorage(elements[i].c_str(), nullptr, mode & ~STGM_PRIORITY, nullptr, 0,
                                    &child),
          "OpenStorage");
    if (!child) break;
    chain.push_back(child);
  }
  if (chain.size() == elements.size()) body(chain.back(), elements.back());
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) (*it)->Release();
}

}  // namespace

IMoniker* fileMoniker(const char16_t* path) {
  IMoniker* m = nullptr;
  check(CreateFileMoniker(path, &m), "CreateFileMoniker");
  return m;
}

IMoniker* itemMoniker(const char16_t* delimiter, const char16_t* item) {
  IMoniker* m = nullptr;
  check(CreateItemMoniker(delimiter, item, &m), "CreateItemMoniker");
  return m;
}

IMoniker* antiMoniker() {
  IMoniker* m = nullptr;
  check(CreateAntiMoniker(&m), "CreateAntiMoniker");
  return m;
}

IMoniker* urlMoniker(const char16_t* url) {
  IMoniker* m = nullptr;
  check(CreateURLMoniker(nullptr, url, &m), "CreateURLMoniker");
  return m;
}

IMoniker* compositeOf(IMoniker* left, IMoniker* right) {
  IMoniker* m = nullptr;
  check(CreateGenericComposite(left, right, &m), "CreateGenericComposite");
  if (left) left->Release();
  if (right) right->Release();
  return m;
}

PoolObject linkTo(std::u16string name, IMoniker* absolute, IMoniker* relative) {
  PoolObject desc;
  desc.name = std::move(name);
  desc.absolute = absolute;
  desc.relative = relative;
  return desc;
}

PoolObject embedding(std::u16string name) {
  PoolObject desc;
  desc.name = std::move(name);
  desc.clsid = kEmbeddingClass;
  return desc;
}

void writeLinkDocument(const std::filesystem::path& path, std::vector<PoolObject> objects,
                       bool spreadsheet, bool noPool) {
  IStorage* root = nullptr;
  check(StgCreateDocfile(widePath(path).c_str(), kCreate, 0, &root), "StgCreateDocfile");
  if (!root) return;
  IStream* main = nullptr;
  check(root->CreateStream(spreadsheet ? u"Workbook" : u"WordDocument", kCreate, 0, 0, &main),
        "CreateStream");
  if (main) {
    std::vector<uint8_t> text(5000, 0x41);
    writeBytes(main, text.data(), ULONG(text.size()));
    main->Release();
  }
  IStorage* container = root;
  if (!spreadsheet && !noPool) {
    container = nullptr;
    check(root->CreateStorage(u"ObjectPool", kCreate, 0, 0, &container), "CreateStorage");
  }
  if (container)
    for (PoolObject& desc : objects) writeObject(container, desc);
  if (container && container != root) container->Release();
  check(root->Commit(STGC_DEFAULT), "Commit");
  root->Release();
}

void addObjects(const std::filesystem::path& path, std::vector<PoolObject> objects,
                bool spreadsheet) {
  IStorage* root = nullptr;
  check(StgOpenStorage(widePath(path).c_str(), nullptr, kOpen, nullptr, 0, &root),
        "StgOpenStorage");
  if (!root) return;
  IStorage* container = root;
  if (!spreadsheet) {
    container = nullptr;
    if (FAILED(root->OpenStorage(u"ObjectPool", nullptr, kOpen, nullptr, 0, &container)))
      check(root->CreateStorage(u"ObjectPool", kCreate, 0, 0, &container), "CreateStorage");
  }
  if (container)
    for (PoolObject& desc : objects) writeObject(container, desc);
  if (container && container != root) container->Release();
  check(root->Commit(STGC_DEFAULT), "Commit");
  root->Release();
}

Snapshot snapshot(const std::filesystem::path& path) {
  Snapshot out;
  IStorage* root = nullptr;
  check(StgOpenStorage(widePath(path).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr,
                       0, &root),
        "StgOpenStorage");
  if (!root) return out;
  walk(root, u"", out);
  root->Release();
  return out;
}

std::vector<uint8_t> readElement(const std::filesystem::path& path,
                                 const std::vector<std::u16string>& elements) {
  std::vector<uint8_t> bytes;
  atElement(
      path, elements, STGM_READ | STGM_SHARE_EXCLUSIVE,
      [&](IStorage* parent, const std::u16string& name) {
        IStream* s = nullptr;
        check(parent->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &s),
              "OpenStream");
        if (!s) return;
        STATSTG st{};
        s->Stat(&st, STATFLAG_NONAME);
        bytes.resize(size_t(st.cbSize.QuadPart));
        ULONG got = 0;
        if (!bytes.empty()) s->Read(bytes.data(), ULONG(bytes.size()), &got);
        s->Release();
      });
  return bytes;
}

void writeElement(const std::filesystem::path& path, const std::vector<std::u16string>& elements,
                  const std::vector<uint8_t>& bytes) {
  atElement(path, elements, kOpen, [&](IStorage* parent, const std::u16string& name) {
    IStream* s = nullptr;
    check(parent->CreateStream(name.c_str(), kCreate, 0, 0, &s), "CreateStream");
    if (!s) return;
    if (!bytes.empty()) writeBytes(s, bytes.data(), ULONG(bytes.size()));
    s->Release();
  });
}

}  // namespace velmora::test
