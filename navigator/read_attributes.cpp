// Attribute reading: every record of an array, or the first one the store
// delivers in the order of a block-priority list.
#include "navigator/comp_doc_file.h"

#include <new>

#include "navigator/priority_walk.h"
#include "storage/storage_services.h"

HRESULT STDMETHODCALLTYPE CCompDocFile::ReadAttributes(LONG, LONG lStopFlag, LONG, LONG lArraySize,
                                                       VltAttribute* poAttribArray) {
  if (!poAttribArray) return E_POINTER;
  try {
    HRESULT hr = LoadProperties(m_strFilePath.c_str(), false);
    if (FAILED(hr)) return RefuseDocument(hr);
    bool bDelivered = false;
    for (LONG i = 0; i < lArraySize; ++i) {
      VltAttribute& oRecord = poAttribArray[i];
      // A value that could not be delivered for want of memory is a failed
      // read, not a missing property.
      if (ThrowIfOutOfMemory(GetProperty(oRecord.bsBlock, oRecord.bsName, &oRecord.oValue)) ==
          S_OK) {
        oRecord.bHandled = 1;
        bDelivered = true;
        if (lStopFlag) break;
      }
    }
    // A stop after the first record delivered leaves the rest untried.
    if (!lStopFlag || !bDelivered) ReportReadRefusals(lArraySize, poAttribArray);
    return S_OK;
  } catch (...) {
    return VLT_E_FILE_ACCESS;
  }
}

HRESULT STDMETHODCALLTYPE CCompDocFile::AttribGetFirst(LONG lArraySize, VltAttribute* poAttribArray,
                                                       BSTR bsPrioBlockList) {
  if (!poAttribArray) return E_POINTER;
  try {
    HRESULT hr = LoadProperties(m_strFilePath.c_str(), false);
    if (FAILED(hr)) return RefuseDocument(hr);

    bool bDelivered = false;
    WalkPriorityList(lArraySize, poAttribArray, bsPrioBlockList, [&](LONG i) {
      VltAttribute& oRecord = poAttribArray[i];
      if (ThrowIfOutOfMemory(GetProperty(oRecord.bsBlock, oRecord.bsName, &oRecord.oValue)) != S_OK)
        return false;
      oRecord.bHandled = 1;
      bDelivered = true;
      return true;
    });
    // The walk stops at the first record delivered; the others were not
    // refused.
    if (!bDelivered) ReportReadRefusals(lArraySize, poAttribArray);
    return S_OK;
  } catch (...) {
    return VLT_E_FILE_ACCESS;
  }
}

void CCompDocFile::ReportReadRefusals(LONG lArraySize, const VltAttribute* poAttribArray) {
  // For want of memory the reasons are lost, never the records.
  try {
    ReportReadRefusalsOrThrow(lArraySize, poAttribArray);
  } catch (const std::bad_alloc&) {
  }
}

void CCompDocFile::ReportReadRefusalsOrThrow(LONG lArraySize, const VltAttribute* poAttribArray) {
  WideString strText;
  for (LONG i = 0; i < lArraySize; ++i) {
    const VltAttribute& oRecord = poAttribArray[i];
    if (oRecord.bHandled == 1) continue;
    if (!m_strOpenRefusal.empty()) {
      // The whole document was refused: one reason says it.
      SetErrorDescription(m_strOpenRefusal);
      return;
    }
    WideString strWhy = ReadRefusal(oRecord.bsBlock, oRecord.bsName);
    if (strWhy.empty()) continue;
    if (!strText.empty()) strText += WCHAR('\n');
    strText += WideString(oRecord.bsBlock ? oRecord.bsBlock : OLESTR("")) + WCHAR(':') +
               WideString(oRecord.bsName ? oRecord.bsName : OLESTR("")) + WCHAR(':') + WCHAR(' ') +
               strWhy;
  }
  if (!strText.empty()) SetErrorDescription(strText);
}

HRESULT CCompDocFile::RefuseDocument(HRESULT hr) {
  if (!m_strOpenRefusal.empty()) SetErrorDescription(m_strOpenRefusal);
  return hr;
}
