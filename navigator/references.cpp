// Reference discovery and update: the OLE link objects of word-processor
// documents (in "ObjectPool") and spreadsheets (root storages named "LNK..."),
// their sources listed as VltReference records, and rewritten to new paths.
#include <cstring>
#include <deque>
#include <new>

#include "navigator/comp_doc_file.h"
#include "storage/held.h"
#include "storage/storage_services.h"

namespace {

enum class LinkMode { None, WordProcessor, Spreadsheet };

// The last three characters of the path, lower-cased; no dot is needed.
LinkMode LinkModeOf(const WideString& strPath) {
  if (strPath.size() < 3) return LinkMode::None;
  WCHAR ext[3];
  for (size_t i = 0; i < 3; ++i) {
    WCHAR ch = strPath[strPath.size() - 3 + i];
    ext[i] = (ch >= u'A' && ch <= u'Z') ? static_cast<WCHAR>(ch - u'A' + u'a') : ch;
  }
  if (ext[0] == u'd' && ext[1] == u'o' && ext[2] == u'c') return LinkMode::WordProcessor;
  if (ext[0] == u'x' && ext[1] == u'l' && ext[2] == u's') return LinkMode::Spreadsheet;
  return LinkMode::None;
}

// Every element of the object pool is a candidate; in a spreadsheet only
// root elements whose name begins with "LNK", case-sensitive. The element
// type is not examined.
bool IsCandidate(LinkMode eMode, const STATSTG& oStat) {
  if (eMode == LinkMode::WordProcessor) return true;
  const OLECHAR* pwszName = oStat.pwcsName;
  return pwszName && pwszName[0] == u'L' && pwszName[1] == u'N' && pwszName[2] == u'K';
}

// The part after the last backslash, or the whole name.
WideString FileNameOf(const WideString& strDisplayName) {
  size_t pos = strDisplayName.rfind(u'\\');
  return pos == WideString::npos ? strDisplayName : strDisplayName.substr(pos + 1);
}

// Task-allocator memory the callee handed over, freed however the copy
// made of it ends, a failed allocation included.
struct TaskMemory {
  LPOLESTR p;
  ~TaskMemory() { CoTaskMemFree(p); }
};

// The longest path a new file moniker takes (Windows' own limit) and the
// longest source display name taken from a link, in characters. A link whose
// name is longer is treated as unreadable: neither listed nor rewritten.
constexpr size_t kMaxPathChars = 32767;
constexpr size_t kMaxDisplayNameChars = 65536;

// The length of `pwsz` up to its first NUL, or `cchMax` + 1 when it is
// longer: a hostile text is never read past the bound.
size_t BoundedLength(const OLECHAR* pwsz, size_t cchMax) {
  size_t cch = 0;
  while (cch <= cchMax && pwsz[cch] != 0) ++cch;
  return cch;
}

// The link's source display name; empty when the link cannot give one, and
// false when the name is longer than kMaxDisplayNameChars.
bool SourceDisplayName(IOleLink* pLink, WideString& strName) {
  LPOLESTR pwszName = nullptr;
  HRESULT hr = pLink->GetSourceDisplayName(&pwszName);
  TaskMemory held{pwszName};
  ThrowIfOutOfMemory(hr);
  size_t cch = pwszName ? BoundedLength(pwszName, kMaxDisplayNameChars) : 0;
  bool bWithin = cch <= kMaxDisplayNameChars;
  strName.assign(bWithin && pwszName ? pwszName : OLESTR(""), bWithin ? cch : 0);
  return bWithin;
}

// The container the links live in: "ObjectPool" of a word-processor
// document, the root of a spreadsheet.
HRESULT OpenContainer(LinkMode eMode, IStorage* pRoot, DWORD grfMode, IStorage** ppContainer) {
  if (eMode == LinkMode::Spreadsheet) {
    pRoot->AddRef();
    *ppContainer = pRoot;
    return S_OK;
  }
  return OpenChildStorage(pRoot, OLESTR("ObjectPool"), grfMode, ppContainer);
}

// The record whose file name is the one the link's source names, compared
// as Windows compares file names; null for none.
const VltReference* RecordFor(const VltReference* poReferences, LONG lCount,
                              const WideString& strFileName) {
  for (LONG i = 0; i < lCount; ++i) {
    const OLECHAR* pwszRecord =
        poReferences[i].bsFileName ? poReferences[i].bsFileName : OLESTR("");
    if (lstrcmpiW(pwszRecord, strFileName.c_str()) == 0) return &poReferences[i];
  }
  return nullptr;
}

// One link object of the container pointed at its record's new path: S_OK
// when saved; S_FALSE when it stays as it is (no link, no record for its
// source, or a new path no link can hold); E_FAIL when the save failed.
HRESULT RelinkObject(IStorage* pContainer, const WideString& strName,
                     const VltReference* poReferences, LONG lCount) {
  Held<IStorage> pObject;
  if (FAILED(ThrowIfOutOfMemory(
          OpenChildStorage(pContainer, strName.c_str(), kModeChildReadWrite, pObject.Out()))))
    return S_FALSE;
  Held<IOleLink> pLink;
  if (FAILED(ThrowIfOutOfMemory(LoadLinkObject(pObject.Get(), pLink.Out())))) return S_FALSE;
  WideString strDisplayName;
  if (!SourceDisplayName(pLink.Get(), strDisplayName)) return S_FALSE;
  const VltReference* poMatch = RecordFor(poReferences, lCount, FileNameOf(strDisplayName));
  if (!poMatch) return S_FALSE;
  // The new path is what precedes its first NUL, as far as a file moniker
  // reads it; an empty one names no file and one longer than a path can
  // be names none Windows could open: either way the link stays as it is.
  const OLECHAR* pwszNewPath = poMatch->bsFullPath ? poMatch->bsFullPath : OLESTR("");
  size_t cchNewPath = BoundedLength(pwszNewPath, kMaxPathChars);
  if (cchNewPath == 0 || cchNewPath > kMaxPathChars) return S_FALSE;

  Held<IPersistStorage> pPersist;
  if (FAILED(ThrowIfOutOfMemory(
          pLink->QueryInterface(IID_IPersistStorage, reinterpret_cast<void**>(pPersist.Out())))))
    return S_FALSE;
  Held<IMoniker> pMoniker;
  if (FAILED(ThrowIfOutOfMemory(CreatePathMoniker(pwszNewPath, pMoniker.Out())))) return S_FALSE;
  if (FAILED(ThrowIfOutOfMemory(pLink->SetSourceMoniker(pMoniker.Get(), CLSID_NULL))))
    return S_FALSE;
  return FAILED(SaveLinkObject(pPersist.Get(), pObject.Get())) ? E_FAIL : S_OK;
}

// Adds a line to the list of link objects passed over: "ObjectPool/_1234:
// why". For want of memory the reasons are lost, never the list.
void NoteSkipped(WideString& strSkipped, LinkMode eMode, const WideString& strName,
                 const WideString& strWhy) {
  try {
    if (!strSkipped.empty()) strSkipped += WCHAR('\n');
    if (eMode != LinkMode::Spreadsheet) strSkipped += WideFromAscii("ObjectPool/");
    strSkipped += strName + WideFromAscii(": ") + strWhy;
  } catch (const std::bad_alloc&) {
  }
}

// The source of the container's element `strName` onto oNames. An element
// that is no link object is passed over, one that is damaged noted in
// strSkipped; one that could not be looked at for want of memory throws,
// failing the whole list.
void AddLinkSource(LinkMode eMode, IStorage* pContainer, const WideString& strName,
                   std::deque<WideString>& oNames, WideString& strSkipped) {
  Held<IStorage> pObject;
  HRESULT hr = ThrowIfOutOfMemory(
      OpenChildStorage(pContainer, strName.c_str(), kModeChildRead, pObject.Out()));
  if (FAILED(hr)) {
    NoteSkipped(strSkipped, eMode, strName,
                DescribeFailure("the object's storage cannot be opened", hr));
    return;
  }
  Held<IOleLink> pLink;
  hr = ThrowIfOutOfMemory(LoadLinkObject(pObject.Get(), pLink.Out()));
  if (FAILED(hr)) {
    // An embedding is no link (E_NOINTERFACE, or its server's codes on
    // Windows); a storage failure or a bad "\1Ole" stream is damage.
    if (HRESULT_FACILITY(hr) == FACILITY_STORAGE || hr == DV_E_CLIPFORMAT || hr == E_FAIL)
      NoteSkipped(strSkipped, eMode, strName,
                  DescribeFailure("the link object cannot be read", hr));
    return;
  }
  WideString strDisplayName;
  if (!SourceDisplayName(pLink.Get(), strDisplayName)) {
    NoteSkipped(strSkipped, eMode, strName,
                WideFromAscii("the link's source name is longer than any path"));
    return;
  }
  oNames.push_back(std::move(strDisplayName));
}

// The sources of the container's candidate elements, in enumeration order.
HRESULT CollectLinkSources(LinkMode eMode, IStorage* pContainer, IEnumSTATSTG* pEnum,
                           std::deque<WideString>& oNames, WideString& strSkipped) {
  for (;;) {
    STATSTG oStat = {};
    HRESULT hr = pEnum->Next(1, &oStat, nullptr);
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE) return S_OK;
    TaskMemory held{oStat.pwcsName};
    WideString strName = oStat.pwcsName ? oStat.pwcsName : OLESTR("");
    if (!IsCandidate(eMode, oStat)) continue;
    AddLinkSource(eMode, pContainer, strName, oNames, strSkipped);
  }
}

