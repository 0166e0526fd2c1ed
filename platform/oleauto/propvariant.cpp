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
  for (ULONG i = 0; i < n && SUCCEEDED(hr); ++i) {
    switch (base) {
      case VT_BSTR:
        if (src.cabstr.pElems[i]) {
          dest.cabstr.pElems[i] = duplicateBstr(src.cabstr.pElems[i]);
          if (!dest.cabstr.pElems[i]) hr = E_OUTOFMEMORY;
        }
        break;
      case VT_LPSTR:
        if (src.calpstr.pElems[i]) {
          const char* s = src.calpstr.pElems[i];
          dest.calpstr.pElems[i] = static_cast<LPSTR>(duplicate(s, std::strlen(s) + 1));
          if (!dest.calpstr.pElems[i]) hr = E_OUTOFMEMORY;
        }
        break;
      case VT_LPWSTR:
        if (src.calpwstr.pElems[i]) {
          const WCHAR* s = src.calpwstr.pElems[i];
          size_t len = 0;
          while (s[len]) ++len;
          dest.calpwstr.pElems[i] = static_cast<LPWSTR>(duplicate(s, (len + 1) * sizeof(WCHAR)));
          if (!dest.calpwstr.pElems[i]) hr = E_OUTOFMEMORY;
        }
        break;
      case VT_CF: {
        const CLIPDATA& from = src.caclipdata.pElems[i];
        CLIPDATA& to = dest.caclipdata.pElems[i];
        to = from;
        to.pClipData = nullptr;
        if (from.pClipData) {
          to.pClipData = static_cast<BYTE*>(duplicate(from.pClipData, clipDataBytes(from)));
          if (!to.pClipData) hr = E_OUTOFMEMORY;
        }
        break;
      }
      case VT_VARIANT:
        hr = PropVariantCopy(&dest.capropvar.pElems[i], &src.capropvar.pElems[i]);
        break;
      default:
        std::memcpy(elems + i * size, reinterpret_cast<const BYTE*>(src.cac.pElems) + i * size,
                    size);
        break;
    }
  }
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
    case VT_BSTR:
      if (!src.bstrVal) return S_OK;
      dest.bstrVal = duplicateBstr(src.bstrVal);
      return dest.bstrVal ? S_OK : E_OUTOFMEMORY;
    case VT_LPSTR:
      if (!src.pszVal) return S_OK;
      dest.pszVal = static_cast<LPSTR>(duplicate(src.pszVal, std::strlen(src.pszVal) + 1));
      return dest.pszVal ? S_OK : E_OUTOFMEMORY;
    case VT_LPWSTR: {
      if (!src.pwszVal) return S_OK;
      size_t len = 0;
      while (src.pwszVal[len]) ++len;
      dest.pwszVal = static_cast<LPWSTR>(duplicate(src.pwszVal, (len + 1) * sizeof(WCHAR)));
      return dest.pwszVal ? S_OK : E_OUTOFMEMORY;
    }
    case VT_CLSID:
      if (!src.puuid) return S_OK;
      dest.puuid = static_cast<CLSID*>(duplicate(src.puuid, sizeof(CLSID)));
      return dest.puuid ? S_OK : E_OUTOFMEMORY;
    case VT_CF: {
      if (!src.pclipdata) return S_OK;
      dest.pclipdata = static_cast<CLIPDATA*>(duplicate(src.pclipdata, sizeof(CLIPDATA)));
      if (!dest.pclipdata) return E_OUTOFMEMORY;
      dest.pclipdata->pClipData = nullptr;
      if (src.pclipdata->pClipData) {
        dest.pclipdata->pClipData =
            static_cast<BYTE*>(duplicate(src.pclipdata->pClipData, clipDataBytes(*src.pclipdata)));
        if (!dest.pclipdata->pClipData) return E_OUTOFMEMORY;
      }
      return S_OK;
    }
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
    case VT_VERSIONED_STREAM: {
      const auto* from = reinterpret_cast<const VersionedStream*>(src.punkVal);
      dest.punkVal = nullptr;
      if (!from) return S_OK;
      auto* to = static_cast<VersionedStream*>(duplicate(from, sizeof *from));
      if (!to) return E_OUTOFMEMORY;
      addRefUnknown(to->pStream);
      std::memcpy(&dest.punkVal, &to, sizeof(void*));
      return S_OK;
    }
    case VT_RECORD: {
      VARIANT from;
      VARIANT to;
      std::memcpy(static_cast<void*>(&from), &src, sizeof from);
      const HRESULT hr = copyRecord(to, from);
      std::memcpy(&dest.punkVal, &to.pvRecord, sizeof(void*) * 2);
      return hr;
    }
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
