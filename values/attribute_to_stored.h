// Attribute values (VARIANT) from the host to stored property values
// (PROPVARIANT) of a given type.
#pragma once
#include <windows.h>
#include <ole2.h>

#include <string>

#include "values/value_error.h"
#include "values/wide_string.h"

// What a conversion made and must keep alive until the value is written:
// the stored value points into these buffers or into the incoming value.
struct StoredValue {
  PROPVARIANT oValue;      // zeroed, then of the target type
  bool bDelete = false;    // delete the property instead of writing it
  WideString strText;      // the incoming value's text
  std::string strNarrow;   // narrow text for VT_LPSTR
  BSTR bsOwned = nullptr;  // a BSTR made for a VT_BSTR target

  StoredValue() { PropVariantInit(&oValue); }
  ~StoredValue() { SysFreeString(bsOwned); }
  StoredValue(const StoredValue&) = delete;
  StoredValue& operator=(const StoredValue&) = delete;
};

// Fills `oStored` from `poIn` as type `vtTarget`. Most types go through the
// value's text (numbers parsed as far as they go, text without digits gives
// 0); dates through the automation date, file times from local time to UTC.
// An empty value for VT_FILETIME marks the property for deletion. Narrow
// strings are encoded into `uCodePage`, the narrow code page of the set
// (NarrowCodePageOf): CP_UTF8 as EncodeUtf8Text does, CP_ACP in the
// thread's ANSI code page, any other code page as it is; all but UTF-8
// exactly, without best fit. Returns false, touching nothing, for a target
// type it does not convert, for a file time whose date cannot be taken and
// for text that the narrow code page cannot hold exactly. Raises ValueError
// when the value has no text form or memory runs out.
bool AttributeToStored(const VARIANT* poIn, VARTYPE vtTarget, UINT uCodePage, StoredValue& oStored);

// As above, with narrow strings in UTF-8 (`bUtf8`) or the ANSI code page.
inline bool AttributeToStored(const VARIANT* poIn, VARTYPE vtTarget, bool bUtf8,
                              StoredValue& oStored) {
  return AttributeToStored(poIn, vtTarget, bUtf8 ? UINT(CP_UTF8) : UINT(CP_ACP), oStored);
}

// UTF-8 bytes of wide text; a null text gives the empty text.
std::string EncodeUtf8Text(LPCWSTR pwszText);

// Whether the property set `fmtid` exists and its code-page property says
// UTF-8 (65001).
bool SetUsesUtf8(IPropertySetStorage* poPropSetStg, REFFMTID fmtid);
