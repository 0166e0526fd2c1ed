// Widths of the fixed-size property and automation types: the one table the
// VARIANT copies, the SAFEARRAY element sizes and the property-set codec
// share.
#pragma once
#include <wtypes.h>

#include <cstddef>

namespace velmora::base {

// Bytes of one value of a fixed-size type (VT_I1 1 ... VT_FILETIME 8,
// VT_CLSID and VT_DECIMAL 16); 0 for types whose values carry their length
// or are pointers.
constexpr size_t fixedValueSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_ERROR:
    case VT_INT:
    case VT_UINT: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_FILETIME: return 8;
    case VT_CLSID:
    case VT_DECIMAL: return 16;
    default: return 0;
  }
}

}  // namespace velmora::base
