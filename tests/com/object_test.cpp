// The platform classes' IUnknown: identity through IUnknown, *ppv cleared on
// every refusal, other ids handed on, and the object gone at the last
// Release from whichever thread makes it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "com/object.h"

namespace velmora::com {
namespace {

std::atomic<int> g_alive{0};

class Probe final : public Object<IStream> {
 public:
  explicit Probe(IUnknown* other = nullptr, bool sequential = true)
      : m_other(other), m_sequential(sequential) {
    ++g_alive;
  }
  ~Probe() override { --g_alive; }

  bool answersTo(REFIID riid) const override {
    return (m_sequential && IsEqualIID(riid, IID_ISequentialStream)) ||
           IsEqualIID(riid, IID_IStream);
  }
  HRESULT queryOther(REFIID riid, void** ppv) override {
    return m_other ? m_other->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                   ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

 private:
  IUnknown* m_other;
  bool m_sequential;
};

TEST(ComObjectTest, AnswersItsIdsClearsRefusalsAndHandsOthersOn) {
  auto* other = new Probe;
  auto* probe = new Probe(other);
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_POINTER, probe->QueryInterface(IID_IStream, nullptr));
  ASSERT_EQ(S_OK, probe->QueryInterface(IID_ISequentialStream, &p));
  EXPECT_EQ(static_cast<IStream*>(probe), p);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(S_OK, probe->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
  EXPECT_EQ(static_cast<IUnknown*>(static_cast<IStream*>(probe)), unknown);
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, probe->QueryInterface(IID_IStorage, &p));
  EXPECT_EQ(nullptr, p) << "a refusal leaves *ppv set";
  // An id the object does not answer goes to the one it hands on to.
  auto* handOn = new Probe(probe, false);
  ASSERT_EQ(S_OK, handOn->QueryInterface(IID_ISequentialStream, &p));
  EXPECT_EQ(static_cast<IStream*>(probe), p);
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, handOn->QueryInterface(IID_IStorage, &p));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(0u, handOn->Release());
  // Three answered queries and the creator's reference.
  EXPECT_EQ(3u, probe->Release());
  EXPECT_EQ(2u, probe->Release());
  EXPECT_EQ(1u, probe->Release());
  EXPECT_EQ(2, g_alive.load());
  EXPECT_EQ(0u, probe->Release());
  EXPECT_EQ(1, g_alive.load());
  EXPECT_EQ(0u, other->Release());
  EXPECT_EQ(0, g_alive.load());
}

TEST(ComObjectTest, CountsFromManyThreadsAndGoesOnce) {
  auto* probe = new Probe;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    probe->AddRef();
    threads.emplace_back([probe] {
      for (int i = 0; i < 10000; ++i) {
        probe->AddRef();
        probe->Release();
      }
      probe->Release();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, g_alive.load());
  EXPECT_EQ(0u, probe->Release());
  EXPECT_EQ(0, g_alive.load());
}

}  // namespace
}  // namespace velmora::com
