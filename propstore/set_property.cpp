// Writing one property into the open document.
#include <new>

#include "propstore/catalogue_index.h"
#include "propstore/comp_doc_properties.h"
#include "storage/storage_services.h"
#include "values/attribute_to_stored.h"
#include "values/narrow_code_page.h"

HRESULT CompDocProperties::SetProperty(LPCWSTR pwszBlock, LPCWSTR pwszName, VARIANT* poValue) {
  m_strWriteRefusal.clear();
  HRESULT hr = WriteOne(pwszBlock, pwszName, poValue);
  if (hr != S_OK && m_strWriteRefusal.empty()) {
    if (!m_pPropSetStorage) {
      try {
        m_strWriteRefusal = m_strOpenRefusal.empty()
                                ? WideFromAscii("the document is not open for writing")
                                : m_strOpenRefusal;
      } catch (const std::bad_alloc&) {
        // The reason is lost, not the answer.
      }
    } else if (FAILED(hr)) {
      m_strWriteRefusal = DescribeFailure("the write failed", hr);
    }
  }
  return hr;
}

HRESULT CompDocProperties::WriteOne(LPCWSTR pwszBlock, LPCWSTR pwszName, VARIANT* poValue) {
  const BlockDef* pBlock = ResolveBlock(g_WriteBlocks, pwszBlock);
  if (!pBlock) {
    m_strWriteRefusal = WideFromAscii("no block of that name takes writes");
    return S_FALSE;
  }

  if (pBlock->iSet != kCustomBlock) {
    const PropSetDef& set = g_PropSets[pBlock->iSet];
    int iRow = LookupRow(set, pwszName);
    if (iRow < 0) {
      m_strWriteRefusal = WideFromAscii("the block has no attribute of that name");
      return S_FALSE;
    }
    PROPSPEC spec = {};
    spec.ulKind = PRSPEC_PROPID;
    spec.propid = set.pTable[iRow].propid;
    return WriteProperty(*set.pFmtid, spec, poValue, set.pTable[iRow].vt, false);
  }

  if (!pwszName) return S_FALSE;
  // The types of the existing custom properties decide how a value is stored;
  // a list that cannot be loaded leaves the incoming type.
  if (m_CustomList.empty()) {
    // Without the list the value could be stored under the wrong type.
    HRESULT hr = LoadCustomProps();
    if (IsMemoryFailure(hr)) return hr;
  }
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

HRESULT CompDocProperties::WriteProperty(REFFMTID fmtid, const PROPSPEC& spec,
                                         const VARIANT* poValue, VARTYPE vt, bool bCustom) {
  (void)bCustom;
  if (!m_pPropSetStorage) return S_FALSE;
  IPropertyStorage* pPropStg = nullptr;
  try {
    // Narrow strings go in the code page their set declares, custom or not:
    // any other encoding would corrupt the text for every reader.
    UINT uCodePage = vt == VT_LPSTR ? SetNarrowCodePage(m_pPropSetStorage, fmtid) : UINT(CP_ACP);
    StoredValue stored;
    if (!AttributeToStored(poValue, vt, uCodePage, stored)) {
      m_strWriteRefusal = WideFromAscii("the value cannot be stored as the property's type");
      return S_FALSE;
    }

    HRESULT hr = m_pPropSetStorage->Open(fmtid, kModeSetReadWrite, &pPropStg);
    if (hr == STG_E_INVALIDHEADER) {
      // A damaged set is replaced by a new one holding only this property.
      pPropStg = nullptr;
      hr = m_pPropSetStorage->Delete(fmtid);
      if (FAILED(hr)) {
        m_strWriteRefusal = DescribeFailure("the damaged property set cannot be replaced", hr);
        return hr;
      }
      hr = STG_E_FILENOTFOUND;
    }
    if (hr == STG_E_FILENOTFOUND) {
      pPropStg = nullptr;
      hr =
          m_pPropSetStorage->Create(fmtid, nullptr, PROPSETFLAG_ANSI, kModeSetReadWrite, &pPropStg);
    }
    if (FAILED(hr) || !pPropStg) {
      if (FAILED(hr)) m_strWriteRefusal = DescribeFailure("the property set cannot be opened", hr);
      return FAILED(hr) ? hr : E_FAIL;
    }

    if (stored.bDelete)
      hr = pPropStg->DeleteMultiple(1, &spec);
    else
      hr = pPropStg->WriteMultiple(1, &spec, &stored.oValue, PID_FIRST_USABLE);
    if (SUCCEEDED(hr)) {
      hr = pPropStg->Commit(STGC_DEFAULT);
      if (SUCCEEDED(hr)) {
        m_bCommitPending = true;
      } else {
        m_strWriteRefusal = DescribeFailure("the property set's commit failed", hr);
        // Not written: the set's own release must not write the change later.
        (void)pPropStg->Revert();
      }
    } else {
      m_strWriteRefusal = DescribeFailure("the property set refused the value", hr);
    }
    pPropStg->Release();
    return FAILED(hr) ? hr : S_OK;
  } catch (...) {
    if (pPropStg) pPropStg->Release();
    FreeValues();
    (void)CloseStorage();
    return E_FAIL;
  }
}
