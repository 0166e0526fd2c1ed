// IStorage over a Document. Mode rules and status codes follow the
// compound-file implementation as Windows shows it: children need
// STGM_SHARE_EXCLUSIVE, an element opens once at a time, access never
// exceeds the parent's, and a released storage reverts what was opened
// through it.
#include "cfb/storage.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "cfb/property_set_hook.h"
#include "com/object.h"
#include "text/text.h"
#include "time/calendar.h"
#include "cfb/modes.h"

// Returns the HRESULT of a failed Result expression.
#define CFB_HR(expr)                                  \
  do {                                                \
    auto cfbHr_ = (expr);                             \
    if (!cfbHr_) return base::report(cfbHr_.error()); \
  } while (0)

namespace velmora::cfb {

namespace {

// The flag checks shared by every child open or create.
HRESULT checkChildMode(DWORD mode, bool create, bool storage) {
  if ((mode & ~kValidModeBits) || (mode & 3) == 3) return STG_E_INVALIDFLAG;
  if (mode & STGM_DELETEONRELEASE)
    return (create && storage) ? STG_E_INVALIDFLAG : STG_E_INVALIDFUNCTION;
  if (mode & (STGM_PRIORITY | STGM_CONVERT | STGM_SIMPLE | STGM_NOSCRATCH | STGM_NOSNAPSHOT |
              STGM_DIRECT_SWMR))
    return STG_E_INVALIDFLAG;
  if ((mode & 0x70) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
  if (mode & STGM_TRANSACTED) return STG_E_INVALIDFUNCTION;
  if (!create && (mode & STGM_CREATE)) return STG_E_INVALIDFLAG;
  return S_OK;
}

uint64_t nowFiletime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return time::ticksOfUnix(ts);
}

class StorageObj final : public com::Object<IStorage> {
 public:
  StorageObj(std::shared_ptr<Shared> shared, std::shared_ptr<OpenNode> node, DWORD mode, bool root)
      : m_shared(std::move(shared)), m_node(std::move(node)), m_mode(mode), m_root(root) {}

  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_IStorage); }
  // The root's property sets are another object, made by the property-set
  // room when it is linked in.
  HRESULT queryOther(REFIID riid, void** ppv) override {
    if (!m_root || !IsEqualIID(riid, IID_IPropertySetStorage)) return E_NOINTERFACE;
    auto factory = propertySetFactory();
    if (!factory) return E_NOINTERFACE;
    return factory(this, reinterpret_cast<IPropertySetStorage**>(ppv));
  }
  // The root's last release closes the document; any other storage's
  // reverts what was opened through it.
  void onLastRelease() noexcept override {
    std::lock_guard lock(m_shared->mutex);
    if (m_root) {
      m_shared->close();
    } else {
      m_shared->revert(m_node);
    }
  }

  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2,
                                         IStream** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      return createElement(name, mode, r1, r2, false, reinterpret_cast<void**>(out));
    });
  }

  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* name, void* r1, DWORD mode, DWORD r2,
                                       IStream** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return atBoundary([&]() -> HRESULT {
      // The reserved arguments are refused before a reverted element.
      ElementGuard guard(*m_shared, *m_node);
      if (r1 || r2) return STG_E_INVALIDPARAMETER;
      if (guard.reverted()) return STG_E_REVERTED;
      return openElement(name, mode, false, reinterpret_cast<void**>(out));
    });
  }

  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2,
                                          IStorage** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      return createElement(name, mode, r1, r2, true, reinterpret_cast<void**>(out));
    });
  }

  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage* priority, DWORD mode,
                                        SNB exclude, DWORD reserved, IStorage** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return atBoundary([&]() -> HRESULT {
      ElementGuard guard(*m_shared, *m_node);
      if (priority || exclude || reserved) return STG_E_INVALIDPARAMETER;
      if (guard.reverted()) return STG_E_REVERTED;
      return openElement(name, mode, true, reinterpret_cast<void**>(out));
    });
  }

  HRESULT STDMETHODCALLTYPE CopyTo(DWORD ciid, const IID* rgiid, SNB exclude,
                                   IStorage* dest) override;
  HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR* name, IStorage* dest,
                                          const OLECHAR* newName, DWORD flags) override;

  HRESULT STDMETHODCALLTYPE Commit(DWORD) override {
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      Document& doc = *m_shared->doc;
      if (!m_root || !doc.writable()) return S_OK;
      if (doc.hasChanges()) {
        auto p = m_shared->locks.priorityHeld(doc.file());
        if (p.ok() && p.value()) return STG_E_LOCKVIOLATION;
      }
      return toHresult(doc.commit());
    });
  }

  HRESULT STDMETHODCALLTYPE Revert() override {
    // Direct mode: nothing to undo.
    return ElementGuard(*m_shared, *m_node).reverted() ? STG_E_REVERTED : S_OK;
  }

  HRESULT STDMETHODCALLTYPE EnumElements(DWORD r1, void* r2, DWORD r3,
                                         IEnumSTATSTG** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      if (r1 || r2 || r3) return STG_E_INVALIDPARAMETER;
      *out = makeEnum(this, m_shared, m_node);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR* name) override {
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      std::u16string n;
      if (HRESULT hr = checkName(name, &n); FAILED(hr)) return hr;
      if (!canWrite(m_mode) || !m_shared->doc->writable()) return STG_E_ACCESSDENIED;
      Document& doc = *m_shared->doc;
      auto sid = doc.dir().find(m_node->sid, n);
      if (!sid) return STG_E_FILENOTFOUND;
      HRESULT hr = toHresult(doc.destroy(*sid));
      m_shared->revertUnreachable();
      return hr;
    });
  }

  HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR* oldName, const OLECHAR* newName) override {
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      std::u16string o, n;
      if (HRESULT hr = checkName(oldName, &o); FAILED(hr)) return hr;
      if (HRESULT hr = checkName(newName, &n); FAILED(hr)) return hr;
      if (!canWrite(m_mode) || !m_shared->doc->writable()) return STG_E_ACCESSDENIED;
      CFB_HR(m_shared->doc->checkWritable());
      Directory& dir = m_shared->doc->dir();
      auto sid = dir.find(m_node->sid, o);
      if (!sid) return STG_E_FILENOTFOUND;
      auto other = dir.find(m_node->sid, n);
      if (other && *other != *sid) return STG_E_FILEALREADYEXISTS;
      if (isOpen(*sid)) return STG_E_ACCESSDENIED;
      dir.rename(*sid, n);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR* name, const FILETIME* pctime,
                                            const FILETIME* patime,
                                            const FILETIME* pmtime) override {
    (void)patime;  // no access times are kept
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      if (!canWrite(m_mode) || !m_shared->doc->writable()) return STG_E_ACCESSDENIED;
      CFB_HR(m_shared->doc->checkWritable());
      Directory& dir = m_shared->doc->dir();
      StreamId sid = m_node->sid;
      if (name) {
        std::u16string n;
        if (HRESULT hr = checkName(name, &n); FAILED(hr)) return hr;
        auto found = dir.find(m_node->sid, n);
        if (!found) return STG_E_FILENOTFOUND;
        sid = *found;
      }
      DirEntry& e = dir.entry(sid);
      if (e.type == EntryType::Stream) return S_OK;  // streams keep no times
      auto ft = [](const FILETIME* f) {
        return uint64_t(f->dwLowDateTime) | (uint64_t(f->dwHighDateTime) << 32);
      };
      if (pctime && e.type != EntryType::Root) e.ctime = ft(pctime);
      if (pmtime) e.mtime = ft(pmtime);
      dir.touch(sid);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override {
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      if (!canWrite(m_mode) || !m_shared->doc->writable()) return STG_E_ACCESSDENIED;
      CFB_HR(m_shared->doc->checkWritable());
      DirEntry& e = m_shared->doc->dir().entry(m_node->sid);
      e.clsid = clsid;
      m_shared->doc->dir().touch(m_node->sid);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD bits, DWORD mask) override {
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      if (!canWrite(m_mode) || !m_shared->doc->writable()) return STG_E_ACCESSDENIED;
      CFB_HR(m_shared->doc->checkWritable());
      DirEntry& e = m_shared->doc->dir().entry(m_node->sid);
      e.stateBits = (e.stateBits & ~mask) | (bits & mask);
      m_shared->doc->dir().touch(m_node->sid);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD flag) override {
    if (!st) return STG_E_INVALIDPOINTER;
    return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
      if (flag != STATFLAG_DEFAULT && flag != STATFLAG_NONAME) return STG_E_INVALIDFLAG;
      bool noName = flag == STATFLAG_NONAME;
      if (m_root) {
        HRESULT hr = fillStat(*m_shared->doc, 0, st, true);
        if (FAILED(hr)) return hr;
        st->mtime = st->ctime = st->atime = FILETIME{};
        struct stat fs;
        if (!m_shared->nativePath.empty() && ::stat(m_shared->nativePath.c_str(), &fs) == 0) {
          auto conv = [](const struct timespec& t) {
            return time::fileTimeOf(time::ticksOfUnix(t));
          };
          st->mtime = conv(fs.st_mtim);
          st->ctime = conv(fs.st_ctim);
          st->atime = conv(fs.st_atim);
        }
        if (!noName) {
          // Resolved on first demand: resolving costs a call per component
          // of the path, and only Stat's callers want the full name.
          if (m_shared->path.empty() && !m_shared->nativePath.empty())
            m_shared->path = fullPath(m_shared->nativePath);
          size_t bytes = (m_shared->path.size() + 1) * sizeof(OLECHAR);
          st->pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
          if (!st->pwcsName) return STG_E_INSUFFICIENTMEMORY;
          std::memcpy(st->pwcsName, m_shared->path.c_str(), bytes);
        }
      } else {
        HRESULT hr = fillStat(*m_shared->doc, m_node->sid, st, noName);
        if (FAILED(hr)) return hr;
      }
      st->grfMode = m_mode;
      return S_OK;
    });
  }

 private:
  bool isOpen(StreamId sid) {
    auto it = m_shared->open.find(sid);
    if (it == m_shared->open.end()) return false;
    auto node = it->second.lock();
    return node && !node->reverted;
  }

  std::shared_ptr<OpenNode> registerChild(StreamId sid) {
    auto node = std::make_shared<OpenNode>();
    node->sid = sid;
    m_shared->open[sid] = node;
    m_node->children.push_back(node);
    return node;
  }

  // Both under an ElementGuard, the element not reverted.
  HRESULT openElement(const OLECHAR* name, DWORD mode, bool storage, void** out) {
    std::u16string n;
    if (HRESULT hr = checkName(name, &n); FAILED(hr)) return hr;
    if (HRESULT hr = checkChildMode(mode, false, storage); FAILED(hr)) return hr;
    if (canWrite(mode) && (!canWrite(m_mode) || !m_shared->doc->writable()))
      return STG_E_INVALIDFLAG;
    Document& doc = *m_shared->doc;
    auto sid = doc.dir().find(m_node->sid, n);
    if (!sid) return STG_E_FILENOTFOUND;
    EntryType want = storage ? EntryType::Storage : EntryType::Stream;
    if (doc.dir().entry(*sid).type != want) return STG_E_FILENOTFOUND;
    if (isOpen(*sid)) return STG_E_ACCESSDENIED;
    auto node = registerChild(*sid);
    if (storage)
      *out = makeStorage(m_shared, node, mode, false);
    else
      *out = makeStream(m_shared, node, mode, 0);
    return S_OK;
  }

  HRESULT createElement(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2, bool storage,
                        void** out) {
    std::u16string n;
    if (HRESULT hr = checkName(name, &n); FAILED(hr)) return hr;
    if (r1 || r2) return STG_E_INVALIDPARAMETER;
    if (HRESULT hr = checkChildMode(mode, true, storage); FAILED(hr)) return hr;
    Document& doc = *m_shared->doc;
    Directory& dir = doc.dir();
    auto existing = dir.find(m_node->sid, n);
    if (existing && !(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
    if (!canWrite(m_mode) || !doc.writable())
      return existing ? STG_E_FILEALREADYEXISTS : STG_E_ACCESSDENIED;
    CFB_HR(doc.checkWritable());
    if (existing) {
      // STGM_CREATE replaces a stream or a storage of that name; its open
      // instances are reverted.
      CFB_HR(doc.destroy(*existing));
      m_shared->revertUnreachable();
    }
    DirEntry e;
    e.name = n;
    e.type = storage ? EntryType::Storage : EntryType::Stream;
    if (storage) e.ctime = e.mtime = nowFiletime();
    auto sid = dir.add(m_node->sid, std::move(e));
    if (!sid) return base::report(sid.error());
    auto node = registerChild(*sid);
    if (storage)
      *out = makeStorage(m_shared, node, mode & ~STGM_CREATE, false);
    else
      *out = makeStream(m_shared, node, mode & ~STGM_CREATE, 0);
    return S_OK;
  }

  std::shared_ptr<Shared> m_shared;
  std::shared_ptr<OpenNode> m_node;
  DWORD m_mode;
  bool m_root;

 public:
  Shared& shared() { return *m_shared; }
  StreamId sid() const { return m_node->sid; }
};

bool excluded(SNB exclude, const std::u16string& name) {
  if (!exclude) return false;
  for (SNB p = exclude; *p; ++p)
    if (compareNames(*p, name) == 0) return true;
  return false;
}

HRESULT copyStreamData(Document& doc, StreamId sid, IStream* out) {
  std::vector<uint8_t> buf(65536);
  uint64_t pos = 0;
  for (;;) {
    auto n = doc.readStream(sid, pos, buf);
    if (!n) return base::report(n.error());
    if (n.value() == 0) return S_OK;
    ULONG written = 0;
    HRESULT hr = out->Write(buf.data(), ULONG(n.value()), &written);
    if (FAILED(hr)) return hr;
    pos += n.value();
  }
}

HRESULT copyTree(StorageObj* src, StreamId from, IStorage* dest, bool noStorages, bool noStreams,
                 SNB exclude, bool top);

// Copies the children of `from` into `dest`: a stream
// replaces a same-named element, a storage merges into a same-named storage.
HRESULT copyTree(StorageObj* src, StreamId from, IStorage* dest, bool noStorages, bool noStreams,
                 SNB exclude, bool top) {
  Document& doc = *src->shared().doc;
  std::vector<StreamId> kids = doc.dir().children(from);
  for (StreamId k : kids) {
    const DirEntry e = doc.dir().entry(k);
    if (top && excluded(exclude, e.name)) continue;
    std::u16string name = e.name;
    if (e.type == EntryType::Stream) {
      if (noStreams) continue;
      IStream* out = nullptr;
      HRESULT hr = dest->CreateStream(
          name.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, 0, &out);
      if (FAILED(hr)) return hr;
      hr = copyStreamData(doc, k, out);
      out->Release();
      if (FAILED(hr)) return hr;
    } else if (e.type == EntryType::Storage) {
      if (noStorages) continue;
      IStorage* sub = nullptr;
      HRESULT hr = dest->OpenStorage(name.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                     nullptr, 0, &sub);
      if (hr == STG_E_FILENOTFOUND)
        hr = dest->CreateStorage(name.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE,
                                 0, 0, &sub);
      if (FAILED(hr)) return hr;
      sub->SetClass(e.clsid);
      sub->SetStateBits(e.stateBits, 0xFFFFFFFF);
      hr = copyTree(src, k, sub, noStorages, noStreams, nullptr, false);
      sub->Release();
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

// True when `dest` is an object of this document at or below `sid`.
bool destInside(StorageObj* src, IStorage* dest) {
  // Every storage of the engine is a StorageObj; anything else cannot be
  // inside this document.
  auto* other = dynamic_cast<StorageObj*>(dest);
  if (!other || &other->shared() != &src->shared()) return false;
  Directory& dir = src->shared().doc->dir();
  for (StreamId cur = other->sid(); cur != kNoStream;
       cur = cur == 0 ? kNoStream : dir.parentOf(cur))
    if (cur == src->sid()) return true;
  return false;
}

}  // namespace

HRESULT STDMETHODCALLTYPE StorageObj::CopyTo(DWORD ciid, const IID* rgiid, SNB exclude,
                                             IStorage* dest) {
  if (!dest) return STG_E_INVALIDPOINTER;
  return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
    bool noStorages = false, noStreams = false;
    for (DWORD i = 0; rgiid && i < ciid; ++i) {
      if (IsEqualIID(rgiid[i], IID_IStorage)) noStorages = true;
      if (IsEqualIID(rgiid[i], IID_IStream)) noStreams = true;
    }
    if (!noStorages && destInside(this, dest)) return STG_E_ACCESSDENIED;
    if (noStorages) exclude = nullptr;  // ignored when storages are left out
    const DirEntry& me = m_shared->doc->dir().entry(m_node->sid);
    dest->SetClass(me.clsid);
    return copyTree(this, m_node->sid, dest, noStorages, noStreams, exclude, true);
  });
}

HRESULT STDMETHODCALLTYPE StorageObj::MoveElementTo(const OLECHAR* name, IStorage* dest,
                                                    const OLECHAR* newName, DWORD flags) {
  if (!dest) return STG_E_INVALIDPOINTER;
  return onOpenElement(*m_shared, *m_node, [&]() -> HRESULT {
    if (flags != STGMOVE_MOVE && flags != STGMOVE_COPY) return STG_E_INVALIDFLAG;
    std::u16string n, nn;
    if (HRESULT hr = checkName(name, &n); FAILED(hr)) return hr;
    if (HRESULT hr = checkName(newName, &nn); FAILED(hr)) return hr;
    Document& doc = *m_shared->doc;
    auto sid = doc.dir().find(m_node->sid, n);
    if (!sid) return STG_E_FILENOTFOUND;
    if (isOpen(*sid)) return STG_E_ACCESSDENIED;
    if (flags == STGMOVE_MOVE && !canWrite(m_mode)) return STG_E_ACCESSDENIED;
    if (auto* other = dynamic_cast<StorageObj*>(dest);
        other && &other->shared() == m_shared.get() && other->sid() == m_node->sid &&
        compareNames(n, nn) == 0)
      return STG_E_ACCESSDENIED;
    const DirEntry e = doc.dir().entry(*sid);
    HRESULT hr;
    if (e.type == EntryType::Stream) {
      IStream* out = nullptr;
      hr = dest->CreateStream(nn.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &out);
      if (FAILED(hr)) return hr;
      hr = copyStreamData(doc, *sid, out);
      out->Release();
    } else {
      IStorage* sub = nullptr;
      hr = dest->CreateStorage(nn.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &sub);
      if (FAILED(hr)) return hr;
      sub->SetClass(e.clsid);
      sub->SetStateBits(e.stateBits, 0xFFFFFFFF);
      hr = copyTree(this, *sid, sub, false, false, nullptr, false);
      sub->Release();
    }
    if (FAILED(hr) || flags == STGMOVE_COPY) return hr;
    auto again = doc.dir().find(m_node->sid, n);
    if (!again) return S_OK;
    hr = toHresult(doc.destroy(*again));
    m_shared->revertUnreachable();
    return hr;
  });
}

IStorage* makeStorage(std::shared_ptr<Shared> shared, std::shared_ptr<OpenNode> node, DWORD mode,
                      bool root) {
  return new StorageObj(std::move(shared), std::move(node), mode, root);
}

// Both run in Release, which cannot report, so neither allocates: the walk
// recurses (open elements nest no deeper than storages do) instead of
// keeping a stack.
void Shared::revert(const std::shared_ptr<OpenNode>& node) {
  if (!node->reverted) {
    node->reverted = true;
    auto it = open.find(node->sid);
    if (it != open.end() && it->second.lock() == node) open.erase(it);
  }
  for (auto& w : node->children)
    if (auto c = w.lock()) revert(c);
  node->children.clear();
}

void Shared::revertUnreachable() {
  // Each pass reverts one element, which may drop entries from `open`, so
  // the scan starts again; few elements are ever open at once.
  for (bool again = true; again;) {
    again = false;
    for (auto& [sid, w] : open) {
      auto node = w.lock();
      if (node && !node->reverted && !doc->dir().reachable(sid)) {
        revert(node);
        again = true;
        break;
      }
    }
  }
}

std::u16string fullPath(const std::string& native) {
  char buf[PATH_MAX];
  std::string abs = native;
  if (::realpath(native.c_str(), buf)) abs = buf;
  // UTF-8 back to UTF-16 for Stat's name.
  return text::utf16FromUtf8(abs);
}

void Shared::close() {
  if (!doc) return;
  // Direct mode: the final release writes what Commit would.
  if (doc->writable() && doc->hasChanges()) (void)doc->commit();
  // Closing the file below drops its locks; no call for each.
  for (auto& [sid, w] : open)
    if (auto n = w.lock()) n->reverted = true;
  open.clear();
  doc.reset();
  if (deleteOnRelease && !nativePath.empty()) ::unlink(nativePath.c_str());
}

HRESULT checkName(const OLECHAR* name, std::u16string* out) {
  if (!name) return STG_E_INVALIDNAME;
  std::u16string n(name);
  if (n.empty() || n.size() > kMaxNameChars) return STG_E_INVALIDNAME;
  for (char16_t c : n)
    if (c == u'/' || c == u'\\' || c == u':' || c == u'!') return STG_E_INVALIDNAME;
  *out = std::move(n);
  return S_OK;
}

HRESULT fillStat(Document& doc, StreamId sid, STATSTG* st, bool noName) {
  std::memset(st, 0, sizeof *st);
  const DirEntry& e = doc.dir().entry(sid);
  if (!noName) {
    size_t bytes = (e.name.size() + 1) * sizeof(OLECHAR);
    st->pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (!st->pwcsName) return STG_E_INSUFFICIENTMEMORY;
    std::memcpy(st->pwcsName, e.name.c_str(), bytes);
  }
  auto ft = [](uint64_t v) { return FILETIME{DWORD(v), DWORD(v >> 32)}; };
  if (e.type == EntryType::Stream) {
    st->type = STGTY_STREAM;
    st->cbSize.QuadPart = e.size;
  } else {
    st->type = STGTY_STORAGE;
    st->clsid = e.clsid;
    st->grfStateBits = e.stateBits;
    st->mtime = ft(e.mtime);
    st->ctime = ft(e.ctime);
  }
  return S_OK;
}

}  // namespace velmora::cfb
