// Attribute reading: every record of an array, or the first one the store
// delivers in the order of a block-priority list.
#include "navigator/comp_doc_file.h"
#include "navigator/priority_walk.h"
#include "storage/storage_services.h"

HRESULT STDMETHODCALLTYPE CCompDocFile::ReadAttributes(LONG, LONG lStopFlag, LONG,
                                                       LONG lArraySize,
                                                       VltAttribute* poAttribArray) {
  if (!poAttribArray) return E_POINTER;
  try {
    HRESULT hr = LoadProperties(m_strFilePath.c_str(), false);
    if (FAILED(hr)) return hr;
    for (LONG i = 0; i < lArraySize; ++i) {
      VltAttribute& oRecord = poAttribArray[i];
      // A value that could not be delivered for want of memory is a failed
      // read, not a missing property.
      if (ThrowIfOutOfMemory(GetProperty(oRecord.bsBlock, oRecord.bsName, &oRecord.oValue)) ==
          S_OK) {
        oRecord.bHandled = 1;
        if (lStopFlag) break;
      }
    }
    return S_OK;
  } catch (...) {
    return VLT_E_FILE_ACCESS;
  }
}

HRESULT STDMETHODCALLTYPE CCompDocFile::AttribGetFirst(LONG lArraySize,
                                                       VltAttribute* poAttribArray,
                                                       BSTR bsPrioBlockList) {
  if (!poAttribArray) return E_POINTER;
  try {
    HRESULT hr = LoadProperties(m_strFilePath.c_str(), false);
    if (FAILED(hr)) return hr;

    WalkPriorityList(lArraySize, poAttribArray, bsPrioBlockList, [&](LONG i) {
      VltAttribute& oRecord = poAttribArray[i];
      if (ThrowIfOutOfMemory(GetProperty(oRecord.bsBlock, oRecord.bsName, &oRecord.oValue)) !=
          S_OK)
        return false;
      oRecord.bHandled = 1;
      return true;
    });
    return S_OK;
  } catch (...) {
    return VLT_E_FILE_ACCESS;
  }
}
