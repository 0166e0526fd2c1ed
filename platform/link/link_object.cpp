// The standard link object (CLSID_StdOleLink) with IOleLink and
// IPersistStorage, OleLoad and OleSave.
//
// OleLoad decides by the storage's class alone, as Windows does: a link
// storage gives a link object whose Load reads "\1Ole"; any other class gets
// the default handler's stand-in, which has no IOleLink, so a caller asking
// for IOleLink hears E_NOINTERFACE. The link object is never bound: it keeps
// the monikers it loaded and reports the absolute one, since without a
// client site there is no document moniker to resolve the relative one
// against. Its save rewrites "\1Ole" and nothing else of the storage. A
// source whose display name would pass kMaxDisplayName characters is refused
// at load and by SetSourceMoniker, so a link never holds one.
#include <objbase.h>
#include <ole2.h>

#include <cstring>
#include <new>

#include "com/object.h"
#include "link/moniker.h"
#include "link/ole_stream.h"

namespace velmora::link {

namespace {

// {00000300-0000-0000-C000-000000000046}, the standard link ([MS-OLEDS] 2.3.3).
constexpr CLSID kStdOleLinkClass = {0x300, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr const OLECHAR* kOleStreamName = u"\1Ole";
// A real "\1Ole" is a few hundred bytes; anything past this is not one.
constexpr size_t kMaxOleStream = size_t(1) << 20;

class StdOleLink final : public com::Object<IOleLink, IPersistStorage> {
 public:
  bool answersTo(REFIID riid) const override { return riid == IID_IOleLink; }
  IUnknown* faceFor(REFIID riid) override {
    if (riid == IID_IPersist || riid == IID_IPersistStorage) return face<IPersistStorage>();
    return Object::faceFor(riid);
  }

  // IOleLink
  HRESULT STDMETHODCALLTYPE SetUpdateOptions(DWORD dwUpdateOpt) override {
    if (dwUpdateOpt != OLEUPDATE_ALWAYS && dwUpdateOpt != OLEUPDATE_ONCALL) return E_INVALIDARG;
    m_stream.updateOption = dwUpdateOpt;
    m_dirty = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetUpdateOptions(DWORD* pdwUpdateOpt) override {
    if (!pdwUpdateOpt) return E_INVALIDARG;
    *pdwUpdateOpt = m_stream.updateOption;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSourceMoniker(IMoniker* pmk, REFCLSID rclsid) override {
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      MonikerPtr absolute;
      if (pmk) {
        auto m = monikerOf(pmk);
        if (!m) return base::report(m.error());
        // A source whose name could not be read back is not taken: the
        // link keeps the one it has.
        auto length = displayNameLength(*m.value());
        if (!length) return base::report(length.error());
        absolute = m.value();
      }
      m_absolute = absolute;
      m_stream.hasAbsolute = bool(absolute);
      m_stream.absolute = absolute ? monikerStreamBytes(*absolute) : std::vector<uint8_t>();
      // The relative moniker would be recomputed against the document's
      // moniker, which only a client site supplies; without one it is
      // dropped, or a container knowing the document's place would keep
      // following the old source ([MS-OLEDS] 2.3.3 gives it precedence).
      m_stream.hasRelative = false;
      m_stream.relative.clear();
      // CLSID_NULL: the source's class is unknown until the next bind; the
      // class already recorded stays, as [MS-OLEDS] wants a real class there.
      if (rclsid != CLSID_NULL) m_stream.clsid = rclsid;
      m_dirty = true;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE GetSourceMoniker(IMoniker** ppmk) override {
    if (!ppmk) return E_INVALIDARG;
    *ppmk = nullptr;
    if (!m_absolute) return MK_E_UNAVAILABLE;
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      *ppmk = makeMonikerObject(m_absolute);
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE SetSourceDisplayName(LPCOLESTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSourceDisplayName(LPOLESTR* ppszDisplayName) override {
    if (!ppszDisplayName) return E_INVALIDARG;
    *ppszDisplayName = nullptr;
    // A link without a source moniker has no name; the OLE reference gives
    // E_FAIL for it.
    if (!m_absolute) return E_FAIL;
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      auto name = displayName(*m_absolute);
      if (!name) return base::report(name.error());
      auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((name->size() + 1) * sizeof(OLECHAR)));
      if (!out) return E_OUTOFMEMORY;
      std::memcpy(out, name->data(), name->size() * sizeof(OLECHAR));
      out[name->size()] = 0;
      *ppszDisplayName = out;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE BindToSource(DWORD, IBindCtx*) override {
    return OLE_E_CANT_BINDTOSOURCE;
  }
  HRESULT STDMETHODCALLTYPE BindIfRunning() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE GetBoundSource(IUnknown** ppunk) override {
    if (!ppunk) return E_INVALIDARG;
    *ppunk = nullptr;
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE UnbindSource() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Update(IBindCtx*) override { return OLE_E_CANT_BINDTOSOURCE; }

  // IPersistStorage
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override {
    if (!pClassID) return E_POINTER;
    *pClassID = kStdOleLinkClass;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return m_dirty ? S_OK : S_FALSE; }
  HRESULT STDMETHODCALLTYPE InitNew(IStorage* pStg) override {
    if (!pStg) return E_INVALIDARG;
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      m_stream = OleStream{};
      m_stream.tail = defaultOleTail();
      m_absolute.reset();
      m_dirty = true;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Load(IStorage* pStg) override {
    if (!pStg) return E_INVALIDARG;
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      IStream* stream = nullptr;
      HRESULT hr =
          pStg->OpenStream(kOleStreamName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream);
      if (FAILED(hr)) return hr;
      // Released however the read ends, a failed allocation included.
      struct Releaser {
        IStream* p;
        ~Releaser() { p->Release(); }
      };
      auto bytes = [&] {
        Releaser held{stream};
        return readRest(stream, kMaxOleStream);
      }();
      if (!bytes) return base::report(bytes.error());
      auto parsed = parseOleStream(*bytes);
      if (!parsed) return base::report(parsed.error());
      // A link storage whose stream describes an embedding has no source
      // to report; it is refused like any other malformed "\1Ole".
      if (!parsed->isLink()) return DV_E_CLIPFORMAT;
      MonikerPtr absolute;
      if (parsed->hasAbsolute) {
        auto m = parseMonikerBytes(parsed->absolute);
        if (!m) return base::report(m.error());
        // A source whose name is past the bound is refused like any other
        // unreadable one, before its name is ever built.
        auto length = displayNameLength(*m.value());
        if (!length) return base::report(length.error());
        absolute = m.value();
      }
      if (parsed->hasRelative) {
        auto m = parseMonikerBytes(parsed->relative);
        if (!m) return base::report(m.error());
      }
      m_stream = std::move(parsed.value());
      m_absolute = std::move(absolute);
      m_dirty = false;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Save(IStorage* pStgSave, BOOL) override {
    if (!pStgSave) return E_INVALIDARG;
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      std::vector<uint8_t> bytes = encodeOleStream(m_stream);
      IStream* stream = nullptr;
      HRESULT hr = pStgSave->OpenStream(kOleStreamName, nullptr,
                                        STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stream);
      if (hr == STG_E_FILENOTFOUND)
        hr = pStgSave->CreateStream(kOleStreamName, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                    &stream);
      if (FAILED(hr)) return hr;
      ULARGE_INTEGER size{};
      size.QuadPart = bytes.size();
      // The new stream may be shorter than the old one: set the size first.
      hr = stream->SetSize(size);
      LARGE_INTEGER zero{};
      if (SUCCEEDED(hr)) hr = stream->Seek(zero, STREAM_SEEK_SET, nullptr);
      ULONG written = 0;
      if (SUCCEEDED(hr)) hr = stream->Write(bytes.data(), ULONG(bytes.size()), &written);
      if (SUCCEEDED(hr) && written != bytes.size()) hr = STG_E_MEDIUMFULL;
      stream->Release();
      if (SUCCEEDED(hr)) m_dirty = false;
      return hr;
    });
  }
  HRESULT STDMETHODCALLTYPE SaveCompleted(IStorage*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE HandsOffStorage() override { return S_OK; }

 private:
  OleStream m_stream;
  MonikerPtr m_absolute;
  bool m_dirty = false;
};

// The default handler as far as this layer needs it: an object of the
// storage's class that loads and saves without touching the storage, and
// answers no IOleLink.
class DefaultHandler final : public com::Object<IPersistStorage> {
 public:
  explicit DefaultHandler(const CLSID& clsid) : m_clsid(clsid) {}
  bool answersTo(REFIID riid) const override {
    return riid == IID_IPersist || riid == IID_IPersistStorage;
  }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override {
    if (!pClassID) return E_POINTER;
    *pClassID = m_clsid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE InitNew(IStorage* pStg) override { return pStg ? S_OK : E_INVALIDARG; }
  HRESULT STDMETHODCALLTYPE Load(IStorage* pStg) override { return pStg ? S_OK : E_INVALIDARG; }
  HRESULT STDMETHODCALLTYPE Save(IStorage* pStg, BOOL) override {
    return pStg ? S_OK : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE SaveCompleted(IStorage*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE HandsOffStorage() override { return S_OK; }

 private:
  CLSID m_clsid;
};

}  // namespace

}  // namespace velmora::link

using namespace velmora::link;

EXTERN_C HRESULT WINAPI OleLoad(LPSTORAGE pStg, REFIID riid, LPOLECLIENTSITE pClientSite,
                                LPVOID* ppvObj) {
  if (!ppvObj) return E_INVALIDARG;
  *ppvObj = nullptr;
  if (!pStg) return E_INVALIDARG;
  // No object here takes a client site: nothing is ever bound or shown.
  (void)pClientSite;
  return velmora::base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
    CLSID clsid{};
    HRESULT hr = ReadClassStg(pStg, &clsid);
    if (FAILED(hr)) return hr;
    // A storage that never had a class written holds no object of any class.
    if (clsid == CLSID_NULL) return REGDB_E_CLASSNOTREG;
    IPersistStorage* object = nullptr;
    if (clsid == kStdOleLinkClass) {
      object = new StdOleLink();
    } else {
      object = new DefaultHandler(clsid);
    }
    hr = object->Load(pStg);
    if (SUCCEEDED(hr)) hr = object->QueryInterface(riid, ppvObj);
    object->Release();
    return hr;
  });
}

EXTERN_C HRESULT WINAPI OleSave(LPPERSISTSTORAGE pPS, LPSTORAGE pStg, BOOL fSameAsLoad) {
  if (!pPS || !pStg) return E_INVALIDARG;
  CLSID clsid{};
  HRESULT hr = pPS->GetClassID(&clsid);
  if (FAILED(hr)) return hr;
  hr = WriteClassStg(pStg, clsid);
  if (FAILED(hr)) return hr;
  hr = pPS->Save(pStg, fSameAsLoad);
  if (FAILED(hr)) return hr;
  return pStg->Commit(STGC_DEFAULT);
}
