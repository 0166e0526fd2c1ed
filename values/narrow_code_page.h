// The code page a property set's narrow strings (VT_LPSTR) are decoded from
// and encoded into: the one its code-page property (PID_CODEPAGE) declares.
#pragma once
#include <windows.h>
#include <ole2.h>

// The narrow code page of a set whose code-page property holds `poCodePage`
// (null when the set has none): CP_UTF8 for 65001, the declared code page
// when the platform can convert it, and CP_ACP, the ANSI code page, for a
// set without one, with 1200 (its VT_LPSTR values come back in the ANSI code
// page), with the ANSI code page itself, or with one the platform does not
// know.
UINT NarrowCodePageOf(const PROPVARIANT* poCodePage);

// The narrow code page of the property set `fmtid` as it is in the document
// (CP_ACP when the set does not exist yet: it is created with the ANSI code
// page).
UINT SetNarrowCodePage(IPropertySetStorage* poPropSetStg, REFFMTID fmtid);
