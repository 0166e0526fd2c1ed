// Opening, loading, closing and releasing the property store.
#include "propstore/comp_doc_properties.h"

#include <new>

#include "host/vlt_records.h"
#include "propstore/catalogue_index.h"
#include "storage/storage_services.h"
#include "values/narrow_code_page.h"

CompDocProperties::CompDocProperties() = default;

CompDocProperties::~CompDocProperties() {
  FreeValues();
  CloseStorage();
}

PROPVARIANT*& CompDocProperties::ValuesOf(int iSet) {
  switch (iSet) {
    case kSummarySet: return m_pSummaryValues;
    case kDocSummarySet: return m_pDocSummaryValues;
    case kDTPropertiesSet: return m_pDTPropertiesValues;
    case kDTControlSet: return m_pDTControlValues;
    default: return m_pPhysicalValues;
  }
}

HRESULT CompDocProperties::OpenStorage(LPCWSTR pwszPath, bool bReadOnly) {
  try {
    if (m_pStorage) {
      FreeValues();
      CloseStorage();
    }
    m_bReadOnly = bReadOnly;
    m_strOpenRefusal.clear();
    HRESULT hrKind = ThrowIfOutOfMemory(IsCompoundDocument(pwszPath));
    if (hrKind != S_OK) {
      m_strOpenRefusal = FAILED(hrKind) ? DescribeFailure("the document cannot be opened", hrKind)
                                        : WideFromAscii("the file is not a compound document");
      return S_FALSE;
    }

    HRESULT hr = OpenCompoundDocument(
        pwszPath, bReadOnly ? kModePriorityRead : kModeExclusiveReadWrite, &m_pStorage);
    if (FAILED(hr)) {
      m_pStorage = nullptr;
      ThrowIfOutOfMemory(hr);
      m_strOpenRefusal = DescribeFailure("the document cannot be opened", hr);
      return IsAccessFailure(hr) ? VLT_E_FILE_ACCESS : S_FALSE;
    }
    hr = m_pStorage->QueryInterface(IID_IPropertySetStorage,
                                    reinterpret_cast<void**>(&m_pPropSetStorage));
    if (FAILED(hr) || !m_pPropSetStorage) {
      m_pPropSetStorage = nullptr;
      m_pStorage->Release();
      m_pStorage = nullptr;
      ThrowIfOutOfMemory(hr);
      return S_FALSE;
    }
    if (!bReadOnly) m_bWritable = true;
    return S_OK;
  } catch (...) {
    FreeValues();
    CloseStorage();
    return VLT_E_FILE_ACCESS;
  }
}

HRESULT CompDocProperties::LoadProperties(LPCWSTR pwszPath, bool bReload) {
  if (m_bLoaded && !bReload) return S_OK;
  m_bLoaded = false;
  if (bReload) FreeValues();
  if (!m_pStorage) {
    HRESULT hr = OpenStorage(pwszPath, true);
    if (FAILED(hr)) return hr;
  }
  HRESULT hr = LoadAllSets();
  if (FAILED(hr)) return hr;
  if (m_pStorage) {
    if (hr == S_OK) m_bLoaded = true;
    // A writable storage opened for a write session is read through and
    // closed the same way, which commits the writes still pending; when that
    // commit fails the caller hears of it, since those writes are lost.
    HRESULT hrClose = CloseStorage();
    if (FAILED(hrClose)) return hrClose;
  }
  return m_bLoaded ? S_OK : S_FALSE;
}

