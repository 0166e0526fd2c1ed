// VARIANT lifetime: VariantInit, VariantClear, VariantCopy, VariantCopyInd.
// Which VARTYPEs a VARIANT may hold, what each call frees, AddRefs and
// deep-copies, and when a VARIANT is left untouched follow the Windows
// results recorded in Wine's oleaut32 tests (vartest.c test_VariantClear,
// test_VariantCopy, which walk every type and modifier).
#include "oleauto/variant_types.h"

#include <objbase.h>

#include <cstring>

namespace velmora::oleauto {

bool isValidVariantType(VARTYPE vt) {
  const VARTYPE modifiers = vt & ~VARTYPE(VT_TYPEMASK);
  const VARTYPE base = vt & VT_TYPEMASK;
  if (modifiers & (VT_VECTOR | VT_RESERVED)) return false;
  const bool known = (base <= VT_DECIMAL) || (base >= VT_I1 && base <= VT_UINT) ||
                     base == VT_RECORD || base == VT_CLSID;
  if (!known) return false;
  if ((modifiers & (VT_BYREF | VT_ARRAY)) && base <= VT_NULL) return false;
  return true;
}

HRESULT copyRecord(VARIANT& dest, const VARIANT& src) {
  IRecordInfo* info = src.pRecInfo;
  dest.pvRecord = nullptr;
  dest.pRecInfo = nullptr;
  if (!info) return src.pvRecord ? E_INVALIDARG : S_OK;
  ULONG size = 0;
  HRESULT hr = info->GetSize(&size);
  if (FAILED(hr)) return hr;
  void* block = CoTaskMemAlloc(size);
  if (!block) return E_OUTOFMEMORY;
  std::memset(block, 0, size);
  hr = info->RecordCopy(src.pvRecord, block);
  if (FAILED(hr)) {
    CoTaskMemFree(block);
    return hr;
  }
  dest.pvRecord = block;
  dest.pRecInfo = info;
  info->AddRef();
  return S_OK;
}

namespace {

// Makes the by-value contents of `dest`, a bit copy of `src`, its own.
HRESULT ownContents(VARIANT& dest, const VARIANT& src) {
  const VARTYPE vt = src.vt;
  if (vt & VT_BYREF) return S_OK;  // references are shared, never deep-copied
  if (vt & VT_ARRAY) {
    dest.parray = nullptr;
    return SafeArrayCopy(src.parray, &dest.parray);
  }
  switch (vt) {
    case VT_BSTR:
      // Copied by byte length, so embedded NULs and odd lengths survive. A
      // null source stays null: callers that hand out an absent text as a
      // null BSTR rely on the copy keeping it so.
      if (!src.bstrVal) {
        dest.bstrVal = nullptr;
        return S_OK;
      }
      dest.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(src.bstrVal),
                                           SysStringByteLen(src.bstrVal));
      return dest.bstrVal ? S_OK : E_OUTOFMEMORY;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (src.punkVal) src.punkVal->AddRef();
      return S_OK;
    case VT_RECORD: return copyRecord(dest, src);
    default: return S_OK;
  }
}

}  // namespace
}  // namespace velmora::oleauto

using namespace velmora::oleauto;

// Windows 8.1 and later zero the whole structure; nothing old is freed.
EXTERN_C void WINAPI VariantInit(VARIANTARG* pvarg) { std::memset(pvarg, 0, sizeof *pvarg); }

EXTERN_C HRESULT WINAPI VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  const VARTYPE vt = pvarg->vt;
  if (!isValidVariantType(vt)) return DISP_E_BADVARTYPE;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      const HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;  // a locked array stays where it is
    } else {
      switch (vt) {
        case VT_BSTR: SysFreeString(pvarg->bstrVal); break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
          if (pvarg->punkVal) pvarg->punkVal->Release();
          break;
        case VT_RECORD:
          if (pvarg->pRecInfo) {
            pvarg->pRecInfo->RecordClear(pvarg->pvRecord);
            pvarg->pRecInfo->Release();
          }
          break;
        default: break;
      }
    }
  }
  // Only the type changes; the value bytes keep their old bits, as on Windows.
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

EXTERN_C HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  const VARTYPE vt = pvargSrc->vt;
  if (!isValidVariantType(vt) || (vt & VT_TYPEMASK) == VT_CLSID) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  std::memcpy(static_cast<void*>(pvargDest), pvargSrc, sizeof *pvargDest);
  hr = ownContents(*pvargDest, *pvargSrc);
  if (FAILED(hr)) VariantInit(pvargDest);
  return hr;
}

// Copies what a by-reference VARIANT points to into a by-value VARIANT; a
// by-value source is copied as VariantCopy copies it.
EXTERN_C HRESULT WINAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (!pvarDest || !pvargSrc) return E_INVALIDARG;
  if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
  const VARTYPE vt = pvargSrc->vt;
  if (!isValidVariantType(vt) || (vt & VT_TYPEMASK) == VT_CLSID) return DISP_E_BADVARTYPE;
  if (!pvargSrc->byref) return E_INVALIDARG;
  const VARTYPE base = vt & ~VARTYPE(VT_BYREF);

  VARIANT value;
  VariantInit(&value);
  HRESULT hr = S_OK;
  if (base == VT_VARIANT) {
    const VARIANT* inner = pvargSrc->pvarVal;
    // A reference to a reference is not followed further.
    if (inner->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
    hr = VariantCopy(&value, inner);
  } else if (base == VT_DECIMAL) {
    value.decVal = *pvargSrc->pdecVal;
    value.vt = VT_DECIMAL;  // decVal overlays the type field: store it first
  } else {
    VARIANT shallow;
    VariantInit(&shallow);
    shallow.vt = base;
    if (base & VT_ARRAY) {
      shallow.parray = *pvargSrc->pparray;
    } else if (base == VT_RECORD) {
      shallow.pvRecord = pvargSrc->pvRecord;
      shallow.pRecInfo = pvargSrc->pRecInfo;
    } else {
      const size_t size = variantValueSize(base);
      if (!size) return DISP_E_BADVARTYPE;
      std::memcpy(&shallow.llVal, pvargSrc->byref, size);
    }
    value = shallow;
    hr = ownContents(value, shallow);
  }
  if (FAILED(hr)) return hr;
  // Clear the destination only now: it may be the source itself.
  VARIANT old = *pvarDest;
  *pvarDest = value;
  VariantClear(&old);  // by-reference when it was the source: frees nothing
  return S_OK;
}
