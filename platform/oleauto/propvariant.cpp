// PROPVARIANT lifetime: PropVariantClear, PropVariantCopy and
// FreePropVariantArray. Everything a PROPVARIANT owns comes from the task
// allocator (strings, CLSIDs, CLIPDATA and its data, blobs, vector element
// arrays), except BSTRs (SysAllocString*) and interfaces (reference counts).
// The set of valid types is Windows XP's and later, as Wine's ole32
// propvariant.c test records it for PropVariantClear.
#include "oleauto/variant_types.h"

#include <objbase.h>

#include <cstring>

namespace velmora::oleauto {
namespace {

bool isScalarPropType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_ERROR:
    case VT_BOOL:
    case VT_DECIMAL:
    case VT_VARIANT:
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_RECORD:
    case VT_LPSTR:
    case VT_LPWSTR:
    case VT_FILETIME:
    case VT_BLOB:
    case VT_STREAM:
    case VT_STORAGE:
    case VT_STREAMED_OBJECT:
    case VT_STORED_OBJECT:
    case VT_BLOB_OBJECT:
    case VT_CF:
    case VT_CLSID:
    case VT_VERSIONED_STREAM: return true;
    default: return false;
  }
}

// Element types allowed with VT_ARRAY, and with VT_BYREF.
bool isArrayOrByrefElement(VARTYPE base) {
  switch (base) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_ERROR:
    case VT_BOOL:
    case VT_DECIMAL:
    case VT_VARIANT:
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_RECORD: return true;
    default: return false;
  }
}

// Bytes of one element of a VT_VECTOR of `base`; 0 when no such vector exists.
size_t vectorElementSize(VARTYPE base) {
  switch (base) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_ERROR: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE: return 8;
    case VT_FILETIME: return sizeof(FILETIME);
    case VT_BSTR: return sizeof(BSTR);
    case VT_LPSTR: return sizeof(LPSTR);
    case VT_LPWSTR: return sizeof(LPWSTR);
    case VT_CF: return sizeof(CLIPDATA);
    case VT_CLSID: return sizeof(CLSID);
    case VT_VARIANT: return sizeof(PROPVARIANT);
    default: return 0;
  }
}

bool isValidPropType(VARTYPE vt) {
  const VARTYPE base = vt & VT_TYPEMASK;
  switch (vt & ~VARTYPE(VT_TYPEMASK)) {
    case 0: return isScalarPropType(base);
    case VT_VECTOR: return vectorElementSize(base) != 0;
    case VT_ARRAY:
    case VT_BYREF: return isArrayOrByrefElement(base);
    default: return false;
  }
}

// CLIPDATA::cbSize counts the 4-byte format field and the data after it.
size_t clipDataBytes(const CLIPDATA& cd) {
  return cd.cbSize > sizeof(cd.ulClipFmt) ? cd.cbSize - sizeof(cd.ulClipFmt) : 0;
}

// The versioned-stream payload, which propidl.h does not spell out in the
// union: a task-allocator block holding a GUID and an IStream*.
struct VersionedStream {
  GUID guidVersion;
  IStream* pStream;
};

void releaseUnknown(void* p) {
  if (p) static_cast<IUnknown*>(p)->Release();
}

void addRefUnknown(void* p) {
  if (p) static_cast<IUnknown*>(p)->AddRef();
}

void clearVectorElements(PROPVARIANT& pv) {
  const ULONG n = pv.cac.cElems;
  switch (pv.vt & VT_TYPEMASK) {
    case VT_BSTR:
      for (ULONG i = 0; pv.cabstr.pElems && i < n; ++i) SysFreeString(pv.cabstr.pElems[i]);
      break;
    case VT_LPSTR:
      for (ULONG i = 0; pv.calpstr.pElems && i < n; ++i) CoTaskMemFree(pv.calpstr.pElems[i]);
      break;
    case VT_LPWSTR:
      for (ULONG i = 0; pv.calpwstr.pElems && i < n; ++i) CoTaskMemFree(pv.calpwstr.pElems[i]);
      break;
    case VT_CF:
      for (ULONG i = 0; pv.caclipdata.pElems && i < n; ++i) {
        CoTaskMemFree(pv.caclipdata.pElems[i].pClipData);
      }
      break;
    case VT_VARIANT:
      for (ULONG i = 0; pv.capropvar.pElems && i < n; ++i)
        PropVariantClear(&pv.capropvar.pElems[i]);
      break;
    default: break;
  }
  CoTaskMemFree(pv.cac.pElems);
}

void* duplicate(const void* src, size_t bytes) {
  void* p = CoTaskMemAlloc(bytes);
  if (p && bytes) std::memcpy(p, src, bytes);
  return p;
}

BSTR duplicateBstr(BSTR b) {
  return SysAllocStringByteLen(reinterpret_cast<LPCSTR>(b), SysStringByteLen(b));
}