HRESULT CompDocProperties::LoadAllSets() {
  if (!m_pPropSetStorage) return S_FALSE;
  try {
    // A set that is missing or unreadable is no failure of the load; only
    // the first three decide whether anything usable was found. Running
    // out of memory is a failure: what was loaded would pass for the
    // document's whole content.
    bool bSummary = ThrowIfOutOfMemory(LoadSummary()) == S_OK;
    bool bDocSummary = ThrowIfOutOfMemory(LoadDocSummary()) == S_OK;
    bool bCustom = ThrowIfOutOfMemory(LoadCustomProps()) == S_OK;
    (void)ThrowIfOutOfMemory(LoadDTProperties());
    (void)ThrowIfOutOfMemory(LoadDTControl());
    (void)ThrowIfOutOfMemory(LoadPhysical());
    return bSummary || bDocSummary || bCustom ? S_OK : S_FALSE;
  } catch (...) {
    FreeValues();
    CloseStorage();
    return VLT_E_FILE_ACCESS;
  }
}

namespace {

// The rows of `set` whose stored value is a clipboard picture, by the set's
// listing. Such a value is never delivered, only refused, and its type alone
// decides that; reading it would copy the whole picture (the thumbnail is
// often most of a document's Summary bytes) only to drop it.
uint64_t RowsStoredAsPictures(IPropertyStorage* pPropStg, const PropSetDef& set) {
  static_assert(sizeof(g_DTPropertiesProps) / sizeof(PropDef) <= 64, "a row mask is 64 bits");
  bool bAny = false;
  for (ULONG i = 0; i < set.cRows; ++i) bAny |= set.pTable[i].vt == VT_CF;
  if (!bAny) return 0;
  IEnumSTATPROPSTG* pEnum = nullptr;
  // Without the listing the rows are read as any other.
  if (FAILED(pPropStg->Enum(&pEnum)) || !pEnum) return 0;
  uint64_t uRows = 0;
  STATPROPSTG stat;
  while (pEnum->Next(1, &stat, nullptr) == S_OK) {
    CoTaskMemFree(stat.lpwstrName);
    if (stat.vt != VT_CF) continue;
    for (ULONG i = 0; i < set.cRows; ++i)
      if (set.pTable[i].vt == VT_CF && set.pTable[i].propid == stat.propid)
        uRows |= uint64_t(1) << i;
  }
  pEnum->Release();
  return uRows;
}

}  // namespace

HRESULT CompDocProperties::LoadSet(int iSet) {
  if (!m_pPropSetStorage) return S_FALSE;
  const PropSetDef& set = g_PropSets[iSet];
  IPropertyStorage* pPropStg = nullptr;
  m_strSetRefusal[iSet].clear();
  m_uPictureRows[iSet] = 0;
  HRESULT hrOpen = m_pPropSetStorage->Open(*set.pFmtid, kModeSetRead, &pPropStg);
  if (FAILED(hrOpen) || !pPropStg) {
    if (hrOpen == STG_E_FILENOTFOUND) return S_FALSE;
    m_strSetRefusal[iSet] = DescribeFailure("its property set cannot be read", hrOpen);
    return hrOpen;
  }

  const uint64_t uPictures = RowsStoredAsPictures(pPropStg, set);
  PROPSPEC* pSpecs = new (std::nothrow) PROPSPEC[set.cRows]();
  PROPVARIANT* pValues = new (std::nothrow) PROPVARIANT[set.cRows];
  PROPVARIANT* pRead = new (std::nothrow) PROPVARIANT[set.cRows];
  ULONG* pRowOf = new (std::nothrow) ULONG[set.cRows];
  if (!pSpecs || !pValues || !pRead || !pRowOf) {
    delete[] pSpecs;
    delete[] pValues;
    delete[] pRead;
    delete[] pRowOf;
    pPropStg->Release();
    return E_OUTOFMEMORY;
  }
  for (ULONG i = 0; i < set.cRows; ++i) PropVariantInit(&pValues[i]);
  PROPVARIANT*& pMember = ValuesOf(iSet);
  pMember = pValues;

  ULONG cRead = 0;
  for (ULONG i = 0; i < set.cRows; ++i) {
    if (uPictures >> i & 1) continue;
    pSpecs[cRead].ulKind = PRSPEC_PROPID;
    pSpecs[cRead].propid = set.pTable[i].propid;
    pRowOf[cRead++] = i;
  }
  HRESULT hr = cRead ? pPropStg->ReadMultiple(cRead, pSpecs, pRead) : S_FALSE;
  if (FAILED(hr)) {
    m_strSetRefusal[iSet] = DescribeFailure("its property set cannot be read", hr);
    // What a failed batch left behind is not to be trusted: serve the set as
    // present with nothing in it.
    for (ULONG k = 0; k < cRead; ++k) PropVariantClear(&pRead[k]);
  } else {
    for (ULONG k = 0; k < cRead; ++k) pValues[pRowOf[k]] = pRead[k];
    m_uPictureRows[iSet] = uPictures;
  }
  delete[] pRead;
  delete[] pRowOf;

  // Narrow strings are in the code page the set declares, whichever set it
  // is.
  PROPSPEC codePage = {};
  codePage.ulKind = PRSPEC_PROPID;
  codePage.propid = PID_CODEPAGE;
  PROPVARIANT value;
  PropVariantInit(&value);
  HRESULT hrCodePage = pPropStg->ReadMultiple(1, &codePage, &value);
  m_uSetCodePage[iSet] = NarrowCodePageOf(hrCodePage == S_OK ? &value : nullptr);
  PropVariantClear(&value);

  delete[] pSpecs;
  pPropStg->Release();
  if (FAILED(hr)) return hr;
  // Without its code page the set's narrow strings would be misread.
  return IsMemoryFailure(hrCodePage) ? hrCodePage : S_OK;
}

