// The custom-property list: the user-defined set's properties by name, with
// its code page held as an extra first record.
#include <list>
#include <new>

#include "propstore/comp_doc_properties.h"
#include "storage/storage_services.h"
#include "values/narrow_code_page.h"

namespace {

using CustomList = std::list<CompDocProperties::CustomProps*>;

// A record that takes `value`, at the list's front or end; false, the value
// cleared, for want of memory.
bool AddRecord(CustomList& list, LPCWSTR pwszName, PROPID propid, PROPVARIANT& value, bool bFront) {
  CompDocProperties::CustomProps* pRecord = nullptr;
  try {
    WideString name = pwszName ? WideString(pwszName) : WideString();
    pRecord = new CompDocProperties::CustomProps(std::move(name), propid, value);
    if (bFront)
      list.push_front(pRecord);
    else
      list.push_back(pRecord);
    return true;
  } catch (...) {
    if (pRecord)
      delete pRecord;  // owns the value now
    else
      PropVariantClear(&value);
    return false;
  }
}

// The set's properties onto the list in enumeration order. One that cannot
// be read is passed over, unless memory ran out.
HRESULT AppendCustomRecords(CustomList& list, IPropertyStorage* pPropStg, IEnumSTATPROPSTG* pEnum) {
  STATPROPSTG stat = {};
  HRESULT hrNext;
  while ((hrNext = pEnum->Next(1, &stat, nullptr)) == S_OK) {
    PROPSPEC request = {};
    request.ulKind = PRSPEC_PROPID;
    request.propid = stat.propid;
    PROPVARIANT value;
    PropVariantInit(&value);
    HRESULT hr = pPropStg->ReadMultiple(1, &request, &value);
    if (FAILED(hr)) {
      CoTaskMemFree(stat.lpwstrName);
      if (!IsMemoryFailure(hr)) continue;
      return hr;
    }
    const bool bAdded = AddRecord(list, stat.lpwstrName, stat.propid, value, false);
    CoTaskMemFree(stat.lpwstrName);
    if (!bAdded) return E_OUTOFMEMORY;
  }
  return IsMemoryFailure(hrNext) ? hrNext : S_OK;
}

// The set's code page as the list's first record, when the set has one.
// Without the record the list's narrow strings would be misread, so a
// failure for want of memory is the list's.
HRESULT PrependCodePageRecord(CustomList& list, IPropertyStorage* pPropStg) {
  PROPSPEC codePage = {};
  codePage.ulKind = PRSPEC_PROPID;
  codePage.propid = PID_CODEPAGE;
  PROPVARIANT value;
  PropVariantInit(&value);
  HRESULT hr = pPropStg->ReadMultiple(1, &codePage, &value);
  if (hr == S_OK)
    return AddRecord(list, kCodePageRecordName, PID_CODEPAGE, value, true) ? S_OK : E_OUTOFMEMORY;
  PropVariantClear(&value);
  return IsMemoryFailure(hr) ? hr : S_OK;
}

}  // namespace

HRESULT CompDocProperties::LoadCustomProps() {
  if (!m_pPropSetStorage) return S_FALSE;
  m_CustomIndex.reset();
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

  HRESULT hrResult = AppendCustomRecords(m_CustomList, pPropStg, pEnum);
  const HRESULT hrCodePage = PrependCodePageRecord(m_CustomList, pPropStg);
  if (hrCodePage != S_OK) hrResult = hrCodePage;

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
