// Attribute value to stored value.
#include "values/attribute_to_stored.h"

#include <cstdlib>

#include "values/narrow_code_page.h"

namespace {

// The incoming value's text: a BSTR is copied; anything else is changed to
// VT_BSTR by the platform, and a value without a text form raises.
// Older SDK headers declare VariantChangeType with a non-const source, hence
// the casts below; the source is not changed.
WideString TextOf(const VARIANT* poIn, bool* pbAbsent = nullptr) {
  if (poIn->vt == VT_BSTR) {
    if (pbAbsent) *pbAbsent = poIn->bstrVal == nullptr;
    return poIn->bstrVal ? WideString(poIn->bstrVal, SysStringLen(poIn->bstrVal)) : WideString();
  }
  VARIANT vText;
  VariantInit(&vText);
  HRESULT hr = VariantChangeType(&vText, const_cast<VARIANT*>(poIn), 0, VT_BSTR);
  if (FAILED(hr)) throw ValueError(hr);
  if (pbAbsent) *pbAbsent = vText.bstrVal == nullptr;
  WideString text =
      vText.bstrVal ? WideString(vText.bstrVal, SysStringLen(vText.bstrVal)) : WideString();
  VariantClear(&vText);
  return text;
}

// The incoming value's automation date; false when it has none.
bool DateOf(const VARIANT* poIn, DATE& date) {
  date = 0.0;
  if (poIn->vt == VT_DATE) {
    date = poIn->date;
    return true;
  }
  VARIANT vDate;
  VariantInit(&vDate);
  if (FAILED(VariantChangeType(&vDate, const_cast<VARIANT*>(poIn), 0, VT_DATE))) return false;
  date = vDate.date;
  VariantClear(&vDate);
  return true;
}

bool LocalDateToFileTime(DATE date, FILETIME& ftUtc) {
  SYSTEMTIME stLocal = {};
  SYSTEMTIME stUtc = {};
  if (!VariantTimeToSystemTime(date, &stLocal)) return false;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &stLocal, &stUtc)) return false;
  return SystemTimeToFileTime(&stUtc, &ftUtc) != FALSE;
}

// `pwszText` (up to its first NUL) in `uCodePage`, without best fit; false
// when some character has no exact form there.
bool EncodeExactly(const WCHAR* pwszText, UINT uCodePage, std::string& bytes) {
  BOOL bUsedDefault = FALSE;
  int cb = WideCharToMultiByte(uCodePage, WC_NO_BEST_FIT_CHARS, pwszText, -1, nullptr, 0, nullptr,
                               &bUsedDefault);
  if (cb <= 0 || bUsedDefault) return false;
  bytes.assign(static_cast<size_t>(cb), '\0');
  if (WideCharToMultiByte(uCodePage, WC_NO_BEST_FIT_CHARS, pwszText, -1, bytes.data(), cb, nullptr,
                          &bUsedDefault) != cb ||
      bUsedDefault)
    return false;
  bytes.resize(static_cast<size_t>(cb) - 1);
  return true;
}

// Text up to its first NUL: the C runtime parsers stop there too.
const WCHAR* ParseText(const WideString& text) { return text.c_str(); }

}  // namespace

std::string EncodeUtf8Text(LPCWSTR pwszText) {
  if (!pwszText) return std::string();
  int cb = WideCharToMultiByte(CP_UTF8, 0, pwszText, -1, nullptr, 0, nullptr, nullptr);
  if (cb <= 0) return std::string();
  std::string bytes(static_cast<size_t>(cb) + 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, pwszText, -1, bytes.data(), cb + 1, nullptr, nullptr);
  bytes.resize(std::char_traits<char>::length(bytes.c_str()));
  return bytes;
}

bool SetUsesUtf8(IPropertySetStorage* poPropSetStg, REFFMTID fmtid) {
  return SetNarrowCodePage(poPropSetStg, fmtid) == CP_UTF8;
}

