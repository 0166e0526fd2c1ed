// The module state: the class table, the cached class objects, the module
// lock count that decides when the library may be unloaded, and the
// application object whose start and stop hooks set the state up and down.
#pragma once
#include <windows.h>
#include <ole2.h>

#include "module/lock_count.h"

using CreateInstanceFn = HRESULT (*)(IUnknown* pUnkOuter, REFIID riid, void** ppv);
using UpdateRegistryFn = HRESULT (*)(BOOL bRegister);

struct ClassEntry {
  const CLSID* pclsid;
  UpdateRegistryFn pfnUpdateRegistry;  // runs the entry's registration script
  CreateInstanceFn pfnCreateInstance;
  IClassFactory* pClassObject;  // created on first request, kept until unload
};

class CVelmoraModule {
 public:
  CVelmoraModule();
  ~CVelmoraModule();

  // Start hook: the class table, the library's instance handle, the type
  // library id. Stop hook: releases every cached class object.
  void Init(ClassEntry* pClassTable, HINSTANCE hInstance, const GUID* plibid);
  void Term();

  LONG Lock() { return velmora::module::lockModule(); }
  LONG Unlock() { return velmora::module::unlockModule(); }
  LONG LockCount() const { return velmora::module::moduleLockCount(); }

  HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
  HRESULT CanUnloadNow() const;

  // Runs every entry's script in registration (TRUE) or removal mode, then
  // registers or unregisters the type library; stops at the first failure
  // and returns its code.
  HRESULT RegisterServer(BOOL bRegister);
  HINSTANCE Instance() const { return m_hInstance; }

 private:
  ClassEntry* m_pClassTable = nullptr;
  HINSTANCE m_hInstance = nullptr;
  const GUID* m_plibid = nullptr;
  CRITICAL_SECTION m_csClassObjects;
};

CVelmoraModule& VelmoraModule();

// Runs the registration script in resource REGISTRY `nResId` of the library
// through the platform's registrar, with %MODULE% set to its full path.
HRESULT UpdateRegistryFromResource(HINSTANCE hInstance, UINT nResId, BOOL bRegister);