HRESULT CompDocProperties::CloseStorage() {
  HRESULT hrResult = S_OK;
  try {
    if (m_pPropSetStorage) {
      IPropertySetStorage* p = m_pPropSetStorage;
      m_pPropSetStorage = nullptr;
      p->Release();
    }
  } catch (...) {
  }
  m_pPropSetStorage = nullptr;
  try {
    if (m_pStorage) {
      IStorage* p = m_pStorage;
      m_pStorage = nullptr;
      if (m_bCommitPending) {
        m_bCommitPending = false;
        hrResult = p->Commit(STGC_DEFAULT);
      }
      p->Release();
    }
  } catch (...) {
    hrResult = E_FAIL;
  }
  m_pStorage = nullptr;
  // Values loaded through a session whose commit failed were never stored;
  // the next read loads what the file holds.
  if (FAILED(hrResult)) FreeValues();
  // A later write session opens the document again rather than failing
  // every write against a storage that is gone.
  m_bWritable = false;
  return FAILED(hrResult) ? hrResult : S_OK;
}

void CompDocProperties::FreeValues() {
  // Whatever drops the cache makes the next read load again.
  m_bLoaded = false;
  for (int iSet = 0; iSet < kCatalogedSetCount; ++iSet) {
    PROPVARIANT*& pValues = ValuesOf(iSet);
    if (!pValues) continue;
    for (ULONG i = 0; i < g_PropSets[iSet].cRows; ++i) PropVariantClear(&pValues[i]);
    delete[] pValues;
    pValues = nullptr;
    m_uSetCodePage[iSet] = CP_ACP;
    m_uPictureRows[iSet] = 0;
  }
  m_CustomIndex.reset();
  for (CustomProps* pRecord : m_CustomList) delete pRecord;
  m_CustomList.clear();
}

WideString CompDocProperties::ReadRefusal(LPCWSTR pwszBlock, LPCWSTR pwszName) const {
  if (!m_strOpenRefusal.empty()) return m_strOpenRefusal;
  const BlockDef* pBlock = ResolveBlock(g_ReadBlocks, pwszBlock);
  if (!pBlock) return WideString();
  if (pBlock->iSet == kCustomBlock) return m_strCustomRefusal;
  // A name the catalogue does not hold is missing whatever the set says.
  if (LookupRow(g_PropSets[pBlock->iSet], pwszName) < 0) return WideString();
  return m_strSetRefusal[pBlock->iSet];
}
