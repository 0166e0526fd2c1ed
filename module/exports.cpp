// The library's four exported entry points.
#include "module/module.h"

STDAPI DllCanUnloadNow(void) { return VelmoraModule().CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return VelmoraModule().GetClassObject(rclsid, riid, ppv);
}

STDAPI DllRegisterServer(void) { return VelmoraModule().RegisterServer(TRUE); }

STDAPI DllUnregisterServer(void) { return VelmoraModule().RegisterServer(FALSE); }
