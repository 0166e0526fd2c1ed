#include "module/module.h"

#include <gtest/gtest.h>

#include "host/vlt_interfaces.h"
#include "module/velmora_lib.h"

namespace {

// {11111111-2222-3333-4444-555555555555}
constexpr CLSID kUnknownClass = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

IClassFactory* classObject(REFCLSID clsid) {
  IClassFactory* factory = nullptr;
  EXPECT_EQ(S_OK, VelmoraModule().GetClassObject(clsid, IID_IClassFactory,
                                                 reinterpret_cast<void**>(&factory)));
  return factory;
}

TEST(ModuleTest, UnknownClassIsNotAvailable) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            VelmoraModule().GetClassObject(kUnknownClass, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
}

TEST(ModuleTest, ClassObjectsAreCachedAndCountAsALockWhileHeld) {
  ASSERT_EQ(S_OK, VelmoraModule().CanUnloadNow());
  IClassFactory* a = classObject(CLSID_CompDocFile);
  IClassFactory* b = classObject(CLSID_CompDocFile);
  EXPECT_EQ(a, b);
  EXPECT_EQ(S_FALSE, VelmoraModule().CanUnloadNow());
  a->Release();
  EXPECT_EQ(S_FALSE, VelmoraModule().CanUnloadNow());
  b->Release();
  EXPECT_EQ(S_OK, VelmoraModule().CanUnloadNow()) << "the cache's own reference holds no lock";
}

TEST(ModuleTest, LockServerHoldsTheModule) {
  IClassFactory* f = classObject(CLSID_CompDocFormats);
  f->LockServer(TRUE);
  f->Release();
  EXPECT_EQ(S_FALSE, VelmoraModule().CanUnloadNow());
  f = classObject(CLSID_CompDocFormats);
  f->LockServer(FALSE);
  f->Release();
  EXPECT_EQ(S_OK, VelmoraModule().CanUnloadNow());
}

TEST(ModuleTest, AggregationIsRefusedForBothClasses) {
  IUnknown* outer = reinterpret_cast<IUnknown*>(0x1);  // never called
  for (const CLSID* clsid : {&CLSID_CompDocFormats, &CLSID_CompDocFile}) {
    IClassFactory* f = classObject(*clsid);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, f->CreateInstance(outer, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, f->CreateInstance(outer, IID_ICompDocFile, &out));
    EXPECT_EQ(E_POINTER, f->CreateInstance(nullptr, IID_IUnknown, nullptr));
    f->Release();
  }
  EXPECT_EQ(S_OK, VelmoraModule().CanUnloadNow()) << "nothing was created";
}

TEST(ModuleTest, ObjectsHoldTheModuleUntilReleased) {
  IClassFactory* f = classObject(CLSID_CompDocFormats);
  IVltFileFormat* formats = nullptr;
  ASSERT_EQ(S_OK,
            f->CreateInstance(nullptr, IID_IVltFileFormat, reinterpret_cast<void**>(&formats)));
  f->Release();
  IVltFileNavigator* nav = nullptr;
  ASSERT_EQ(S_OK, formats->CreateNavigator(u"/nonexistent/file.doc", 0, &nav));
  formats->Release();
  EXPECT_EQ(S_FALSE, VelmoraModule().CanUnloadNow()) << "a live navigator";
  nav->Release();
  EXPECT_EQ(S_OK, VelmoraModule().CanUnloadNow());
}

TEST(ModuleTest, NavigatorFromTheClassObjectHasNoPath) {
  IClassFactory* f = classObject(CLSID_CompDocFile);
  IVltFileNavigator* nav = nullptr;
  ASSERT_EQ(S_OK,
            f->CreateInstance(nullptr, IID_IVltFileNavigator, reinterpret_cast<void**>(&nav)));
  f->Release();
  VltAttribute record = {};
  record.bsBlock = SysAllocString(u"Summary");
  record.bsName = SysAllocString(u"Title");
  EXPECT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, 1, &record));
  EXPECT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, &record, 0));
  EXPECT_EQ(0, record.bHandled);
  EXPECT_EQ(S_OK, nav->CloseFile());
  EXPECT_EQ(S_OK, nav->CloseFile());
  SysFreeString(record.bsBlock);
  SysFreeString(record.bsName);
  nav->Release();
}

}  // namespace
