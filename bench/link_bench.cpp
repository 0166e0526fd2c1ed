// Reference discovery and update through the navigator, in process: a small
// document with three links, and an object pool of 2,000 objects (1,000
// links, 1,000 embeddings) listed whole, and relinked (each iteration moves
// 10 or all 1,000 links to the other of two paths); a link whose display
// name is as long as a name may be (65,536 characters), with the peak heap
// it costs. Bytes moved come from the kernel's per-process I/O counters, heap
// from the allocator below.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

// The C allocator, counted: every allocation of the process (operator new,
// the task allocator, BSTRs) passes through here, so the peak of live bytes
// over a call is what that call cost at most.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<long long> g_live{0}, g_peak{0};

void counted(void* p) {
  if (!p) return;
  const auto size = static_cast<long long>(malloc_usable_size(p));
  long long live = g_live.fetch_add(size) + size;
  long long peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
}
void uncounted(void* p) {
  if (p) g_live.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  counted(p);
  return p;
}
void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  counted(p);
  return p;
}
void* realloc(void* old, size_t n) {
  uncounted(old);
  void* p = __libc_realloc(old, n);
  counted(p ? p : (n ? old : nullptr));
  return p;
}
void* memalign(size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  counted(p);
  return p;
}
void* aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void** out, size_t align, size_t n) {
  *out = memalign(align, n);
  return *out ? 0 : 12;  // ENOMEM
}
void free(void* p) {
  uncounted(p);
  __libc_free(p);
}
}

#include "format/comp_doc_formats.h"

namespace fs = std::filesystem;

