// The navigator's identity, lifetime and operation table.
#include "navigator/comp_doc_file.h"

#include "module/lock_count.h"

CCompDocFile::CCompDocFile() { velmora::module::lockModule(); }

CCompDocFile::~CCompDocFile() {
  // The store's own destructor runs after this one and closes the document;
  // the module lock goes once the whole object is gone (see Release).
}

bool CCompDocFile::SetFilePath(LPCWSTR pwszPath) {
  m_strFilePath = pwszPath ? pwszPath : OLESTR("");
  return true;
}

HRESULT STDMETHODCALLTYPE CCompDocFile::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICompDocFile)) {
    *ppv = static_cast<ICompDocFile*>(this);
  } else if (IsEqualIID(riid, IID_IVltFileNavigator)) {
    *ppv = static_cast<IVltFileNavigator*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ++m_lRefCount;
  return S_OK;
}

ULONG STDMETHODCALLTYPE CCompDocFile::AddRef() { return static_cast<ULONG>(++m_lRefCount); }

ULONG STDMETHODCALLTYPE CCompDocFile::Release() {
  LONG lCount = --m_lRefCount;
  if (lCount == 0) {
    // Through the store's virtual destructor; the module counts the object
    // until its memory is freed.
    delete static_cast<CompDocProperties*>(this);
    velmora::module::unlockModule();
  }
  return static_cast<ULONG>(lCount);
}

HRESULT STDMETHODCALLTYPE CCompDocFile::CloseFile() {
  // The document commit is where every write of the session reaches the
  // file, so its failure is the caller's to know.
  return CloseStorage();
}

// The refused operations: E_POINTER when a tested pointer is null, else
// E_NOTIMPL; they read and write nothing through their arguments.
namespace {
HRESULT Refuse(std::initializer_list<const void*> tested) {
  for (const void* p : tested)
    if (!p) return E_POINTER;
  return E_NOTIMPL;
}
}  // namespace

HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall05(void* p1) { return Refuse({p1}); }
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall06(void* p1, LONG, LONG, LONG, LONG) {
  return Refuse({p1});
}
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall07(LONG, LONG, void* p3, void* p4) {
  return Refuse({p3, p4});
}
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall08(LONG, LONG, void* p3, void* p4) {
  return Refuse({p3, p4});
}
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall11(void* p1, void* p2) {
  return Refuse({p1, p2});
}
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall12(LONG, LONG, void* p3) {
  return Refuse({p3});
}
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall13(LONG, void* p2, void* p3, LONG, LONG) {
  return Refuse({p2, p3});
}
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall14(LONG, LONG, LONG, LONG, LONG, LONG) {
  return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall16(void* p1) { return Refuse({p1}); }
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall17(LONG, LONG, LONG, LONG, LONG) {
  return E_NOTIMPL;
}
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall18(LONG) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE CCompDocFile::IgnoredCall19(LONG, LONG) { return S_OK; }
HRESULT STDMETHODCALLTYPE CCompDocFile::IgnoredCall20(LONG, LONG, LONG, LONG) { return S_OK; }
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall21(LONG) { return E_NOTIMPL; }
HRESULT STDMETHODCALLTYPE CCompDocFile::UnsupportedCall22(LONG, LONG, LONG, LONG, LONG) {
  return E_NOTIMPL;
}
