// IPropertySetStorage over a storage, the property-set API functions, and
// the registration that lets the engine's root storage answer
// IID_IPropertySetStorage. Sets live as streams named after their FMTID
// (stream_name.h); the document-summary and user-defined sets share one
// stream as its two sections ([MS-OLEPS] 2.21), and each is opened,
// created and deleted without disturbing the other, as Windows does.
#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <new>

#include "cfb/property_set_hook.h"
#include "com/object.h"
#include "propset/property_storage.h"
#include "propset/snapshot_enumerator.h"
#include "propset/stream_name.h"

namespace velmora::propset {
namespace {

using base::makeError;

const GUID kDocSummary = {
    0xD5CDD502, 0x2E9C, 0x101B, {0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE}};
const GUID kUserDefined = {
    0xD5CDD505, 0x2E9C, 0x101B, {0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE}};
constexpr const char16_t* kContents = u"CONTENTS";
// What Windows 10 and later store; a reader of the file expects a Windows value.
constexpr uint32_t kOsVersion = 0x0002000A;
// The most a thread keeps of its buffer for set streams between opens: half
// the largest set Windows writes, so a document with a large thumbnail does
// not map and fault in a fresh buffer every time it is read.
constexpr size_t kKeptRoom = kMaxSetSize / 2;

using base::atBoundary;

// "property set SummaryInformation": the set's stream as a reason names it
// (the leading control character dropped, other text as ASCII or '?').
std::string streamText(REFFMTID fmtid) {
  std::string out = "property set ";
  for (char16_t c : streamNameFor(fmtid))
    if (c >= 0x20) out += c < 0x80 ? char(c) : '?';
  return out;
}

// The compound-file implementation needs exclusive sharing and read or
// read-write access; transactions only for non-simple sets.
HRESULT checkMode(DWORD grfMode, DWORD grfFlags, bool create) {
  const DWORD allowed = STGM_READ | STGM_WRITE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE |
                        STGM_SHARE_DENY_WRITE | STGM_SHARE_DENY_READ | STGM_SHARE_DENY_NONE |
                        STGM_TRANSACTED | STGM_DIRECT | (create ? STGM_CREATE : 0);
  if (grfMode & ~allowed) return STG_E_INVALIDFLAG;
  DWORD access = grfMode & 3;
  if (access != STGM_READ && access != STGM_READWRITE) return STG_E_INVALIDFUNCTION;
  if ((grfMode & 0x70) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFUNCTION;
  if ((grfMode & STGM_TRANSACTED) && !(grfFlags & PROPSETFLAG_NONSIMPLE))
    return STG_E_INVALIDFUNCTION;
  return S_OK;
}

bool isPair(REFFMTID fmtid) {
  return IsEqualGUID(fmtid, kUserDefined) || IsEqualGUID(fmtid, kDocSummary);
}

DWORD streamMode(DWORD grfMode) { return (grfMode & 3) | STGM_SHARE_EXCLUSIVE; }

// The modes this layer passes are always valid, so a storage that calls one
// of them an invalid flag is refusing write access through a read-only
// parent; Windows reports that as STG_E_ACCESSDENIED for property sets.
HRESULT accessCode(HRESULT hr, DWORD mode) {
  return hr == STG_E_INVALIDFLAG && (mode & 3) != STGM_READ ? STG_E_ACCESSDENIED : hr;
}

struct SetEnumeratorTraits {
  using Interface = IEnumSTATPROPSETSTG;
  using Entry = STATPROPSETSTG;
  using Stat = STATPROPSETSTG;
  static const IID& iid() { return IID_IEnumSTATPROPSETSTG; }
  static bool copy(const Entry& e, Stat& out) {
    out = e;
    return true;
  }
  static void release(Stat&) {}
};
using SetEnumerator = SnapshotEnumerator<SetEnumeratorTraits>;

// An opened element: the stream of the set and, for a non-simple set, the
// storage that holds it.
struct Opened {
  IStream* stream = nullptr;
  IStorage* holder = nullptr;
  ~Opened() {
    if (stream) stream->Release();
    if (holder) holder->Release();
  }
};

class PropertySetStorage final : public com::Object<IPropertySetStorage> {
 public:
  explicit PropertySetStorage(IStorage* root) : m_root(root) { m_root->AddRef(); }

  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_IPropertySetStorage); }
  // On Windows this is a face of the storage object itself.
  HRESULT queryOther(REFIID riid, void** ppv) override { return m_root->QueryInterface(riid, ppv); }

