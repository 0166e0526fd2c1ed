// SAFEARRAY descriptors and data, enough for VARIANTs that carry arrays:
// create, lock, access, copy (deep: BSTRs duplicated, interfaces AddRef'd,
// VARIANTs copied with VariantCopy) and destroy. The descriptor is laid out
// as Windows lays it out: 16 bytes in front of it hold the element VARTYPE
// (FADF_HAVEVARTYPE, at offset -4), an IID (FADF_HAVEIID) or an IRecordInfo
// pointer (FADF_RECORD); the bounds are stored in reverse order of creation.
#include <objbase.h>
#include <oleauto.h>

#include <cstring>
#include <new>

#include "oleauto/variant_types.h"

namespace velmora::oleauto {
namespace {

constexpr HRESULT kBadIndex = HRESULT(0x8002000B);  // DISP_E_BADINDEX
constexpr size_t kPrefix = 16;

ULONG elementSize(VARTYPE vt) {
  switch (vt) {
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return ULONG(velmora::oleauto::variantValueSize(vt));
  }
}

USHORT featuresOf(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR: return FADF_BSTR | FADF_HAVEVARTYPE;
    case VT_UNKNOWN: return FADF_UNKNOWN | FADF_HAVEIID;
    case VT_DISPATCH: return FADF_DISPATCH | FADF_HAVEIID;
    case VT_VARIANT: return FADF_VARIANT | FADF_HAVEVARTYPE;
    default: return FADF_HAVEVARTYPE;
  }
}

size_t descriptorSize(UINT dims) {
  return sizeof(SAFEARRAY) + (dims ? dims - 1 : 0) * sizeof(SAFEARRAYBOUND);
}

SAFEARRAY* allocateDescriptor(UINT dims) {
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(kPrefix + descriptorSize(dims)));
  if (!block) return nullptr;
  std::memset(block, 0, kPrefix + descriptorSize(dims));
  auto* psa = reinterpret_cast<SAFEARRAY*>(block + kPrefix);
  psa->cDims = USHORT(dims);
  return psa;
}

void freeDescriptor(SAFEARRAY* psa) { CoTaskMemFree(reinterpret_cast<BYTE*>(psa) - kPrefix); }

void setVartype(SAFEARRAY* psa, VARTYPE vt) {
  const DWORD value = vt;
  std::memcpy(reinterpret_cast<BYTE*>(psa) - sizeof(DWORD), &value, sizeof value);
}

size_t cellCount(const SAFEARRAY* psa) {
  if (!psa->cDims) return 0;
  size_t n = 1;
  for (UINT i = 0; i < psa->cDims; ++i) n *= psa->rgsabound[i].cElements;
  return n;
}

// Frees what the elements own; the data block itself stays.
HRESULT clearCells(SAFEARRAY* psa) {
  if (!psa->pvData) return S_OK;
  const size_t n = cellCount(psa);
  if (psa->fFeatures & FADF_BSTR) {
    auto* cells = static_cast<BSTR*>(psa->pvData);
    for (size_t i = 0; i < n; ++i) {
      SysFreeString(cells[i]);
      cells[i] = nullptr;
    }
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* cells = static_cast<IUnknown**>(psa->pvData);
    for (size_t i = 0; i < n; ++i) {
      if (cells[i]) cells[i]->Release();
      cells[i] = nullptr;
    }
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto* cells = static_cast<VARIANT*>(psa->pvData);
    for (size_t i = 0; i < n; ++i) VariantClear(&cells[i]);
  } else if (psa->fFeatures & FADF_RECORD) {
    IRecordInfo* info = nullptr;
    std::memcpy(&info, reinterpret_cast<BYTE*>(psa) - sizeof(void*), sizeof(void*));
    if (info) {
      auto* bytes = static_cast<BYTE*>(psa->pvData);
      for (size_t i = 0; i < n; ++i) info->RecordClear(bytes + i * psa->cbElements);
    }
  }
  return S_OK;
}

IRecordInfo* recordInfoOf(const SAFEARRAY* psa) {
  IRecordInfo* info = nullptr;
  std::memcpy(&info, reinterpret_cast<const BYTE*>(psa) - sizeof(void*), sizeof(void*));
  return info;
}

HRESULT copyBstrCells(const BSTR* from, BSTR* to, size_t cells) {
  for (size_t i = 0; i < cells; ++i) {
    if (!from[i]) continue;
    to[i] = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(from[i]), SysStringByteLen(from[i]));
    if (!to[i]) return E_OUTOFMEMORY;
  }
  return S_OK;
}

