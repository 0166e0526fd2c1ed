// The Stg* entry points: mode checks for a root, the file, the sharing
// locks, then the Document.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "text/text.h"
#include "cfb/header.h"
#include "cfb/modes.h"
#include "cfb/property_set_hook.h"
#include "cfb/storage.h"

namespace velmora::cfb {

namespace {

// The valid direct-mode roots; transacted, simple and SWMR modes are
// not supported by this engine and answer STG_E_INVALIDFUNCTION.
HRESULT checkOpenMode(DWORD mode) {
  const DWORD access = mode & 3, share = mode & 0x70;
  if ((mode & ~kValidModeBits) || access == 3) return STG_E_INVALIDFLAG;
  if (share != 0 && share != 0x10 && share != 0x20 && share != 0x30 && share != 0x40)
    return STG_E_INVALIDFLAG;
  if (mode & (STGM_CREATE | STGM_CONVERT)) return STG_E_INVALIDFLAG;
  if (mode & STGM_PRIORITY) {
    if (mode & STGM_DELETEONRELEASE) return STG_E_INVALIDFUNCTION;
    if (access != STGM_READ ||
        (mode & (STGM_TRANSACTED | STGM_SIMPLE | STGM_NOSCRATCH | STGM_NOSNAPSHOT)))
      return STG_E_INVALIDFLAG;
    return S_OK;
  }
  if (mode & STGM_DELETEONRELEASE) return STG_E_INVALIDFLAG;
  if (mode & (STGM_NOSCRATCH | STGM_NOSNAPSHOT))
    return (mode & STGM_TRANSACTED) ? STG_E_INVALIDFUNCTION : STG_E_INVALIDFLAG;
  if (mode & (STGM_TRANSACTED | STGM_SIMPLE | STGM_DIRECT_SWMR)) return STG_E_INVALIDFUNCTION;
  if (access == STGM_READ) {
    if (share == STGM_SHARE_EXCLUSIVE || share == STGM_SHARE_DENY_WRITE) return S_OK;
    return STG_E_INVALIDFLAG;  // READ with DENY_NONE or DENY_READ is refused in direct mode
  }
  return share == STGM_SHARE_EXCLUSIVE ? S_OK : STG_E_INVALIDFLAG;
}

HRESULT checkCreateMode(DWORD mode) {
  const DWORD access = mode & 3, share = mode & 0x70;
  if ((mode & ~kValidModeBits) || access == 3) return STG_E_INVALIDFLAG;
  if (mode & (STGM_PRIORITY | STGM_CONVERT | STGM_NOSCRATCH | STGM_NOSNAPSHOT))
    return STG_E_INVALIDFLAG;
  if (mode & (STGM_TRANSACTED | STGM_SIMPLE | STGM_DIRECT_SWMR)) return STG_E_INVALIDFUNCTION;
  if (access == STGM_READ || share != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
  return S_OK;
}

// Priority read roots open in this process, by their file's identity. A
// priority read of the same file while one is open shares its document
// rather than opening, locking and reading the file again: both deny
// nothing, and the file cannot change under them (a priority open keeps
// writers out), so the second sees what an open of its own would. The file
// is found by its identity, not its name, so a file renamed over the path
// in the meantime is opened afresh.
struct LiveRoots {
  std::mutex mutex;
  std::vector<std::weak_ptr<Shared>> roots;
};
LiveRoots& liveRoots() {
  static LiveRoots* live = new LiveRoots;  // never destroyed: roots may outlive static teardown
  return *live;
}

bool isPriorityRead(DWORD mode) { return (mode & STGM_PRIORITY) && (mode & 3) == STGM_READ; }

void addLive(const std::shared_ptr<Shared>& shared) {
  LiveRoots& live = liveRoots();
  std::lock_guard lock(live.mutex);
  std::erase_if(live.roots, [](const std::weak_ptr<Shared>& w) { return w.expired(); });
  live.roots.push_back(shared);
}

// The document of a live priority read root of the file at `native`, with
// the mutex that guards it; null when there is none (and then without a
// call when no such root is open at all).
std::shared_ptr<Shared> findLive(const std::string& native) {
  LiveRoots& live = liveRoots();
  {
    std::lock_guard lock(live.mutex);
    std::erase_if(live.roots, [](const std::weak_ptr<Shared>& w) { return w.expired(); });
    if (live.roots.empty()) return nullptr;
  }
  // The file is looked at outside the lock, which every open of every
  // thread takes; the roots are looked through again after.
  struct stat st;
  if (::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  std::lock_guard lock(live.mutex);
  for (auto& w : live.roots) {
    auto shared = w.lock();
    if (!shared || shared->device != uint64_t(st.st_dev) || shared->inode != uint64_t(st.st_ino))
      continue;
    std::lock_guard docLock(shared->mutex);
    if (shared->doc) return shared;
  }
  return nullptr;
}

HRESULT finishRoot(std::unique_ptr<Document> doc, DWORD mode, const std::string& native,
                   bool deleteOnRelease, SharingLocks locks, IStorage** out) {
  auto shared = std::make_shared<Shared>();
  shared->doc = std::move(doc);
  if (isPriorityRead(mode) && shared->doc->file().identity(&shared->device, &shared->inode))
    addLive(shared);
  shared->locks = locks;
  shared->nativePath = native;
  shared->deleteOnRelease = deleteOnRelease;
  auto node = std::make_shared<OpenNode>();
  node->sid = 0;
  *out = makeStorage(shared, node, mode, true);
  return S_OK;
}

// StgIsStorageFile's file, checked and open, for the open that usually
// follows on the same thread (a host asks first, then opens): that open
// spares opening, checking and closing the file again. Any later engine call
// on the thread takes or drops it, so a thread keeps at most one.
struct ProbedFile {
  std::string path;
  std::unique_ptr<File> file;
};
thread_local ProbedFile t_probed;

std::unique_ptr<File> takeProbed(const std::string& native) {
  std::unique_ptr<File> file = std::move(t_probed.file);
  bool same = file && t_probed.path == native;
  t_probed.path.clear();
  return same ? std::move(file) : nullptr;
}

// Opens the root; a failed open closes the file, which drops its locks.
HRESULT openRoot(const WCHAR* name, DWORD mode, IStorage** out) {
  if (HRESULT hr = checkOpenMode(mode); FAILED(hr)) return hr;
  std::string native = pathToUtf8(name);
  const bool write = (mode & 3) != STGM_READ;
  if (isPriorityRead(mode)) {
    if (auto live = findLive(native)) {
      auto shared = std::make_shared<Shared>(live->mutexHolder);
      {
        std::lock_guard lock(live->mutex);
        shared->doc = live->doc;
      }
      // (Closed since it was found: the file is opened as usual.)
      if (shared->doc) {
        (void)takeProbed("");
        shared->nativePath = native;
        auto node = std::make_shared<OpenNode>();
        node->sid = 0;
        *out = makeStorage(shared, node, mode, true);
        return S_OK;
      }
    }
  }
  std::unique_ptr<File> file = takeProbed(native);
  const bool checked = file && !write;
  if (!checked) {
    auto opened = openPosixFileUnchecked(native, write, Disposition::OpenExisting);
    if (!opened) return base::report(opened.error());
    file = std::move(opened.value());
  }
  // Locks first, then the file's kind and size in one look under them.
  SharingLocks locks;
  if (auto r = locks.acquire(*file, mode); !r) {
    if (!checked) {
      if (auto kind = file->requireRegular(false); !kind) return base::report(kind.error());
    }
    return base::report(r.error());
  }
  if (!checked) {
    if (auto kind = file->requireRegular(true); !kind) return base::report(kind.error());
  }
  auto doc = Document::open(std::move(file), write);
  if (!doc) return base::report(doc.error());
  return finishRoot(std::move(doc.value()), mode, native, false, locks, out);
}

HRESULT createRoot(const WCHAR* name, DWORD mode, int version, IStorage** out) {
  if (HRESULT hr = checkCreateMode(mode); FAILED(hr)) return hr;
  std::string native;
  bool temp = false;
  if (name) {
    native = pathToUtf8(name);
  } else {
    // No name: a scratch file that goes away with the storage.
    const char* dir = std::getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/~stgXXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return STG_E_ACCESSDENIED;
    ::close(fd);
    native = tmpl;
    temp = true;
    mode |= STGM_CREATE;
  }
  (void)takeProbed("");
  auto file = openPosixFile(
      native, true, (mode & STGM_CREATE) ? Disposition::OpenOrCreate : Disposition::CreateNew);
  if (!file) return base::report(file.error());
  SharingLocks locks;
  if (auto r = locks.acquire(**file, mode & ~STGM_CREATE); !r) return base::report(r.error());
  if (auto r = (*file)->discard(); !r) return base::report(r.error());
  auto doc = Document::create(std::move(file.value()), version);
  if (!doc) return base::report(doc.error());
  // Write the empty document now, so the file is a compound file at once.
  if (auto r = doc.value()->commit(); !r) return base::report(r.error());
  return finishRoot(std::move(doc.value()), mode & ~STGM_CREATE, native,
                    temp || (mode & STGM_DELETEONRELEASE), locks, out);
}

// A C caller may pass NULL for a REFCLSID.
[[gnu::noinline]] bool isNullPointer(const void* p) { return p == nullptr; }

HRESULT toRequested(IStorage* stg, REFIID riid, void** out) {
  if (IsEqualIID(riid, IID_IStorage)) {
    *out = stg;
    return S_OK;
  }
  HRESULT hr = stg->QueryInterface(riid, out);
  stg->Release();
  return hr;
}

}  // namespace

HRESULT openStorageOnFile(std::unique_ptr<File> file, DWORD mode, IStorage** out) {
  if (!out) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  return atBoundary([&]() -> HRESULT {
    auto doc = Document::open(std::move(file), (mode & 3) != STGM_READ);
    if (!doc) return base::report(doc.error());
    return finishRoot(std::move(doc.value()), mode, "", false, SharingLocks{}, out);
  });
}

HRESULT createStorageOnFile(std::unique_ptr<File> file, int version, IStorage** out) {
  if (!out) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  return atBoundary([&]() -> HRESULT {
    auto doc = Document::create(std::move(file), version);
    if (!doc) return base::report(doc.error());
    return finishRoot(std::move(doc.value()), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, "", false,
                      SharingLocks{}, out);
  });
}

}  // namespace velmora::cfb

using namespace velmora::cfb;

EXTERN_C HRESULT WINAPI StgIsStorageFile(const WCHAR* pwcsName) {
  if (!pwcsName) return STG_E_INVALIDNAME;
  return atBoundary([&]() -> HRESULT {
    std::string native = pathToUtf8(pwcsName);
    // A file a priority read holds open here is a compound file.
    if (findLive(native)) return S_OK;
    (void)takeProbed("");
    auto file = openPosixFile(native, false, Disposition::OpenExisting);
    // Anything but a regular file (a pipe, a device, a socket) is no
    // compound file, and is answered without waiting on it.
    if (!file) return file.error().code == STG_E_FILEALREADYEXISTS ? S_FALSE : file.error().code;
    uint8_t sig[8];
    auto n = (*file)->readAt(0, sig);
    if (!n || n.value() < 8 || !hasSignature(sig)) return S_FALSE;
    t_probed.path = std::move(native);
    t_probed.file = std::move(file.value());
    return S_OK;
  });
}

EXTERN_C HRESULT WINAPI StgOpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode,
                                       SNB snbExclude, DWORD reserved, IStorage** ppstgOpen) {
  if (!ppstgOpen) return STG_E_INVALIDPOINTER;
  *ppstgOpen = nullptr;
  return atBoundary([&]() -> HRESULT {
    if (reserved) return STG_E_INVALIDPARAMETER;
    if (snbExclude) return STG_E_INVALIDFUNCTION;  // exclusion lists are not supported
    std::u16string path;
    if (pstgPriority) {
      // Reopen the priority storage's file in the new mode; the priority
      // storage is released either way.
      STATSTG st{};
      HRESULT hr = pstgPriority->Stat(&st, STATFLAG_DEFAULT);
      pstgPriority->Release();
      if (FAILED(hr)) return hr;
      path = st.pwcsName ? st.pwcsName : u"";
      CoTaskMemFree(st.pwcsName);
      pwcsName = path.c_str();
    }
    if (!pwcsName) return STG_E_INVALIDNAME;
    return openRoot(pwcsName, grfMode, ppstgOpen);
  });
}

EXTERN_C HRESULT WINAPI StgOpenStorageEx(const WCHAR* pwcsName, DWORD grfMode, DWORD stgfmt,
                                         DWORD grfAttrs, STGOPTIONS* pStgOptions,
                                         PSECURITY_DESCRIPTOR pSecurityDescriptor, REFIID riid,
                                         void** ppObjectOpen) {
  if (!ppObjectOpen) return STG_E_INVALIDPOINTER;
  *ppObjectOpen = nullptr;
  return atBoundary([&]() -> HRESULT {
    if (stgfmt != STGFMT_STORAGE && stgfmt != STGFMT_ANY && stgfmt != STGFMT_DOCFILE)
      return STG_E_INVALIDPARAMETER;
    if (grfAttrs || pSecurityDescriptor) return STG_E_INVALIDPARAMETER;
    if (pStgOptions && (stgfmt != STGFMT_DOCFILE || pStgOptions->usVersion == 0))
      return STG_E_INVALIDPARAMETER;
    if (!IsEqualIID(riid, IID_IStorage) && !IsEqualIID(riid, IID_IPropertySetStorage))
      return E_NOINTERFACE;
    if (!pwcsName) return STG_E_INVALIDNAME;
    IStorage* stg = nullptr;
    HRESULT hr = openRoot(pwcsName, grfMode, &stg);
    if (FAILED(hr)) return hr;
    return toRequested(stg, riid, ppObjectOpen);
  });
}

EXTERN_C HRESULT WINAPI StgCreateDocfile(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved,
                                         IStorage** ppstgOpen) {
  if (!ppstgOpen) return STG_E_INVALIDPOINTER;
  *ppstgOpen = nullptr;
  return atBoundary([&]() -> HRESULT {
    if (reserved) return STG_E_INVALIDPARAMETER;
    return createRoot(pwcsName, grfMode, 3, ppstgOpen);
  });
}

EXTERN_C HRESULT WINAPI StgCreateStorageEx(const WCHAR* pwcsName, DWORD grfMode, DWORD stgfmt,
                                           DWORD grfAttrs, STGOPTIONS* pStgOptions,
                                           PSECURITY_DESCRIPTOR pSecurityDescriptor, REFIID riid,
                                           void** ppObjectOpen) {
  if (!ppObjectOpen) return STG_E_INVALIDPOINTER;
  *ppObjectOpen = nullptr;
  return atBoundary([&]() -> HRESULT {
    if (stgfmt != STGFMT_STORAGE && stgfmt != STGFMT_ANY && stgfmt != STGFMT_DOCFILE)
      return STG_E_INVALIDPARAMETER;
    if (grfAttrs || pSecurityDescriptor) return STG_E_INVALIDPARAMETER;
    int version = 3;
    if (pStgOptions) {
      if (stgfmt != STGFMT_DOCFILE || pStgOptions->usVersion == 0) return STG_E_INVALIDPARAMETER;
      if (pStgOptions->ulSectorSize == 4096)
        version = 4;
      else if (pStgOptions->ulSectorSize != 512 && pStgOptions->ulSectorSize != 0)
        return STG_E_INVALIDPARAMETER;
    }
    if (!IsEqualIID(riid, IID_IStorage) && !IsEqualIID(riid, IID_IPropertySetStorage))
      return E_NOINTERFACE;
    IStorage* stg = nullptr;
    HRESULT hr = createRoot(pwcsName, grfMode, version, &stg);
    if (FAILED(hr)) return hr;
    return toRequested(stg, riid, ppObjectOpen);
  });
}

EXTERN_C HRESULT WINAPI ReadClassStg(IStorage* pStg, CLSID* pclsid) {
  if (!pStg || !pclsid) return E_INVALIDARG;
  STATSTG st{};
  HRESULT hr = pStg->Stat(&st, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  *pclsid = st.clsid;
  return S_OK;
}

EXTERN_C HRESULT WINAPI WriteClassStg(IStorage* pStg, REFCLSID rclsid) {
  if (!pStg) return E_INVALIDARG;
  if (isNullPointer(&rclsid)) return STG_E_INVALIDPOINTER;
  return pStg->SetClass(rclsid);
}