  HRESULT STDMETHODCALLTYPE Create(REFFMTID rfmtid, const CLSID* pclsid, DWORD grfFlags,
                                   DWORD grfMode, IPropertyStorage** ppprstg) override {
    if (!ppprstg) return STG_E_INVALIDPOINTER;
    *ppprstg = nullptr;
    if (grfFlags & ~DWORD(PROPSETFLAG_NONSIMPLE | PROPSETFLAG_ANSI | PROPSETFLAG_CASE_SENSITIVE |
                          PROPSETFLAG_UNBUFFERED))
      return STG_E_INVALIDFLAG;
    if (HRESULT hr = checkMode(grfMode, grfFlags, true); FAILED(hr)) return hr;
    return atBoundary([&] { return create(rfmtid, pclsid, grfFlags, grfMode, ppprstg); });
  }

  HRESULT STDMETHODCALLTYPE Open(REFFMTID rfmtid, DWORD grfMode,
                                 IPropertyStorage** ppprstg) override {
    if (!ppprstg) return STG_E_INVALIDPOINTER;
    *ppprstg = nullptr;
    if (HRESULT hr = checkMode(grfMode, 0, false); FAILED(hr)) return hr;
    return atBoundary([&] { return open(rfmtid, grfMode, ppprstg); });
  }

  HRESULT STDMETHODCALLTYPE Delete(REFFMTID rfmtid) override {
    return atBoundary([&] { return remove(rfmtid); });
  }

  HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSETSTG** ppenum) override {
    if (!ppenum) return E_INVALIDARG;
    *ppenum = nullptr;
    return atBoundary([&] { return enumerate(ppenum); });
  }

 private:
  ~PropertySetStorage() { m_root->Release(); }

  // Opens the element of `name` as a simple set's stream or a non-simple
  // set's storage with its CONTENTS stream.
  HRESULT openElement(const std::u16string& name, DWORD mode, Opened& out) {
    HRESULT hr = m_root->OpenStream(name.c_str(), nullptr, mode, 0, &out.stream);
    if (hr != STG_E_FILENOTFOUND) return accessCode(hr, mode);
    HRESULT hs = m_root->OpenStorage(name.c_str(), nullptr, mode, nullptr, 0, &out.holder);
    if (FAILED(hs)) return hs == STG_E_FILENOTFOUND ? hr : accessCode(hs, mode);
    hs = out.holder->OpenStream(kContents, nullptr, mode, 0, &out.stream);
    return hs == STG_E_FILENOTFOUND ? STG_E_INVALIDHEADER : accessCode(hs, mode);
  }

  // `writable`: the sections keep the bytes they were read from, which a
  // write of the stream reproduces for the sections it leaves alone; a
  // read-only open never writes, and spares the copy.
  static Result<PropertySet> load(IStream* stream, bool writable = true) {
    // A set only read keeps the stream as read, and its values are views of
    // it: one block, nothing copied a value.
    if (!writable) {
      ASSIGN(stored, readWholeStreamShared(stream));
      return parsePropertySetViewing(stored.first, stored.second);
    }
    // One buffer a thread for the streams as read: sets are opened one after
    // another, and each is parsed into its own copies before the next read.
    thread_local std::vector<uint8_t> room;
    auto n = readWholeStream(stream, room);
    if (!n) return n.error();
    auto set = parsePropertySet(std::span<const uint8_t>(room.data(), *n));
    if (room.size() > kKeptRoom) std::vector<uint8_t>().swap(room);
    return set;
  }

