// The custom-property list: the user-defined set's properties by name, with
// its code page held as an extra first record.
#include <new>

#include "propstore/comp_doc_properties.h"
#include "storage/storage_services.h"
#include "values/narrow_code_page.h"

HRESULT CompDocProperties::LoadCustomProps() {
  if (!m_pPropSetStorage) return S_FALSE;
  m_CustomIndex.reset();
  HRESULT hrResult = S_OK;
  IPropertyStorage* pPropStg = nullptr;
  // No custom set, or one that cannot be opened: nothing to list, and that
  // is no failure of the load, unless memory ran out.
  m_strCustomRefusal.clear();
  HRESULT hrOpen = m_pPropSetStorage->Open(FMTID_UserDefinedProperties, kModeSetRead, &pPropStg);
  if (FAILED(hrOpen) || !pPropStg) {
    if (FAILED(hrOpen) && hrOpen != STG_E_FILENOTFOUND)
      m_strCustomRefusal = DescribeFailure("its property set cannot be read", hrOpen);
    return IsMemoryFailure(hrOpen) ? hrOpen : S_OK;
  }

  IEnumSTATPROPSTG* pEnum = nullptr;
  HRESULT hrEnum = pPropStg->Enum(&pEnum);
  if (FAILED(hrEnum) || !pEnum) {
    pPropStg->Release();
    return FAILED(hrEnum) ? hrEnum : E_FAIL;
  }

  STATPROPSTG stat = {};
  HRESULT hrNext;
  while ((hrNext = pEnum->Next(1, &stat, nullptr)) == S_OK) {
    PROPSPEC spec = {};
    spec.ulKind = PRSPEC_PROPID;
    spec.propid = stat.propid;
    PROPVARIANT value;
    PropVariantInit(&value);
    HRESULT hr = pPropStg->ReadMultiple(1, &spec, &value);
    if (FAILED(hr)) {
      CoTaskMemFree(stat.lpwstrName);
      if (!IsMemoryFailure(hr)) continue;
      hrResult = hr;
      break;
    }
    CustomProps* pRecord = nullptr;
    try {
      WideString name = stat.lpwstrName ? WideString(stat.lpwstrName) : WideString();
      pRecord = new CustomProps(std::move(name), stat.propid, value);
      m_CustomList.push_back(pRecord);
    } catch (...) {
      if (pRecord)
        delete pRecord;  // owns the value now
      else
        PropVariantClear(&value);
      CoTaskMemFree(stat.lpwstrName);
      hrResult = E_OUTOFMEMORY;
      break;
    }
    CoTaskMemFree(stat.lpwstrName);
  }
  if (hrResult == S_OK && IsMemoryFailure(hrNext)) hrResult = hrNext;

  PROPSPEC codePage = {};
  codePage.ulKind = PRSPEC_PROPID;
  codePage.propid = PID_CODEPAGE;
  PROPVARIANT value;
  PropVariantInit(&value);
  HRESULT hrCodePage = pPropStg->ReadMultiple(1, &codePage, &value);
  if (hrCodePage == S_OK) {
    CustomProps* pRecord = nullptr;
    try {
      pRecord = new CustomProps(WideString(kCodePageRecordName), PID_CODEPAGE, value);
      m_CustomList.push_front(pRecord);
    } catch (...) {
      if (pRecord)
        delete pRecord;
      else
        PropVariantClear(&value);
      hrResult = E_OUTOFMEMORY;
    }
  } else {
    PropVariantClear(&value);
    // Without the record the list's narrow strings would be misread.
    if (IsMemoryFailure(hrCodePage)) hrResult = hrCodePage;
  }

  pEnum->Release();
  pPropStg->Release();
  if (FAILED(hrResult)) {
    // A partial list would decide later writes' types as if it were whole.
    for (CustomProps* pRecord : m_CustomList) delete pRecord;
    m_CustomList.clear();
  }
  return hrResult;
}

bool CompDocProperties::CustomListIsUtf8() const { return CustomListCodePage() == CP_UTF8; }

UINT CompDocProperties::CustomListCodePage() const {
  if (m_CustomList.empty()) return CP_ACP;
  const CustomProps* pHead = m_CustomList.front();
  if (!NamesEqual(pHead->strName.c_str(), kCodePageRecordName)) return CP_ACP;
  return NarrowCodePageOf(&pHead->oValue);
}
