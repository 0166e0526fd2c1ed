// The library's four exported entry points.
#include <objbase.h>

STDAPI DllCanUnloadNow(void) { return S_OK; }

STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv) {
  if (ppv) *ppv = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllRegisterServer(void) { return E_NOTIMPL; }

STDAPI DllUnregisterServer(void) { return E_NOTIMPL; }
