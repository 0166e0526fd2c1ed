// The COM faces of the system monikers, the moniker constructors and
// OleSaveToStream / OleLoadFromStream. These monikers name things; binding
// needs running objects and a file system of the source's platform, which
// this layer does not have, so every binding operation reports
// MK_E_NOOBJECT or E_NOTIMPL.
#include <objbase.h>
#include <ole2.h>
#include <urlmon.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "com/object.h"
#include "link/moniker.h"

namespace velmora::link {

namespace {

// A class id in the packet form of [MS-OLEDS] 2.1.2.
std::vector<uint8_t> classPacket(const CLSID& clsid) {
  std::vector<uint8_t> out(16);
  velmora::base::storeLE32(out.data(), clsid.Data1);
  velmora::base::storeLE16(out.data() + 4, clsid.Data2);
  velmora::base::storeLE16(out.data() + 6, clsid.Data3);
  std::memcpy(out.data() + 8, clsid.Data4, 8);
  return out;
}

LPOLESTR taskCopy(const std::u16string& text) {
  auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
  if (!out) return nullptr;
  std::memcpy(out, text.data(), text.size() * sizeof(OLECHAR));
  out[text.size()] = 0;
  return out;
}

class MonikerObject final : public com::Object<IMoniker> {
 public:
  explicit MonikerObject(MonikerPtr m) : m_moniker(std::move(m)) {}
  const MonikerPtr& moniker() const { return m_moniker; }

