// The free-threaded marshaler: an aggregatable object that answers IMarshal
// for its controlling object. In one process there is nothing to marshal
// across, so its job here is to make the outer object agile, as on Windows:
// the inner IUnknown owns the object, and the IMarshal face delegates its
// IUnknown calls to the controlling object.
#include <objbase.h>

#include <new>

namespace velmora::com {
namespace {

class FreeThreadedMarshaler;

class MarshalFace final : public IMarshal {
 public:
  explicit MarshalFace(FreeThreadedMarshaler& owner) : m_owner(owner) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD,
                                              CLSID* pCid) override {
    if (!pCid) return E_POINTER;
    *pCid = CLSID_NULL;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD,
                                              DWORD* pSize) override {
    if (!pSize) return E_POINTER;
    *pSize = 0;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*,
                                             DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }

 private:
  FreeThreadedMarshaler& m_owner;
};

class FreeThreadedMarshaler final : public IUnknown {
 public:
  explicit FreeThreadedMarshaler(IUnknown* outer) : m_outer(outer ? outer : this), m_face(*this) {}

  IUnknown* outer() const { return m_outer; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (IsEqualIID(riid, IID_IMarshal)) {
      *ppv = static_cast<IMarshal*>(&m_face);
      m_face.AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }

 private:
  LONG m_refs = 1;
  IUnknown* m_outer;
  MarshalFace m_face;
};

HRESULT STDMETHODCALLTYPE MarshalFace::QueryInterface(REFIID riid, void** ppv) {
  return m_owner.outer()->QueryInterface(riid, ppv);
}
ULONG STDMETHODCALLTYPE MarshalFace::AddRef() { return m_owner.outer()->AddRef(); }
ULONG STDMETHODCALLTYPE MarshalFace::Release() { return m_owner.outer()->Release(); }

}  // namespace
}  // namespace velmora::com

EXTERN_C HRESULT WINAPI CoCreateFreeThreadedMarshaler(LPUNKNOWN punkOuter,
                                                      LPUNKNOWN* ppunkMarshal) {
  if (!ppunkMarshal) return E_INVALIDARG;
  *ppunkMarshal = nullptr;
  auto* ftm = new (std::nothrow) velmora::com::FreeThreadedMarshaler(punkOuter);
  if (!ftm) return E_OUTOFMEMORY;
  *ppunkMarshal = ftm;
  return S_OK;
}