  Result<void> open(REFFMTID fmtid, DWORD grfMode, IPropertyStorage** out) {
    Opened el;
    HRESULT hr = openElement(streamNameFor(fmtid), streamMode(grfMode), el);
    if (FAILED(hr)) return base::failedCall(hr, "the set's element cannot be opened");
    auto set = load(el.stream, (grfMode & 3) == STGM_READWRITE);
    if (!set) return base::within(set.error(), streamText(fmtid));
    if (!set->find(fmtid)) {
      // The document-summary stream without the user-defined section: that
      // set does not exist, and Create adds it.
      if (IsEqualGUID(fmtid, kUserDefined) && set->find(kDocSummary))
        return makeError(STG_E_FILENOTFOUND, "no user-defined section");
      // Otherwise a stream is named after its set, so one without that
      // section is damaged. Calling the set absent would trap a writer
      // between Open (not found) and Create (already exists).
      return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(28),
                    "the stream holds no section of its FMTID");
    }
    *out = new PropertyStorage(el.stream, el.holder, std::move(set.value()), fmtid,
                               (grfMode & 3) == STGM_READWRITE, false);
    return {};
  }

  Result<void> create(REFFMTID fmtid, const CLSID* pclsid, DWORD grfFlags, DWORD grfMode,
                      IPropertyStorage** out) {
    const std::u16string name = streamNameFor(fmtid);
    const bool pair = isPair(fmtid);
    const DWORD rw = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    const bool nonSimple = (grfFlags & PROPSETFLAG_NONSIMPLE) && !pair;

    Opened el;
    PropertySet set;
    bool fresh = true;
    HRESULT hr = openElement(name, rw, el);
    if (SUCCEEDED(hr)) {
      TRY(keepOtherSection(el.stream, fmtid, grfMode & STGM_CREATE, set, fresh));
    } else if (hr != STG_E_FILENOTFOUND) {
      return base::failedCall(hr, "the set's element cannot be opened");
    }
    if (!el.stream) TRY(createElement(name, nonSimple, pclsid, el));
    if (fresh) {
      set = PropertySet{};
      set.osVersion = kOsVersion;
    }
    if (pclsid || fresh) set.clsid = pclsid ? *pclsid : GUID{};
    addSection(set, fmtid, grfFlags);
    auto w = writeWholeStream(el.stream, serializePropertySet(set));
    if (!w) return w;
    *out = new PropertyStorage(el.stream, el.holder, std::move(set), fmtid,
                               (grfMode & 3) == STGM_READWRITE, false);
    return {};
  }

  // Create over an existing stream. The document-summary stream keeps its
  // other section (into `set`, `fresh` cleared); any other stream, or a
  // damaged document-summary stream, starts over when `replace` allows.
  static Result<void> keepOtherSection(IStream* stream, REFFMTID fmtid, bool replace,
                                       PropertySet& set, bool& fresh) {
    const bool pair = isPair(fmtid);
    auto existing = load(stream);
    // Only damage lets the stream start over; a failed read is an error.
    if (!existing && existing.code() != STG_E_INVALIDHEADER) return existing.error();
    // A document-summary stream without its first section is as damaged
    // as one that does not parse.
    if (existing && pair && !existing->find(kDocSummary))
      existing =
          DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::where(), "no document-summary section");
    if (existing && pair) {
      // The other section of the document-summary stream stays.
      if (existing->find(fmtid) && !replace)
        return makeError(STG_E_FILEALREADYEXISTS, "the set exists");
      set = std::move(existing.value());
      fresh = false;
      std::erase_if(set.sections, [&](const Section& s) { return IsEqualGUID(s.fmtid, fmtid); });
    } else if (!replace && (existing || !pair)) {
      return makeError(STG_E_FILEALREADYEXISTS, "the set exists");
    }
    // Otherwise a damaged document-summary stream, or STGM_CREATE: the
    // stream starts over.
    return {};
  }

  // The set's stream, inside a storage of its own for a non-simple set.
  Result<void> createElement(const std::u16string& name, bool nonSimple, const CLSID* pclsid,
                             Opened& el) {
    const DWORD rw = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    if (!nonSimple) {
      HRESULT hs = m_root->CreateStream(name.c_str(), rw | STGM_CREATE, 0, 0, &el.stream);
      if (FAILED(hs))
        return base::failedCall(accessCode(hs, rw), "the set's stream cannot be created");
      return {};
    }
    HRESULT hs = m_root->CreateStorage(name.c_str(), rw | STGM_CREATE, 0, 0, &el.holder);
    if (FAILED(hs))
      return base::failedCall(accessCode(hs, rw), "the set's storage cannot be created");
    if (pclsid) el.holder->SetClass(*pclsid);
    hs = el.holder->CreateStream(kContents, rw | STGM_CREATE, 0, 0, &el.stream);
    if (FAILED(hs)) return base::failedCall(hs, "the CONTENTS stream cannot be created");
    return {};
  }

  static void addSection(PropertySet& set, REFFMTID fmtid, DWORD grfFlags) {
    Section section = newSection(fmtid, grfFlags);
    if (IsEqualGUID(fmtid, kUserDefined)) {
      // The user-defined set is the second section; Create makes the first
      // one too when it is missing (Win32 IPropertySetStorage remarks).
      if (!set.find(kDocSummary))
        set.sections.insert(set.sections.begin(), newSection(kDocSummary, grfFlags));
      set.sections.push_back(std::move(section));
    } else {
      set.sections.insert(set.sections.begin(), std::move(section));
    }
  }

  Result<void> remove(REFFMTID fmtid) {
    const std::u16string name = streamNameFor(fmtid);
    if (!IsEqualGUID(fmtid, kUserDefined)) {
      // Deleting the document summary removes the whole stream, and the
      // user-defined set with it (Win32 IPropertySetStorage remarks).
      HRESULT hr = m_root->DestroyElement(name.c_str());
      if (FAILED(hr)) return base::failedCall(hr, "the set cannot be deleted");
      return {};
    }
    Opened el;
    HRESULT hr = m_root->OpenStream(name.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                    &el.stream);
    if (FAILED(hr))
      return base::failedCall(accessCode(hr, STGM_READWRITE),
                              "the document-summary stream cannot be opened");
    auto set = load(el.stream);
    if (!set && set.code() != STG_E_INVALIDHEADER) return set.error();
    if (!set || !set->find(kDocSummary)) {
      // Nothing of a damaged stream can be kept; removing it lets the
      // caller create the set anew.
      el.stream->Release();
      el.stream = nullptr;
      hr = m_root->DestroyElement(name.c_str());
      if (FAILED(hr)) return base::failedCall(hr, "the damaged stream cannot be deleted");
      return {};
    }
    if (!set->find(fmtid)) return makeError(STG_E_FILENOTFOUND, "no user-defined section");
    std::erase_if(set->sections, [&](const Section& s) { return IsEqualGUID(s.fmtid, fmtid); });
    if (set->sections.empty()) {
      el.stream->Release();
      el.stream = nullptr;
      hr = m_root->DestroyElement(name.c_str());
      if (FAILED(hr)) return base::failedCall(hr, "the stream cannot be deleted");
      return {};
    }
    return writeWholeStream(el.stream, serializePropertySet(*set));
  }

  Result<void> enumerate(IEnumSTATPROPSETSTG** out) {
    IEnumSTATSTG* elements = nullptr;
    HRESULT hr = m_root->EnumElements(0, nullptr, 0, &elements);
    if (FAILED(hr)) return base::failedCall(hr, "the storage cannot be enumerated");
    std::vector<STATPROPSETSTG> sets;
    STATSTG st;
    while (elements->Next(1, &st, nullptr) == S_OK) {
      std::u16string name = st.pwcsName ? st.pwcsName : u"";
      CoTaskMemFree(st.pwcsName);
      if (st.type != STGTY_STREAM && st.type != STGTY_STORAGE) continue;
      auto fmtid = fmtidForStreamName(name);
      if (!fmtid) continue;
      STATPROPSETSTG s{};
      s.fmtid = *fmtid;
      // Class, flags and writer come from the set itself when it can be
      // read now (it may be open elsewhere, or damaged).
      Opened el;
      if (SUCCEEDED(openElement(name, STGM_READ | STGM_SHARE_EXCLUSIVE, el))) {
        auto set = load(el.stream);
        if (set) {
          s.clsid = set->clsid;
          s.dwOSVersion = set->osVersion;
          if (const Section* sec = set->find(*fmtid)) {
            if (sec->effectiveCodePage() != kCodePageUnicode) s.grfFlags |= PROPSETFLAG_ANSI;
            if (sec->caseSensitive()) s.grfFlags |= PROPSETFLAG_CASE_SENSITIVE;
          }
        }
        if (el.holder) s.grfFlags |= PROPSETFLAG_NONSIMPLE;
      }
      // The user-defined set is never listed; its stream lists as the
      // document summary (Win32 IPropertySetStorage::Enum).
      sets.push_back(s);
    }
    elements->Release();
    *out = new SetEnumerator(std::move(sets), 0);
    return {};
  }

  IStorage* m_root;
};