bool AttributeToStored(const VARIANT* poIn, VARTYPE vtTarget, UINT uCodePage,
                       StoredValue& oStored) {
  PROPVARIANT& pv = oStored.oValue;
  switch (vtTarget) {
    case VT_EMPTY: break;
    case VT_I2:
    case VT_BOOL:
      oStored.strText = TextOf(poIn);
      // The low 16 bits, unchanged: "1" stores 1 and "True" stores 0.
      pv.iVal = static_cast<SHORT>(_wtoi(ParseText(oStored.strText)));
      break;
    case VT_I4:
      oStored.strText = TextOf(poIn);
      pv.lVal = _wtol(ParseText(oStored.strText));
      break;
    case VT_R4:
      oStored.strText = TextOf(poIn);
      pv.fltVal = static_cast<FLOAT>(_wtof(ParseText(oStored.strText)));
      break;
    case VT_R8:
      oStored.strText = TextOf(poIn);
      pv.dblVal = _wtof(ParseText(oStored.strText));
      break;
    case VT_DATE: {
      DATE date;
      if (!DateOf(poIn, date)) date = 0.0;
      pv.date = date;
      break;
    }
    case VT_BSTR: {
      bool bAbsent = false;
      oStored.strText = TextOf(poIn, &bAbsent);
      if (bAbsent) break;
      // Through the ANSI code page and back: what the code page cannot hold
      // comes back as its default character.
      const WCHAR* pText = oStored.strText.c_str();
      int cb = WideCharToMultiByte(CP_ACP, 0, pText, -1, nullptr, 0, nullptr, nullptr);
      if (cb <= 0) ThrowLastError();
      std::string narrow(static_cast<size_t>(cb), '\0');
      if (WideCharToMultiByte(CP_ACP, 0, pText, -1, narrow.data(), cb, nullptr, nullptr) <= 0)
        ThrowLastError();
      int cch = MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.c_str(), -1, nullptr, 0);
      if (cch <= 0) ThrowLastError();
      oStored.bsOwned = CheckAlloc(SysAllocStringLen(nullptr, static_cast<UINT>(cch - 1)));
      if (MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.c_str(), -1, oStored.bsOwned, cch) <= 0)
        ThrowLastError();
      pv.bstrVal = oStored.bsOwned;
      break;
    }
    case VT_LPSTR: {
      bool bAbsent = false;
      oStored.strText = TextOf(poIn, &bAbsent);
      if (bAbsent) break;
      if (uCodePage == CP_UTF8) {
        oStored.strNarrow = EncodeUtf8Text(oStored.strText.c_str());
        pv.pszVal = oStored.strNarrow.data();
        break;
      }
      // The set's own code page, or the thread's ANSI code page for a set in
      // it, in UTF-16 (its narrow strings pass through the ANSI code page) or
      // without a code page: text it cannot hold exactly is refused, never
      // stored as look-alikes or default characters.
      const UINT uTarget = uCodePage == CP_ACP ? UINT(CP_THREAD_ACP) : uCodePage;
      if (!EncodeExactly(oStored.strText.c_str(), uTarget, oStored.strNarrow)) return false;
      pv.pszVal = oStored.strNarrow.data();
      break;
    }
    case VT_LPWSTR: {
      bool bAbsent = false;
      oStored.strText = TextOf(poIn, &bAbsent);
      pv.pwszVal = bAbsent ? nullptr : oStored.strText.data();
      break;
    }
    case VT_FILETIME: {
      oStored.bDelete = poIn->vt == VT_EMPTY;
      if (oStored.bDelete) break;
      DATE date;
      // A value that is no date, or one before 1601, is not written: storing
      // a made-up instant would be worse than refusing the write.
      if (!DateOf(poIn, date) || !LocalDateToFileTime(date, pv.filetime)) return false;
      break;
    }
    default: return false;
  }
  pv.vt = vtTarget;
  return true;
}
