#include "tests/navigator/navigator_fixture.h"

namespace velmora::test {
namespace {

class OperationTableTest : public NavigatorTest {};

TEST_F(OperationTableTest, IdentityThroughBothInterfaces) {
  auto nav = open(m_dir.file("x.doc"));
  ICompDocFile* file = nullptr;
  ASSERT_EQ(S_OK, nav->QueryInterface(IID_ICompDocFile, reinterpret_cast<void**>(&file)));
  IUnknown* unk = nullptr;
  ASSERT_EQ(S_OK, nav->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)));
  EXPECT_EQ(static_cast<IUnknown*>(file), unk);
  IVltFileNavigator* back = nullptr;
  ASSERT_EQ(S_OK, file->QueryInterface(IID_IVltFileNavigator, reinterpret_cast<void**>(&back)));
  EXPECT_EQ(nav, back);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, nav->QueryInterface(IID_IStorage, &none));
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ(E_POINTER, nav->QueryInterface(IID_IUnknown, nullptr));
  EXPECT_EQ(5u, nav->AddRef()) << "one count for the object through every interface";
  nav->Release();
  file->Release();
  unk->Release();
  back->Release();
}

TEST_F(OperationTableTest, RefusedAndIgnoredOperations) {
  auto nav = open(m_dir.file("x.doc"));
  int p = 0;
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall05(nullptr));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall05(&p));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall06(nullptr, 0, 0, 0, 0));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall07(0, 0, nullptr, &p));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall07(0, 0, &p, nullptr));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall07(0, 0, &p, &p));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall08(0, 0, nullptr, nullptr));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall11(&p, nullptr));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall11(&p, &p));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall12(0, 0, nullptr));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall13(0, &p, nullptr, 0, 0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall13(0, &p, &p, 0, 0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall14(0, 0, 0, 0, 0, 0));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall16(nullptr));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall17(0, 0, 0, 0, 0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall18(0));
  EXPECT_EQ(S_OK, nav->IgnoredCall19(0, 0));
  EXPECT_EQ(S_OK, nav->IgnoredCall20(0, 0, 0, 0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall21(0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall22(0, 0, 0, 0, 0));
  EXPECT_EQ(0, p);
}

}  // namespace
}  // namespace velmora::test