  bool answersTo(REFIID riid) const override {
    return riid == IID_IPersist || riid == IID_IPersistStream || riid == IID_IMoniker;
  }

  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override {
    if (!pClassID) return E_POINTER;
    *pClassID = m_moniker ? classOf(m_moniker->kind) : CLSID_NULL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(IStream* pStm) override {
    if (!pStm) return E_POINTER;
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      // The data alone follows in the stream; the class is this object's.
      CLSID clsid{};
      if (HRESULT hr = GetClassID(&clsid); FAILED(hr)) return hr;
      ULARGE_INTEGER start{};
      LARGE_INTEGER zero{};
      if (HRESULT hr = pStm->Seek(zero, STREAM_SEEK_CUR, &start); FAILED(hr)) return hr;
      auto rest = readRest(pStm, size_t(1) << 24);
      if (!rest) return base::report(rest.error());
      std::vector<uint8_t> framed = classPacket(clsid);
      framed.insert(framed.end(), rest->begin(), rest->end());
      auto parsed = parseMonikerBytes(framed);
      if (!parsed) return base::report(parsed.error());
      LARGE_INTEGER after{};
      after.QuadPart = LONGLONG(start.QuadPart + parsed.value()->data.size());
      if (HRESULT hr = pStm->Seek(after, STREAM_SEEK_SET, nullptr); FAILED(hr)) return hr;
      m_moniker = parsed.value();
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Save(IStream* pStm, BOOL) override {
    if (!pStm) return E_POINTER;
    if (!m_moniker) return E_UNEXPECTED;
    ULONG written = 0;
    HRESULT hr = pStm->Write(m_moniker->data.data(), ULONG(m_moniker->data.size()), &written);
    if (FAILED(hr)) return hr;
    return written == m_moniker->data.size() ? S_OK : STG_E_MEDIUMFULL;
  }
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pcbSize) override {
    if (!pcbSize) return E_POINTER;
    pcbSize->QuadPart = m_moniker ? m_moniker->data.size() : 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx*, IMoniker*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return MK_E_NOOBJECT;
  }
  HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx*, IMoniker*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return MK_E_NOOBJECT;
  }
  HRESULT STDMETHODCALLTYPE Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker** ppmkReduced) override {
    if (!ppmkReduced) return E_POINTER;
    *ppmkReduced = this;
    AddRef();
    return MK_S_REDUCED_TO_SELF;
  }
  HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker* pmkRight, BOOL fOnlyIfNotGeneric,
                                        IMoniker** ppmkComposite) override {
    if (!ppmkComposite) return E_POINTER;
    *ppmkComposite = nullptr;
    if (fOnlyIfNotGeneric) return MK_E_NEEDGENERIC;
    return CreateGenericComposite(this, pmkRight, ppmkComposite);
  }
  HRESULT STDMETHODCALLTYPE Enum(BOOL, IEnumMoniker** ppenum) override {
    if (!ppenum) return E_POINTER;
    *ppenum = nullptr;
    return m_moniker && m_moniker->kind == MonikerKind::Composite ? E_NOTIMPL : S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* pmkOther) override {
    if (!pmkOther) return E_INVALIDARG;
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      auto other = monikerOf(pmkOther);
      if (!other || !m_moniker) return S_FALSE;
      return other.value()->kind == m_moniker->kind && other.value()->data == m_moniker->data
                 ? S_OK
                 : S_FALSE;
    });
  }
  HRESULT STDMETHODCALLTYPE Hash(DWORD* pdwHash) override {
    if (!pdwHash) return E_POINTER;
    DWORD h = 2166136261u;
    if (m_moniker)
      for (uint8_t b : m_moniker->data) h = (h ^ b) * 16777619u;
    *pdwHash = h;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override {
    return MK_E_UNAVAILABLE;
  }
  HRESULT STDMETHODCALLTYPE Inverse(IMoniker** ppmk) override {
    if (!ppmk) return E_POINTER;
    *ppmk = nullptr;
    if (!m_moniker || m_moniker->kind == MonikerKind::Anti) return MK_E_NOINVERSE;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker*, IMoniker** ppmkPrefix) override {
    if (ppmkPrefix) *ppmkPrefix = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker*, IMoniker** ppmkRelPath) override {
    if (ppmkRelPath) *ppmkRelPath = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx*, IMoniker*,
                                           LPOLESTR* ppszDisplayName) override {
    if (!ppszDisplayName) return E_POINTER;
    *ppszDisplayName = nullptr;
    if (!m_moniker) return E_UNEXPECTED;
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      auto name = displayName(*m_moniker);
      if (!name) return base::report(name.error());
      *ppszDisplayName = taskCopy(*name);
      return *ppszDisplayName ? S_OK : E_OUTOFMEMORY;
    });
  }
  HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG* pchEaten,
                                             IMoniker** ppmkOut) override {
    if (pchEaten) *pchEaten = 0;
    if (ppmkOut) *ppmkOut = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* pdwMksys) override {
    if (!pdwMksys) return E_POINTER;
    switch (m_moniker ? m_moniker->kind : MonikerKind::File) {
      case MonikerKind::File: *pdwMksys = MKSYS_FILEMONIKER; break;
      case MonikerKind::Item: *pdwMksys = MKSYS_ITEMMONIKER; break;
      case MonikerKind::Anti: *pdwMksys = MKSYS_ANTIMONIKER; break;
      case MonikerKind::Composite: *pdwMksys = MKSYS_GENERICCOMPOSITE; break;
      case MonikerKind::Url: *pdwMksys = MKSYS_URLMONIKER; break;
    }
    return S_OK;
  }

 private:
  MonikerPtr m_moniker;
};

