// VariantChangeType and VariantChangeTypeEx. The source is dereferenced and
// converted into temporaries; only on success is the destination cleared and
// given the result, so a failed conversion leaves it exactly as it was, and
// destination and source may be the same VARIANT ([W] Wine oleaut32
// vartype.c test_ChangeType_keep_dst). The locale is the layer's fixed en-US
// whatever LCID is passed.
//
// Every pair of scalar types converts; the rules follow Windows: integers are
// range-checked (DISP_E_OVERFLOW), doubles round to integers half to even,
// text is read as VarParseNumFromStr reads it, dates as VarDateFromStr does,
// VT_NULL and VT_ERROR convert only to themselves, interfaces only to
// interfaces, and an object converts through its value property.
#include <objbase.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include "oleauto/conversions.h"
#include "oleauto/variant_types.h"

namespace velmora::oleauto {
namespace {

constexpr IID kIidDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr double kMinDate = -657434.0;
constexpr double kMaxDate = 2958465.0;

// A numeric source in the form that loses nothing.
struct Numeric {
  enum class Kind { Signed, Unsigned, Real, Exact } kind = Kind::Signed;
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0.0;
  DecimalNumber exact;
  bool fromBool = false;
};

HRESULT readNumber(const VARIANT& v, Numeric& n) {
  using Kind = Numeric::Kind;
  switch (v.vt) {
    case VT_EMPTY:
      n.kind = Kind::Signed;
      n.i = 0;
      return S_OK;
    case VT_I1:
      n.kind = Kind::Signed;
      n.i = v.cVal;  // NOLINT(bugprone-signed-char-misuse): a signed number
      return S_OK;
    case VT_I2:
      n.kind = Kind::Signed;
      n.i = v.iVal;
      return S_OK;
    case VT_I4:
    case VT_INT:
      n.kind = Kind::Signed;
      n.i = v.lVal;
      return S_OK;
    case VT_I8:
      n.kind = Kind::Signed;
      n.i = v.llVal;
      return S_OK;
    case VT_BOOL:
      n.kind = Kind::Signed;
      n.i = v.boolVal;
      n.fromBool = true;
      return S_OK;
    case VT_UI1:
      n.kind = Kind::Unsigned;
      n.u = v.bVal;
      return S_OK;
    case VT_UI2:
      n.kind = Kind::Unsigned;
      n.u = v.uiVal;
      return S_OK;
    case VT_UI4:
    case VT_UINT:
      n.kind = Kind::Unsigned;
      n.u = v.ulVal;
      return S_OK;
    case VT_UI8:
      n.kind = Kind::Unsigned;
      n.u = v.ullVal;
      return S_OK;
    case VT_R4:
      n.kind = Kind::Real;
      n.d = v.fltVal;
      return S_OK;
    case VT_R8:
    case VT_DATE:
      n.kind = Kind::Real;
      n.d = v.dblVal;
      return S_OK;
    case VT_CY: {
      n.kind = Kind::Exact;
      n.exact.negative = v.cyVal.int64 < 0;
      const uint64_t m = n.exact.negative ? 0 - uint64_t(v.cyVal.int64) : uint64_t(v.cyVal.int64);
      n.exact.digits = m ? std::to_string(m) : "";
      n.exact.exponent = -4;
      while (!n.exact.digits.empty() && n.exact.digits.back() == '0') {
        n.exact.digits.pop_back();
        ++n.exact.exponent;
      }
      if (n.exact.digits.empty()) n.exact.exponent = 0;
      return S_OK;
    }
    case VT_DECIMAL:
      if (v.decVal.scale > 28 || (v.decVal.sign & 0x7F)) return E_INVALIDARG;
      n.kind = Kind::Exact;
      n.exact = fromDecimal(v.decVal);
      return S_OK;
    case VT_BSTR:
      if (!parseNumber(v.bstrVal, SysStringLen(v.bstrVal), n.exact)) return DISP_E_TYPEMISMATCH;
      n.kind = Kind::Exact;
      return S_OK;
    default: return DISP_E_TYPEMISMATCH;
  }
}

double asDouble(const Numeric& n) {
  switch (n.kind) {
    case Numeric::Kind::Signed: return double(n.i);
    case Numeric::Kind::Unsigned: return double(n.u);
    case Numeric::Kind::Real: return n.d;
    case Numeric::Kind::Exact: return toDouble(n.exact);
  }
  return 0.0;
}

// An integer target from `lo` to `hi`; the result is returned as 64 bits.
HRESULT toInteger(const Numeric& n, int64_t lo, uint64_t hi, bool& negative, uint64_t& magnitude) {
  switch (n.kind) {
    case Numeric::Kind::Signed:
      negative = n.i < 0;
      magnitude = negative ? 0 - uint64_t(n.i) : uint64_t(n.i);
      break;
    case Numeric::Kind::Unsigned:
      negative = false;
      magnitude = n.u;
      break;
    case Numeric::Kind::Real: {
      if (std::isnan(n.d)) return DISP_E_OVERFLOW;
      const double r = std::nearbyint(n.d);  // ties to even, the default rounding mode
      if (r >= 18446744073709551616.0 || r < -9223372036854775808.0) return DISP_E_OVERFLOW;
      negative = r < 0;
      magnitude = uint64_t(negative ? -r : r);
      break;
    }
    case Numeric::Kind::Exact: {
      unsigned __int128 m = 0;
      if (!scaledInteger(n.exact, 0, ~(unsigned __int128)0 >> 1, negative, m) || m > UINT64_MAX) {
        return DISP_E_OVERFLOW;
      }
      magnitude = uint64_t(m);
      break;
    }
  }
  if (magnitude == 0) negative = false;
  if (negative ? magnitude > 0 - uint64_t(lo) : magnitude > hi) return DISP_E_OVERFLOW;
  return S_OK;
}

HRESULT toIntegerVariant(const Numeric& n, VARTYPE vt, VARIANT& out) {
  struct Range {
    int64_t lo;
    uint64_t hi;
    unsigned bytes;
  };
  Range r{};
  switch (vt) {
    case VT_I1: r = {INT8_MIN, INT8_MAX, 1}; break;
    case VT_UI1: r = {0, UINT8_MAX, 1}; break;
    case VT_I2: r = {INT16_MIN, INT16_MAX, 2}; break;
    case VT_UI2: r = {0, UINT16_MAX, 2}; break;
    case VT_I4:
    case VT_INT: r = {INT32_MIN, INT32_MAX, 4}; break;
    case VT_UI4:
    case VT_UINT: r = {0, UINT32_MAX, 4}; break;
    case VT_I8: r = {INT64_MIN, INT64_MAX, 8}; break;
    case VT_UI8: r = {0, UINT64_MAX, 8}; break;
    default: return DISP_E_TYPEMISMATCH;
  }
  bool negative = false;
  uint64_t magnitude = 0;
  // VARIANT_TRUE into an unsigned type below 64 bits keeps its bit pattern
  // (VarUI1FromBool gives 255), as Windows does.
  if (n.fromBool && r.lo == 0 && r.bytes < 8) {
    magnitude = uint64_t(n.i) & r.hi;
  } else {
    const HRESULT hr = toInteger(n, r.lo, r.hi, negative, magnitude);
    if (FAILED(hr)) return hr;
  }
  const uint64_t bits = negative ? 0 - magnitude : magnitude;
  VariantInit(&out);
  std::memcpy(&out.llVal, &bits, r.bytes);  // little-endian: the low bytes
  out.vt = vt;
  return S_OK;
}

HRESULT toCurrency(const Numeric& n, CY& out) {
  constexpr unsigned __int128 kLimit = (unsigned __int128)INT64_MAX + 1;
  bool negative = false;
  unsigned __int128 m = 0;
  switch (n.kind) {
    case Numeric::Kind::Signed:
      negative = n.i < 0;
      m = (unsigned __int128)(negative ? 0 - uint64_t(n.i) : uint64_t(n.i)) * 10000;
      break;
    case Numeric::Kind::Unsigned: m = (unsigned __int128)n.u * 10000; break;
    case Numeric::Kind::Real: {
      if (std::isnan(n.d)) return DISP_E_OVERFLOW;
      const double r = std::nearbyint(n.d * 10000.0);
      if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) return DISP_E_OVERFLOW;
      out.int64 = int64_t(r);
      return S_OK;
    }
    case Numeric::Kind::Exact:
      if (!scaledInteger(n.exact, 4, kLimit, negative, m)) return DISP_E_OVERFLOW;
      break;
  }
  if (negative ? m > kLimit : m >= kLimit) return DISP_E_OVERFLOW;
  out.int64 = negative ? int64_t(0 - uint64_t(m)) : int64_t(uint64_t(m));
  return S_OK;
}

HRESULT toDecimalValue(const Numeric& n, DECIMAL& out) {
  DecimalNumber number;
  switch (n.kind) {
    case Numeric::Kind::Signed:
      number.negative = n.i < 0;
      number.digits = std::to_string(number.negative ? 0 - uint64_t(n.i) : uint64_t(n.i));
      break;
    case Numeric::Kind::Unsigned: number.digits = std::to_string(n.u); break;
    case Numeric::Kind::Real:
      if (!std::isfinite(n.d)) return DISP_E_OVERFLOW;
      number = fromDouble(n.d, 15);
      break;
    case Numeric::Kind::Exact: number = n.exact; break;
  }
  if (number.digits == "0") number.digits.clear();
  return toDecimal(number, out) ? S_OK : DISP_E_OVERFLOW;
}

bool equalsIgnoringCase(const OLECHAR* s, size_t n, const char* word) {
  size_t k = 0;
  for (; word[k]; ++k) {
    if (k >= n) return false;
    OLECHAR c = s[k];
    if (c >= u'A' && c <= u'Z') c = OLECHAR(c + 32);
    if (c != OLECHAR(word[k])) return false;
  }
  return k == n;
}

HRESULT toBool(const VARIANT& v, VARIANT_BOOL& out) {
  if (v.vt == VT_BSTR) {
    // The words of en-US and of English, which are the same here.
    const OLECHAR* s = v.bstrVal;
    size_t n = SysStringLen(v.bstrVal);
    while (n && (*s == u' ' || *s == u'\t')) ++s, --n;
    while (n && (s[n - 1] == u' ' || s[n - 1] == u'\t')) --n;
    if (equalsIgnoringCase(s, n, "true")) {
      out = VARIANT_TRUE;
      return S_OK;
    }
    if (equalsIgnoringCase(s, n, "false")) {
      out = VARIANT_FALSE;
      return S_OK;
    }
  }
  Numeric n;
  const HRESULT hr = readNumber(v, n);
  if (FAILED(hr)) return hr;
  bool nonZero = false;
  switch (n.kind) {
    case Numeric::Kind::Signed: nonZero = n.i != 0; break;
    case Numeric::Kind::Unsigned: nonZero = n.u != 0; break;
    case Numeric::Kind::Real: nonZero = n.d != 0.0; break;
    case Numeric::Kind::Exact: nonZero = !n.exact.digits.empty(); break;
  }
  out = nonZero ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT toDate(const VARIANT& v, DATE& out) {
  switch (v.vt) {
    case VT_BSTR:
      // A null BSTR is no date; text is read as a date, never as a number
      // ("0.5" is 00:05).
      if (!v.bstrVal) return DISP_E_TYPEMISMATCH;
      return parseDate(v.bstrVal, SysStringLen(v.bstrVal), out);
    case VT_BOOL: out = v.boolVal ? -1.0 : 0.0; return S_OK;
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL: {
      // The range is documented for VT_R8; VT_R4, VT_CY and VT_DECIMAL are
      // given the same one (Wine checks none).
      Numeric n;
      const HRESULT hr = readNumber(v, n);
      if (FAILED(hr)) return hr;
      const double d = asDouble(n);
      if (!(d > kMinDate - 1.0 && d < kMaxDate + 1.0)) return DISP_E_OVERFLOW;
      out = d;
      return S_OK;
    }
    default: {
      Numeric n;
      const HRESULT hr = readNumber(v, n);
      if (FAILED(hr)) return hr;
      if (n.kind == Numeric::Kind::Signed && (n.i < -657434 || n.i > 2958465))
        return DISP_E_OVERFLOW;
      if (n.kind == Numeric::Kind::Unsigned && n.u > 2958465) return DISP_E_OVERFLOW;
      out = asDouble(n);
      return S_OK;
    }
  }
}

HRESULT toText(const VARIANT& v, USHORT flags, std::u16string& text) {
  switch (v.vt) {
    case VT_EMPTY: text.clear(); return S_OK;
    case VT_I1: text = integerText(v.cVal); return S_OK;
    case VT_I2: text = integerText(v.iVal); return S_OK;
    case VT_I4:
    case VT_INT: text = integerText(v.lVal); return S_OK;
    case VT_I8: text = integerText(v.llVal); return S_OK;
    case VT_UI1: text = unsignedText(v.bVal); return S_OK;
    case VT_UI2: text = unsignedText(v.uiVal); return S_OK;
    case VT_UI4:
    case VT_UINT: text = unsignedText(v.ulVal); return S_OK;
    case VT_UI8: text = unsignedText(v.ullVal); return S_OK;
    case VT_R4: text = realText(v.fltVal, 7); return S_OK;
    case VT_R8: text = realText(v.dblVal, 15); return S_OK;
    case VT_CY: text = currencyText(v.cyVal); return S_OK;
    case VT_DECIMAL: return decimalText(v.decVal, text) ? S_OK : E_INVALIDARG;
    case VT_DATE: return dateText(v.date, flags, text);
    case VT_BOOL:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) {
        text = v.boolVal ? u"True" : u"False";
      } else {
        text = integerText(v.boolVal);  // the raw value: VARIANT_TRUE is "-1", 1 is "1"
      }
      return S_OK;
    default: return DISP_E_TYPEMISMATCH;
  }
}

HRESULT convert(VARIANT& out, const VARIANT& in, LCID lcid, USHORT flags, VARTYPE vt, int depth);

// An object's value: IDispatch::Invoke of DISPID_VALUE as a property get.
HRESULT valueOf(const VARIANT& in, LCID lcid, USHORT flags, VARIANT& value) {
  if (!in.pdispVal) return DISP_E_BADVARTYPE;  // as Wine answers; Windows not observed
  if (flags & VARIANT_NOVALUEPROP) return DISP_E_TYPEMISMATCH;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VariantInit(&value);
  const HRESULT hr = in.pdispVal->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none,
                                         &value, nullptr, nullptr);
  if (FAILED(hr)) {
    VariantClear(&value);
    return DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

// Arrays: bytes and text only, copied verbatim.
HRESULT convertArray(VARIANT& out, const VARIANT& in, VARTYPE vt) {
  if (in.vt == (VT_ARRAY | VT_UI1) && vt == VT_BSTR) {
    SAFEARRAY* a = in.parray;
    if (!a || a->cDims != 1) return DISP_E_TYPEMISMATCH;
    out.bstrVal = SysAllocStringByteLen(static_cast<LPCSTR>(a->pvData), a->rgsabound[0].cElements);
    if (!out.bstrVal) return E_OUTOFMEMORY;
    out.vt = VT_BSTR;
    return S_OK;
  }
  if (in.vt == VT_BSTR && vt == (VT_ARRAY | VT_UI1)) {
    const UINT bytes = SysStringByteLen(in.bstrVal);
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, bytes);
    if (!a) return E_OUTOFMEMORY;
    if (bytes) std::memcpy(a->pvData, in.bstrVal, bytes);
    out.parray = a;
    out.vt = vt;
    return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

// The targets that are not numbers; `handled` stays false for a number.
HRESULT convertToOther(VARIANT& out, const VARIANT& in, USHORT flags, VARTYPE vt, bool& handled) {
  handled = true;
  HRESULT hr = S_OK;
  switch (vt) {
    case VT_EMPTY: return S_OK;
    case VT_NULL:
    case VT_ERROR:
      if (in.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
      out.vt = vt;
      return S_OK;
    case VT_UNKNOWN:
      if (in.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
      out.punkVal = in.pdispVal;
      if (out.punkVal) out.punkVal->AddRef();
      out.vt = VT_UNKNOWN;
      return S_OK;
    case VT_DISPATCH: {
      if (in.vt != VT_UNKNOWN || !in.punkVal) return DISP_E_TYPEMISMATCH;
      void* p = nullptr;
      if (FAILED(in.punkVal->QueryInterface(kIidDispatch, &p)) || !p) return DISP_E_TYPEMISMATCH;
      out.pdispVal = static_cast<IDispatch*>(p);
      out.vt = VT_DISPATCH;
      return S_OK;
    }
    case VT_BSTR: {
      std::u16string text;
      hr = toText(in, flags, text);
      if (FAILED(hr)) return hr;
      out.bstrVal = SysAllocStringLen(text.data(), UINT(text.size()));
      if (!out.bstrVal) return E_OUTOFMEMORY;
      out.vt = VT_BSTR;
      return S_OK;
    }
    case VT_DATE:
      hr = toDate(in, out.date);
      if (SUCCEEDED(hr)) out.vt = VT_DATE;
      return hr;
    case VT_BOOL:
      hr = toBool(in, out.boolVal);
      if (SUCCEEDED(hr)) out.vt = VT_BOOL;
      return hr;
    default: handled = false; return S_OK;
  }
}

HRESULT convertToNumber(VARIANT& out, const VARIANT& in, VARTYPE vt) {
  Numeric n;
  HRESULT hr = readNumber(in, n);
  if (FAILED(hr)) return hr;
  switch (vt) {
    case VT_R8:
      out.dblVal = asDouble(n);
      out.vt = VT_R8;
      return S_OK;
    case VT_R4: {
      const double d = asDouble(n);
      if (d < -FLT_MAX || d > FLT_MAX) return DISP_E_OVERFLOW;
      out.fltVal = float(d);
      out.vt = VT_R4;
      return S_OK;
    }
    case VT_CY:
      hr = toCurrency(n, out.cyVal);
      if (SUCCEEDED(hr)) out.vt = VT_CY;
      return hr;
    case VT_DECIMAL: {
      DECIMAL d{};
      hr = toDecimalValue(n, d);
      if (FAILED(hr)) return hr;
      out.decVal = d;
      out.vt = VT_DECIMAL;  // decVal overlays the type field: set it last
      return S_OK;
    }
    default: return toIntegerVariant(n, vt, out);
  }
}

bool sameFourBytes(VARTYPE a, VARTYPE b) {
  return (a == VT_I4 && b == VT_INT) || (a == VT_INT && b == VT_I4) ||
         (a == VT_UI4 && b == VT_UINT) || (a == VT_UINT && b == VT_UI4);
}

HRESULT convert(VARIANT& out, const VARIANT& in, LCID lcid, USHORT flags, VARTYPE vt, int depth) {
  VariantInit(&out);
  if (in.vt == vt) return VariantCopy(&out, &in);
  if (sameFourBytes(in.vt, vt)) {
    out = in;
    out.vt = vt;
    return S_OK;
  }
  if (vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
  if ((in.vt & VT_ARRAY) || (vt & VT_ARRAY)) return convertArray(out, in, vt);
  // VT_NULL and VT_ERROR convert only to themselves (handled above).
  if (in.vt == VT_NULL || in.vt == VT_ERROR) return DISP_E_TYPEMISMATCH;

  if (in.vt == VT_DISPATCH && vt != VT_UNKNOWN) {
    if (depth > 8) return DISP_E_TYPEMISMATCH;
    VARIANT value;
    HRESULT hr = valueOf(in, lcid, flags, value);
    if (FAILED(hr)) return hr;
    hr = convert(out, value, lcid, flags, vt, depth + 1);
    VariantClear(&value);
    return hr;
  }
  bool handled = false;
  const HRESULT hr = convertToOther(out, in, flags, vt, handled);
  return handled ? hr : convertToNumber(out, in, vt);
}

}  // namespace
}  // namespace velmora::oleauto

using namespace velmora::oleauto;

EXTERN_C HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                            LCID lcid, USHORT wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if ((vt & VT_TYPEMASK) == VT_CLSID) return DISP_E_BADVARTYPE;
  if (!isValidVariantType(pvarSrc->vt) || !isValidVariantType(vt)) return DISP_E_BADVARTYPE;
  if ((pvarSrc->vt & VT_BYREF) && !pvarSrc->byref) return DISP_E_TYPEMISMATCH;

  VARIANT source;
  VariantInit(&source);
  HRESULT hr = VariantCopyInd(&source, pvarSrc);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  try {
    hr = convert(result, source, lcid, wFlags, vt, 0);
  } catch (const std::bad_alloc&) {
    // Text conversions build their strings before the result holds any.
    hr = E_OUTOFMEMORY;
  }
  VariantClear(&source);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  // Only now is the destination touched; it may be the source itself.
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  std::memcpy(static_cast<void*>(pvargDest), &result, sizeof result);
  return S_OK;
}

EXTERN_C HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                          USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
