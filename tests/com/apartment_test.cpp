#include <gtest/gtest.h>
#include <objbase.h>

#include <thread>

namespace {

// Entries and kinds per thread: the first entry S_OK, repeats S_FALSE, the
// other kind refused without counting, and a thread whose entries are all
// balanced may choose again.
TEST(ApartmentTest, EntriesAreCountedPerThreadAndKindsDoNotMix) {
  EXPECT_EQ(E_INVALIDARG, CoInitializeEx(reinterpret_cast<void*>(1), COINIT_MULTITHREADED));
  EXPECT_EQ(E_INVALIDARG, CoInitializeEx(nullptr, 0x100));
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
  EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));

  HRESULT other = E_FAIL;
  std::thread([&] {
    other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoUninitialize();
  }).join();
  EXPECT_EQ(S_OK, other) << "another thread has its own apartment";

  CoUninitialize();
  EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED))
      << "one entry is still open";
  CoUninitialize();
  CoUninitialize();  // unbalanced: ignored
  EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  CoUninitialize();
}

}  // namespace