// The copy helpers below leave `to` as it is when there is nothing to copy:
// it holds a bit copy of the source, or zeroes.
HRESULT copyBstr(BSTR& to, BSTR from) {
  if (!from) return S_OK;
  to = duplicateBstr(from);
  return to ? S_OK : E_OUTOFMEMORY;
}

HRESULT copyText(LPSTR& to, const char* from) {
  if (!from) return S_OK;
  to = static_cast<LPSTR>(duplicate(from, std::strlen(from) + 1));
  return to ? S_OK : E_OUTOFMEMORY;
}

HRESULT copyText(LPWSTR& to, const WCHAR* from) {
  if (!from) return S_OK;
  size_t len = 0;
  while (from[len]) ++len;
  to = static_cast<LPWSTR>(duplicate(from, (len + 1) * sizeof(WCHAR)));
  return to ? S_OK : E_OUTOFMEMORY;
}

HRESULT copyClipData(CLIPDATA& to, const CLIPDATA& from) {
  to = from;
  to.pClipData = nullptr;
  if (!from.pClipData) return S_OK;
  to.pClipData = static_cast<BYTE*>(duplicate(from.pClipData, clipDataBytes(from)));
  return to.pClipData ? S_OK : E_OUTOFMEMORY;
}

// Element `i` of a vector of `base` elements of `size` bytes each.
HRESULT copyVectorElement(PROPVARIANT& dest, const PROPVARIANT& src, VARTYPE base, size_t size,
                          ULONG i) {
  switch (base) {
    case VT_BSTR: return copyBstr(dest.cabstr.pElems[i], src.cabstr.pElems[i]);
    case VT_LPSTR: return copyText(dest.calpstr.pElems[i], src.calpstr.pElems[i]);
    case VT_LPWSTR: return copyText(dest.calpwstr.pElems[i], src.calpwstr.pElems[i]);
    case VT_CF: return copyClipData(dest.caclipdata.pElems[i], src.caclipdata.pElems[i]);
    case VT_VARIANT: return PropVariantCopy(&dest.capropvar.pElems[i], &src.capropvar.pElems[i]);
    default:
      std::memcpy(reinterpret_cast<BYTE*>(dest.cac.pElems) + i * size,
                  reinterpret_cast<const BYTE*>(src.cac.pElems) + i * size, size);
      return S_OK;
  }
}

// Deep-copies the elements of a vector; `dest` holds a bit copy of `src`.
HRESULT copyVector(PROPVARIANT& dest, const PROPVARIANT& src) {
  const VARTYPE base = src.vt & VT_TYPEMASK;
  const size_t size = vectorElementSize(base);
  const ULONG n = src.cac.cElems;
  dest.cac.pElems = nullptr;
  if (n && !src.cac.pElems) return STG_E_INVALIDPARAMETER;
  if (n > SIZE_MAX / size) return E_OUTOFMEMORY;
  auto* elems = static_cast<BYTE*>(CoTaskMemAlloc(n * size));
  if (!elems) return E_OUTOFMEMORY;
  std::memset(elems, 0, n * size);  // so a partial copy can be cleared
  dest.cac.pElems = reinterpret_cast<CHAR*>(elems);
  HRESULT hr = S_OK;
  for (ULONG i = 0; i < n && SUCCEEDED(hr); ++i) hr = copyVectorElement(dest, src, base, size, i);
  return hr;
}

HRESULT copyClipDataValue(PROPVARIANT& dest, const PROPVARIANT& src) {
  if (!src.pclipdata) return S_OK;
  dest.pclipdata = static_cast<CLIPDATA*>(duplicate(src.pclipdata, sizeof(CLIPDATA)));
  if (!dest.pclipdata) return E_OUTOFMEMORY;
  return copyClipData(*dest.pclipdata, *src.pclipdata);
}

HRESULT copyVersionedStream(PROPVARIANT& dest, const PROPVARIANT& src) {
  const auto* from = reinterpret_cast<const VersionedStream*>(src.punkVal);
  dest.punkVal = nullptr;
  if (!from) return S_OK;
  auto* to = static_cast<VersionedStream*>(duplicate(from, sizeof *from));
  if (!to) return E_OUTOFMEMORY;
  addRefUnknown(to->pStream);
  std::memcpy(&dest.punkVal, &to, sizeof(void*));
  return S_OK;
}

HRESULT copyRecordValue(PROPVARIANT& dest, const PROPVARIANT& src) {
  VARIANT from;
  VARIANT to;
  std::memcpy(static_cast<void*>(&from), &src, sizeof from);
  const HRESULT hr = copyRecord(to, from);
  std::memcpy(&dest.punkVal, &to.pvRecord, sizeof(void*) * 2);
  return hr;
}