namespace {

struct IoCounters {
  long long rchar = 0, wchar = 0;
};

IoCounters ioNow() {
  IoCounters c;
  std::ifstream in("/proc/self/io");
  std::string key;
  long long value;
  while (in >> key >> value) {
    if (key == "rchar:") c.rchar = value;
    if (key == "wchar:") c.wchar = value;
  }
  return c;
}

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr CLSID kStdOleLink = {0x300, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr CLSID kEmbedded = {0x20906, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

void put32(IStream* s, uint32_t v) { s->Write(&v, 4, nullptr); }

// A link storage as a word processor writes one: "\1Ole" with a file and
// item composite, "\3ObjInfo" beside it.
void addLink(IStorage* pool, const std::u16string& name, const std::u16string& source) {
  IStorage* obj = nullptr;
  pool->CreateStorage(name.c_str(), kCreate, 0, 0, &obj);
  WriteClassStg(obj, kStdOleLink);
  IStream* s = nullptr;
  obj->CreateStream(u"\1Ole", kCreate, 0, 0, &s);
  for (uint32_t v : {0x02000001u, 9u, 1u, 0u, 0u, 0u}) put32(s, v);
  IMoniker *file = nullptr, *item = nullptr, *both = nullptr;
  CreateFileMoniker(source.c_str(), &file);
  CreateItemMoniker(u"!", u"Sheet1!R1C1", &item);
  CreateGenericComposite(file, item, &both);
  LARGE_INTEGER zero{};
  ULARGE_INTEGER at{}, end{};
  s->Seek(zero, STREAM_SEEK_CUR, &at);
  put32(s, 0);
  IPersistStream* persist = nullptr;
  both->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist));
  OleSaveToStream(persist, s);
  persist->Release();
  s->Seek(zero, STREAM_SEEK_CUR, &end);
  LARGE_INTEGER back{};
  back.QuadPart = LONGLONG(at.QuadPart);
  s->Seek(back, STREAM_SEEK_SET, nullptr);
  put32(s, uint32_t(end.QuadPart - at.QuadPart));
  back.QuadPart = LONGLONG(end.QuadPart);
  s->Seek(back, STREAM_SEEK_SET, nullptr);
  put32(s, 0xFFFFFFFF);
  for (int i = 0; i < 4; ++i) put32(s, 0);
  put32(s, 0);
  put32(s, 0xFFFFFFFF);
  for (int i = 0; i < 6; ++i) put32(s, 0);
  s->Release();
  file->Release();
  item->Release();
  both->Release();
  obj->CreateStream(u"\3ObjInfo", kCreate, 0, 0, &s);
  const uint8_t odt[6] = {0x10, 0, 3, 0, 0x0D, 0};
  s->Write(odt, 6, nullptr);
  s->Release();
  obj->Release();
}

// A link storage whose absolute source is the moniker `moniker`, given as
// its persisted bytes.
void addRawLink(IStorage* pool, const std::u16string& name, const std::vector<uint8_t>& moniker) {
  IStorage* obj = nullptr;
  pool->CreateStorage(name.c_str(), kCreate, 0, 0, &obj);
  WriteClassStg(obj, kStdOleLink);
  IStream* s = nullptr;
  obj->CreateStream(u"\1Ole", kCreate, 0, 0, &s);
  for (uint32_t v : {0x02000001u, 9u, 1u, 0u, 0u, 0u}) put32(s, v);
  put32(s, uint32_t(moniker.size() + 4));
  s->Write(moniker.data(), ULONG(moniker.size()), nullptr);
  put32(s, 0xFFFFFFFF);
  put32(s, 0x20830);
  put32(s, 0);
  for (uint32_t v : {0xC0u, 0x46000000u}) put32(s, v);
  for (int i = 0; i < 8; ++i) put32(s, 0);
  s->Release();
  obj->Release();
}

// A file moniker of `cAnti` anti steps before `path`: its display name has
// 3 * cAnti + strlen(path) characters.
std::vector<uint8_t> steppedFileMoniker(uint16_t cAnti, const char* path) {
  std::vector<uint8_t> out = {0x03, 0x03, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  auto u16 = [&](uint16_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); };
  auto u32 = [&](uint32_t v) { u16(uint16_t(v)), u16(uint16_t(v >> 16)); };
  u16(cAnti);
  u32(uint32_t(std::strlen(path) + 1));
  out.insert(out.end(), path, path + std::strlen(path) + 1);
  u16(0xFFFF);
  u16(0xDEAD);
  out.resize(out.size() + 16);
  u32(0);
  u32(0);
  return out;
}

fs::path makeNamedDocument(const std::string& name, uint16_t cAnti, const char* path) {
  fs::path dir = fs::temp_directory_path() / "velmora-bench";
  fs::create_directories(dir);
  fs::path file = dir / name;
  if (fs::exists(file)) return file;
  IStorage* root = nullptr;
  StgCreateDocfile(file.u16string().c_str(), kCreate, 0, &root);
  IStorage* pool = nullptr;
  root->CreateStorage(u"ObjectPool", kCreate, 0, 0, &pool);
  addRawLink(pool, u"_1", steppedFileMoniker(cAnti, path));
  pool->Release();
  root->Commit(STGC_DEFAULT);
  root->Release();
  return file;
}

void addEmbedding(IStorage* pool, const std::u16string& name) {
  IStorage* obj = nullptr;
  pool->CreateStorage(name.c_str(), kCreate, 0, 0, &obj);
  WriteClassStg(obj, kEmbedded);
  IStream* s = nullptr;
  obj->CreateStream(u"\1Ole", kCreate, 0, 0, &s);
  for (uint32_t v : {0x02000001u, 0u, 0u, 0u, 0u}) put32(s, v);
  s->Release();
  obj->Release();
}

fs::path makeDocument(const std::string& name, int links, int embeddings) {
  fs::path dir = fs::temp_directory_path() / "velmora-bench";
  fs::create_directories(dir);
  fs::path path = dir / name;
  if (fs::exists(path)) return path;
  IStorage* root = nullptr;
  StgCreateDocfile(path.u16string().c_str(), kCreate, 0, &root);
  IStream* text = nullptr;
  root->CreateStream(u"WordDocument", kCreate, 0, 0, &text);
  std::vector<uint8_t> body(64 * 1024, 0x41);
  text->Write(body.data(), ULONG(body.size()), nullptr);
  text->Release();
  IStorage* pool = nullptr;
  root->CreateStorage(u"ObjectPool", kCreate, 0, 0, &pool);
  for (int i = 0; i < links + embeddings; ++i) {
    std::u16string id = u"_" + fs::path(std::to_string(1000000 + i)).u16string();
    if (i % 2 == 0 && i / 2 < links) {
      addLink(pool, id,
              u"C:\\data\\sources\\book" + fs::path(std::to_string(i / 2)).u16string() + u".xls");
    } else {
      addEmbedding(pool, id);
    }
  }
  pool->Release();
  root->Commit(STGC_DEFAULT);
  root->Release();
  return path;
}

IVltFileNavigator* navigatorFor(const fs::path& path) {
  IVltFileFormat* formats = nullptr;
  CCompDocFormats::CreateInstance(IID_IVltFileFormat, reinterpret_cast<void**>(&formats));
  IVltFileNavigator* nav = nullptr;
  formats->CreateNavigator(path.u16string().c_str(), 0, &nav);
  formats->Release();
  return nav;
}

void discover(benchmark::State& state, const fs::path& path) {
  IVltFileNavigator* nav = navigatorFor(path);
  IoCounters before = ioNow();
  LONG found = 0;
  for (auto _ : state) {
    LONG count = 0;
    VltReference* records = nullptr;
    nav->GetReferences(0, &count, &records);
    for (LONG i = 0; i < count; ++i) {
      SysFreeString(records[i].bsFullPath);
      SysFreeString(records[i].bsFileName);
    }
    CoTaskMemFree(records);
    found = count;
  }
  IoCounters after = ioNow();
  nav->Release();
  state.counters["links"] = double(found);
  state.counters["bytes_read/call"] =
      double(after.rchar - before.rchar) / double(state.iterations());
}

// One link whose display name is exactly at the bound (65,536 characters,
// 128 KiB): the time of a discovery, and the peak heap above what the same
// discovery of a one-character name takes, as a multiple of the name's size.
void BM_GetReferencesNameAtTheBound(benchmark::State& state) {
  auto peakOfOneCall = [](const fs::path& path, LONG* found, size_t* length) {
    IVltFileNavigator* nav = navigatorFor(path);
    LONG count = 0;
    VltReference* records = nullptr;
    long long base = g_live.load();
    g_peak.store(base);
    nav->GetReferences(0, &count, &records);
    long long peak = g_peak.load() - base;
    *found = count;
    *length = count ? SysStringLen(records[0].bsFullPath) : 0;
    for (LONG i = 0; i < count; ++i) {
      SysFreeString(records[i].bsFullPath);
      SysFreeString(records[i].bsFileName);
    }
    CoTaskMemFree(records);
    nav->Release();
    return peak;
  };
  fs::path atBound = makeNamedDocument("links-name-at-bound.doc", 21845, "a");
  fs::path small = makeNamedDocument("links-name-small.doc", 0, "a");
  LONG found = 0;
  size_t length = 0, smallLength = 0;
  long long peakSmall = peakOfOneCall(small, &found, &smallLength);
  long long peakBound = peakOfOneCall(atBound, &found, &length);
  if (found != 1 || length != 65536) state.SkipWithError("the link at the bound was not listed");
  discover(state, atBound);
  const double nameBytes = double(length * sizeof(char16_t));
  state.counters["name_chars"] = double(length);
  state.counters["peak_heap_bytes"] = double(peakBound);
  state.counters["name_cost_x"] = double(peakBound - peakSmall) / nameBytes;
}

void BM_GetReferencesSmall(benchmark::State& state) {
  discover(state, makeDocument("links-small.doc", 3, 3));
}

void BM_GetReferencesPool2000(benchmark::State& state) {
  discover(state, makeDocument("links-pool.doc", 1000, 1000));
}

// Every iteration moves the first `range(0)` of the 1,000 links to the other
// of two folders; the cost should follow the links changed, not the pool.
void BM_UpdateReferences(benchmark::State& state) {
  const size_t moved = size_t(state.range(0));
  fs::path path = makeDocument("links-update.doc", 1000, 1000);
  IVltFileNavigator* nav = navigatorFor(path);
  std::vector<VltReference> records(1000);
  std::vector<std::u16string> names(1000);
  for (int i = 0; i < 1000; ++i) {
    names[i] = u"book" + fs::path(std::to_string(i)).u16string() + u".xls!Sheet1!R1C1";
    records[i] = VltReference{};
    records[i].bsFileName = SysAllocString(names[i].c_str());
    records[i].bsFullPath = SysAllocString(
        (u"C:\\data\\sources\\book" + fs::path(std::to_string(i)).u16string() + u".xls").c_str());
  }
  // The first pass turns the composites into plain file monikers named
  // bookN.xls; the timed passes then alternate two folders.
  nav->UpdateReferences(0, LONG(records.size()), records.data());
  for (int i = 0; i < 1000; ++i) {
    SysFreeString(records[i].bsFileName);
    SysFreeString(records[i].bsFullPath);
    records[i].bsFileName =
        SysAllocString((u"book" + fs::path(std::to_string(i)).u16string() + u".xls").c_str());
  }
  std::vector<BSTR> paths[2];
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 1000; ++i)
      paths[k].push_back(
          SysAllocString((std::u16string(k ? u"D:\\moved\\" : u"E:\\back\\") + u"book" +
                          fs::path(std::to_string(i)).u16string() + u".xls")
                             .c_str()));
  IoCounters before = ioNow();
  int pass = 0;
  HRESULT hr = S_OK;
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) records[i].bsFullPath = paths[pass % 2][i];
    hr = nav->UpdateReferences(0, LONG(moved), records.data());
    ++pass;
  }
  IoCounters after = ioNow();
  if (hr != S_OK) state.SkipWithError("UpdateReferences failed");
  state.counters["bytes_written/call"] =
      double(after.wchar - before.wchar) / double(state.iterations());
  state.counters["bytes_read/call"] =
      double(after.rchar - before.rchar) / double(state.iterations());
  for (auto& r : records) SysFreeString(r.bsFileName);
  for (auto& list : paths)
    for (BSTR b : list) SysFreeString(b);
  nav->Release();
}

}  // namespace

BENCHMARK(BM_GetReferencesSmall)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetReferencesPool2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetReferencesNameAtTheBound)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateReferences)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
