// Parsing forged property sets: each must cost time in proportion to its
// size (milliseconds for a megabyte) however its table and values are laid
// out. The figures are reported per stream, with its size.
#include <benchmark/benchmark.h>

#include "propset/codec.h"
#include "tests/propset/hostile_sets.h"

namespace {

void parseHostile(benchmark::State& state, const velmora::test::HostileSet& set) {
  HRESULT code = S_OK;
  for (auto _ : state) {
    auto parsed = velmora::propset::parsePropertySet(set.stream);
    code = parsed.code();
    benchmark::DoNotOptimize(parsed);
  }
  state.counters["stream_bytes"] = double(set.stream.size());
  state.counters["refused"] = code == STG_E_INVALIDHEADER ? 1 : 0;
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(set.stream.size()));
}

const bool registered = [] {
  static const auto sets = velmora::test::hostileSets();
  for (const auto& set : sets)
    benchmark::RegisterBenchmark(("ParseHostile/" + set.name).c_str(), parseHostile, set)
        ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
