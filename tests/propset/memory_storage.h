// A flat in-memory IStorage of streams, for testing the property-set layer
// apart from the compound-file engine. It keeps the rules the layer relies
// on: names compare case-insensitively (ASCII), a stream opened exclusively
// cannot be opened, replaced or destroyed again until it is released, and a
// read-only storage refuses writes.
#pragma once
#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmora::test {

class MemoryStorage final : public IStorage {
 public:
  struct Element {
    std::u16string name;
    std::vector<uint8_t> data;
    bool open = false;
  };

  explicit MemoryStorage(bool readOnly = false) : m_readOnly(readOnly) {}

  // Direct access for tests: the bytes of a stream, or null.
  std::vector<uint8_t>* bytes(const std::u16string& name) {
    auto it = m_elements.find(fold(name));
    return it == m_elements.end() ? nullptr : &it->second->data;
  }
  void put(const std::u16string& name, std::vector<uint8_t> data) {
    auto e = std::make_shared<Element>();
    e->name = name;
    e->data = std::move(data);
    m_elements[fold(name)] = e;
  }
  size_t count() const { return m_elements.size(); }
  void setReadOnly(bool r) { m_readOnly = r; }
  // Makes every stream write fail with STG_E_WRITEFAULT, as a full or
  // failing medium would.
  void setFailWrites(bool f) { m_failWrites = f; }
  bool failWrites() const { return m_failWrites; }
  ULONG refs() const { return m_refs; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }  // owned by the test

  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode, DWORD, DWORD,
                                         IStream** out) override;
  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* name, void*, DWORD mode, DWORD,
                                       IStream** out) override;
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR*, DWORD, DWORD, DWORD,
                                          IStorage** out) override {
    if (out) *out = nullptr;
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR*, IStorage*, DWORD, SNB, DWORD,
                                        IStorage** out) override {
    if (out) *out = nullptr;
    return STG_E_FILENOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD, const IID*, SNB, IStorage*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*,
                                          DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** out) override;
  HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR* name) override;
  HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR*, const OLECHAR*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR*, const FILETIME*, const FILETIME*,
                                            const FILETIME*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD) override;

 private:
  static std::u16string fold(std::u16string s) {
    for (auto& c : s)
      if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    return s;
  }

  ULONG m_refs = 1;
  bool m_readOnly;
  bool m_failWrites = false;
  std::map<std::u16string, std::shared_ptr<Element>> m_elements;
};

// --- implementation ---------------------------------------------------------

namespace memory_storage_detail {

class MemoryStream final : public IStream {
 public:
  MemoryStream(std::shared_ptr<MemoryStorage::Element> e, bool writable, const MemoryStorage* owner)
      : m_e(std::move(e)), m_writable(writable), m_owner(owner) {
    m_e->open = true;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStream) ||
        IsEqualIID(riid, IID_ISequentialStream)) {
      *ppv = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --m_refs;
    if (n == 0) {
      m_e->open = false;
      delete this;
    }
    return n;
  }
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* read) override {
    auto& d = m_e->data;
    size_t n = m_pos < d.size() ? std::min<size_t>(cb, d.size() - m_pos) : 0;
    if (n) std::memcpy(pv, d.data() + m_pos, n);
    m_pos += n;
    if (read) *read = ULONG(n);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* written) override {
    if (!m_writable) return STG_E_ACCESSDENIED;
    if (m_owner->failWrites()) return STG_E_WRITEFAULT;
    auto& d = m_e->data;
    if (m_pos + cb > d.size()) d.resize(m_pos + cb);
    if (cb) std::memcpy(d.data() + m_pos, pv, cb);
    m_pos += cb;
    if (written) *written = cb;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* pos) override {
    int64_t base = origin == STREAM_SEEK_SET   ? 0
                   : origin == STREAM_SEEK_CUR ? int64_t(m_pos)
                                               : int64_t(m_e->data.size());
    int64_t to = base + move.QuadPart;
    if (to < 0) return STG_E_INVALIDFUNCTION;
    m_pos = size_t(to);
    if (pos) pos->QuadPart = m_pos;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    if (!m_writable) return STG_E_ACCESSDENIED;
    m_e->data.resize(size_t(size.QuadPart));
    return S_OK;
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
    std::memset(st, 0, sizeof *st);
    st->type = STGTY_STREAM;
    st->cbSize.QuadPart = m_e->data.size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  ULONG m_refs = 1;
  std::shared_ptr<MemoryStorage::Element> m_e;
  bool m_writable;
  const MemoryStorage* m_owner;
  size_t m_pos = 0;
};

