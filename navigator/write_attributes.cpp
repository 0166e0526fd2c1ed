// Attribute writing: every record of an array, or the first one the store
// accepts in the order of a block-priority list. The document stays open
// for writing until it is closed.
#include "navigator/comp_doc_file.h"
#include "navigator/priority_walk.h"

namespace {

// A private copy of a record's value: the store may convert it in place, and
// the host's own value must stay as the host put it.
struct ValueCopy {
  VARIANT v;
  explicit ValueCopy(const VARIANT& source) {
    VariantInit(&v);
    // Older SDK headers take a non-const source.
    HRESULT hr = VariantCopy(&v, const_cast<VARIANT*>(&source));
    if (FAILED(hr)) throw ValueError(hr);
  }
  ~ValueCopy() { VariantClear(&v); }
};
}  // namespace

HRESULT CCompDocFile::WriteRecord(VltAttribute& oRecord) {
  ValueCopy copy(oRecord.oValue);
  return SetProperty(oRecord.bsBlock, oRecord.bsName, &copy.v);
}

HRESULT STDMETHODCALLTYPE CCompDocFile::WriteAttributes(LONG, LONG lStopFlag, LONG,
                                                        LONG lArraySize,
                                                        VltAttribute* poAttribArray, LONG) {
  if (!poAttribArray) return E_POINTER;
  try {
    if (!m_bWritable) {
      HRESULT hr = OpenStorage(m_strFilePath.c_str(), false);
      if (FAILED(hr)) return hr;
    }
    for (LONG i = 0; i < lArraySize; ++i) {
      // A record whose write or set commit failed stays unhandled; the
      // others are still tried.
      if (WriteRecord(poAttribArray[i]) == S_OK) {
        poAttribArray[i].bHandled = 1;
        if (lStopFlag) break;
      }
    }
    return S_OK;
  } catch (...) {
    return VLT_E_FILE_ACCESS;
  }
}

HRESULT STDMETHODCALLTYPE CCompDocFile::AttribSetFirst(LONG lArraySize,
                                                       VltAttribute* poAttribArray,
                                                       BSTR bsPrioBlockList) {
  if (!poAttribArray) return E_POINTER;
  try {
    if (!m_bWritable) {
      HRESULT hr = OpenStorage(m_strFilePath.c_str(), false);
      if (FAILED(hr)) return hr;
    }
    WalkPriorityList(lArraySize, poAttribArray, bsPrioBlockList, [&](LONG i) {
      if (WriteRecord(poAttribArray[i]) != S_OK) return false;
      poAttribArray[i].bHandled = 1;
      return true;
    });
    return S_OK;
  } catch (...) {
    return VLT_E_FILE_ACCESS;
  }
}
