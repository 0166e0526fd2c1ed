// The library's four exported entry points.
#include "module/module.h"

STDAPI DllCanUnloadNow(void) { return VelmoraModule().CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return VelmoraModule().GetClassObject(rclsid, riid, ppv);
}

// Registration of the classes and the type library comes with the registry
// stand-in; until then the library is created by class id only.
STDAPI DllRegisterServer(void) { return E_NOTIMPL; }

STDAPI DllUnregisterServer(void) { return E_NOTIMPL; }
