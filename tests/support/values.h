// Value factories for tests and the sample maker: PROPSPECs, PROPVARIANTs
// and VARIANTs of one type each. A PROPVARIANT's text is borrowed (it lives
// in static storage or the caller's holder, never freed through it); a
// VARIANT's BSTR is allocated and belongs to the caller (VariantClear).
// Header-only, so tools that are not tests use them too.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <ole2.h>

namespace velmora::test {

inline PROPSPEC specId(PROPID id) {
  PROPSPEC s = {};
  s.ulKind = PRSPEC_PROPID;
  s.propid = id;
  return s;
}

inline PROPSPEC specName(const char16_t* name) {
  PROPSPEC s = {};
  s.ulKind = PRSPEC_LPWSTR;
  s.lpwstr = const_cast<LPOLESTR>(name);
  return s;
}

inline PROPVARIANT pvOfType(VARTYPE vt) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = vt;
  return v;
}

inline PROPVARIANT pvWide(const char16_t* text) {
  auto v = pvOfType(VT_LPWSTR);
  v.pwszVal = const_cast<LPWSTR>(text);
  return v;
}

inline PROPVARIANT pvNarrow(const char* text) {
  auto v = pvOfType(VT_LPSTR);
  v.pszVal = const_cast<LPSTR>(text);
  return v;
}

inline PROPVARIANT pvI2(SHORT n) {
  auto v = pvOfType(VT_I2);
  v.iVal = n;
  return v;
}

inline PROPVARIANT pvI4(LONG n) {
  auto v = pvOfType(VT_I4);
  v.lVal = n;
  return v;
}

inline PROPVARIANT pvR4(float f) {
  auto v = pvOfType(VT_R4);
  v.fltVal = f;
  return v;
}

inline PROPVARIANT pvR8(double d) {
  auto v = pvOfType(VT_R8);
  v.dblVal = d;
  return v;
}

inline PROPVARIANT pvBool(bool b) {
  auto v = pvOfType(VT_BOOL);
  v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

// A VT_BOOL holding any stored value, as odd producers write them.
inline PROPVARIANT pvRawBool(SHORT stored) {
  auto v = pvOfType(VT_BOOL);
  v.boolVal = stored;
  return v;
}

// A UTC time of day on a date; an impossible date leaves the FILETIME zero.
inline PROPVARIANT pvFileTime(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0,
                              WORD second = 0) {
  SYSTEMTIME st = {};
  st.wYear = year, st.wMonth = month, st.wDay = day;
  st.wHour = hour, st.wMinute = minute, st.wSecond = second;
  auto v = pvOfType(VT_FILETIME);
  if (!SystemTimeToFileTime(&st, &v.filetime)) v.filetime = FILETIME{};
  return v;
}

inline VARIANT vOfType(VARTYPE vt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  return v;
}

// A BSTR copy of `text` (null stays null).
inline VARIANT vText(const char16_t* text) {
  auto v = vOfType(VT_BSTR);
  v.bstrVal = text ? SysAllocString(text) : nullptr;
  return v;
}

inline VARIANT vI4(LONG n) {
  auto v = vOfType(VT_I4);
  v.lVal = n;
  return v;
}

inline VARIANT vR4(float f) {
  auto v = vOfType(VT_R4);
  v.fltVal = f;
  return v;
}

inline VARIANT vR8(double d) {
  auto v = vOfType(VT_R8);
  v.dblVal = d;
  return v;
}

inline VARIANT vDate(DATE d) {
  auto v = vOfType(VT_DATE);
  v.date = d;
  return v;
}

inline VARIANT vBool(VARIANT_BOOL b) {
  auto v = vOfType(VT_BOOL);
  v.boolVal = b;
  return v;
}

// A currency of `units` ten-thousandths.
inline VARIANT vCurrency(LONGLONG units) {
  auto v = vOfType(VT_CY);
  v.cyVal.int64 = units;
  return v;
}

}  // namespace velmora::test
