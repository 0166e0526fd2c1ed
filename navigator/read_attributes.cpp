// Attribute reading: every record of an array, or the first one the store
// delivers in the order of a block-priority list.
#include <map>

#include "navigator/comp_doc_file.h"
#include "navigator/str_tok.h"

namespace {
constexpr WCHAR kListDelimiters[] = {u'\n', 0};
}

HRESULT STDMETHODCALLTYPE CCompDocFile::ReadAttributes(LONG, LONG lStopFlag, LONG,
                                                       LONG lArraySize,
                                                       VltAttribute* poAttribArray) {
  if (!poAttribArray) return E_POINTER;
  try {
    HRESULT hr = LoadProperties(m_strFilePath.c_str(), false);
    if (FAILED(hr)) return hr;
    for (LONG i = 0; i < lArraySize; ++i) {
      VltAttribute& oRecord = poAttribArray[i];
      if (GetProperty(oRecord.bsBlock, oRecord.bsName, &oRecord.oValue)) {
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

    std::map<LONG, int> tried;
    auto tryRecord = [&](LONG i) {
      VltAttribute& oRecord = poAttribArray[i];
      if (GetProperty(oRecord.bsBlock, oRecord.bsName, &oRecord.oValue)) {
        oRecord.bHandled = 1;
        return true;
      }
      tried[i] = 0;
      return false;
    };

    StrTok tokens(bsPrioBlockList);
    for (const WCHAR* pPos = tokens.FirstToken(kListDelimiters); pPos;) {
      WideString token = tokens.NextToken(&pPos, kListDelimiters);
      for (LONG i = 0; i < lArraySize; ++i) {
        if (tried.count(i)) continue;
        if (!NamesEqual(token.c_str(), poAttribArray[i].bsBlock)) continue;
        if (tryRecord(i)) return S_OK;
      }
    }
    for (LONG i = 0; i < lArraySize; ++i) {
      if (tried.count(i)) continue;
      if (tryRecord(i)) return S_OK;
    }
    return S_OK;
  } catch (...) {
    return VLT_E_FILE_ACCESS;
  }
}
