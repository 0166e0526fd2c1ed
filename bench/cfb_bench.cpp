// The engine's costs as the plug-in meets them: a priority open that reads
// one small stream (the summary property set) of a 20 KB and of a 200 MB
// document, and one small stream rewrite plus commit in the 200 MB one.
// Bytes read and written come from the file layer's counters, per
// iteration; the documents are made in a temporary folder at start-up.
#include <benchmark/benchmark.h>
#include <objbase.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "cfb/file_io.h"

namespace {

namespace fs = std::filesystem;
using velmora::cfb::ioCounters;

struct Docs {
  fs::path dir, small, big;
  Docs() {
    dir = fs::temp_directory_path() / ("velmora-cfb-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    small = dir / "small.doc";
    big = dir / "big.doc";
    make(small, 4, 4096);    // about 20 KB
    make(big, 4, 50 << 20);  // about 200 MB, in a few large streams
  }
  ~Docs() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  static void make(const fs::path& p, int streams, size_t size) {
    IStorage* stg = nullptr;
    auto w = p.u16string();
    if (FAILED(StgCreateDocfile(reinterpret_cast<const WCHAR*>(w.c_str()), 0x1012, 0, &stg)))
      std::abort();
    std::string data(size, 'd');
    for (int i = 0; i < streams; ++i) {
      IStream* s = nullptr;
      std::u16string name =
          u"Data" + std::u16string(1, char16_t(u'A' + i % 26)) + char16_t(u'A' + i / 26);
      stg->CreateStream(name.c_str(), 0x12, 0, 0, &s);
      data[0] = char(i);
      s->Write(data.data(), ULONG(data.size()), nullptr);
      s->Release();
    }
    IStream* s = nullptr;
    stg->CreateStream(u"\x05SummaryInformation", 0x12, 0, 0, &s);
    std::string summary(400, 's');
    s->Write(summary.data(), ULONG(summary.size()), nullptr);
    s->Release();
    stg->Release();
  }
};

Docs& docs() {
  static Docs d;
  return d;
}

void readSummary(const fs::path& p) {
  auto w = p.u16string();
  IStorage* stg = nullptr;
  if (FAILED(StgOpenStorageEx(reinterpret_cast<const WCHAR*>(w.c_str()), 0x40000, STGFMT_ANY, 0,
                              nullptr, nullptr, IID_IStorage, reinterpret_cast<void**>(&stg))))
    std::abort();
  IStream* s = nullptr;
  stg->OpenStream(u"\x05SummaryInformation", nullptr, 0x10, 0, &s);
  char buf[4096];
  ULONG n = 0;
  s->Read(buf, sizeof buf, &n);
  benchmark::DoNotOptimize(n);
  s->Release();
  stg->Release();
}

void BM_OpenReadSummary(benchmark::State& state) {
  const fs::path& p = state.range(0) ? docs().big : docs().small;
  uint64_t before = ioCounters().bytesRead;
  for (auto _ : state) readSummary(p);
  state.counters["bytes_read"] =
      benchmark::Counter(double(ioCounters().bytesRead - before) / double(state.iterations()));
  state.counters["file_MB"] = double(fs::file_size(p)) / 1e6;
  state.SetLabel(state.range(0) ? "200 MB document" : "20 KB document");
}
BENCHMARK(BM_OpenReadSummary)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_RewriteSummaryAndCommit(benchmark::State& state) {
  auto w = docs().big.u16string();
  uint64_t before = ioCounters().bytesWritten, readBefore = ioCounters().bytesRead;
  int round = 0;
  for (auto _ : state) {
    IStorage* stg = nullptr;
    if (FAILED(StgOpenStorageEx(reinterpret_cast<const WCHAR*>(w.c_str()), 0x12, STGFMT_DOCFILE, 0,
                                nullptr, nullptr, IID_IStorage, reinterpret_cast<void**>(&stg))))
      std::abort();
    IStream* s = nullptr;
    stg->OpenStream(u"\x05SummaryInformation", nullptr, 0x12, 0, &s);
    std::string summary(400 + (round++ % 50), char('a' + round % 26));
    s->Write(summary.data(), ULONG(summary.size()), nullptr);
    s->Release();
    stg->Commit(STGC_DEFAULT);
    stg->Release();
  }
  state.counters["bytes_written"] =
      benchmark::Counter(double(ioCounters().bytesWritten - before) / double(state.iterations()));
  state.counters["bytes_read"] =
      benchmark::Counter(double(ioCounters().bytesRead - readBefore) / double(state.iterations()));
  state.counters["file_MB"] = double(fs::file_size(docs().big)) / 1e6;
}
BENCHMARK(BM_RewriteSummaryAndCommit)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
