// Narrow code pages of property sets.
#include "values/narrow_code_page.h"

UINT NarrowCodePageOf(const PROPVARIANT* poCodePage) {
  if (!poCodePage || poCodePage->vt != VT_I2) return CP_ACP;
  // A 16-bit field: 65001 reads as -535 when taken as signed.
  const UINT uCodePage = static_cast<USHORT>(poCodePage->iVal);
  if (uCodePage == CP_UTF8) return CP_UTF8;
  // 0-3 are the pseudo code pages (CP_ACP ... CP_THREAD_ACP), 1200 is
  // UTF-16 and UTF-7 is no code page a set's 8-bit strings are in.
  if (uCodePage <= CP_THREAD_ACP || uCodePage == 1200 || uCodePage == CP_UTF7 ||
      uCodePage == GetACP())
    return CP_ACP;
  // The platform knows a code page when it converts a byte of it.
  if (MultiByteToWideChar(uCodePage, 0, "a", 1, nullptr, 0) <= 0) return CP_ACP;
  return uCodePage;
}

UINT SetNarrowCodePage(IPropertySetStorage* poPropSetStg, REFFMTID fmtid) {
  IPropertyStorage* pPropStg = nullptr;
  if (poPropSetStg->Open(fmtid, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &pPropStg) != S_OK) {
    if (pPropStg) pPropStg->Release();
    return CP_ACP;
  }
  PROPSPEC spec = {};
  spec.ulKind = PRSPEC_PROPID;
  spec.propid = PID_CODEPAGE;
  PROPVARIANT value;
  PropVariantInit(&value);
  UINT uCodePage = CP_ACP;
  if (pPropStg->ReadMultiple(1, &spec, &value) == S_OK) uCodePage = NarrowCodePageOf(&value);
  PropVariantClear(&value);
  pPropStg->Release();
  return uCodePage;
}
