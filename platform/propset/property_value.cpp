// Codec values <-> PROPVARIANT; see property_value.h.
#include "propset/property_value.h"

#include "base/value_sizes.h"

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace velmora::propset {

using base::makeError;

// Packed vector elements are copied as they lie in memory; the stored order
// is little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

const HRESULT kNoTranslation = HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);

base::Error outOfMemory() { return makeError(E_OUTOFMEMORY, "out of memory"); }

std::u16string latin1(std::span<const uint8_t> bytes) {
  return std::u16string(bytes.begin(), bytes.end());
}

// 8-bit text in `codePage` to UTF-16; nothing when the platform cannot
// convert it.
std::optional<std::u16string> widen(std::span<const uint8_t> bytes, UINT codePage) {
  if (bytes.empty()) return std::u16string();
  if (bytes.size() > size_t(INT32_MAX)) return std::nullopt;
  auto src = reinterpret_cast<LPCCH>(bytes.data());
  int n = MultiByteToWideChar(codePage, 0, src, int(bytes.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::u16string out(size_t(n), u'\0');
  if (MultiByteToWideChar(codePage, 0, src, int(bytes.size()), out.data(), n) != n)
    return std::nullopt;
  return out;
}

// UTF-16 to 8-bit text in `codePage`. With `exact`, text the code page
// cannot hold fails instead of taking '?' or a best-fit character: a stored
// name or BSTR must come back as it was written, and two names must not
// collapse into one.
Result<std::vector<uint8_t>> narrow(std::u16string_view text, UINT codePage, bool exact) {
  if (text.empty()) return std::vector<uint8_t>();
  if (text.size() > size_t(INT32_MAX) / 4) return makeError(kNoTranslation, "text too long");
  const bool utf8 = codePage == CP_UTF8;
  DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : exact ? WC_NO_BEST_FIT_CHARS : 0;
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(codePage, flags, text.data(), int(text.size()), nullptr, 0, nullptr,
                              utf8 ? nullptr : &usedDefault);
  if (n <= 0 || (exact && usedDefault))
    return makeError(kNoTranslation, "text has no form in code page %u", codePage);
  std::vector<uint8_t> out(static_cast<size_t>(n));
  WideCharToMultiByte(codePage, flags, text.data(), int(text.size()),
                      reinterpret_cast<LPSTR>(out.data()), n, nullptr, nullptr);
  return out;
}

std::u16string fromUtf16le(std::span<const uint8_t> bytes) {
  std::u16string s(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = char16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return s;
}

std::vector<uint8_t> toUtf16le(std::u16string_view s) {
  std::vector<uint8_t> b;
  b.reserve(s.size() * 2);
  for (char16_t c : s) {
    b.push_back(uint8_t(c));
    b.push_back(uint8_t(c >> 8));
  }
  return b;
}

template <typename C>
std::basic_string_view<C> upToNul(std::basic_string_view<C> s) {
  size_t n = s.find(C(0));
  return n == s.npos ? s : s.substr(0, n);
}

std::span<const uint8_t> bytesUpToNul(std::span<const uint8_t> b) {
  auto it = std::find(b.begin(), b.end(), 0);
  return b.first(size_t(it - b.begin()));
}

template <typename T>
T* allocate(size_t count) {
  if (count > SIZE_MAX / sizeof(T)) return nullptr;
  void* p = CoTaskMemAlloc(count * sizeof(T));
  if (p) std::memset(p, 0, count * sizeof(T));
  return static_cast<T*>(p);
}

// Room for `bytes` copied whole right away: zeroing it first would only
// double the cost of a large value (a thumbnail).
BYTE* allocateCopy(std::span<const uint8_t> bytes) {
  auto* p = static_cast<BYTE*>(CoTaskMemAlloc(bytes.size()));
  if (p && !bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  return p;
}

// Bytes of one element of a vector or array of a fixed-size type, in the
// stream and in memory alike; 0 for types whose elements own buffers.
constexpr size_t packedElementSize(VARTYPE t) { return base::fixedValueSize(t); }

// --- stored -> PROPVARIANT --------------------------------------------------

Result<LPSTR> lpstrOut(const Value& v, uint16_t codePage) {
  std::vector<uint8_t> text;
  if (codePage == kCodePageUnicode) {
    std::u16string all = fromUtf16le(v.bytes);
    auto n = narrow(upToNul(std::u16string_view(all)), CP_ACP, false);
    if (!n) return n.error();
    text = std::move(n.value());
  } else {
    auto b = bytesUpToNul(v.bytes);
    text.assign(b.begin(), b.end());
  }
  auto* p = allocate<char>(text.size() + 1);
  if (!p) return outOfMemory();
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p;
}

Result<BSTR> bstrOut(const Value& v, uint16_t codePage) {
  std::u16string text;
  if (codePage == kCodePageUnicode) {
    text = fromUtf16le(v.bytes);
  } else {
    auto w = widen(v.bytes, codePage);
    text = w ? std::move(*w) : latin1(v.bytes);
  }
  // The stored count includes the terminator; the BSTR's length does not.
  if (!text.empty() && text.back() == u'\0') text.pop_back();
  BSTR b = SysAllocStringLen(text.data(), UINT(text.size()));
  if (!b) return outOfMemory();
  return b;
}

Result<LPWSTR> lpwstrOut(const Value& v) {
  auto text = upToNul(std::u16string_view(v.text));
  auto* p = allocate<WCHAR>(text.size() + 1);
  if (!p) return outOfMemory();
  std::copy(text.begin(), text.end(), p);
  return p;
}

Result<void> clipOut(const Value& v, CLIPDATA& cd) {
  cd.cbSize = ULONG(v.bytes.size() + 4);
  cd.ulClipFmt = v.clipFormat;
  cd.pClipData = allocateCopy(v.bytes);
  if (!cd.pClipData) return outOfMemory();
  return {};
}

// Packed fixed-size elements: their memory layout is their stored one.
Result<void> packedVectorOut(const Value& v, PROPVARIANT& pv) {
  size_t elem = packedElementSize(v.vt & VT_TYPEMASK);
  if (!elem) return makeError(STG_E_INVALIDPARAMETER, "vector of type 0x%04x", v.vt);
  pv.cac.cElems = ULONG(v.bytes.size() / elem);
  pv.cac.pElems = reinterpret_cast<CHAR*>(allocateCopy(v.bytes));
  if (!pv.cac.pElems) return outOfMemory();
  return {};
}

// Elements that own buffers, each made by `one` into the zeroed array: on
// failure the ones made so far are there for the caller to free.
template <typename T, typename Make>
Result<void> elementsOut(const Value& v, PROPVARIANT& pv, T*& elems, Make one) {
  const size_t n = v.elements.size();
  pv.cac.cElems = ULONG(n);
  elems = allocate<T>(n);
  if (!elems) return outOfMemory();
  for (size_t i = 0; i < n; ++i) TRY(one(v.elements[i], elems[i]));
  return {};
}

Result<void> vectorOut(const Value& v, PROPVARIANT& pv) {
  const uint16_t cp = pv.wReserved1;
  switch (v.vt & VT_TYPEMASK) {
    case VT_LPSTR:
      return elementsOut(v, pv, pv.calpstr.pElems,
                         [cp](const Value& e, LPSTR& out) -> Result<void> {
                           ASSIGN(s, lpstrOut(e, cp));
                           out = s;
                           return {};
                         });
    case VT_BSTR:
      return elementsOut(v, pv, pv.cabstr.pElems, [cp](const Value& e, BSTR& out) -> Result<void> {
        ASSIGN(s, bstrOut(e, cp));
        out = s;
        return {};
      });
    case VT_LPWSTR:
      return elementsOut(v, pv, pv.calpwstr.pElems,
                         [](const Value& e, LPWSTR& out) -> Result<void> {
                           ASSIGN(s, lpwstrOut(e));
                           out = s;
                           return {};
                         });
    case VT_CF: return elementsOut(v, pv, pv.caclipdata.pElems, clipOut);
    case VT_VARIANT:
      return elementsOut(v, pv, pv.capropvar.pElems, [cp](const Value& e, PROPVARIANT& out) {
        return toPropVariant(e, cp, &out);
      });
    default: return packedVectorOut(v, pv);
  }
}

Result<void> scalarOut(const Value& v, PROPVARIANT& pv) {
  const uint64_t x = v.scalar;
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL: return {};
    case VT_I1: pv.cVal = CHAR(x); return {};
    case VT_UI1: pv.bVal = UCHAR(x); return {};
    case VT_I2: pv.iVal = SHORT(x); return {};
    case VT_UI2: pv.uiVal = USHORT(x); return {};
    case VT_BOOL: pv.boolVal = VARIANT_BOOL(x); return {};
    case VT_I4:
    case VT_ERROR:
    case VT_INT: pv.lVal = LONG(uint32_t(x)); return {};
    case VT_UI4:
    case VT_UINT: pv.ulVal = ULONG(x); return {};
    case VT_R4: {
      uint32_t bits = uint32_t(x);
      std::memcpy(&pv.fltVal, &bits, 4);
      return {};
    }
    case VT_R8:
    case VT_DATE: std::memcpy(&pv.dblVal, &x, 8); return {};
    case VT_CY: pv.cyVal.int64 = LONGLONG(x); return {};
    case VT_I8:
    case VT_UI8: pv.uhVal.QuadPart = x; return {};
    case VT_FILETIME:
      pv.filetime.dwLowDateTime = DWORD(x);
      pv.filetime.dwHighDateTime = DWORD(x >> 32);
      return {};
    case VT_DECIMAL:
      std::memcpy(&pv.decVal, v.fixed.data(), sizeof(DECIMAL));
      pv.vt = VT_DECIMAL;  // the DECIMAL's first word is the type
      return {};
    case VT_CLSID:
      pv.puuid = allocate<CLSID>(1);
      if (!pv.puuid) return outOfMemory();
      *pv.puuid = guidFromBytes(v.fixed);
      return {};
    case VT_LPSTR: {
      auto s = lpstrOut(v, pv.wReserved1);
      if (!s) return s.error();
      pv.pszVal = *s;
      return {};
    }
    case VT_BSTR: {
      auto s = bstrOut(v, pv.wReserved1);
      if (!s) return s.error();
      pv.bstrVal = *s;
      return {};
    }
    case VT_LPWSTR: {
      auto s = lpwstrOut(v);
      if (!s) return s.error();
      pv.pwszVal = *s;
      return {};
    }
    case VT_BLOB:
    case VT_BLOB_OBJECT:
      pv.blob.cbSize = ULONG(v.bytes.size());
      pv.blob.pBlobData = allocateCopy(v.bytes);
      if (!pv.blob.pBlobData) return outOfMemory();
      return {};
    case VT_CF:
      pv.pclipdata = allocate<CLIPDATA>(1);
      if (!pv.pclipdata) return outOfMemory();
      return clipOut(v, *pv.pclipdata);
    default:
      return makeError(STG_E_INVALIDPARAMETER, "type 0x%04x has no PROPVARIANT form here", v.vt);
  }
}

// --- PROPVARIANT -> stored ----------------------------------------------------

Result<Value> lpstrIn(LPCSTR s, uint16_t codePage) {
  Value v;
  v.vt = VT_LPSTR;
  std::string_view text = s ? std::string_view(s) : std::string_view();
  if (codePage == kCodePageUnicode) {
    // Windows reads the caller's bytes as ANSI text and stores UTF-16.
    auto w = widen({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, CP_ACP);
    std::u16string wide =
        w ? *w : latin1({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    wide.push_back(u'\0');
    v.bytes = toUtf16le(wide);
  } else {
    // Stored as given: the bytes are taken to be in the set's code page.
    v.bytes.assign(text.begin(), text.end());
    v.bytes.push_back(0);
  }
  return v;
}

Result<Value> bstrIn(BSTR b, uint16_t codePage) {
  Value v;
  v.vt = VT_BSTR;
  std::u16string_view text = b ? std::u16string_view(b, SysStringLen(b)) : std::u16string_view();
  if (codePage == kCodePageUnicode) {
    v.bytes = toUtf16le(text);
    v.bytes.push_back(0);
    v.bytes.push_back(0);
  } else {
    auto n = narrow(text, codePage, true);
    if (!n) return n.error();
    v.bytes = std::move(n.value());
    v.bytes.push_back(0);
  }
  return v;
}

Value lpwstrIn(LPCWSTR s) {
  Value v;
  v.vt = VT_LPWSTR;
  if (s) v.text = s;
  v.text.push_back(u'\0');
  return v;
}

Result<Value> clipIn(const CLIPDATA* cd) {
  if (!cd) return makeError(STG_E_INVALIDPARAMETER, "VT_CF without CLIPDATA");
  Value v;
  v.vt = VT_CF;
  v.clipFormat = cd->ulClipFmt;
  size_t n = cd->cbSize > 4 ? cd->cbSize - 4 : 0;
  if (n && !cd->pClipData) return makeError(STG_E_INVALIDPARAMETER, "VT_CF without data");
  if (n) v.bytes.assign(cd->pClipData, cd->pClipData + n);
  return v;
}

Result<Value> fromScalar(const PROPVARIANT& pv, uint16_t codePage) {
  Value v;
  v.vt = pv.vt;
  switch (pv.vt) {
    case VT_EMPTY:
    case VT_NULL: return v;
    case VT_I1: v.scalar = uint8_t(pv.cVal); return v;
    case VT_UI1: v.scalar = pv.bVal; return v;
    case VT_I2: v.scalar = uint16_t(pv.iVal); return v;
    case VT_UI2: v.scalar = pv.uiVal; return v;
    case VT_BOOL: v.scalar = uint16_t(pv.boolVal); return v;
    case VT_I4:
    case VT_ERROR:
    case VT_INT: v.scalar = uint32_t(pv.lVal); return v;
    case VT_UI4:
    case VT_UINT: v.scalar = pv.ulVal; return v;
    case VT_R4: {
      uint32_t bits;
      std::memcpy(&bits, &pv.fltVal, 4);
      v.scalar = bits;
      return v;
    }
    case VT_R8:
    case VT_DATE: std::memcpy(&v.scalar, &pv.dblVal, 8); return v;
    case VT_CY: v.scalar = uint64_t(pv.cyVal.int64); return v;
    case VT_I8:
    case VT_UI8: v.scalar = pv.uhVal.QuadPart; return v;
    case VT_FILETIME:
      v.scalar = pv.filetime.dwLowDateTime | (uint64_t(pv.filetime.dwHighDateTime) << 32);
      return v;
    case VT_DECIMAL:
      std::memcpy(v.fixed.data(), &pv.decVal, sizeof(DECIMAL));
      v.fixed[0] = v.fixed[1] = 0;  // wReserved, which overlays vt in memory
      return v;
    case VT_CLSID:
      if (!pv.puuid) return makeError(STG_E_INVALIDPARAMETER, "VT_CLSID without a CLSID");
      v.fixed = guidToBytes(*pv.puuid);
      return v;
    case VT_LPSTR: return lpstrIn(pv.pszVal, codePage);
    case VT_BSTR: return bstrIn(pv.bstrVal, codePage);
    case VT_LPWSTR: return lpwstrIn(pv.pwszVal);
    case VT_BLOB:
    case VT_BLOB_OBJECT:
      if (pv.blob.cbSize && !pv.blob.pBlobData)
        return makeError(STG_E_INVALIDPARAMETER, "blob without data");
      if (pv.blob.cbSize) v.bytes.assign(pv.blob.pBlobData, pv.blob.pBlobData + pv.blob.cbSize);
      return v;
    case VT_CF: return clipIn(pv.pclipdata);
    case VT_STREAM:
    case VT_STORAGE:
    case VT_STREAMED_OBJECT:
    case VT_STORED_OBJECT:
    case VT_VERSIONED_STREAM:
      return makeError(STG_E_PROPSETMISMATCHED, "type 0x%04x needs a non-simple set", pv.vt);
    default: return makeError(STG_E_INVALIDPARAMETER, "type 0x%04x cannot be stored", pv.vt);
  }
}

Result<Value> fromVector(const PROPVARIANT& pv, uint16_t codePage) {
  Value v;
  v.vt = pv.vt;
  const VARTYPE t = pv.vt & VT_TYPEMASK;
  const ULONG n = pv.cac.cElems;
  if (n && !pv.cac.pElems) return makeError(STG_E_INVALIDPARAMETER, "vector without elements");
  size_t elem = packedElementSize(t);
  if (elem) {
    if (n > kMaxSetSize / elem) return makeError(STG_E_INVALIDPARAMETER, "vector too large");
    auto* b = reinterpret_cast<const uint8_t*>(pv.cac.pElems);
    if (n) v.bytes.assign(b, b + size_t(n) * elem);
    return v;
  }
  if (n > kMaxSetSize / 4) return makeError(STG_E_INVALIDPARAMETER, "vector too large");
  v.elements.reserve(n);
  for (ULONG i = 0; i < n; ++i) {
    Result<Value> e =
        makeError(STG_E_INVALIDPARAMETER, "vector of type 0x%04x cannot be stored", pv.vt);
    switch (t) {
      case VT_LPSTR: e = lpstrIn(pv.calpstr.pElems[i], codePage); break;
      case VT_BSTR: e = bstrIn(pv.cabstr.pElems[i], codePage); break;
      case VT_LPWSTR: e = lpwstrIn(pv.calpwstr.pElems[i]); break;
      case VT_CF: e = clipIn(&pv.caclipdata.pElems[i]); break;
      case VT_VARIANT: {
        const PROPVARIANT& x = pv.capropvar.pElems[i];
        if (x.vt & (VT_VECTOR | VT_ARRAY | VT_BYREF) || x.vt == VT_VARIANT)
          return makeError(STG_E_INVALIDPARAMETER, "variant element of type 0x%04x", x.vt);
        e = fromScalar(x, codePage);
        break;
      }
      default: break;
    }
    if (!e) return e.error();
    v.elements.push_back(std::move(e.value()));
  }
  return v;
}

// --- arrays ---------------------------------------------------------------------

static_assert(sizeof(VARIANT) == sizeof(PROPVARIANT));

// The stored elements go to the SAFEARRAY's memory in their stored order,
// and come back the same way. Whether that is the order Windows hands out
// for arrays of more than one dimension is not known; no producer writes
// such arrays.
Result<void> arrayOut(const Value& v, uint16_t codePage, PROPVARIANT& pv) {
  const VARTYPE t = v.vt & VT_TYPEMASK;
  std::vector<SAFEARRAYBOUND> bounds;
  size_t total = 1;
  for (auto [n, lower] : v.dimensions) {
    bounds.push_back({n, lower});
    total *= n;
  }
  SAFEARRAY* psa = SafeArrayCreate(t, UINT(bounds.size()), bounds.data());
  if (!psa) return outOfMemory();
  void* data = nullptr;
  SafeArrayAccessData(psa, &data);
  Result<void> r;
  if (size_t elem = packedElementSize(t)) {
    if (v.bytes.size() == total * elem && total) std::memcpy(data, v.bytes.data(), v.bytes.size());
  } else {
    for (size_t i = 0; i < v.elements.size() && i < total && r; ++i) {
      if (t == VT_BSTR) {
        auto b = bstrOut(v.elements[i], codePage);
        if (!b)
          r = b.error();
        else
          static_cast<BSTR*>(data)[i] = *b;
      } else {
        PROPVARIANT e;
        r = toPropVariant(v.elements[i], codePage, &e);
        if (r) std::memcpy(static_cast<VARIANT*>(data) + i, &e, sizeof e);
      }
    }
  }
  SafeArrayUnaccessData(psa);
  if (!r) {
    SafeArrayDestroy(psa);
    return r;
  }
  pv.parray = psa;
  return {};
}

Result<Value> arrayIn(const PROPVARIANT& pv, uint16_t codePage) {
  const VARTYPE t = pv.vt & VT_TYPEMASK;
  SAFEARRAY* psa = pv.parray;
  if (!psa) return makeError(STG_E_INVALIDPARAMETER, "VT_ARRAY without an array");
  Value v;
  v.vt = pv.vt;
  UINT dims = SafeArrayGetDim(psa);
  size_t total = 1;
  for (UINT d = 1; d <= dims; ++d) {
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(psa, d, &lower);
    SafeArrayGetUBound(psa, d, &upper);
    uint32_t n = upper >= lower ? uint32_t(int64_t(upper) - lower + 1) : 0;
    v.dimensions.emplace_back(n, lower);
    total *= n;
    if (total > kMaxSetSize) return makeError(STG_E_INVALIDPARAMETER, "array too large");
  }
  size_t elem = packedElementSize(t);
  if (elem && SafeArrayGetElemsize(psa) != elem)
    return makeError(STG_E_INVALIDPARAMETER, "array elements of %u bytes",
                     SafeArrayGetElemsize(psa));
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(psa, &data)))
    return makeError(STG_E_INVALIDPARAMETER, "the array cannot be accessed");
  Result<void> r;
  if (elem) {
    auto* b = static_cast<const uint8_t*>(data);
    if (total) v.bytes.assign(b, b + total * elem);
  } else {
    for (size_t i = 0; i < total && r; ++i) {
      Result<Value> e = makeError(STG_E_INVALIDPARAMETER, "array of type 0x%04x", pv.vt);
      if (t == VT_BSTR) {
        e = bstrIn(static_cast<BSTR*>(data)[i], codePage);
      } else if (t == VT_VARIANT) {
        PROPVARIANT x;
        std::memcpy(&x, static_cast<VARIANT*>(data) + i, sizeof x);
        if (!(x.vt & (VT_VECTOR | VT_ARRAY | VT_BYREF)) && x.vt != VT_VARIANT)
          e = fromScalar(x, codePage);
      }
      if (!e)
        r = e.error();
      else
        v.elements.push_back(std::move(e.value()));
    }
  }
  SafeArrayUnaccessData(psa);
  if (!r) return r.error();
  return v;
}

}  // namespace

Result<void> toPropVariant(const Value& value, uint16_t codePage, PROPVARIANT* out) {
  PropVariantInit(out);
  out->vt = value.vt;
  // wReserved1 carries the code page into the helpers and is cleared below.
  out->wReserved1 = codePage;
  auto r = (value.vt & VT_ARRAY)    ? arrayOut(value, codePage, *out)
           : (value.vt & VT_VECTOR) ? vectorOut(value, *out)
                                    : scalarOut(value, *out);
  if (value.vt != VT_DECIMAL) out->wReserved1 = 0;
  if (!r) {
    PropVariantClear(out);
    PropVariantInit(out);
  }
  return r;
}

Result<Value> fromPropVariant(const PROPVARIANT& pv, uint16_t codePage) {
  if (pv.vt & VT_BYREF) {
    // WriteMultiple stores the referenced value (Win32 WriteMultiple page).
    PROPVARIANT x;
    PropVariantInit(&x);
    x.vt = pv.vt & ~VT_BYREF;
    if (!pv.pcVal) return makeError(STG_E_INVALIDPARAMETER, "VT_BYREF with a null pointer");
    switch (x.vt) {
      case VT_I1: x.cVal = *pv.pcVal; break;
      case VT_UI1: x.bVal = *pv.pbVal; break;
      case VT_I2: x.iVal = *pv.piVal; break;
      case VT_UI2: x.uiVal = *pv.puiVal; break;
      case VT_I4:
      case VT_ERROR: x.lVal = *pv.plVal; break;
      case VT_UI4: x.ulVal = *pv.pulVal; break;
      case VT_INT: x.intVal = *pv.pintVal; break;
      case VT_UINT: x.uintVal = *pv.puintVal; break;
      case VT_R4: x.fltVal = *pv.pfltVal; break;
      case VT_R8: x.dblVal = *pv.pdblVal; break;
      case VT_DATE: x.date = *pv.pdate; break;
      case VT_CY: x.cyVal = *pv.pcyVal; break;
      case VT_BOOL: x.boolVal = *pv.pboolVal; break;
      case VT_BSTR: x.bstrVal = *pv.pbstrVal; break;
      case VT_DECIMAL:
        x.decVal = *pv.pdecVal;
        x.vt = VT_DECIMAL;
        break;
      case VT_VARIANT: return fromPropVariant(*pv.pvarVal, codePage);
      default: return makeError(STG_E_INVALIDPARAMETER, "VT_BYREF of type 0x%04x", x.vt);
    }
    return fromScalar(x, codePage);
  }
  if (pv.vt & VT_ARRAY) return arrayIn(pv, codePage);
  if (pv.vt & VT_VECTOR) return fromVector(pv, codePage);
  return fromScalar(pv, codePage);
}

std::u16string decodeName(const std::vector<uint8_t>& stored, uint16_t codePage) {
  if (codePage == kCodePageUnicode)
    return std::u16string(upToNul(std::u16string_view(fromUtf16le(stored))));
  auto b = bytesUpToNul(stored);
  auto w = widen(b, codePage);
  return w ? *w : latin1(b);
}

Result<std::vector<uint8_t>> encodeName(std::u16string_view name, uint16_t codePage) {
  if (codePage == kCodePageUnicode) {
    auto b = toUtf16le(name);
    b.push_back(0);
    b.push_back(0);
    return b;
  }
  auto n = narrow(name, codePage, true);
  if (!n) {
    // A code page the platform does not know: the Latin-1 form that
    // decodeName gives back for it.
    bool latin = std::all_of(name.begin(), name.end(), [](char16_t c) { return c < 0x100; });
    if (!latin || widen(std::vector<uint8_t>{'a'}, codePage)) return n.error();
    n = std::vector<uint8_t>(name.begin(), name.end());
  }
  n->push_back(0);
  return n;
}

}  // namespace velmora::propset
