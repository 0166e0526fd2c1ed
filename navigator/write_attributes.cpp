// Attribute writing: every record of an array, or the first one the store
// accepts in the order of a block-priority list. The document stays open
// for writing until it is closed.
#include "navigator/comp_doc_file.h"

#include <new>

#include "navigator/priority_walk.h"
#include "storage/storage_services.h"

namespace {

// Keeps the refusal of record `i`; for want of memory it is lost, never the
// write.
void KeepReasonOf(std::vector<WideString>& reasons, LONG i, const WideString& why) {
  try {
    reasons[static_cast<size_t>(i)] = why;
  } catch (const std::bad_alloc&) {
  }
}

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

HRESULT STDMETHODCALLTYPE CCompDocFile::WriteAttributes(LONG, LONG lStopFlag, LONG, LONG lArraySize,
                                                        VltAttribute* poAttribArray, LONG) {
  if (!poAttribArray) return E_POINTER;
  try {
    if (!m_bWritable) {
      HRESULT hr = OpenStorage(m_strFilePath.c_str(), false);
      if (FAILED(hr)) return RefuseDocument(hr);
    }
    std::vector<WideString> reasons(static_cast<size_t>(lArraySize > 0 ? lArraySize : 0));
    for (LONG i = 0; i < lArraySize; ++i) {
      // A record whose write or set commit failed stays unhandled; the
      // others are still tried.
      if (WriteRecord(poAttribArray[i]) == S_OK) {
        poAttribArray[i].bHandled = 1;
        if (lStopFlag) break;
      } else {
        KeepReasonOf(reasons, i, WriteRefusal());
      }
    }
    ReportWriteRefusals(lArraySize, poAttribArray, reasons);
    return S_OK;
  } catch (...) {
    return VLT_E_FILE_ACCESS;
  }
}

HRESULT STDMETHODCALLTYPE CCompDocFile::AttribSetFirst(LONG lArraySize, VltAttribute* poAttribArray,
                                                       BSTR bsPrioBlockList) {
  if (!poAttribArray) return E_POINTER;
  try {
    if (!m_bWritable) {
      HRESULT hr = OpenStorage(m_strFilePath.c_str(), false);
      if (FAILED(hr)) return RefuseDocument(hr);
    }
    std::vector<WideString> reasons(static_cast<size_t>(lArraySize > 0 ? lArraySize : 0));
    bool bWritten = false;
    WalkPriorityList(lArraySize, poAttribArray, bsPrioBlockList, [&](LONG i) {
      if (WriteRecord(poAttribArray[i]) != S_OK) {
        KeepReasonOf(reasons, i, WriteRefusal());
        return false;
      }
      poAttribArray[i].bHandled = 1;
      bWritten = true;
      return true;
    });
    if (!bWritten) ReportWriteRefusals(lArraySize, poAttribArray, reasons);
    return S_OK;
  } catch (...) {
    return VLT_E_FILE_ACCESS;
  }
}

void CCompDocFile::ReportWriteRefusals(LONG lArraySize, const VltAttribute* poAttribArray,
                                       const std::vector<WideString>& reasons) {
  // For want of memory the reasons are lost, never the records.
  try {
    ReportWriteRefusalsOrThrow(lArraySize, poAttribArray, reasons);
  } catch (const std::bad_alloc&) {
  }
}

void CCompDocFile::ReportWriteRefusalsOrThrow(LONG lArraySize, const VltAttribute* poAttribArray,
                                              const std::vector<WideString>& reasons) {
  WideString strText;
  for (LONG i = 0; i < lArraySize; ++i) {
    const WideString& strWhy = reasons[static_cast<size_t>(i)];
    if (poAttribArray[i].bHandled == 1 || strWhy.empty()) continue;
    if (!strText.empty()) strText += WCHAR('\n');
    strText += WideString(poAttribArray[i].bsBlock ? poAttribArray[i].bsBlock : OLESTR("")) +
               WCHAR(':') +
               WideString(poAttribArray[i].bsName ? poAttribArray[i].bsName : OLESTR("")) +
               WCHAR(':') + WCHAR(' ') + strWhy;
  }
  if (!strText.empty()) SetErrorDescription(strText);
}
