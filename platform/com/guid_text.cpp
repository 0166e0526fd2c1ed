// GUIDs as registry text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case
// hexadecimal, as the registry's class-id keys spell them.
#include <objbase.h>

namespace {

int hexDigit(OLECHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits at `p`; false if any is not one.
bool readHex(const OLECHAR*& p, int digits, uint64_t& out) {
  out = 0;
  for (int i = 0; i < digits; ++i, ++p) {
    int d = hexDigit(*p);
    if (d < 0) return false;
    out = out << 4 | static_cast<uint64_t>(d);
  }
  return true;
}

}  // namespace

EXTERN_C int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  constexpr int kChars = 39;  // braces, 32 digits, 4 dashes, terminator
  if (!lpsz || cchMax < kChars) return 0;
  static const char16_t kHex[] = u"0123456789ABCDEF";
  BYTE bytes[16];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(rguid.Data1 >> (24 - 8 * i));
  bytes[4] = static_cast<BYTE>(rguid.Data2 >> 8);
  bytes[5] = static_cast<BYTE>(rguid.Data2);
  bytes[6] = static_cast<BYTE>(rguid.Data3 >> 8);
  bytes[7] = static_cast<BYTE>(rguid.Data3);
  for (int i = 0; i < 8; ++i) bytes[8 + i] = rguid.Data4[i];
  OLECHAR* p = lpsz;
  *p++ = u'{';
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = u'-';
    *p++ = kHex[bytes[i] >> 4];
    *p++ = kHex[bytes[i] & 15];
  }
  *p++ = u'}';
  *p = 0;
  return kChars;
}

EXTERN_C HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  *pclsid = CLSID_NULL;
  if (!lpsz || !*lpsz) return S_OK;
  const OLECHAR* p = lpsz;
  uint64_t v;
  GUID g{};
  if (*p++ != u'{' || !readHex(p, 8, v)) return CO_E_CLASSSTRING;
  g.Data1 = static_cast<uint32_t>(v);
  if (*p++ != u'-' || !readHex(p, 4, v)) return CO_E_CLASSSTRING;
  g.Data2 = static_cast<uint16_t>(v);
  if (*p++ != u'-' || !readHex(p, 4, v)) return CO_E_CLASSSTRING;
  g.Data3 = static_cast<uint16_t>(v);
  if (*p++ != u'-') return CO_E_CLASSSTRING;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && *p++ != u'-') return CO_E_CLASSSTRING;
    if (!readHex(p, 2, v)) return CO_E_CLASSSTRING;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  if (*p++ != u'}' || *p) return CO_E_CLASSSTRING;
  *pclsid = g;
  return S_OK;
}
