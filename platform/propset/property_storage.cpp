// IPropertyStorage and IEnumSTATPROPSTG over one section; see
// property_storage.h. Behaviour follows the Windows compound-file
// implementation as its reference pages and the conformance tests run on
// Windows show it; where those are silent the choice is noted in place.
#include "propset/property_storage.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "base/little_endian.h"
#include "propset/property_value.h"
#include "propset/snapshot_enumerator.h"

namespace velmora::propset {

using base::makeError;

namespace {

// Windows refuses names of 256 characters and more in a version-0 set (Win32
// "Property Set Serialization"); accepting up to 255 covers every source.
constexpr size_t kMaxNameLength = 255;
// Reading a stream larger than this is refused: no writer makes sets this
// large, and the limit keeps a damaged size from exhausting memory.
constexpr uint64_t kMaxReadSize = uint64_t(64) << 20;

using base::atBoundary;

LPOLESTR copyName(std::u16string_view name) {
  auto* p = static_cast<LPOLESTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
  if (!p) return nullptr;
  std::copy(name.begin(), name.end(), p);
  p[name.size()] = 0;
  return p;
}

bool isSpecialReadOnly(PROPID id) {
  return id >= PID_MIN_READONLY && id <= PID_MAX_READONLY && id != PID_LOCALE;
}

// Values a non-simple set keeps in elements of its storage, named by an
// IndirectPropertyName ([MS-OLEPS] 2.10, 2.22).
bool isIndirect(VARTYPE vt) {
  return vt == VT_STREAM || vt == VT_STORAGE || vt == VT_STREAMED_OBJECT || vt == VT_STORED_OBJECT;
}
bool isStorageKind(VARTYPE vt) { return vt == VT_STORAGE || vt == VT_STORED_OBJECT; }

// The element name an indirect value holds: a CodePageString after the
// type, in the set's code page.
std::optional<std::u16string> indirectName(const Property& p, uint16_t codePage) {
  if (p.bytes.size() < 8) return std::nullopt;
  uint32_t n = base::loadLE32(&p.bytes[4]);
  if (n > p.bytes.size() - 8) return std::nullopt;
  std::u16string name = decodeName({p.bytes.begin() + 8, p.bytes.begin() + 8 + n}, codePage);
  if (name.empty()) return std::nullopt;
  return name;
}

// Copies the whole of `from` (from its start) to `to`.
HRESULT copyStream(IStream* from, IStream* to) {
  LARGE_INTEGER zero{};
  HRESULT hr = from->Seek(zero, STREAM_SEEK_SET, nullptr);
  std::vector<uint8_t> buf(size_t(64) << 10);
  while (SUCCEEDED(hr)) {
    ULONG got = 0;
    hr = from->Read(buf.data(), ULONG(buf.size()), &got);
    if (FAILED(hr) || got == 0) break;
    ULONG put = 0;
    hr = to->Write(buf.data(), got, &put);
    if (SUCCEEDED(hr) && put != got) hr = STG_E_WRITEFAULT;
  }
  return hr;
}

struct StatEntry {
  std::optional<std::u16string> name;
  PROPID id;
  VARTYPE vt;
};

struct StatEnumeratorTraits {
  using Interface = IEnumSTATPROPSTG;
  using Entry = StatEntry;
  using Stat = STATPROPSTG;
  static const IID& iid() { return IID_IEnumSTATPROPSTG; }
  static bool copy(const Entry& e, Stat& out) {
    out.lpwstrName = nullptr;
    if (e.name && !(out.lpwstrName = copyName(*e.name))) return false;
    out.propid = e.id;
    out.vt = e.vt;
    return true;
  }
  static void release(Stat& s) { CoTaskMemFree(s.lpwstrName); }
};
using StatEnumerator = SnapshotEnumerator<StatEnumeratorTraits>;

// Names `id` in the section's dictionary, or renames it; the caller's
// copy of the section, so a refused name leaves the set as it was.
Result<void> nameProperty(Section& s, PROPID id, const OLECHAR* pwszName, uint16_t cp) {
  if (id == PID_DICTIONARY || id == PID_CODEPAGE || id >= PID_MIN_READONLY)
    return makeError(STG_E_INVALIDPARAMETER, "property id 0x%x cannot be named", id);
  if (!pwszName) return makeError(STG_E_INVALIDPARAMETER, "a null name");
  std::u16string_view name(pwszName);
  if (name.empty() || name.size() > kMaxNameLength)
    return makeError(STG_E_INVALIDPARAMETER, "a name of %zu characters", name.size());
  // Names are unique in a dictionary ([MS-OLEPS] 2.18.1).
  for (const auto& e : s.dictionary) {
    std::u16string stored = decodeName(e.name, cp);
    std::u16string wanted(name);
    bool same =
        s.caseSensitive() ? stored == wanted : lstrcmpiW(stored.c_str(), wanted.c_str()) == 0;
    if (same && e.id != id)
      return makeError(STG_E_INVALIDPARAMETER, "the name is already used by id 0x%x", e.id);
  }
  auto encoded = encodeName(name, cp);
  if (!encoded) return encoded.error();
  auto it = std::find_if(s.dictionary.begin(), s.dictionary.end(),
                         [&](const DictionaryEntry& e) { return e.id == id; });
  if (it != s.dictionary.end())
    it->name = std::move(encoded.value());
  else
    s.dictionary.push_back({id, std::move(encoded.value())});
  return {};
}

}  // namespace

namespace {

Result<size_t> storedSize(IStream* stream) {
  STATSTG st{};
  HRESULT hr = stream->Stat(&st, STATFLAG_NONAME);
  if (FAILED(hr)) return base::failedCall(hr, "stat of the property-set stream failed");
  if (st.cbSize.QuadPart > kMaxReadSize)
    return makeError(STG_E_INVALIDHEADER, "property-set stream of %llu bytes",
                     static_cast<unsigned long long>(st.cbSize.QuadPart));
  return size_t(st.cbSize.QuadPart);
}

// Reads from the stream's start into `room`; the count read, short at the
// stream's end.
Result<size_t> readFromStart(IStream* stream, std::span<uint8_t> room) {
  LARGE_INTEGER zero{};
  HRESULT hr = stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return base::failedCall(hr, "seek in the property-set stream failed");
  size_t done = 0;
  while (done < room.size()) {
    ULONG got = 0;
    hr = stream->Read(room.data() + done, ULONG(room.size() - done), &got);
    if (FAILED(hr)) return base::failedCall(hr, "read of the property-set stream failed");
    if (got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace

Result<size_t> readWholeStream(IStream* stream, std::vector<uint8_t>& room) {
  ASSIGN(size, storedSize(stream));
  if (room.size() < size) room.resize(size);
  return readFromStart(stream, std::span(room.data(), size));
}

Result<std::pair<std::shared_ptr<const uint8_t[]>, size_t>> readWholeStreamShared(IStream* stream) {
  ASSIGN(size, storedSize(stream));
  // Not zeroed: every byte the set is parsed from is read first.
  std::shared_ptr<uint8_t[]> room = std::make_shared_for_overwrite<uint8_t[]>(size);
  ASSIGN(done, readFromStart(stream, std::span(room.get(), size)));
  return std::pair<std::shared_ptr<const uint8_t[]>, size_t>(std::move(room), done);
}

Result<std::vector<uint8_t>> readWholeStream(IStream* stream) {
  std::vector<uint8_t> bytes;
  auto n = readWholeStream(stream, bytes);
  if (!n) return n.error();
  bytes.resize(*n);
  return bytes;
}

Result<void> writeWholeStream(IStream* stream, const std::vector<uint8_t>& bytes) {
  // A set that would not read back is not written: the stream keeps its
  // old bytes and the caller hears why. Only a hostile original (sections
  // whose values overlap past the limits once rewritten) comes to this.
  if (auto check = parsePropertySet(bytes); !check)
    return makeError(check.error().code, "the rewritten set would not read back: %s",
                     check.error().message.c_str());
  LARGE_INTEGER zero{};
  HRESULT hr = stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  if (SUCCEEDED(hr)) {
    ULONG written = 0;
    hr = stream->Write(bytes.data(), ULONG(bytes.size()), &written);
    if (SUCCEEDED(hr) && written != bytes.size()) hr = STG_E_WRITEFAULT;
  }
  if (SUCCEEDED(hr)) {
    ULARGE_INTEGER size;
    size.QuadPart = bytes.size();
    hr = stream->SetSize(size);
  }
  if (FAILED(hr)) return base::failedCall(hr, "write of the property-set stream failed");
  return {};
}

Section newSection(REFFMTID fmtid, DWORD grfFlags) {
  Section s;
  s.fmtid = fmtid;
  uint16_t cp = (grfFlags & PROPSETFLAG_ANSI) ? uint16_t(GetACP()) : kCodePageUnicode;
  Value v;
  v.vt = VT_I2;
  v.scalar = cp;
  s.properties.push_back({PID_CODEPAGE, VT_I2, true, encodeValue(v, cp).value()});
  // A new set holds the user's default locale (Win32 Create page); the
  // layer's locale is en-US.
  v.vt = VT_UI4;
  v.scalar = 1033;
  s.properties.push_back({PID_LOCALE, VT_UI4, true, encodeValue(v, cp).value()});
  if (grfFlags & PROPSETFLAG_CASE_SENSITIVE) {
    v.scalar = 1;
    s.properties.push_back({PID_BEHAVIOR, VT_UI4, true, encodeValue(v, cp).value()});
  }
  return s;
}

PropertyStorage::PropertyStorage(IStream* stream, IStorage* holder, PropertySet set, REFFMTID fmtid,
                                 bool writable, bool dirty)
    : m_stream(stream),
      m_holder(holder),
      m_set(std::move(set)),
      m_fmtid(fmtid),
      m_writable(writable),
      m_dirty(dirty) {
  m_stream->AddRef();
  if (m_holder) m_holder->AddRef();
}

PropertyStorage::~PropertyStorage() {
  m_stream->Release();
  if (m_holder) m_holder->Release();
}

void PropertyStorage::onLastRelease() noexcept {
  // A direct-mode simple set writes its buffered changes when it is
  // released (Win32 IPropertyStorage::Commit page).
  if (m_dirty && m_writable) (void)atBoundary([&] { return flush(); });
}

Section& PropertyStorage::section() { return *m_set.find(m_fmtid); }
const Section& PropertyStorage::section() const { return *m_set.find(m_fmtid); }

std::optional<PROPID> PropertyStorage::findName(std::u16string_view name) const {
  const Section& s = section();
  if (!s.dictionaryReadable) return std::nullopt;
  const uint16_t cp = s.effectiveCodePage();
  const bool exact = s.caseSensitive();
  std::u16string wanted(name);
  for (const auto& e : s.dictionary) {
    std::u16string stored = decodeName(e.name, cp);
    if (exact ? stored == wanted : lstrcmpiW(stored.c_str(), wanted.c_str()) == 0) return e.id;
  }
  return std::nullopt;
}

Result<PROPID> PropertyStorage::resolve(const PROPSPEC& request) const {
  if (request.ulKind == PRSPEC_PROPID) return request.propid;
  if (request.ulKind == PRSPEC_LPWSTR) {
    if (!request.lpwstr) return makeError(STG_E_INVALIDPARAMETER, "PROPSPEC with a null name");
    return findName(request.lpwstr).value_or(PID_ILLEGAL);
  }
  return makeError(STG_E_INVALIDPARAMETER, "PROPSPEC of kind %u", request.ulKind);
}

// One value as ReadMultiple hands it out; one that cannot be read stays
// VT_EMPTY. Inline: ReadMultiple calls it for every value it reads.
inline Result<void> PropertyStorage::readValue(const Property& p, uint16_t cp, PROPVARIANT& out) {
  if (isIndirect(p.vt)) {
    // Only a non-simple set can hand these out; in a simple set they are
    // damage and read as VT_EMPTY.
    if (!m_holder) return {};
    return readIndirect(p, cp, out);
  }
  if (!p.readable) return {};  // a damaged value reads as VT_EMPTY
  size_t used = 0;
  auto v = decodeValue(p.bytes, cp, &used);
  if (!v) return {};
  // Memory and conversion failures fail the whole call, as on Windows.
  return toPropVariant(*v, cp, &out);
}

HRESULT STDMETHODCALLTYPE PropertyStorage::ReadMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                                        PROPVARIANT rgpropvar[]) {
  std::lock_guard lock(m_lock);
  if (cpspec == 0) return S_FALSE;
  if (!rgpspec || !rgpropvar) return E_INVALIDARG;
  for (ULONG i = 0; i < cpspec; ++i) PropVariantInit(&rgpropvar[i]);
  HRESULT hr = atBoundary([&]() -> Result<void> {
    const Section& s = section();
    const uint16_t cp = s.effectiveCodePage();
    bool found = false;
    for (ULONG i = 0; i < cpspec; ++i) {
      auto id = resolve(rgpspec[i]);
      if (!id) return id.error();
      // The dictionary is not a value (Win32 "Property Set Display Name
      // Dictionary"); it reads as absent.
      if (*id == PID_ILLEGAL || *id == PID_DICTIONARY) continue;
      const Property* p = s.find(*id);
      if (!p) continue;
      found = true;
      TRY(readValue(*p, cp, rgpropvar[i]));
    }
    if (!found) return makeError(S_FALSE, "none of the properties exists");
    return {};
  });
  if (FAILED(hr)) {
    for (ULONG i = 0; i < cpspec; ++i) PropVariantClear(&rgpropvar[i]);
  }
  return hr;
}

Result<void> PropertyStorage::writeOne(Section& s, const PROPSPEC& request,
                                       const PROPVARIANT& value, PROPID propidNameFirst) {
  std::optional<std::u16string> newName;
  ASSIGN(id, targetOf(s, request, propidNameFirst, newName));
  if (id == PID_ILLEGAL) return {};  // skipped, as Windows does
  TRY(checkSetHeader(s, id, value));
  const uint16_t cp = s.effectiveCodePage();
  VARTYPE vt = value.vt;
  ASSIGN(bytes, storedBytes(id, value, cp, vt));
  if (newName) TRY(addName(s, id, *newName, cp));
  Property* p = s.find(id);
  if (!p) {
    s.properties.push_back({id, vt, true, {}});
    p = &s.properties.back();
  }
  p->vt = vt;
  p->readable = true;
  p->bytes = std::move(bytes);
  return {};
}

// The id a write goes to: the one asked for, the one a name already has, or
// for a new name the lowest from `propidNameFirst` that neither a value nor
// a name uses (Office numbers its custom properties the same way), with the
// name in `newName`. PID_ILLEGAL: the write is skipped.
Result<PROPID> PropertyStorage::targetOf(const Section& s, const PROPSPEC& request,
                                         PROPID propidNameFirst,
                                         std::optional<std::u16string>& newName) const {
  if (request.ulKind == PRSPEC_PROPID) {
    const PROPID id = request.propid;
    if (id != PID_ILLEGAL && (id == PID_DICTIONARY || isSpecialReadOnly(id)))
      return makeError(STG_E_INVALIDPARAMETER, "property id 0x%x cannot be written", id);
    return id;
  }
  if (request.ulKind != PRSPEC_LPWSTR)
    return makeError(STG_E_INVALIDPARAMETER, "PROPSPEC of kind %u", request.ulKind);
  if (!request.lpwstr) return makeError(STG_E_INVALIDPARAMETER, "PROPSPEC with a null name");
  std::u16string_view name(request.lpwstr);
  if (name.empty() || name.size() > kMaxNameLength)
    return makeError(STG_E_INVALIDPARAMETER, "a name of %zu characters", name.size());
  if (auto existing = findName(name)) return *existing;
  if (propidNameFirst < PID_FIRST_USABLE || propidNameFirst >= PID_MIN_READONLY)
    return makeError(STG_E_INVALIDPARAMETER, "propidNameFirst 0x%x", propidNameFirst);
  auto used = [&](PROPID x) {
    if (s.find(x)) return true;
    for (const auto& e : s.dictionary)
      if (e.id == x) return true;
    return false;
  };
  PROPID id = propidNameFirst;
  while (used(id)) {
    if (++id >= PID_MIN_READONLY) return makeError(STG_E_INVALIDPARAMETER, "no free id");
  }
  newName.emplace(name);
  return id;
}

// The code page and the locale are written only while the set holds nothing
// else (Wine's tests on Windows), and only with their own types.
Result<void> PropertyStorage::checkSetHeader(const Section& s, PROPID id,
                                             const PROPVARIANT& value) {
  if (id != PID_CODEPAGE && id != PID_LOCALE) return {};
  for (const auto& p : s.properties)
    if (p.id != PID_CODEPAGE && p.id != PID_LOCALE && p.id != PID_BEHAVIOR)
      return makeError(STG_E_INVALIDPARAMETER, "id 0x%x written into a set with properties", id);
  if (id == PID_CODEPAGE && value.vt != VT_I2 && value.vt != VT_UI2)
    return makeError(STG_E_INVALIDPARAMETER, "a code page of type 0x%04x", value.vt);
  if (id == PID_LOCALE && value.vt != VT_UI4)
    return makeError(STG_E_INVALIDPARAMETER, "a locale of type 0x%04x", value.vt);
  return {};
}

// The value as the set stores it, with the type it is stored as in `vt`;
// a stream or storage value of a non-simple set goes to the set's storage.
Result<std::vector<uint8_t>> PropertyStorage::storedBytes(PROPID id, const PROPVARIANT& value,
                                                          uint16_t cp, VARTYPE& vt) {
  if (isIndirect(value.vt) && m_holder) return writeIndirect(id, value, cp);
  auto stored = fromPropVariant(value, cp);
  if (!stored) return stored.error();
  vt = stored->vt;
  return encodeValue(*stored, cp);
}

// A new name in the dictionary, which goes first, as the format's writers
// put it.
Result<void> PropertyStorage::addName(Section& s, PROPID id, const std::u16string& name,
                                      uint16_t cp) {
  if (!s.dictionaryReadable)
    return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::ofProperty(0),
                  "the set's dictionary is damaged");
  auto encoded = encodeName(name, cp);
  if (!encoded) return encoded.error();
  s.dictionary.push_back({id, std::move(encoded.value())});
  if (!s.hasDictionary())
    s.properties.insert(s.properties.begin(), {PID_DICTIONARY, 0, true, std::vector<uint8_t>{0}});
  return {};
}

Result<void> PropertyStorage::readIndirect(const Property& p, uint16_t codePage, PROPVARIANT& out) {
  auto name = indirectName(p, codePage);
  if (!name) return {};
  const DWORD mode = (m_writable ? STGM_READWRITE : STGM_READ) | STGM_SHARE_EXCLUSIVE;
  HRESULT hr;
  if (isStorageKind(p.vt)) {
    IStorage* stg = nullptr;
    hr = m_holder->OpenStorage(name->c_str(), nullptr, mode, nullptr, 0, &stg);
    if (SUCCEEDED(hr)) out.pStorage = stg;
  } else {
    IStream* stm = nullptr;
    hr = m_holder->OpenStream(name->c_str(), nullptr, mode, 0, &stm);
    if (SUCCEEDED(hr)) out.pStream = stm;
  }
  // A value whose element is missing reads as absent; the set is damaged
  // there, not everywhere.
  if (hr == STG_E_FILENOTFOUND) return {};
  if (FAILED(hr))
    return base::failedCall(hr, "the element of property 0x%x cannot be opened", p.id);
  out.vt = p.vt;
  return {};
}

Result<std::vector<uint8_t>> PropertyStorage::writeIndirect(PROPID id, const PROPVARIANT& value,
                                                            uint16_t codePage) {
  // Windows names the element "prop" and the decimal id ([MS-OLEPS] 2.10).
  std::string ascii = "prop" + std::to_string(id);
  std::u16string name(ascii.begin(), ascii.end());
  const DWORD mode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE;
  HRESULT hr;
  if (isStorageKind(value.vt)) {
    if (!value.pStorage) return makeError(STG_E_INVALIDPARAMETER, "VT_STORAGE without a storage");
    IStorage* to = nullptr;
    hr = m_holder->CreateStorage(name.c_str(), mode, 0, 0, &to);
    if (SUCCEEDED(hr)) {
      hr = value.pStorage->CopyTo(0, nullptr, nullptr, to);
      to->Release();
    }
  } else {
    if (!value.pStream) return makeError(STG_E_INVALIDPARAMETER, "VT_STREAM without a stream");
    IStream* to = nullptr;
    hr = m_holder->CreateStream(name.c_str(), mode, 0, 0, &to);
    if (SUCCEEDED(hr)) {
      hr = copyStream(value.pStream, to);
      to->Release();
    }
  }
  if (FAILED(hr)) return base::failedCall(hr, "the element of property 0x%x cannot be written", id);
  auto chars = encodeName(name, codePage);
  if (!chars) return chars.error();
  std::vector<uint8_t> out(8, 0);
  base::storeLE16(&out[0], value.vt);
  base::storeLE32(&out[4], uint32_t(chars->size()));
  out.insert(out.end(), chars->begin(), chars->end());
  while (out.size() % 4) out.push_back(0);
  return out;
}

HRESULT STDMETHODCALLTYPE PropertyStorage::WriteMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                                         const PROPVARIANT rgpropvar[],
                                                         PROPID propidNameFirst) {
  std::lock_guard lock(m_lock);
  if (cpspec == 0) return S_OK;
  if (!rgpspec || !rgpropvar) return E_INVALIDARG;
  if (!m_writable) return STG_E_ACCESSDENIED;
  return atBoundary([&]() -> Result<void> {
    // Work on a copy so that a failing entry leaves the set as it was.
    Section s = section();
    for (ULONG i = 0; i < cpspec; ++i) {
      auto r = writeOne(s, rgpspec[i], rgpropvar[i], propidNameFirst);
      if (!r) return r;
    }
    size_t total = kStreamHeaderSize;
    for (const auto& sec : m_set.sections) {
      const Section& x = IsEqualGUID(sec.fmtid, m_fmtid) ? s : sec;
      total += kSectionEntrySize + 8;
      for (const auto& p : x.properties) total += 8 + p.bytes.size() + 3;
      for (const auto& e : x.dictionary) total += 8 + e.name.size() + 3;
    }
    if (total > kMaxSetSize)
      return makeError(STG_E_MEDIUMFULL, "the set would grow to %zu bytes", total);
    s.original.reset();
    section() = std::move(s);
    m_dirty = true;
    return {};
  });
}

HRESULT STDMETHODCALLTYPE PropertyStorage::DeleteMultiple(ULONG cpspec, const PROPSPEC rgpspec[]) {
  std::lock_guard lock(m_lock);
  if (cpspec == 0) return S_OK;
  if (!rgpspec) return E_INVALIDARG;
  if (!m_writable) return STG_E_ACCESSDENIED;
  return atBoundary([&]() -> Result<void> {
    std::vector<PROPID> ids;
    for (ULONG i = 0; i < cpspec; ++i) {
      auto id = resolve(rgpspec[i]);
      if (!id) return id.error();
      if (*id == PID_DICTIONARY || *id == PID_CODEPAGE || *id == PID_BEHAVIOR)
        return makeError(STG_E_INVALIDPARAMETER, "property id 0x%x cannot be deleted", *id);
      if (*id != PID_ILLEGAL) ids.push_back(*id);
    }
    Section& s = section();
    bool changed = false;
    for (PROPID id : ids) {
      // An indirect value's element goes with it.
      if (const Property* p = s.find(id); p && m_holder && isIndirect(p->vt))
        if (auto name = indirectName(*p, s.effectiveCodePage()))
          m_holder->DestroyElement(name->c_str());
      auto gone = std::remove_if(s.properties.begin(), s.properties.end(),
                                 [&](const Property& p) { return p.id == id; });
      changed |= gone != s.properties.end();
      s.properties.erase(gone, s.properties.end());
      // The name goes with the property: a stale name would be listed by
      // other readers of the file as a property that is not there.
      auto name = std::remove_if(s.dictionary.begin(), s.dictionary.end(),
                                 [&](const DictionaryEntry& e) { return e.id == id; });
      changed |= name != s.dictionary.end();
      s.dictionary.erase(name, s.dictionary.end());
    }
    if (changed) {
      s.original.reset();
      m_dirty = true;
    }
    return {};
  });
}

HRESULT STDMETHODCALLTYPE PropertyStorage::ReadPropertyNames(ULONG cpropid, const PROPID rgpropid[],
                                                             LPOLESTR rglpwstrName[]) {
  std::lock_guard lock(m_lock);
  if (cpropid == 0) return S_FALSE;
  if (!rgpropid || !rglpwstrName) return E_INVALIDARG;
  for (ULONG i = 0; i < cpropid; ++i) rglpwstrName[i] = nullptr;
  const Section& s = section();
  bool found = false;
  for (ULONG i = 0; i < cpropid && s.dictionaryReadable; ++i) {
    for (const auto& e : s.dictionary) {
      if (e.id != rgpropid[i]) continue;
      rglpwstrName[i] = copyName(decodeName(e.name, s.effectiveCodePage()));
      if (!rglpwstrName[i]) {
        for (ULONG k = 0; k < cpropid; ++k) {
          CoTaskMemFree(rglpwstrName[k]);
          rglpwstrName[k] = nullptr;
        }
        return STG_E_INSUFFICIENTMEMORY;
      }
      found = true;
      break;
    }
  }
  return found ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE PropertyStorage::WritePropertyNames(ULONG cpropid,
                                                              const PROPID rgpropid[],
                                                              const LPOLESTR rglpwstrName[]) {
  std::lock_guard lock(m_lock);
  if (cpropid == 0) return S_OK;
  if (!rgpropid || !rglpwstrName) return E_INVALIDARG;
  if (!m_writable) return STG_E_ACCESSDENIED;
  return atBoundary([&]() -> Result<void> {
    Section s = section();
    if (!s.dictionaryReadable)
      return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::ofProperty(0),
                    "the set's dictionary is damaged");
    const uint16_t cp = s.effectiveCodePage();
    for (ULONG i = 0; i < cpropid; ++i) TRY(nameProperty(s, rgpropid[i], rglpwstrName[i], cp));
    if (!s.hasDictionary())
      s.properties.insert(s.properties.begin(), {PID_DICTIONARY, 0, true, std::vector<uint8_t>{0}});
    s.original.reset();
    section() = std::move(s);
    m_dirty = true;
    return {};
  });
}

HRESULT STDMETHODCALLTYPE PropertyStorage::DeletePropertyNames(ULONG cpropid,
                                                               const PROPID rgpropid[]) {
  std::lock_guard lock(m_lock);
  if (cpropid == 0) return S_OK;
  if (!rgpropid) return E_INVALIDARG;
  if (!m_writable) return STG_E_ACCESSDENIED;
  Section& s = section();
  if (!s.dictionaryReadable) return STG_E_INVALIDHEADER;
  size_t before = s.dictionary.size();
  for (ULONG i = 0; i < cpropid; ++i)
    std::erase_if(s.dictionary, [&](const DictionaryEntry& e) { return e.id == rgpropid[i]; });
  if (s.dictionary.size() != before) {
    s.original.reset();
    m_dirty = true;
  }
  return S_OK;
}

Result<void> PropertyStorage::flush() {
  auto r = writeWholeStream(m_stream, serializePropertySet(m_set));
  if (!r) return r;
  HRESULT hr = m_stream->Commit(STGC_DEFAULT);
  if (FAILED(hr) && hr != E_NOTIMPL) return base::failedCall(hr, "commit of the stream failed");
  m_dirty = false;
  return {};
}

HRESULT STDMETHODCALLTYPE PropertyStorage::Commit(DWORD grfCommitFlags) {
  std::lock_guard lock(m_lock);
  if (grfCommitFlags & ~DWORD(STGC_OVERWRITE | STGC_ONLYIFCURRENT |
                              STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE | STGC_CONSOLIDATE))
    return STG_E_INVALIDFLAG;
  // The stream is held exclusively, so no other opening can have changed
  // the set and STGC_ONLYIFCURRENT always holds.
  if (!m_writable || !m_dirty) return S_OK;
  return atBoundary([&] { return flush(); });
}

HRESULT STDMETHODCALLTYPE PropertyStorage::Revert() {
  std::lock_guard lock(m_lock);
  if (!m_dirty) return S_OK;
  return atBoundary([&]() -> Result<void> {
    auto bytes = readWholeStream(m_stream);
    if (!bytes) return bytes.error();
    auto set = parsePropertySet(*bytes);
    // A set created but never committed has no stream content to go back
    // to; it keeps its fresh section.
    if (!set || !set->find(m_fmtid)) return {};
    m_set = std::move(set.value());
    m_dirty = false;
    return {};
  });
}

HRESULT STDMETHODCALLTYPE PropertyStorage::Enum(IEnumSTATPROPSTG** ppenum) {
  std::lock_guard lock(m_lock);
  if (!ppenum) return E_INVALIDARG;
  *ppenum = nullptr;
  return atBoundary([&]() -> Result<void> {
    const Section& s = section();
    std::vector<StatEntry> entries;
    for (const auto& p : s.properties) {
      // Windows lists the ordinary properties only: not the dictionary, the
      // code page, the locale or the behaviour.
      if (p.id == PID_DICTIONARY || p.id == PID_CODEPAGE || p.id == PID_LOCALE ||
          p.id == PID_BEHAVIOR)
        continue;
      StatEntry e{std::nullopt, p.id, p.vt};
      if (s.dictionaryReadable)
        for (const auto& d : s.dictionary)
          if (d.id == p.id) e.name = decodeName(d.name, s.effectiveCodePage());
      entries.push_back(std::move(e));
    }
    *ppenum = new StatEnumerator(std::move(entries), 0);
    return {};
  });
}

HRESULT STDMETHODCALLTYPE PropertyStorage::SetTimes(const FILETIME*, const FILETIME*,
                                                    const FILETIME*) {
  // A simple set keeps no times; Windows accepts the call and reads zero.
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyStorage::SetClass(REFCLSID clsid) {
  std::lock_guard lock(m_lock);
  if (!m_writable) return STG_E_ACCESSDENIED;
  if (!IsEqualGUID(m_set.clsid, clsid)) {
    m_set.clsid = clsid;
    m_dirty = true;
  }
  if (m_holder) return m_holder->SetClass(clsid);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyStorage::Stat(STATPROPSETSTG* p) {
  std::lock_guard lock(m_lock);
  if (!p) return E_INVALIDARG;
  std::memset(p, 0, sizeof *p);
  const Section& s = section();
  p->fmtid = m_fmtid;
  p->clsid = m_set.clsid;
  p->grfFlags = 0;
  if (s.effectiveCodePage() != kCodePageUnicode) p->grfFlags |= PROPSETFLAG_ANSI;
  if (s.caseSensitive()) p->grfFlags |= PROPSETFLAG_CASE_SENSITIVE;
  if (m_holder) p->grfFlags |= PROPSETFLAG_NONSIMPLE;
  p->dwOSVersion = m_set.osVersion;
  return S_OK;
}

}  // namespace velmora::propset
