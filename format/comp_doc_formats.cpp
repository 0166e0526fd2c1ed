#include "format/comp_doc_formats.h"

#include <new>

#include "module/lock_count.h"
#include "navigator/comp_doc_file.h"

namespace {

// Stored narrow and widened with the thread's ANSI code page when returned.
constexpr char kCompany[] = "Fennmark";
constexpr char kDescription[] = "Compound document plugin";
constexpr char kExtensions[] = "doc,xls,ppt,pub,dot,vsd,mpp";

// A new BSTR of narrow text, or null when it cannot be made.
BSTR WidenAnsi(const char* pszText) {
  int cch = MultiByteToWideChar(CP_THREAD_ACP, 0, pszText, -1, nullptr, 0);
  if (cch <= 0) return nullptr;
  BSTR bs = SysAllocStringLen(nullptr, static_cast<UINT>(cch - 1));
  if (!bs) return nullptr;
  if (MultiByteToWideChar(CP_THREAD_ACP, 0, pszText, -1, bs, cch) <= 0) {
    SysFreeString(bs);
    return nullptr;
  }
  return bs;
}

}  // namespace

CCompDocFormats::CCompDocFormats() {
  InitializeCriticalSection(&m_cs);
  velmora::module::lockModule();
}

CCompDocFormats::~CCompDocFormats() {
  if (m_pUnkMarshaler) m_pUnkMarshaler->Release();
  DeleteCriticalSection(&m_cs);
  velmora::module::unlockModule();
}

HRESULT CCompDocFormats::FinalConstruct() {
  return CoCreateFreeThreadedMarshaler(static_cast<ICompDocFormats*>(this), &m_pUnkMarshaler);
}

HRESULT CCompDocFormats::CreateInstance(REFIID riid, void** ppv) {
  CCompDocFormats* pFormats = new (std::nothrow) CCompDocFormats;
  if (!pFormats) return E_OUTOFMEMORY;
  // Held at one around the construction step, so a query inside it cannot
  // destroy the object.
  pFormats->m_lRefCount = 1;
  HRESULT hr = pFormats->FinalConstruct();
  pFormats->m_lRefCount = 0;
  if (SUCCEEDED(hr)) hr = pFormats->QueryInterface(riid, ppv);
  if (FAILED(hr)) delete pFormats;
  return hr;
}

HRESULT STDMETHODCALLTYPE CCompDocFormats::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICompDocFormats)) {
    *ppv = static_cast<ICompDocFormats*>(this);
  } else if (IsEqualIID(riid, IID_IVltFileFormat)) {
    *ppv = static_cast<IVltFileFormat*>(this);
  } else if (IsEqualIID(riid, IID_IMarshal) && m_pUnkMarshaler) {
    return m_pUnkMarshaler->QueryInterface(riid, ppv);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE CCompDocFormats::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount));
}

ULONG STDMETHODCALLTYPE CCompDocFormats::Release() {
  LONG lCount = InterlockedDecrement(&m_lRefCount);
  if (lCount == 0) delete this;
  return static_cast<ULONG>(lCount);
}

HRESULT STDMETHODCALLTYPE CCompDocFormats::GetFormatInfo(BSTR* pbsCompany, BSTR* pbsDescription,
                                                         BSTR* pbsExtensions) {
  if (!pbsCompany || !pbsDescription || !pbsExtensions) return E_POINTER;
  *pbsCompany = WidenAnsi(kCompany);
  *pbsDescription = WidenAnsi(kDescription);
  *pbsExtensions = WidenAnsi(kExtensions);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CCompDocFormats::GetExtensionFlags(LPCWSTR pwszExtension, LONG* plFlags) {
  if (!plFlags) return E_POINTER;
  *plFlags = kExtensionFlagAttributes;
  if (!pwszExtension) return S_OK;
  // The argument lower-cased, compared whole with the two link-bearing kinds.
  WCHAR ext[4] = {};
  int i = 0;
  for (; pwszExtension[i] && i < 4; ++i) {
    WCHAR ch = pwszExtension[i];
    if (i == 3) break;
    ext[i] = (ch >= u'A' && ch <= u'Z') ? static_cast<WCHAR>(ch - u'A' + u'a') : ch;
  }
  bool bWhole = i == 3 && pwszExtension[3] == 0;
  if (bWhole && ((ext[0] == u'd' && ext[1] == u'o' && ext[2] == u'c') ||
                 (ext[0] == u'x' && ext[1] == u'l' && ext[2] == u's')))
    *plFlags |= kExtensionFlagReferences;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CCompDocFormats::CreateNavigator(LPCWSTR pwszPath, LONG,
                                                           IVltFileNavigator** ppoNavigator) {
  if (!ppoNavigator) return E_POINTER;
  *ppoNavigator = nullptr;
  CCompDocFile* pFile = new (std::nothrow) CCompDocFile;
  if (!pFile) return E_OUTOFMEMORY;
  try {
    pFile->SetFilePath(pwszPath);
  } catch (...) {
    pFile->AddRef();
    pFile->Release();
    return E_OUTOFMEMORY;
  }
  HRESULT hr = pFile->QueryInterface(IID_IVltFileNavigator, reinterpret_cast<void**>(ppoNavigator));
  if (FAILED(hr)) {
    pFile->AddRef();
    pFile->Release();
  }
  return hr;
}

HRESULT STDMETHODCALLTYPE CCompDocFormats::UnsupportedCallA(LONG, LONG, LONG, LONG, void* pOut) {
  return pOut ? E_NOTIMPL : E_POINTER;
}

HRESULT STDMETHODCALLTYPE CCompDocFormats::UnsupportedCallB(LONG, void* pOut) {
  return pOut ? E_NOTIMPL : E_POINTER;
}
