// The free-threaded marshaler: an aggregatable object that answers IMarshal
// for its controlling object. In one process there is nothing to marshal
// across, so its job here is to make the outer object agile, as on Windows:
// the inner IUnknown owns the object, and the IMarshal face delegates its
// IUnknown calls to the controlling object.
#include <objbase.h>

#include <new>

#include "com/object.h"

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

// The inner object: its own IUnknown, which only the controlling object
// holds, and the IMarshal face. The face is not one of the object's own
// interfaces: it is handed out as another object would be, since all three
// of its IUnknown methods go to the controlling object (the aggregation rule)
// and stay written by hand below.
class FreeThreadedMarshaler final : public Object<IUnknown> {
 public:
  explicit FreeThreadedMarshaler(IUnknown* outer) : m_outer(outer ? outer : this), m_face(*this) {}

  IUnknown* outer() const { return m_outer; }

  bool answersTo(REFIID) const override { return false; }
  HRESULT queryOther(REFIID riid, void** ppv) override {
    if (!IsEqualIID(riid, IID_IMarshal)) return E_NOINTERFACE;
    *ppv = static_cast<IMarshal*>(&m_face);
    m_face.AddRef();
    return S_OK;
  }

 private:
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
