// Codec values <-> PROPVARIANT, with the string handling of the Windows
// property-set implementation ("Code Pages and Unicode Strings"):
// - VT_LPSTR of a code-page-1200 set is stored as UTF-16 and handed out in
//   the system ANSI code page; in any other set it is stored and handed out
//   byte for byte, up to its first NUL ([MS-OLEPS] <1>).
// - VT_BSTR keeps its stored length and is converted with the set's code page.
// - VT_LPWSTR is UTF-16 in every set.
// Everything handed out is allocated as PropVariantClear frees it: strings,
// blobs, CLSIDs, CLIPDATA and vector buffers with CoTaskMemAlloc, BSTRs with
// SysAllocStringLen.
#pragma once
#include <propidl.h>

#include <string>

#include "propset/codec.h"

namespace velmora::propset {

// Fills `out` (treated as uninitialised) with a deep copy of `value`; arrays
// become SAFEARRAYs. On failure `out` is VT_EMPTY and nothing leaks. Fails
// with E_OUTOFMEMORY, or HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION).
Result<void> toPropVariant(const Value& value, uint16_t codePage, PROPVARIANT* out);

// The stored form of a caller's value in a set of `codePage`. VT_BYREF values
// are dereferenced. Fails with STG_E_PROPSETMISMATCHED for stream and storage
// types, STG_E_INVALIDPARAMETER for types a simple set cannot hold or values
// with null buffers, and HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION) for
// text the code page cannot express.
Result<Value> fromPropVariant(const PROPVARIANT& pv, uint16_t codePage);

// A dictionary name as UTF-16, up to its first NUL. Names of code pages the
// platform cannot convert come back one byte per character (Latin-1), so that
// they still compare and round-trip.
std::u16string decodeName(const std::vector<uint8_t>& stored, uint16_t codePage);

// A name's stored form in `codePage`, NUL included. Fails with
// HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION) when it cannot be expressed.
Result<std::vector<uint8_t>> encodeName(std::u16string_view name, uint16_t codePage);

}  // namespace velmora::propset
