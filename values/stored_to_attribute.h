// Stored property values (PROPVARIANT) to the attribute values (VARIANT) the
// host receives.
#pragma once
#include <windows.h>
#include <ole2.h>

#include "values/value_error.h"
#include "values/wide_string.h"

// Converts `poStored` into `poAttr` by the stored type: numbers, booleans
// and dates keep their kind, every string becomes a BSTR, a vector of doubles
// becomes lines of text, and file times become local automation dates.
// VT_EMPTY clears `poAttr` and counts as delivered. Types without a value
// form give E_INVALIDARG with `poAttr` cleared (vectors of other types leave
// it untouched). Narrow strings are decoded from `uCodePage`, the narrow code
// page of their set (NarrowCodePageOf); CP_UTF8 decodes them as
// DecodeUtf8Text does. Raises ValueError when memory runs out or a code-page
// decoding fails.
HRESULT StoredToAttribute(VARIANT* poAttr, const PROPVARIANT* poStored, UINT uCodePage);

// As above, with narrow strings in UTF-8 (`bUtf8`) or the ANSI code page.
inline HRESULT StoredToAttribute(VARIANT* poAttr, const PROPVARIANT* poStored, bool bUtf8) {
  return StoredToAttribute(poAttr, poStored, bUtf8 ? UINT(CP_UTF8) : UINT(CP_ACP));
}

// Decodes UTF-8 text; bytes that are not valid UTF-8 are decoded in the
// thread's ANSI code page instead. A null text gives the empty text.
WideString DecodeUtf8Text(LPCSTR pszText);

// The local automation date of a UTC file time, with the offset in force
// now; 0.0 for a zero file time or one that does not convert.
DATE FileTimeToLocalDate(const FILETIME& ftUtc);
