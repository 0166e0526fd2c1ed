#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <thread>
#include <vector>

namespace {

// A minimal controlling object that aggregates the marshaler the way an agile
// component does, and counts its own references.
class Outer final : public IUnknown {
 public:
  HRESULT Init() { return CoCreateFreeThreadedMarshaler(this, &m_inner); }
  ~Outer() {
    if (m_inner) m_inner->Release();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    if (IsEqualIID(riid, IID_IMarshal)) return m_inner->QueryInterface(riid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
  LONG refs() const { return m_refs; }

 private:
  LONG m_refs = 1;
  IUnknown* m_inner = nullptr;
};

TEST(FreeThreadedMarshalerTest, IMarshalDelegatesIdentityToTheOuterObject) {
  Outer outer;
  ASSERT_EQ(S_OK, outer.Init());
  IMarshal* marshal = nullptr;
  ASSERT_EQ(S_OK, outer.QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)));
  EXPECT_EQ(2, outer.refs()) << "the IMarshal face must count on the controlling object";

  IUnknown* identity = nullptr;
  ASSERT_EQ(S_OK, marshal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
  EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
  identity->Release();
  marshal->Release();
  EXPECT_EQ(1, outer.refs());
}

TEST(FreeThreadedMarshalerTest, RejectsNullOutPointer) {
  EXPECT_EQ(E_INVALIDARG, CoCreateFreeThreadedMarshaler(nullptr, nullptr));
}

TEST(ComCoreTest, InterlockedCountsReturnTheNewValue) {
  LONG volatile count = 0;
  EXPECT_EQ(1, InterlockedIncrement(&count));
  EXPECT_EQ(2, InterlockedIncrement(&count));
  EXPECT_EQ(1, InterlockedDecrement(&count));
  EXPECT_EQ(1, InterlockedCompareExchange(&count, 7, 1));
  EXPECT_EQ(7, count);
  EXPECT_EQ(7, InterlockedCompareExchange(&count, 9, 1))
      << "no exchange when the comparand differs";
  EXPECT_EQ(7, count);
}

TEST(ComCoreTest, CriticalSectionIsReentrantOnItsThread) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  DeleteCriticalSection(&cs);
}

// Threads that enter again while holding it, contending all the time: no
// increment is lost and no thread is let in beside another.
TEST(ComCoreTest, CriticalSectionExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  long counter = 0;  // plain on purpose: only the section guards it
  int inside = 0, overlaps = 0;
  constexpr int kThreads = 6, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        EnterCriticalSection(&cs);
        EnterCriticalSection(&cs);
        if (++inside != 1) ++overlaps;
        ++counter;
        --inside;
        LeaveCriticalSection(&cs);
        LeaveCriticalSection(&cs);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(long(kThreads) * kRounds, counter);
  EXPECT_EQ(0, overlaps);
  DeleteCriticalSection(&cs);
}

TEST(ComCoreTest, GuidsCompareByValue) {
  GUID copy = IID_IStorage;
  EXPECT_TRUE(IsEqualGUID(copy, IID_IStorage));
  EXPECT_FALSE(IsEqualGUID(IID_IStorage, IID_IStream));
  EXPECT_EQ(0x0000000Bu, IID_IStorage.Data1);
  EXPECT_EQ(0xC0, IID_IStorage.Data4[0]);
  EXPECT_EQ(0x46, IID_IStorage.Data4[7]);
}

TEST(ComCoreTest, HresultFromWin32) {
  EXPECT_EQ(S_OK, HRESULT_FROM_WIN32(ERROR_SUCCESS));
  EXPECT_EQ(static_cast<HRESULT>(0x80070459), HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_EQ(E_INVALIDARG, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
}

}  // namespace
