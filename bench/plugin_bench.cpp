// The plug-in's read and write paths, per document: loading every property
// set and reading every catalogued and custom attribute (over the corpus and
// a 200 MB document), and one attribute written and committed into a small
// and a 200 MB document. Bytes moved come from the kernel's per-process I/O
// counters, so they count what the engine really asked the file for.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "format/comp_doc_formats.h"
#include "propstore/comp_doc_properties.h"

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

fs::path scratch() {
  static fs::path dir = [] {
    auto d = fs::temp_directory_path() / "velmora-bench";
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// A document with the standard, custom and engineering sets and a payload
// stream of `payload` bytes, made once per process.
fs::path makeDocument(const std::string& name, size_t payload) {
  fs::path path = scratch() / name;
  if (fs::exists(path)) return path;
  std::u16string wpath = path.u16string();
  IStorage* root = nullptr;
  if (FAILED(StgCreateDocfile(wpath.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                              &root)))
    return {};
  IStream* stream = nullptr;
  root->CreateStream(u"WordDocument", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                     &stream);
  std::vector<uint8_t> chunk(1 << 20, 0x5A);
  for (size_t done = 0; done < payload; done += chunk.size()) {
    ULONG n = 0;
    stream->Write(chunk.data(), static_cast<ULONG>(std::min(chunk.size(), payload - done)), &n);
  }
  stream->Release();
  IPropertySetStorage* sets = nullptr;
  root->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(&sets));
  auto write = [&](REFFMTID fmtid, DWORD flags, PROPSPEC spec, PROPVARIANT value) {
    IPropertyStorage* props = nullptr;
    if (SUCCEEDED(sets->Open(fmtid, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &props)) ||
        SUCCEEDED(
            sets->Create(fmtid, nullptr, flags, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &props))) {
      props->WriteMultiple(1, &spec, &value, PID_FIRST_USABLE);
      props->Commit(STGC_DEFAULT);
      props->Release();
    }
  };
  PROPSPEC title = {PRSPEC_PROPID, {PIDSI_TITLE}};
  PROPVARIANT text;
  PropVariantInit(&text);
  text.vt = VT_LPWSTR;
  text.pwszVal = const_cast<LPWSTR>(u"Benchmark document");
  write(FMTID_SummaryInformation, PROPSETFLAG_DEFAULT, title, text);
  PROPSPEC company = {PRSPEC_PROPID, {15}};
  PROPVARIANT narrow;
  PropVariantInit(&narrow);
  narrow.vt = VT_LPSTR;
  narrow.pszVal = const_cast<LPSTR>("Fennmark");
  write(FMTID_DocSummaryInformation, PROPSETFLAG_ANSI, company, narrow);
  PROPSPEC project = {};
  project.ulKind = PRSPEC_LPWSTR;
  project.lpwstr = const_cast<LPOLESTR>(u"Project");
  write(FMTID_UserDefinedProperties, PROPSETFLAG_DEFAULT, project, text);
  PROPSPEC part = {PRSPEC_PROPID, {5}};
  write(FMTID_DTProperties, PROPSETFLAG_DEFAULT, part, text);
  sets->Release();
  root->Commit(STGC_DEFAULT);
  root->Release();
  return path;
}

// Loads a document and reads every catalogued and custom attribute, as one
// host request does.
class Reader : public CompDocProperties {
 public:
  size_t readAll(const fs::path& path) {
    std::u16string wpath = path.u16string();
    if (FAILED(LoadProperties(wpath.c_str(), false))) return 0;
    size_t delivered = 0;
    static const char16_t* blocks[] = {u"Summary", u"DocSummary", u"DTProperties", u"DTControl",
                                       u"Physical"};
    static const int sets[] = {kSummarySet, kDocSummarySet, kDTPropertiesSet, kDTControlSet,
                               kPhysicalSet};
    for (int b = 0; b < 5; ++b) {
      const PropSetDef& set = g_PropSets[sets[b]];
      for (ULONG i = 0; i < set.cRows; ++i) {
        VARIANT v;
        VariantInit(&v);
        delivered += GetProperty(blocks[b], set.pTable[i].name, &v);
        VariantClear(&v);
      }
    }
    for (CustomProps* record : m_CustomList) {
      VARIANT v;
      VariantInit(&v);
      delivered += GetProperty(u"CustomProperty", record->strName.c_str(), &v);
      VariantClear(&v);
    }
    return delivered;
  }
};

void readDocuments(benchmark::State& state, const std::vector<fs::path>& docs) {
  IoCounters before = ioNow();
  size_t documents = 0;
  for (auto _ : state) {
    for (const fs::path& doc : docs) {
      Reader reader;
      benchmark::DoNotOptimize(reader.readAll(doc));
      ++documents;
    }
  }
  IoCounters after = ioNow();
  state.counters["docs/s"] = benchmark::Counter(double(documents), benchmark::Counter::kIsRate);
  state.counters["s/doc"] = benchmark::Counter(
      double(documents), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["bytes_read/doc"] = double(after.rchar - before.rchar) / double(documents);
}

void BM_ReadCorpus(benchmark::State& state) {
  std::vector<fs::path> docs;
  fs::path corpus = fs::path(VELMORA_SOURCE_DIR) / ".." / "shared" / "corpus" / "documents";
  if (const char* env = std::getenv("VELMORA_CORPUS")) corpus = fs::path(env) / "documents";
  if (fs::is_directory(corpus))
    for (auto& e : fs::directory_iterator(corpus)) docs.push_back(e.path());
  if (docs.empty()) {
    state.SkipWithError("no corpus");
    return;
  }
  readDocuments(state, docs);
}

void BM_ReadSmall(benchmark::State& state) {
  readDocuments(state, {makeDocument("small.doc", 16 * 1024)});
}

void BM_ReadLarge(benchmark::State& state) {
  readDocuments(state, {makeDocument("large.doc", size_t(200) << 20)});
}

// One attribute written and committed through the navigator, as compdoc
// write does; the document alternates between two titles.
void writeOne(benchmark::State& state, const fs::path& path) {
  IVltFileFormat* formats = nullptr;
  CCompDocFormats::CreateInstance(IID_IVltFileFormat, reinterpret_cast<void**>(&formats));
  std::u16string wpath = path.u16string();
  IoCounters before = ioNow();
  size_t writes = 0;
  for (auto _ : state) {
    IVltFileNavigator* nav = nullptr;
    formats->CreateNavigator(wpath.c_str(), 0, &nav);
    VltAttribute record = {};
    record.bsBlock = SysAllocString(u"Summary");
    record.bsName = SysAllocString(u"Title");
    record.oValue.vt = VT_BSTR;
    record.oValue.bstrVal = SysAllocString(writes % 2 ? u"Title one" : u"Title two");
    nav->WriteAttributes(0, 0, 0, 1, &record, 0);
    nav->CloseFile();
    nav->Release();
    if (record.bHandled != 1) state.SkipWithError("the write was refused");
    SysFreeString(record.bsBlock);
    SysFreeString(record.bsName);
    VariantClear(&record.oValue);
    ++writes;
  }
  IoCounters after = ioNow();
  formats->Release();
  state.counters["bytes_written/write"] = double(after.wchar - before.wchar) / double(writes);
  state.counters["bytes_read/write"] = double(after.rchar - before.rchar) / double(writes);
}

void BM_WriteSmall(benchmark::State& state) {
  writeOne(state, makeDocument("small-w.doc", 16 * 1024));
}
void BM_WriteLarge(benchmark::State& state) {
  writeOne(state, makeDocument("large-w.doc", size_t(200) << 20));
}

BENCHMARK(BM_ReadCorpus)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadSmall)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadLarge)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteLarge)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
