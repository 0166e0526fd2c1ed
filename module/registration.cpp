// Self-registration: each class table entry runs its registration script
// (REGISTRY resource) through the platform's registrar with %MODULE% set to
// the library's path, and the type library (TYPELIB 1) is registered from
// the same path.
#include "module/module.h"

#include "module/registrar.h"
#include "module/velmora_lib.h"

namespace {

// The library's full path: S_OK, the loader's reason (memory, say) as an
// HRESULT, or E_FAIL when the path does not fit.
HRESULT GetModulePath(HINSTANCE hInstance, WCHAR* pwszPath, DWORD cchPath) {
  DWORD cch = GetModuleFileNameW(static_cast<HMODULE>(hInstance), pwszPath, cchPath);
  if (cch == 0) {
    DWORD dwError = GetLastError();
    return dwError ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
  }
  return cch < cchPath ? S_OK : E_FAIL;
}

}  // namespace

HRESULT UpdateRegistryFromResource(HINSTANCE hInstance, UINT nResId, BOOL bRegister) {
  WCHAR wszModule[MAX_PATH];
  if (HRESULT hrPath = GetModulePath(hInstance, wszModule, MAX_PATH); FAILED(hrPath)) return hrPath;
  IRegistrar* pRegistrar = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar,
                                reinterpret_cast<void**>(&pRegistrar));
  if (FAILED(hr)) return hr;
  hr = pRegistrar->AddReplacement(OLESTR("MODULE"), wszModule);
  if (SUCCEEDED(hr)) {
    hr = bRegister ? pRegistrar->ResourceRegister(wszModule, nResId, OLESTR("REGISTRY"))
                   : pRegistrar->ResourceUnregister(wszModule, nResId, OLESTR("REGISTRY"));
  }
  pRegistrar->Release();
  return hr;
}

HRESULT CVelmoraModule::RegisterServer(BOOL bRegister) {
  if (!m_pClassTable) return E_UNEXPECTED;
  for (ClassEntry* p = m_pClassTable; p->pclsid; ++p) {
    HRESULT hr = p->pfnUpdateRegistry(bRegister);
    if (FAILED(hr)) return hr;
  }
  if (!bRegister) return UnRegisterTypeLib(*m_plibid, 1, 0, LOCALE_NEUTRAL, SYS_WIN32);

  WCHAR wszModule[MAX_PATH];
  if (HRESULT hrPath = GetModulePath(m_hInstance, wszModule, MAX_PATH); FAILED(hrPath))
    return hrPath;
  ITypeLib* pTypeLib = nullptr;
  HRESULT hr = LoadTypeLib(wszModule, &pTypeLib);
  if (FAILED(hr)) return hr;
  // The help folder is the library's own folder, as the registrar of the
  // platform's class library passes it.
  WCHAR wszHelpDir[MAX_PATH];
  int nLast = -1;
  for (int i = 0; (wszHelpDir[i] = wszModule[i]) != 0; ++i)
    if (wszModule[i] == OLESTR('\\') || wszModule[i] == OLESTR('/')) nLast = i;
  if (nLast >= 0) wszHelpDir[nLast] = 0;
  hr = RegisterTypeLib(pTypeLib, wszModule, nLast >= 0 ? wszHelpDir : nullptr);
  pTypeLib->Release();
  return hr;
}