class MemoryStream final : public com::Object<IStream> {
 public:
  bool answersTo(REFIID riid) const override {
    return riid == IID_ISequentialStream || riid == IID_IStream;
  }
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (!pv) return STG_E_INVALIDPOINTER;
    size_t n = m_pos < m_bytes.size() ? std::min<size_t>(cb, m_bytes.size() - m_pos) : 0;
    if (n) std::memcpy(pv, m_bytes.data() + m_pos, n);
    m_pos += n;
    if (pcbRead) *pcbRead = ULONG(n);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (!pv) return STG_E_INVALIDPOINTER;
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      if (m_pos + cb > m_bytes.size()) m_bytes.resize(m_pos + cb);
      if (cb) std::memcpy(m_bytes.data() + m_pos, pv, cb);
      m_pos += cb;
      if (pcbWritten) *pcbWritten = cb;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* newPos) override {
    LONGLONG base = origin == STREAM_SEEK_SET   ? 0
                    : origin == STREAM_SEEK_CUR ? LONGLONG(m_pos)
                    : origin == STREAM_SEEK_END ? LONGLONG(m_bytes.size())
                                                : -1;
    if (base < 0) return STG_E_INVALIDFUNCTION;
    if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
    m_pos = size_t(base + move.QuadPart);
    if (newPos) newPos->QuadPart = m_pos;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    return base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
      m_bytes.resize(size_t(size.QuadPart));
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                   ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD) override {
    if (!st) return STG_E_INVALIDPOINTER;
    *st = STATSTG{};
    st->type = STGTY_STREAM;
    st->cbSize.QuadPart = m_bytes.size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

  std::vector<uint8_t> m_bytes;

 private:
  size_t m_pos = 0;
};

HRESULT newMoniker(Result<MonikerPtr> m, LPMONIKER* ppmk) {
  if (!m) return base::report(m.error());
  *ppmk = makeMonikerObject(std::move(m.value()));
  return S_OK;
}

}  // namespace

IMoniker* makeMonikerObject(MonikerPtr m) { return new MonikerObject(std::move(m)); }

IStream* makeMemoryStream(std::vector<uint8_t>** bytes) {
  auto* s = new MemoryStream();
  if (bytes) *bytes = &s->m_bytes;
  return s;
}

Result<std::vector<uint8_t>> readRest(IStream* stream, size_t cap) {
  std::vector<uint8_t> out;
  uint8_t chunk[4096];
  for (;;) {
    ULONG got = 0;
    HRESULT hr = stream->Read(chunk, sizeof chunk, &got);
    if (FAILED(hr)) return base::failedCall(hr, "stream read failed");
    if (out.size() + got > cap)
      return base::makeError(E_OUTOFMEMORY, "stream longer than %zu bytes", cap);
    out.insert(out.end(), chunk, chunk + got);
    if (got < sizeof chunk) return out;
  }
}

Result<MonikerPtr> monikerOf(IMoniker* pmk) {
  if (auto* ours = dynamic_cast<MonikerObject*>(pmk)) {
    if (ours->moniker()) return ours->moniker();
  }
  std::vector<uint8_t>* bytes = nullptr;
  IStream* stream = makeMemoryStream(&bytes);
  IPersistStream* persist = nullptr;
  HRESULT hr = pmk->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist));
  if (SUCCEEDED(hr)) {
    hr = OleSaveToStream(persist, stream);
    persist->Release();
  }
  Result<MonikerPtr> parsed = base::makeError(hr, "the moniker cannot be saved");
  if (SUCCEEDED(hr)) parsed = parseMonikerBytes(*bytes);
  stream->Release();
  return parsed;
}

}  // namespace velmora::link

using namespace velmora::link;

EXTERN_C HRESULT WINAPI CreateFileMoniker(LPCOLESTR lpszPathName, LPMONIKER* ppmk) {
  if (!ppmk) return E_INVALIDARG;
  *ppmk = nullptr;
  if (!lpszPathName) return E_INVALIDARG;
  return velmora::base::atBoundary<E_OUTOFMEMORY>(
      [&] { return newMoniker(makeFileMoniker(lpszPathName), ppmk); });
}

EXTERN_C HRESULT WINAPI CreateItemMoniker(LPCOLESTR lpszDelim, LPCOLESTR lpszItem,
                                          LPMONIKER* ppmk) {
  if (!ppmk) return E_INVALIDARG;
  *ppmk = nullptr;
  return velmora::base::atBoundary<E_OUTOFMEMORY>([&] {
    return newMoniker(makeItemMoniker(lpszDelim ? lpszDelim : u"", lpszItem ? lpszItem : u""),
                      ppmk);
  });
}

