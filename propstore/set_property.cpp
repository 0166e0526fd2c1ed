// Writing one property into the open document.
#include "propstore/comp_doc_properties.h"
#include "storage/storage_services.h"
#include "values/attribute_to_stored.h"
#include "values/narrow_code_page.h"

bool CompDocProperties::SetProperty(LPCWSTR pwszBlock, LPCWSTR pwszName, VARIANT* poValue) {
  const BlockDef* pBlock = ResolveBlock(g_WriteBlocks, pwszBlock);
  if (!pBlock) return false;

  if (pBlock->iSet != kCustomBlock) {
    const PropSetDef& set = g_PropSets[pBlock->iSet];
    int iRow = FindRow(set, pwszName);
    if (iRow < 0) return false;
    PROPSPEC spec = {};
    spec.ulKind = PRSPEC_PROPID;
    spec.propid = set.pTable[iRow].propid;
    return WriteProperty(*set.pFmtid, spec, poValue, set.pTable[iRow].vt, false);
  }

  if (!pwszName) return false;
  // The types of the existing custom properties decide how a value is stored.
  if (m_CustomList.empty()) LoadCustomProps();
  VARTYPE vt = poValue->vt;
  if (vt == VT_BSTR) vt = VT_LPSTR;
  if (vt == VT_DATE) vt = VT_FILETIME;
  for (CustomProps* pRecord : m_CustomList) {
    if (NamesEqual(pRecord->strName.c_str(), pwszName)) {
      vt = pRecord->oValue.vt;
      break;
    }
  }
  PROPSPEC spec = {};
  spec.ulKind = PRSPEC_LPWSTR;
  spec.lpwstr = const_cast<LPOLESTR>(pwszName);
  return WriteProperty(FMTID_UserDefinedProperties, spec, poValue, vt, true);
}

bool CompDocProperties::WriteProperty(REFFMTID fmtid, const PROPSPEC& spec,
                                      const VARIANT* poValue, VARTYPE vt, bool bCustom) {
  (void)bCustom;
  if (!m_pPropSetStorage) return false;
  IPropertyStorage* pPropStg = nullptr;
  try {
    // Narrow strings go in the code page their set declares, custom or not:
    // any other encoding would corrupt the text for every reader.
    UINT uCodePage = vt == VT_LPSTR ? SetNarrowCodePage(m_pPropSetStorage, fmtid) : UINT(CP_ACP);
    StoredValue stored;
    if (!AttributeToStored(poValue, vt, uCodePage, stored)) return false;

    HRESULT hr = m_pPropSetStorage->Open(fmtid, kModeSetReadWrite, &pPropStg);
    if (hr == STG_E_INVALIDHEADER) {
      // A damaged set is replaced by a new one holding only this property.
      pPropStg = nullptr;
      if (FAILED(m_pPropSetStorage->Delete(fmtid))) return false;
      hr = STG_E_FILENOTFOUND;
    }
    if (hr == STG_E_FILENOTFOUND) {
      pPropStg = nullptr;
      hr = m_pPropSetStorage->Create(fmtid, nullptr, PROPSETFLAG_ANSI, kModeSetReadWrite,
                                     &pPropStg);
    }
    if (FAILED(hr) || !pPropStg) return false;

    if (stored.bDelete)
      hr = pPropStg->DeleteMultiple(1, &spec);
    else
      hr = pPropStg->WriteMultiple(1, &spec, &stored.oValue, PID_FIRST_USABLE);
    bool bWritten = SUCCEEDED(hr);
    if (bWritten) {
      pPropStg->Commit(STGC_DEFAULT);
      m_bCommitPending = true;
    }
    pPropStg->Release();
    return bWritten;
  } catch (...) {
    if (pPropStg) pPropStg->Release();
    FreeValues();
    CloseStorage();
    return false;
  }
}
