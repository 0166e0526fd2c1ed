// Stored value to attribute value.
#include "values/stored_to_attribute.h"

#include <cstdio>
#include <memory>

namespace {

// A VARIANT cleared when it goes out of scope, so a raised error frees what a
// half-made value holds.
struct ScopedVariant {
  VARIANT v;
  ScopedVariant() { VariantInit(&v); }
  ~ScopedVariant() { VariantClear(&v); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
};

BSTR AllocBstr(const WCHAR* pText, size_t cch) {
  return CheckAlloc(SysAllocStringLen(pText, static_cast<UINT>(cch)));
}

// Decodes narrow text in an 8-bit code page over the whole text and its
// terminator; a failed decoding raises the platform's last error.
WideString DecodeAnsi(UINT uCodePage, LPCSTR pszText) {
  int cch = MultiByteToWideChar(uCodePage, 0, pszText, -1, nullptr, 0);
  if (cch <= 0) ThrowLastError();
  WideString text(static_cast<size_t>(cch), u'\0');
  if (MultiByteToWideChar(uCodePage, 0, pszText, -1, text.data(), cch) <= 0) ThrowLastError();
  text.resize(static_cast<size_t>(cch) - 1);
  return text;
}

size_t TextLength(const WCHAR* p) { return p ? static_cast<size_t>(lstrlenW(p)) : 0; }

// "%.3lf\r\n" for every element, the last one included.
WideString VectorOfDoublesText(const CADBL& vec) {
  WideString text;
  for (ULONG i = 0; i < vec.cElems; ++i) {
    char line[512];
    int n = std::snprintf(line, sizeof line, "%.3lf\r\n", vec.pElems[i]);
    for (int k = 0; k < n && k < static_cast<int>(sizeof line) - 1; ++k)
      text.push_back(static_cast<WCHAR>(static_cast<unsigned char>(line[k])));
  }
  return text;
}

}  // namespace

WideString DecodeUtf8Text(LPCSTR pszText) {
  if (!pszText) return WideString();
  int cch = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pszText, -1, nullptr, 0);
  if (cch == 0) return DecodeAnsi(CP_THREAD_ACP, pszText);
  WideString text(static_cast<size_t>(cch) + 1, u'\0');
  MultiByteToWideChar(CP_UTF8, 0, pszText, -1, text.data(), cch + 1);
  text.resize(TextLength(text.c_str()));
  return text;
}

DATE FileTimeToLocalDate(const FILETIME& ftUtc) {
  if (ftUtc.dwLowDateTime == 0 && ftUtc.dwHighDateTime == 0) return 0.0;
  FILETIME ftLocal;
  SYSTEMTIME stLocal;
  DATE date = 0.0;
  if (!FileTimeToLocalFileTime(&ftUtc, &ftLocal)) return 0.0;
  if (!FileTimeToSystemTime(&ftLocal, &stLocal)) return 0.0;
  if (!SystemTimeToVariantTime(&stLocal, &date)) return 0.0;
  // The round trip catches dates the automation calendar cannot hold.
  SYSTEMTIME stCheck = {};
  if (!VariantTimeToSystemTime(date, &stCheck)) return 0.0;
  if (stCheck.wYear != stLocal.wYear || stCheck.wMonth != stLocal.wMonth ||
      stCheck.wDay != stLocal.wDay || stCheck.wHour != stLocal.wHour ||
      stCheck.wMinute != stLocal.wMinute || stCheck.wSecond != stLocal.wSecond)
    return 0.0;
  return date;
}

HRESULT StoredToAttribute(VARIANT* poAttr, const PROPVARIANT* poStored, UINT uCodePage) {
  ScopedVariant tmp;
  VARIANT& v = tmp.v;
  const VARTYPE vt = poStored->vt;

  if (vt & VT_VECTOR) {
    if (vt != (VT_VECTOR | VT_R8)) return E_INVALIDARG;
    WideString text = VectorOfDoublesText(poStored->cadbl);
    v.bstrVal = AllocBstr(text.data(), text.size());
    v.vt = VT_BSTR;
  } else {
    switch (vt) {
      case VT_EMPTY: return VariantClear(poAttr);
      case VT_I2:
        v.vt = VT_I2;
        v.iVal = poStored->iVal;
        break;
      case VT_I4:
        v.vt = VT_I4;
        v.lVal = poStored->lVal;
        break;
      case VT_R4:
        // Delivered widened; a host column of doubles takes it as it is.
        v.vt = VT_R8;
        v.dblVal = poStored->fltVal;
        break;
      case VT_R8:
        v.vt = VT_R8;
        v.dblVal = poStored->dblVal;
        break;
      case VT_DATE:
        v.vt = VT_DATE;
        v.date = poStored->date;
        break;
      case VT_BSTR:
        v.bstrVal = poStored->bstrVal ? AllocBstr(poStored->bstrVal, TextLength(poStored->bstrVal))
                                      : nullptr;
        v.vt = VT_BSTR;
        break;
      case VT_BOOL:
        v.vt = VT_BOOL;
        v.boolVal = poStored->boolVal ? VARIANT_TRUE : VARIANT_FALSE;
        break;
      case VT_LPSTR: {
        if (poStored->pszVal) {
          WideString text = uCodePage == CP_UTF8 ? DecodeUtf8Text(poStored->pszVal)
                                                 : DecodeAnsi(uCodePage, poStored->pszVal);
          v.bstrVal = AllocBstr(text.data(), text.size());
        }
        v.vt = VT_BSTR;
        break;
      }
      case VT_LPWSTR:
        v.bstrVal = poStored->pwszVal ? AllocBstr(poStored->pwszVal, TextLength(poStored->pwszVal))
                                      : nullptr;
        v.vt = VT_BSTR;
        break;
      case VT_FILETIME:
        v.vt = VT_DATE;
        v.date = FileTimeToLocalDate(poStored->filetime);
        break;
      default: VariantClear(poAttr); return E_INVALIDARG;
    }
  }
  return VariantCopy(poAttr, &v);
}