HRESULT copyOwned(PROPVARIANT& dest, const PROPVARIANT& src) {
  const VARTYPE vt = src.vt;
  if (vt & VT_BYREF) return S_OK;
  if (vt & VT_VECTOR) return copyVector(dest, src);
  if (vt & VT_ARRAY) {
    dest.parray = nullptr;
    return SafeArrayCopy(src.parray, &dest.parray);
  }
  switch (vt) {
    case VT_BSTR: return copyBstr(dest.bstrVal, src.bstrVal);
    case VT_LPSTR: return copyText(dest.pszVal, src.pszVal);
    case VT_LPWSTR: return copyText(dest.pwszVal, src.pwszVal);
    case VT_CLSID:
      if (!src.puuid) return S_OK;
      dest.puuid = static_cast<CLSID*>(duplicate(src.puuid, sizeof(CLSID)));
      return dest.puuid ? S_OK : E_OUTOFMEMORY;
    case VT_CF: return copyClipDataValue(dest, src);
    case VT_BLOB:
    case VT_BLOB_OBJECT:
      if (!src.blob.pBlobData) return S_OK;
      dest.blob.pBlobData = static_cast<BYTE*>(duplicate(src.blob.pBlobData, src.blob.cbSize));
      return dest.blob.pBlobData ? S_OK : E_OUTOFMEMORY;
    case VT_DISPATCH:
    case VT_UNKNOWN:
    case VT_STREAM:
    case VT_STREAMED_OBJECT:
    case VT_STORAGE:
    case VT_STORED_OBJECT: addRefUnknown(src.punkVal); return S_OK;
    case VT_VERSIONED_STREAM: return copyVersionedStream(dest, src);
    case VT_RECORD: return copyRecordValue(dest, src);
    default: return S_OK;  // scalars: the bit copy is the copy
  }
}

}  // namespace
}  // namespace velmora::oleauto

using namespace velmora::oleauto;

EXTERN_C HRESULT WINAPI PropVariantClear(PROPVARIANT* pvar) {
  if (!pvar) return S_OK;
  const VARTYPE vt = pvar->vt;
  if (!isValidPropType(vt)) return STG_E_INVALIDPARAMETER;
  HRESULT hr = S_OK;
  if (vt & VT_VECTOR) {
    clearVectorElements(*pvar);
  } else if (vt & VT_ARRAY) {
    hr = SafeArrayDestroy(pvar->parray);
    if (FAILED(hr)) return hr;
  } else if (!(vt & VT_BYREF)) {
    switch (vt) {
      case VT_BSTR: SysFreeString(pvar->bstrVal); break;
      case VT_LPSTR:
      case VT_LPWSTR:
      case VT_CLSID: CoTaskMemFree(pvar->pszVal); break;
      case VT_CF:
        if (pvar->pclipdata) {
          CoTaskMemFree(pvar->pclipdata->pClipData);
          CoTaskMemFree(pvar->pclipdata);
        }
        break;
      case VT_BLOB:
      case VT_BLOB_OBJECT: CoTaskMemFree(pvar->blob.pBlobData); break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
      case VT_STREAM:
      case VT_STREAMED_OBJECT:
      case VT_STORAGE:
      case VT_STORED_OBJECT: releaseUnknown(pvar->punkVal); break;
      case VT_VERSIONED_STREAM:
        if (auto* vs = reinterpret_cast<VersionedStream*>(pvar->punkVal)) {
          releaseUnknown(vs->pStream);
          CoTaskMemFree(vs);
        }
        break;
      case VT_RECORD: {
        VARIANT record;
        std::memcpy(static_cast<void*>(&record), pvar, sizeof record);
        if (record.pRecInfo) {
          record.pRecInfo->RecordClear(record.pvRecord);
          record.pRecInfo->Release();
        }
        break;
      }
      default: break;
    }
  }
  std::memset(pvar, 0, sizeof *pvar);
  return hr;
}

EXTERN_C HRESULT WINAPI PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc) {
  if (!pvarDest || !pvarSrc) return E_INVALIDARG;
  if (!isValidPropType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  // The destination is overwritten, not cleared: it is taken to hold nothing.
  std::memcpy(static_cast<void*>(pvarDest), pvarSrc, sizeof *pvarDest);
  const HRESULT hr = copyOwned(*pvarDest, *pvarSrc);
  if (FAILED(hr)) {
    PropVariantClear(pvarDest);  // frees what was already duplicated
  }
  return hr;
}

EXTERN_C HRESULT WINAPI FreePropVariantArray(ULONG cVariants, PROPVARIANT* rgvars) {
  if (!rgvars) return E_INVALIDARG;
  for (ULONG i = 0; i < cVariants; ++i) PropVariantClear(&rgvars[i]);
  return S_OK;
}
