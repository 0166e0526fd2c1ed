// Activation against unloading: threads create and release format
// descriptors through the registry while others call CoFreeUnusedLibraries
// without pause, so the library is unloaded and loaded again round by round.
// Every activation must succeed, and no thread may run into a library that
// was unloaded under it. VELMORA_RACE_SECONDS sets how long (2 by default).
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "host/vlt_interfaces.h"
#include "module/velmora_lib.h"
#include "tests/support/registry_dump.h"

namespace velmora::test {
namespace {

TEST(ActivationRaceTest, UnloadingNeverPullsTheLibraryFromUnderActivation) {
  ScratchRegistry registry;
  {
    void* lib =
        dlopen((std::string(VELMORA_BINARY_DIR) + "/Velmora.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(lib) << dlerror();
    auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllRegisterServer"));
    ASSERT_EQ(S_OK, reg());
    dlclose(lib);
  }
  const char* env = std::getenv("VELMORA_RACE_SECONDS");
  const double seconds = env && *env ? std::atof(env) : 2.0;
  const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
  const unsigned makers = std::max(8u, cores), freers = 2;

  // Makers work in rounds with a pause between, long enough for the unload
  // delay the freers ask for, so the library goes and comes back many times;
  // each round's last Release races the freers' passes. The short delay is
  // the caller's promise that a thread past its last Release has left the
  // library by then: a maker preempted on a loaded machine can stay inside
  // its epilogue for milliseconds, so the promise is kept with a wide margin.
  // Delays around the pause put unloads right at the next round's start.
  constexpr auto kPause = std::chrono::milliseconds(120);
  constexpr DWORD kShortDelaysMs[] = {80, 100, 115, 125, 140};
  const std::string path = std::string(VELMORA_BINARY_DIR) + "/Velmora.so";
  std::atomic<bool> stop{false};
  bool finished = false;  // decided between rounds, so every maker sees the same
  std::atomic<long> created{0}, failed{0}, frees{0}, rounds{0}, reloads{0};
  std::atomic<HRESULT> firstFailure{S_OK};
  std::barrier roundEnd(makers, [&]() noexcept {
    std::this_thread::sleep_for(kPause);
    void* still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_LOCAL);
    if (still) {
      dlclose(still);
    } else {
      ++reloads;
    }
    ++rounds;
    finished = stop.load();
  });
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < makers; ++t) {
    threads.emplace_back([&] {
      while (!finished) {
        for (int i = 0; i < 4; ++i) {
          IVltFileFormat* formats = nullptr;
          HRESULT hr = CoCreateInstance(CLSID_CompDocFormats, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IVltFileFormat, reinterpret_cast<void**>(&formats));
          if (FAILED(hr)) {
            HRESULT none = S_OK;
            firstFailure.compare_exchange_strong(none, hr);
            ++failed;
            continue;
          }
          LONG flags = 0;
          if (formats->GetExtensionFlags(u"doc", &flags) != S_OK) ++failed;
          formats->Release();
          ++created;
        }
        roundEnd.arrive_and_wait();
      }
    });
  }
  for (unsigned t = 0; t < freers; ++t) {
    threads.emplace_back([&, t] {
      for (unsigned pass = 0; !stop.load(std::memory_order_relaxed); ++pass) {
        // A short delay unloads between rounds; the default one never does
        // here, but its passes race activation all the same.
        if (t == 0) {
          CoFreeUnusedLibrariesEx(kShortDelaysMs[pass / 64 % std::size(kShortDelaysMs)], 0);
        } else {
          CoFreeUnusedLibraries();
        }
        ++frees;
        // Often enough to meet every round's end, rarely enough to leave
        // the makers the table's lock.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  CoFreeUnusedLibrariesEx(0, 0);

  EXPECT_EQ(0, failed.load()) << "first failure " << std::hex << firstFailure.load();
  EXPECT_GT(created.load(), 0);
  if (rounds.load() >= 5) {
    EXPECT_GT(reloads.load(), 0) << "the library never went: nothing raced";
  }
  std::printf(
      "[ race     ] %u threads activating, %u unloading, %.1f s: %ld activations in %ld "
      "rounds, the library unloaded before %ld of them, %ld unload passes\n",
      makers, freers, seconds, created.load(), rounds.load(), reloads.load(), frees.load());
}

// Windows' rule for a library whose server says it can unload: outside a
// single-threaded apartment it goes only on a pass the delay after the pass
// that first found it idle, with no activation between; in one, at once.
TEST(ActivationRaceTest, AnIdleLibraryGoesOnlyOnALaterPassAfterTheDelay) {
  ScratchRegistry registry;
  const std::string path = std::string(VELMORA_BINARY_DIR) + "/Velmora.so";
  {
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(lib) << dlerror();
    auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllRegisterServer"));
    ASSERT_EQ(S_OK, reg());
    dlclose(lib);
  }
  auto loaded = [&] {
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_LOCAL);
    if (lib) dlclose(lib);
    return lib != nullptr;
  };
  auto useOnce = [] {
    IVltFileFormat* formats = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_CompDocFormats, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IVltFileFormat, reinterpret_cast<void**>(&formats));
    if (SUCCEEDED(hr)) formats->Release();
    return hr;
  };
  const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };

  ASSERT_EQ(S_OK, useOnce());
  CoFreeUnusedLibraries();
  EXPECT_TRUE(loaded()) << "the default delay let the library go on the first idle pass";
  CoFreeUnusedLibrariesEx(60000, 0);
  EXPECT_TRUE(loaded()) << "gone before its delay";
  ASSERT_EQ(S_OK, useOnce());  // activation starts the idle time afresh
  pause();
  CoFreeUnusedLibrariesEx(1, 0);
  EXPECT_TRUE(loaded()) << "idle time counted across an activation";
  pause();
  CoFreeUnusedLibrariesEx(1, 0);
  EXPECT_FALSE(loaded()) << "still loaded a pass after its delay";

  ASSERT_EQ(S_OK, useOnce());
  EXPECT_TRUE(loaded());
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_FALSE(loaded()) << "a delay of 0 is an unload at once";

  std::thread sta([&] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    ASSERT_EQ(S_OK, useOnce());
    CoFreeUnusedLibraries();
    EXPECT_FALSE(loaded()) << "a single-threaded apartment's pass waits";
    CoUninitialize();
  });
  sta.join();
}

// The class-object cache under a crowd: threads released at once ask a
// freshly loaded library for the same class object, round after round; all
// get the one object, and once they let go the library may unload.
TEST(ActivationRaceTest, ConcurrentFirstRequestsShareOneClassObject) {
  const std::string path = std::string(VELMORA_BINARY_DIR) + "/Velmora.so";
  const unsigned threads = 8;
  for (int round = 0; round < 20; ++round) {
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(lib) << dlerror();
    using GetFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
    auto get = reinterpret_cast<GetFn>(dlsym(lib, "DllGetClassObject"));
    auto canUnload = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllCanUnloadNow"));
    std::vector<IClassFactory*> got(threads, nullptr);
    std::vector<HRESULT> codes(threads, E_FAIL);
    std::atomic<unsigned> ready{0};
    std::vector<std::thread> crowd;
    for (unsigned t = 0; t < threads; ++t) {
      crowd.emplace_back([&, t] {
        ++ready;
        while (ready.load() < threads) std::this_thread::yield();
        codes[t] = get(CLSID_CompDocFile, IID_IClassFactory, reinterpret_cast<void**>(&got[t]));
      });
    }
    for (auto& c : crowd) c.join();
    for (unsigned t = 0; t < threads; ++t) {
      ASSERT_EQ(S_OK, codes[t]);
      EXPECT_EQ(got[0], got[t]) << "round " << round << ", thread " << t;
    }
    EXPECT_EQ(S_FALSE, canUnload()) << "held class objects keep the library";
    for (IClassFactory* f : got) f->Release();
    EXPECT_EQ(S_OK, canUnload());
    dlclose(lib);
  }
}

}  // namespace
}  // namespace velmora::test
