// What the oleauto room shares between its VARIANT and PROPVARIANT services:
// the VARTYPE rules and the widths of the by-value members.
#pragma once
#include <oleauto.h>
#include <propidl.h>

#include <cstddef>

#include "base/value_sizes.h"

namespace velmora::oleauto {

// A VARTYPE a VARIANT may hold: base type 0-14, 16-23, VT_RECORD or VT_CLSID;
// no modifiers or VT_BYREF, VT_ARRAY or both; never VT_VECTOR or VT_RESERVED;
// VT_EMPTY and VT_NULL only without modifiers.
bool isValidVariantType(VARTYPE vt);

// Makes `dest` (pvRecord, pRecInfo) an independent copy of the record of
// `src`: a zeroed block of IRecordInfo::GetSize bytes filled by RecordCopy,
// and one more reference to the record info. A record without record info
// copies only when it has no data either (E_INVALIDARG otherwise).
HRESULT copyRecord(VARIANT& dest, const VARIANT& src);

// Bytes of the by-value member of a scalar type (VT_I1 1 ... VT_R8 8, pointers
// for VT_BSTR and interfaces), 0 for types that have no such member.
inline size_t variantValueSize(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH: return sizeof(void*);
    // A VARIANT holds no FILETIME or CLSID by value, and a DECIMAL fills
    // the whole VARIANT rather than its value member.
    case VT_FILETIME:
    case VT_CLSID:
    case VT_DECIMAL: return 0;
    default: return base::fixedValueSize(vt);
  }
}

}  // namespace velmora::oleauto
