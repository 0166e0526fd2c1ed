// The module state, the class objects and the application object.
#include "module/module.h"

#include <atomic>
#include <new>

#include "format/comp_doc_formats.h"
#include "module/resource.h"
#include "module/velmora_lib.h"
#include "navigator/comp_doc_file.h"

namespace {

// The class object of one class table entry. It counts as one module lock
// while any client holds it: the cache's own reference is the first.
class CClassFactory final : public IClassFactory {
 public:
  explicit CClassFactory(CreateInstanceFn pfnCreateInstance)
      : m_pfnCreateInstance(pfnCreateInstance) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    LONG lCount = InterlockedIncrement(&m_lRefCount);
    if (lCount == 2) VelmoraModule().Lock();
    return static_cast<ULONG>(lCount);
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG lCount = InterlockedDecrement(&m_lRefCount);
    if (lCount == 1) VelmoraModule().Unlock();
    if (lCount == 0) delete this;
    return static_cast<ULONG>(lCount);
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An outer object is looked at only with IUnknown, and both classes
    // refuse it then: no aggregation.
    if (pUnkOuter && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return m_pfnCreateInstance(pUnkOuter, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock)
      VelmoraModule().Lock();
    else
      VelmoraModule().Unlock();
    return S_OK;
  }

 private:
  LONG volatile m_lRefCount = 1;
  CreateInstanceFn m_pfnCreateInstance;
};

HRESULT CreateCompDocFormats(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  return CCompDocFormats::CreateInstance(riid, ppv);
}

HRESULT CreateCompDocFile(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  CCompDocFile* pFile = new (std::nothrow) CCompDocFile;
  if (!pFile) return E_OUTOFMEMORY;
  HRESULT hr = pFile->QueryInterface(riid, ppv);
  if (FAILED(hr)) {
    pFile->AddRef();
    pFile->Release();
  }
  return hr;
}

HRESULT UpdateRegistryCompDocFormats(BOOL bRegister) {
  return UpdateRegistryFromResource(VelmoraModule().Instance(), IDR_COMPDOCFORMATS, bRegister);
}

HRESULT UpdateRegistryCompDocFile(BOOL bRegister) {
  return UpdateRegistryFromResource(VelmoraModule().Instance(), IDR_COMPDOCFILE, bRegister);
}

ClassEntry g_ClassTable[] = {
    {&CLSID_CompDocFormats, UpdateRegistryCompDocFormats, CreateCompDocFormats, nullptr},
    {&CLSID_CompDocFile, UpdateRegistryCompDocFile, CreateCompDocFile, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

// The library's own handle, found from an address inside it.
HINSTANCE ThisLibrary() {
  HMODULE hModule = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisLibrary), &hModule);
  return hModule;
}

// The library's application object: its start and stop hooks bracket the
// module state's life, as the framework's per-library object does.
class CVelmoraApp {
 public:
  CVelmoraApp() { InitInstance(); }
  ~CVelmoraApp() { ExitInstance(); }

 private:
  void InitInstance() { VelmoraModule().Init(g_ClassTable, ThisLibrary(), &LIBID_VELMORALib); }
  void ExitInstance() { VelmoraModule().Term(); }
};

}  // namespace

CVelmoraModule::CVelmoraModule() { InitializeCriticalSection(&m_csClassObjects); }

CVelmoraModule::~CVelmoraModule() { DeleteCriticalSection(&m_csClassObjects); }

void CVelmoraModule::Init(ClassEntry* pClassTable, HINSTANCE hInstance, const GUID* plibid) {
  m_pClassTable = pClassTable;
  m_hInstance = hInstance;
  m_plibid = plibid;
}

void CVelmoraModule::Term() {
  if (!m_pClassTable) return;
  for (ClassEntry* p = m_pClassTable; p->pclsid; ++p) {
    if (p->pClassObject) {
      p->pClassObject->Release();
      p->pClassObject = nullptr;
    }
  }
  m_pClassTable = nullptr;
}

HRESULT CVelmoraModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!m_pClassTable) return CLASS_E_CLASSNOTAVAILABLE;
  for (ClassEntry* p = m_pClassTable; p->pclsid; ++p) {
    if (!IsEqualCLSID(*p->pclsid, rclsid)) continue;
    // Published with release order, so a thread that sees the pointer
    // without the lock also sees the object it points to.
    std::atomic_ref<IClassFactory*> cached(p->pClassObject);
    IClassFactory* pFactory = cached.load(std::memory_order_acquire);
    if (!pFactory) {
      EnterCriticalSection(&m_csClassObjects);
      pFactory = cached.load(std::memory_order_relaxed);
      if (!pFactory) {
        pFactory = new (std::nothrow) CClassFactory(p->pfnCreateInstance);
        cached.store(pFactory, std::memory_order_release);
      }
      LeaveCriticalSection(&m_csClassObjects);
      if (!pFactory) return E_OUTOFMEMORY;
    }
    return pFactory->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CVelmoraModule::CanUnloadNow() const { return LockCount() == 0 ? S_OK : S_FALSE; }

CVelmoraModule& VelmoraModule() {
  static CVelmoraModule s_module;
  return s_module;
}

// Constructed after the module state it initialises (VelmoraModule() builds
// it on first use), destroyed before it.
static CVelmoraApp g_theApp;
