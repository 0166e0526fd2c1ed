// Activation against unloading: threads create and release format
// descriptors through the registry while others call CoFreeUnusedLibraries
// without pause, so the library is unloaded and loaded again all the time.
// Every activation must succeed, and no thread may run into a library that
// was unloaded under it. VELMORA_RACE_SECONDS sets how long (2 by default).
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <atomic>
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
    void* lib = dlopen((std::string(VELMORA_BINARY_DIR) + "/Velmora.so").c_str(),
                       RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(lib) << dlerror();
    auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllRegisterServer"));
    ASSERT_EQ(S_OK, reg());
    dlclose(lib);
  }
  const char* env = std::getenv("VELMORA_RACE_SECONDS");
  const double seconds = env && *env ? std::atof(env) : 2.0;
  const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
  const unsigned makers = std::max(8u, cores), freers = 2;

  std::atomic<bool> stop{false};
  std::atomic<long> created{0}, failed{0}, frees{0};
  std::atomic<HRESULT> firstFailure{S_OK};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < makers; ++t) {
    threads.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
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
    });
  }
  for (unsigned t = 0; t < freers; ++t) {
    threads.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        CoFreeUnusedLibraries();
        ++frees;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  CoFreeUnusedLibraries();

  EXPECT_EQ(0, failed.load()) << "first failure " << std::hex << firstFailure.load();
  EXPECT_GT(created.load(), 0);
  std::printf("[ race     ] %u threads activating, %u unloading, %.1f s: %ld activations, "
              "%ld unload passes\n",
              makers, freers, seconds, created.load(), frees.load());
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