// The elements of `psa` into `to`, a zeroed block of `cells` elements: each
// as deep as its kind needs. On failure what was copied stays in `to` for the
// caller to clear.
HRESULT copyCells(const SAFEARRAY* psa, void* to, size_t cells) {
  const size_t bytes = cells * psa->cbElements;
  if (psa->fFeatures & FADF_BSTR)
    return copyBstrCells(static_cast<const BSTR*>(psa->pvData), static_cast<BSTR*>(to), cells);
  if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    std::memcpy(to, psa->pvData, bytes);
    auto* held = static_cast<IUnknown**>(to);
    for (size_t i = 0; i < cells; ++i) {
      if (held[i]) held[i]->AddRef();
    }
    return S_OK;
  }
  HRESULT hr = S_OK;
  if (psa->fFeatures & FADF_VARIANT) {
    auto* from = static_cast<VARIANT*>(psa->pvData);
    auto* into = static_cast<VARIANT*>(to);
    for (size_t i = 0; i < cells && SUCCEEDED(hr); ++i) hr = VariantCopy(&into[i], &from[i]);
    return hr;
  }
  if (psa->fFeatures & FADF_RECORD) {
    IRecordInfo* info = recordInfoOf(psa);
    auto* from = static_cast<BYTE*>(psa->pvData);
    auto* into = static_cast<BYTE*>(to);
    for (size_t i = 0; info && i < cells && SUCCEEDED(hr); ++i) {
      hr = info->RecordCopy(from + i * psa->cbElements, into + i * psa->cbElements);
    }
    return hr;
  }
  std::memcpy(to, psa->pvData, bytes);
  return S_OK;
}

}  // namespace
}  // namespace velmora::oleauto

using namespace velmora::oleauto;

EXTERN_C SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  if (!cDims || !rgsabound || cDims > 0xFFFF) return nullptr;
  const ULONG size = elementSize(vt);
  if (!size) return nullptr;
  size_t cells = 1;
  for (UINT i = 0; i < cDims; ++i) {
    if (rgsabound[i].cElements && cells > SIZE_MAX / size / rgsabound[i].cElements) return nullptr;
    cells *= rgsabound[i].cElements;
  }
  SAFEARRAY* psa = allocateDescriptor(cDims);
  if (!psa) return nullptr;
  psa->fFeatures = featuresOf(vt);
  psa->cbElements = size;
  if (psa->fFeatures & FADF_HAVEVARTYPE) setVartype(psa, vt);
  for (UINT i = 0; i < cDims; ++i) psa->rgsabound[i] = rgsabound[cDims - 1 - i];
  psa->pvData = CoTaskMemAlloc(cells * size);
  if (!psa->pvData) {
    freeDescriptor(psa);
    return nullptr;
  }
  std::memset(psa->pvData, 0, cells * size);
  return psa;
}

EXTERN_C SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

EXTERN_C HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
  clearCells(psa);
  if (!(psa->fFeatures & (FADF_STATIC | FADF_EMBEDDED | FADF_AUTO))) CoTaskMemFree(psa->pvData);
  psa->pvData = nullptr;
  if (psa->fFeatures & FADF_RECORD) {
    IRecordInfo* info = nullptr;
    std::memcpy(&info, reinterpret_cast<BYTE*>(psa) - sizeof(void*), sizeof(void*));
    if (info) info->Release();
  }
  freeDescriptor(psa);
  return S_OK;
}

EXTERN_C HRESULT WINAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  if (!psa->cbElements) return E_INVALIDARG;
  SAFEARRAY* copy = allocateDescriptor(psa->cDims);
  if (!copy) return E_OUTOFMEMORY;
  std::memcpy(reinterpret_cast<BYTE*>(copy) - kPrefix, reinterpret_cast<BYTE*>(psa) - kPrefix,
              kPrefix + descriptorSize(psa->cDims));
  copy->cLocks = 0;
  copy->fFeatures &= USHORT(~(FADF_STATIC | FADF_EMBEDDED | FADF_AUTO));
  copy->pvData = nullptr;
  if (copy->fFeatures & FADF_RECORD) {
    if (IRecordInfo* info = recordInfoOf(copy)) info->AddRef();
  }
  if (psa->pvData) {
    const size_t cells = cellCount(psa);
    const size_t bytes = cells * psa->cbElements;
    copy->pvData = CoTaskMemAlloc(bytes);
    if (!copy->pvData) {
      SafeArrayDestroy(copy);
      return E_OUTOFMEMORY;
    }
    std::memset(copy->pvData, 0, bytes);
    HRESULT hr = copyCells(psa, copy->pvData, cells);
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

EXTERN_C HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks >= 0xFFFF) return E_UNEXPECTED;
  ++psa->cLocks;
  return S_OK;
}

EXTERN_C HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (!psa->cLocks) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

EXTERN_C HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
  return hr;
}

EXTERN_C HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

EXTERN_C UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

EXTERN_C UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

EXTERN_C HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (!psa || !plLbound) return E_INVALIDARG;
  if (!nDim || nDim > psa->cDims) return kBadIndex;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

EXTERN_C HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (!psa || !plUbound) return E_INVALIDARG;
  if (!nDim || nDim > psa->cDims) return kBadIndex;
  const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
  *plUbound = LONG(int64_t(b.lLbound) + int64_t(b.cElements) - 1);
  return S_OK;
}

EXTERN_C HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (!psa || !pvt) return E_INVALIDARG;
  if (psa->fFeatures & FADF_RECORD) {
    *pvt = VT_RECORD;
  } else if ((psa->fFeatures & FADF_HAVEIID) && (psa->fFeatures & FADF_DISPATCH)) {
    *pvt = VT_DISPATCH;
  } else if (psa->fFeatures & FADF_HAVEIID) {
    *pvt = VT_UNKNOWN;
  } else if (psa->fFeatures & FADF_HAVEVARTYPE) {
    DWORD value = 0;
    std::memcpy(&value, reinterpret_cast<BYTE*>(psa) - sizeof value, sizeof value);
    *pvt = VARTYPE(value);
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}
