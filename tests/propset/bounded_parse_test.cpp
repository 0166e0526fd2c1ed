// Forged property sets parse in time and memory in proportion to their
// size: every allocation made while parsing is counted here (this program
// replaces the global operator new), and each forgery must stay under four
// times its own size, refused as damaged or read, never slow.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

#include "propset/codec.h"
#include "tests/propset/hostile_sets.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<size_t> g_live{0};
std::atomic<size_t> g_peak{0};

}  // namespace

void* operator new(size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  if (g_counting.load(std::memory_order_relaxed)) {
    size_t live = g_live += malloc_usable_size(p);
    size_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
  }
  return p;
}

void operator delete(void* p) noexcept {
  if (p && g_counting.load(std::memory_order_relaxed)) {
    size_t n = malloc_usable_size(p);
    // Blocks made before counting began may be freed while it runs.
    size_t live = g_live.load();
    while (!g_live.compare_exchange_weak(live, live > n ? live - n : 0)) {
    }
  }
  std::free(p);
}

void operator delete(void* p, size_t) noexcept { operator delete(p); }
// The other forms go through the two above, so every block is counted and
// freed the way it was made.
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

namespace velmora::propset {
namespace {

TEST(BoundedParseTest, ForgedSetsCostLittleTimeAndMemory) {
  for (const auto& set : test::hostileSets()) {
    SCOPED_TRACE(set.name);
    g_live = 0;
    g_peak = 0;
    g_counting = true;
    auto start = std::chrono::steady_clock::now();
    HRESULT code;
    {
      auto parsed = parsePropertySet(set.stream);
      code = parsed.code();
    }
    auto took = std::chrono::steady_clock::now() - start;
    g_counting = false;
    EXPECT_TRUE(code == S_OK || code == STG_E_INVALIDHEADER) << std::hex << code;
    // Not a speed goal (the benchmark holds that: milliseconds in a release
    // build): a watchdog for a lost limit, under which these take minutes to
    // hours, with room for sanitizers on a loaded machine.
    EXPECT_LT(took, std::chrono::seconds(60));
    EXPECT_LT(g_peak.load(), 4 * set.stream.size()) << "peak bytes while parsing";
  }
}

// The limits must not cost real sets anything: dense small properties, a
// large dictionary and a long vector all still read.
TEST(BoundedParseTest, LargeSoundSetsStillRead) {
  using namespace test;
  std::vector<RawProperty> props{{PID_CODEPAGE, i2(1252)}};
  for (uint32_t i = 0; i < 20000; ++i) props.push_back({2 + i, typed(VT_BOOL, u32(0xFFFF))});
  Bytes strings;
  for (int i = 0; i < 50000; ++i) {
    Bytes e = cat({u32(4), ascii("abc"), Bytes{0}});
    strings.insert(strings.end(), e.begin(), e.end());
  }
  props.push_back({30000, typed(VT_VECTOR | VT_LPSTR, cat({u32(50000), strings}))});
  auto parsed = parsePropertySet(stream({{FMTID_UserDefinedProperties, section(props)}}));
  ASSERT_TRUE(parsed) << parsed.error().message;
  const Section& s = parsed->sections[0];
  ASSERT_EQ(props.size(), s.properties.size());
  for (const auto& p : s.properties) EXPECT_TRUE(p.readable) << p.id;
  EXPECT_TRUE(s.original.has_value());
}

}  // namespace
}  // namespace velmora::propset