class ElementEnum final : public IEnumSTATSTG {
 public:
  explicit ElementEnum(std::vector<std::u16string> names) : m_names(std::move(names)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, STATSTG* rgelt, ULONG* fetched) override {
    ULONG got = 0;
    while (got < celt && m_pos < m_names.size()) {
      const auto& n = m_names[m_pos++];
      STATSTG& st = rgelt[got++];
      std::memset(&st, 0, sizeof st);
      st.type = STGTY_STREAM;
      st.pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc((n.size() + 1) * 2));
      std::copy(n.begin(), n.end(), st.pwcsName);
      st.pwcsName[n.size()] = 0;
    }
    if (fetched) *fetched = got;
    return got == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reset() override {
    m_pos = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumSTATSTG** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  ULONG m_refs = 1;
  std::vector<std::u16string> m_names;
  size_t m_pos = 0;
};

inline bool wantsWrite(DWORD mode) { return (mode & 3) != STGM_READ; }

}  // namespace memory_storage_detail

inline HRESULT STDMETHODCALLTYPE MemoryStorage::QueryInterface(REFIID riid, void** ppv) {
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStorage)) {
    *ppv = static_cast<IStorage*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

inline HRESULT STDMETHODCALLTYPE MemoryStorage::CreateStream(const OLECHAR* name, DWORD mode, DWORD,
                                                             DWORD, IStream** out) {
  *out = nullptr;
  if (m_readOnly) return STG_E_ACCESSDENIED;
  auto key = fold(name);
  auto it = m_elements.find(key);
  if (it != m_elements.end()) {
    if (it->second->open) return STG_E_ACCESSDENIED;
    if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
    it->second->data.clear();
    *out = new memory_storage_detail::MemoryStream(it->second, true, this);
    return S_OK;
  }
  auto e = std::make_shared<Element>();
  e->name = name;
  m_elements[key] = e;
  *out = new memory_storage_detail::MemoryStream(e, true, this);
  return S_OK;
}

inline HRESULT STDMETHODCALLTYPE MemoryStorage::OpenStream(const OLECHAR* name, void*, DWORD mode,
                                                           DWORD, IStream** out) {
  *out = nullptr;
  auto it = m_elements.find(fold(name));
  if (it == m_elements.end()) return STG_E_FILENOTFOUND;
  if (memory_storage_detail::wantsWrite(mode) && m_readOnly) return STG_E_ACCESSDENIED;
  if (it->second->open) return STG_E_ACCESSDENIED;
  *out = new memory_storage_detail::MemoryStream(it->second,
                                                 memory_storage_detail::wantsWrite(mode), this);
  return S_OK;
}

inline HRESULT STDMETHODCALLTYPE MemoryStorage::EnumElements(DWORD, void*, DWORD,
                                                             IEnumSTATSTG** out) {
  std::vector<std::u16string> names;
  for (const auto& [key, e] : m_elements) names.push_back(e->name);
  *out = new memory_storage_detail::ElementEnum(std::move(names));
  return S_OK;
}

inline HRESULT STDMETHODCALLTYPE MemoryStorage::DestroyElement(const OLECHAR* name) {
  if (m_readOnly) return STG_E_ACCESSDENIED;
  auto it = m_elements.find(fold(name));
  if (it == m_elements.end()) return STG_E_FILENOTFOUND;
  if (it->second->open) return STG_E_ACCESSDENIED;
  m_elements.erase(it);
  return S_OK;
}

inline HRESULT STDMETHODCALLTYPE MemoryStorage::Stat(STATSTG* st, DWORD) {
  std::memset(st, 0, sizeof *st);
  st->type = STGTY_STORAGE;
  return S_OK;
}

}  // namespace velmora::test