// The host's array of records, one per source: each name is let go once
// copied, and on failure the host gets none of it. Throws nothing.
HRESULT HandOverReferences(std::deque<WideString>& oNames, LONG* plCount,
                           VltReference** ppoReferences) {
  const size_t cNames = oNames.size();
  auto* poArray = static_cast<VltReference*>(CoTaskMemAlloc(cNames * sizeof(VltReference)));
  if (!poArray) return E_OUTOFMEMORY;
  *ppoReferences = poArray;
  *plCount = static_cast<LONG>(cNames);
  memset(poArray, 0, cNames * sizeof(VltReference));
  for (size_t i = 0; i < cNames; ++i) {
    WideString& strFullPath = oNames[i];
    // The file name is copied straight from the full path, and each name
    // is let go once copied: a long name is held at most three times.
    size_t pos = strFullPath.rfind(u'\\');
    size_t start = pos == WideString::npos ? 0 : pos + 1;
    VltReference& oRecord = poArray[i];
    oRecord.bsFullPath = SysAllocStringLen(strFullPath.data(), UINT(strFullPath.size()));
    oRecord.bsFileName =
        SysAllocStringLen(strFullPath.data() + start, UINT(strFullPath.size() - start));
    oRecord.lHost4 = 0;
    oRecord.lHost8 = 1;
    if (!oRecord.bsFullPath || !oRecord.bsFileName) {
      // The host gets the whole list or none of it.
      for (size_t k = 0; k <= i; ++k) {
        SysFreeString(poArray[k].bsFullPath);
        SysFreeString(poArray[k].bsFileName);
      }
      CoTaskMemFree(poArray);
      *ppoReferences = nullptr;
      *plCount = 0;
      return E_OUTOFMEMORY;
    }
    WideString().swap(strFullPath);
  }
  return S_OK;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CCompDocFile::GetReferences(LONG, LONG* plCount,
                                                      VltReference** ppoReferences) {
  if (!plCount || !ppoReferences) return E_POINTER;
  LinkMode eMode = LinkModeOf(m_strFilePath);
  if (eMode == LinkMode::None) return S_FALSE;
  try {
    if (ThrowIfOutOfMemory(IsCompoundDocument(m_strFilePath.c_str())) != S_OK) return S_FALSE;
    Held<IStorage> pRoot;
    HRESULT hr = OpenCompoundDocument(m_strFilePath.c_str(), kModePriorityRead, pRoot.Out());
    if (FAILED(ThrowIfOutOfMemory(hr))) {
      SetErrorDescription(DescribeFailure("the document cannot be opened", hr));
      return IsAccessFailure(hr) ? VLT_E_FILE_ACCESS : S_FALSE;
    }

    Held<IStorage> pContainer;
    hr = ThrowIfOutOfMemory(OpenContainer(eMode, pRoot.Get(), kModeChildRead, pContainer.Out()));
    if (FAILED(hr)) {
      if (hr == STG_E_FILENOTFOUND) return S_OK;  // no embedded or linked objects
      return hr == STG_E_ACCESSDENIED ? VLT_E_FILE_ACCESS : hr;
    }
    Held<IEnumSTATSTG> pEnum;
    hr = EnumerateElements(pContainer.Get(), pEnum.Out());
    if (FAILED(hr)) return hr;

    std::deque<WideString> oNames;
    // The link objects passed over as unreadable, one line each, for the
    // host to read with GetErrorInfo.
    WideString strSkipped;
    hr = CollectLinkSources(eMode, pContainer.Get(), pEnum.Get(), oNames, strSkipped);
    if (FAILED(hr)) return hr;
    pEnum.Reset();
    pContainer.Reset();
    pRoot.Reset();
    if (!strSkipped.empty()) SetErrorDescription(strSkipped);

    if (oNames.empty()) return S_OK;
    // Nothing below throws once the host's array exists.
    return HandOverReferences(oNames, plCount, ppoReferences);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT STDMETHODCALLTYPE CCompDocFile::UpdateReferences(LONG, LONG lCount,
                                                         VltReference* poReferences) {
  if (!poReferences) return E_POINTER;
  LinkMode eMode = LinkModeOf(m_strFilePath);
  if (eMode == LinkMode::None) return S_FALSE;
  try {
    if (ThrowIfOutOfMemory(IsCompoundDocument(m_strFilePath.c_str())) != S_OK) return S_FALSE;
    Held<IStorage> pRoot;
    HRESULT hr = OpenCompoundDocument(m_strFilePath.c_str(), kModeExclusiveReadWrite, pRoot.Out());
    if (FAILED(ThrowIfOutOfMemory(hr))) return IsAccessFailure(hr) ? VLT_E_FILE_ACCESS : S_FALSE;

    // A missing pool is reported as such here, unlike discovery.
    Held<IStorage> pContainer;
    hr = ThrowIfOutOfMemory(
        OpenContainer(eMode, pRoot.Get(), kModeChildReadWrite, pContainer.Out()));
    if (FAILED(hr)) return IsAccessFailure(hr) ? VLT_E_FILE_ACCESS : hr;
    Held<IEnumSTATSTG> pEnum;
    hr = EnumerateElements(pContainer.Get(), pEnum.Out());
    if (FAILED(hr)) return hr;

    bool bSaved = false;
    for (;;) {
      STATSTG oStat = {};
      hr = pEnum->Next(1, &oStat, nullptr);
      if (FAILED(hr)) return hr;  // links already saved stay saved
      if (hr == S_FALSE) {
        // Direct mode reaches the file when the root is released, where a
        // failed write cannot be reported; committing here reports it as
        // the failed save it is instead of S_OK.
        if (bSaved && FAILED(pRoot->Commit(STGC_DEFAULT))) return E_FAIL;
        return S_OK;
      }
      TaskMemory held{oStat.pwcsName};
      WideString strName = oStat.pwcsName ? oStat.pwcsName : OLESTR("");
      bool bCandidate = IsCandidate(eMode, oStat);
      if (!bCandidate) continue;

      hr = RelinkObject(pContainer.Get(), strName, poReferences, lCount);
      if (FAILED(hr)) return hr;  // links already saved stay saved
      if (hr == S_OK) bSaved = true;
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