EXTERN_C HRESULT WINAPI CreateAntiMoniker(LPMONIKER* ppmk) {
  if (!ppmk) return E_INVALIDARG;
  *ppmk = nullptr;
  return velmora::base::atBoundary<E_OUTOFMEMORY>(
      [&] { return newMoniker(makeAntiMoniker(1), ppmk); });
}

EXTERN_C HRESULT WINAPI CreateGenericComposite(LPMONIKER pmkFirst, LPMONIKER pmkRest,
                                               LPMONIKER* ppmkComposite) {
  if (!ppmkComposite) return E_INVALIDARG;
  *ppmkComposite = nullptr;
  // Either side alone is the composite itself.
  if (!pmkFirst || !pmkRest) {
    IMoniker* only = pmkFirst ? pmkFirst : pmkRest;
    if (only) only->AddRef();
    *ppmkComposite = only;
    return S_OK;
  }
  return velmora::base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
    auto first = monikerOf(pmkFirst);
    if (!first) return velmora::base::report(first.error());
    auto rest = monikerOf(pmkRest);
    if (!rest) return velmora::base::report(rest.error());
    return newMoniker(makeComposite({first.value(), rest.value()}), ppmkComposite);
  });
}

EXTERN_C HRESULT WINAPI CreateURLMoniker(LPMONIKER pMkCtx, LPCWSTR szURL, LPMONIKER* ppmk) {
  if (!ppmk) return E_INVALIDARG;
  *ppmk = nullptr;
  if (!szURL) return E_INVALIDARG;
  // Partial URLs are not completed against a context: the moniker keeps
  // the text it was given.
  (void)pMkCtx;
  return velmora::base::atBoundary<E_OUTOFMEMORY>(
      [&] { return newMoniker(makeUrlMoniker(szURL), ppmk); });
}

EXTERN_C HRESULT WINAPI OleSaveToStream(LPPERSISTSTREAM pPStm, LPSTREAM pStm) {
  if (!pStm) return E_INVALIDARG;
  CLSID clsid = CLSID_NULL;
  if (pPStm) {
    if (HRESULT hr = pPStm->GetClassID(&clsid); FAILED(hr)) return hr;
  }
  std::vector<uint8_t> packet;
  try {
    packet = classPacket(clsid);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  ULONG written = 0;
  HRESULT hr = pStm->Write(packet.data(), 16, &written);
  if (FAILED(hr)) return hr;
  if (written != 16) return STG_E_MEDIUMFULL;
  // A null object is saved as its null class alone.
  return pPStm ? pPStm->Save(pStm, TRUE) : S_OK;
}

EXTERN_C HRESULT WINAPI OleLoadFromStream(LPSTREAM pStm, REFIID iidInterface, LPVOID* ppvObj) {
  if (!ppvObj) return E_INVALIDARG;
  *ppvObj = nullptr;
  if (!pStm) return E_INVALIDARG;
  return velmora::base::atBoundary<E_OUTOFMEMORY>([&]() -> HRESULT {
    ULARGE_INTEGER start{};
    LARGE_INTEGER zero{};
    if (HRESULT hr = pStm->Seek(zero, STREAM_SEEK_CUR, &start); FAILED(hr)) return hr;
    auto rest = readRest(pStm, size_t(1) << 24);
    if (!rest) return velmora::base::report(rest.error());
    auto parsed = parseMonikerBytes(*rest);
    if (!parsed) return velmora::base::report(parsed.error());
    LARGE_INTEGER after{};
    after.QuadPart = LONGLONG(start.QuadPart + 16 + parsed.value()->data.size());
    if (HRESULT hr = pStm->Seek(after, STREAM_SEEK_SET, nullptr); FAILED(hr)) return hr;
    IMoniker* m = makeMonikerObject(parsed.value());
    HRESULT hr = m->QueryInterface(iidInterface, ppvObj);
    m->Release();
    return hr;
  });
}