// The engine asks through this seam for the root's IPropertySetStorage.
const bool kRegistered = [] {
  cfb::setPropertySetFactory(&createPropertySetStorage);
  return true;
}();

}  // namespace

HRESULT createPropertySetStorage(IStorage* root, IPropertySetStorage** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (!root) return E_INVALIDARG;
  (void)kRegistered;
  *out = new (std::nothrow) PropertySetStorage(root);
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace velmora::propset

EXTERN_C HRESULT WINAPI StgCreatePropSetStg(IStorage* pStorage, DWORD reserved,
                                            IPropertySetStorage** ppPropSetStg) {
  if (!ppPropSetStg) return E_INVALIDARG;
  *ppPropSetStg = nullptr;
  if (!pStorage || reserved) return E_INVALIDARG;
  return velmora::propset::createPropertySetStorage(pStorage, ppPropSetStg);
}

EXTERN_C HRESULT WINAPI FmtIdToPropStgName(const FMTID* pfmtid, LPOLESTR oszName) {
  if (!pfmtid || !oszName) return E_INVALIDARG;
  std::u16string name = velmora::propset::streamNameFor(*pfmtid);
  std::copy(name.begin(), name.end(), oszName);
  oszName[name.size()] = 0;
  return S_OK;
}

EXTERN_C HRESULT WINAPI PropStgNameToFmtId(const LPOLESTR oszName, FMTID* pfmtid) {
  if (!oszName) return STG_E_INVALIDNAME;
  if (!pfmtid) return E_INVALIDARG;
  auto fmtid = velmora::propset::fmtidForStreamName(oszName);
  if (!fmtid) return STG_E_INVALIDNAME;
  *pfmtid = *fmtid;
  return S_OK;
}
