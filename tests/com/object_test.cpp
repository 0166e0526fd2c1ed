// The platform classes' IUnknown: identity through IUnknown from every face,
// *ppv cleared on every refusal, other ids handed on, and the object's last
// step run once and the object gone at the last Release from whichever
// thread makes it.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
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

// Two faces at different addresses within the object, and a base id
// (IPersist) that the second face answers.
class TwoFaces final : public Object<IErrorInfo, IPersistStorage> {
 public:
  TwoFaces() { ++g_alive; }
  ~TwoFaces() override { --g_alive; }

  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_IErrorInfo); }
  IUnknown* faceFor(REFIID riid) override {
    if (IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IPersistStorage))
      return face<IPersistStorage>();
    return Object::faceFor(riid);
  }

  HRESULT STDMETHODCALLTYPE GetGUID(GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE InitNew(IStorage*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Load(IStorage*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Save(IStorage*, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SaveCompleted(IStorage*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE HandsOffStorage() override { return E_NOTIMPL; }
};

TEST(ComObjectTest, EveryFaceAnswersItsIdsWithOneIdentity) {
  auto* object = new TwoFaces;
  IErrorInfo* first = object;
  IPersistStorage* second = object;
  IUnknown* identity = first;
  ASSERT_NE(static_cast<void*>(first), static_cast<void*>(second));

  struct Case {
    IUnknown* asked;
    const IID* iid;
    void* face;
  };
  const Case cases[] = {
      {first, &IID_IUnknown, identity},
      {second, &IID_IUnknown, identity},
      {first, &IID_IErrorInfo, first},
      {second, &IID_IErrorInfo, first},
      {first, &IID_IPersistStorage, second},
      {second, &IID_IPersistStorage, second},
      {first, &IID_IPersist, static_cast<IPersist*>(second)},
      {second, &IID_IPersist, static_cast<IPersist*>(second)},
  };
  for (const Case& c : cases) {
    void* p = nullptr;
    ASSERT_EQ(S_OK, c.asked->QueryInterface(*c.iid, &p));
    EXPECT_EQ(c.face, p) << "asked through " << (c.asked == first ? "the first" : "the second")
                         << " face";
    static_cast<IUnknown*>(p)->Release();
  }
  for (IUnknown* asked : {identity, static_cast<IUnknown*>(second)}) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, asked->QueryInterface(IID_ICreateErrorInfo, &p));
    EXPECT_EQ(nullptr, p) << "a refusal leaves *ppv set";
    EXPECT_EQ(E_POINTER, asked->QueryInterface(IID_IPersist, nullptr));
  }
  // One count behind both faces.
  EXPECT_EQ(2u, second->AddRef());
  EXPECT_EQ(1u, first->Release());
  EXPECT_EQ(0u, second->Release());
  EXPECT_EQ(0, g_alive.load());
}

// Records each run of the last step: how many, on which thread, and that the
// object was still whole then.
struct LastRelease {
  std::atomic<int> runs{0};
  std::atomic<int> aliveDuring{0};
  std::mutex lock;
  std::thread::id thread;
};

class Closing final : public Object<IErrorInfo> {
 public:
  Closing(LastRelease& log, bool touchesItself) : m_log(log), m_touchesItself(touchesItself) {
    ++g_alive;
  }
  ~Closing() override { --g_alive; }

  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_IErrorInfo); }
  void onLastRelease() noexcept override {
    ++m_log.runs;
    m_log.aliveDuring = g_alive.load();
    {
      std::lock_guard hold(m_log.lock);
      m_log.thread = std::this_thread::get_id();
    }
    // A flush that hands the object to a callee, which takes and drops a
    // reference of its own.
    if (m_touchesItself) {
      IErrorInfo* self = nullptr;
      if (SUCCEEDED(QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&self))))
        self->Release();
    }
  }

  HRESULT STDMETHODCALLTYPE GetGUID(GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) override { return E_NOTIMPL; }

 private:
  LastRelease& m_log;
  bool m_touchesItself;
};

TEST(ComObjectTest, LastReleaseStepRunsOnceBeforeTheObjectGoes) {
  for (bool touchesItself : {false, true}) {
    SCOPED_TRACE(touchesItself ? "the step takes a reference of its own" : "a plain step");
    LastRelease log;
    auto* object = new Closing(log, touchesItself);
    object->AddRef();
    EXPECT_EQ(1u, object->Release());
    EXPECT_EQ(0, log.runs.load()) << "run while a reference was left";
    EXPECT_EQ(0u, object->Release());
    EXPECT_EQ(1, log.runs.load());
    EXPECT_EQ(1, log.aliveDuring.load()) << "run after the object was deleted";
    EXPECT_EQ(0, g_alive.load());
  }
}

TEST(ComObjectTest, LastReleaseStepRunsOnceOnTheThreadThatMadeTheCountZero) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  for (int round = 0; round < kRounds; ++round) {
    LastRelease log;
    auto* object = new Closing(log, false);
    for (int t = 1; t < kThreads; ++t) object->AddRef();
    std::atomic<int> ready{0};
    std::atomic<int> zeros{0};
    std::thread::id last;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        if (object->Release() == 0) {
          ++zeros;
          last = std::this_thread::get_id();
        }
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(1, zeros.load()) << "round " << round;
    ASSERT_EQ(1, log.runs.load()) << "round " << round;
    ASSERT_EQ(last, log.thread) << "round " << round;
    ASSERT_EQ(0, g_alive.load());
  }
}

}  // namespace
}  // namespace velmora::com
