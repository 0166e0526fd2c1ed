// VariantInit, VariantClear, VariantCopy, VariantCopyInd: which VARTYPEs are
// accepted, what is freed, AddRef'd and deep-copied, and when a VARIANT is
// left untouched.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>
#include <string>

#include "test_objects.h"

namespace {

// VARTYPE validity in a VARIANT, as Wine's vartest.c records it on Windows.
bool expectedValid(VARTYPE vt) {
  const VARTYPE base = vt & VT_TYPEMASK;
  const VARTYPE mods = vt & ~VARTYPE(VT_TYPEMASK);
  if (mods & (VT_VECTOR | VT_RESERVED)) return false;
  const bool known = base <= 14 || (base >= 16 && base <= 23) || base == 36 || base == 72;
  if (!known) return false;
  return !((mods & (VT_BYREF | VT_ARRAY)) && base <= VT_NULL);
}

TEST(VariantInitTest, ZeroesTheWholeStructure) {
  VARIANT v;
  std::memset(&v, 0xAB, sizeof v);
  VariantInit(&v);
  const auto* bytes = reinterpret_cast<const BYTE*>(&v);
  for (size_t i = 0; i < sizeof v; ++i) EXPECT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(sizeof(VARIANT), sizeof(void*) == 8 ? 24u : 16u);
}

TEST(VariantClearTest, AcceptsExactlyTheValidTypes) {
  const VARTYPE modifiers[] = {
      0, VT_BYREF, VT_ARRAY, VT_ARRAY | VT_BYREF, VT_VECTOR, VT_RESERVED, VT_VECTOR | VT_BYREF};
  for (VARTYPE mod : modifiers) {
    for (VARTYPE base = 0; base < 80; ++base) {
      const VARTYPE vt = base | mod;
      VARIANT v;
      VariantInit(&v);
      v.vt = vt;  // null payload: nothing to free
      const HRESULT hr = VariantClear(&v);
      if (expectedValid(vt)) {
        EXPECT_EQ(hr, S_OK) << std::hex << vt;
        EXPECT_EQ(v.vt, VT_EMPTY);
      } else {
        EXPECT_EQ(hr, DISP_E_BADVARTYPE) << std::hex << vt;
        EXPECT_EQ(v.vt, vt);  // untouched
      }
    }
  }
}

TEST(VariantClearTest, RefusesFileTimeAndVectors) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_FILETIME;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, VT_FILETIME);
  v.vt = VT_VECTOR | VT_R8;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, VT_VECTOR | VT_R8);
}

TEST(VariantClearTest, KeepsTheValueBitsOfScalars) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI4;
  v.ulVal = 0xDEADBEEF;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(v.ulVal, 0xDEADBEEFu);
}

TEST(VariantClearTest, ReleasesInterfacesButNotReferences) {
  CountedUnknown unk;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = &unk;
  unk.AddRef();
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(unk.refs(), 1);
  IUnknown* p = &unk;
  v.vt = VT_UNKNOWN | VT_BYREF;
  v.ppunkVal = &p;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(unk.refs(), 1);
  VARIANT inner;
  VariantInit(&inner);
  inner.vt = VT_BSTR;
  inner.bstrVal = SysAllocString(u"kept");
  v.vt = VT_VARIANT | VT_BYREF;
  v.pvarVal = &inner;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(inner.vt, VT_BSTR);  // the referenced VARIANT is left as it is
  VariantClear(&inner);
}

TEST(VariantClearTest, LockedArraysStay) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_I4;
  v.parray = SafeArrayCreateVector(VT_I4, 0, 4);
  ASSERT_NE(v.parray, nullptr);
  ASSERT_EQ(SafeArrayLock(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_I4);
  ASSERT_EQ(SafeArrayUnlock(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST(VariantCopyTest, DeepCopiesBstrsByByteLength) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocStringByteLen("a\0b\0c", 5);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  ASSERT_EQ(dst.vt, VT_BSTR);
  EXPECT_NE(dst.bstrVal, src.bstrVal);
  EXPECT_EQ(SysStringByteLen(dst.bstrVal), 5u);
  EXPECT_EQ(std::memcmp(dst.bstrVal, "a\0b\0c", 5), 0);
  // Independent: changing or freeing the source leaves the copy intact.
  src.bstrVal[0] = u'Z';
  VariantClear(&src);
  EXPECT_EQ(reinterpret_cast<const char*>(dst.bstrVal)[0], 'a');
  VariantClear(&dst);
}

TEST(VariantCopyTest, NullBstrStaysNull) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR;
  src.bstrVal = nullptr;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(dst.vt, VT_BSTR);
  EXPECT_EQ(dst.bstrVal, nullptr);
  VariantClear(&dst);
}

TEST(VariantCopyTest, ClearsTheDestinationFirst) {
  CountedUnknown unk;
  unk.AddRef();
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  dst.vt = VT_UNKNOWN;
  dst.punkVal = &unk;
  src.vt = VT_I4;
  src.lVal = 7;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(unk.refs(), 1);
  EXPECT_EQ(dst.vt, VT_I4);
  EXPECT_EQ(dst.lVal, 7);
}

TEST(VariantCopyTest, AddRefsInterfaces) {
  CountedUnknown unk;
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_UNKNOWN;
  src.punkVal = &unk;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(unk.refs(), 2);
  EXPECT_EQ(dst.punkVal, &unk);
  VariantClear(&dst);
  EXPECT_EQ(unk.refs(), 1);
}

TEST(VariantCopyTest, ByReferenceCopiesOnlyThePointer) {
  BSTR text = SysAllocString(u"shared");
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR | VT_BYREF;
  src.pbstrVal = &text;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(dst.pbstrVal, &text);
  VariantClear(&dst);
  SysFreeString(text);
}

TEST(VariantCopyTest, DeepCopiesArrays) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_ARRAY | VT_BSTR;
  src.parray = SafeArrayCreateVector(VT_BSTR, 1, 2);
  BSTR* cells = nullptr;
  ASSERT_EQ(SafeArrayAccessData(src.parray, reinterpret_cast<void**>(&cells)), S_OK);
  cells[0] = SysAllocString(u"one");
  cells[1] = SysAllocString(u"two");
  SafeArrayUnaccessData(src.parray);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  ASSERT_NE(dst.parray, src.parray);
  BSTR* copied = static_cast<BSTR*>(dst.parray->pvData);
  EXPECT_NE(copied[0], cells[0]);
  EXPECT_EQ(std::u16string(copied[1]), u"two");
  LONG lb = 0, ub = 0;
  EXPECT_EQ(SafeArrayGetLBound(dst.parray, 1, &lb), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(dst.parray, 1, &ub), S_OK);
  EXPECT_EQ(lb, 1);
  EXPECT_EQ(ub, 2);
  VARTYPE vt = 0;
  EXPECT_EQ(SafeArrayGetVartype(dst.parray, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  VariantClear(&src);
  VariantClear(&dst);
}

// Interfaces are AddRef'd, VARIANTs and BSTRs duplicated (an empty cell
// stays empty), plain values copied; the copy is never locked.
TEST(SafeArrayCopyTest, CopiesEachKindOfElementAsDeepAsItNeeds) {
  SAFEARRAY* out = nullptr;
  EXPECT_EQ(SafeArrayCopy(nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayCopy(nullptr, &out), S_OK);
  EXPECT_EQ(out, nullptr);

  CountedUnknown unk;
  SAFEARRAY* units = SafeArrayCreateVector(VT_UNKNOWN, 0, 3);
  unk.AddRef();
  static_cast<IUnknown**>(units->pvData)[1] = &unk;
  ASSERT_EQ(SafeArrayCopy(units, &out), S_OK);
  EXPECT_EQ(static_cast<IUnknown**>(out->pvData)[1], &unk);
  EXPECT_EQ(static_cast<IUnknown**>(out->pvData)[0], nullptr);
  EXPECT_EQ(unk.refs(), 3);
  SafeArrayDestroy(out);
  SafeArrayDestroy(units);
  EXPECT_EQ(unk.refs(), 1);

  SAFEARRAY* variants = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  auto* cells = static_cast<VARIANT*>(variants->pvData);
  cells[0].vt = VT_BSTR;
  cells[0].bstrVal = SysAllocString(u"x");
  ASSERT_EQ(SafeArrayCopy(variants, &out), S_OK);
  auto* copied = static_cast<VARIANT*>(out->pvData);
  ASSERT_EQ(copied[0].vt, VT_BSTR);
  EXPECT_NE(copied[0].bstrVal, cells[0].bstrVal);
  EXPECT_EQ(std::u16string(copied[0].bstrVal), u"x");
  EXPECT_EQ(copied[1].vt, VT_EMPTY);
  SafeArrayDestroy(out);
  SafeArrayDestroy(variants);

  SAFEARRAY* texts = SafeArrayCreateVector(VT_BSTR, 0, 2);
  static_cast<BSTR*>(texts->pvData)[1] = SysAllocString(u"two");
  ASSERT_EQ(SafeArrayCopy(texts, &out), S_OK);
  EXPECT_EQ(static_cast<BSTR*>(out->pvData)[0], nullptr);
  EXPECT_EQ(std::u16string(static_cast<BSTR*>(out->pvData)[1]), u"two");
  SafeArrayDestroy(out);
  SafeArrayDestroy(texts);

  SAFEARRAY* numbers = SafeArrayCreateVector(VT_I4, 0, 3);
  for (LONG i = 0; i < 3; ++i) static_cast<LONG*>(numbers->pvData)[i] = 10 + i;
  ASSERT_EQ(SafeArrayLock(numbers), S_OK);
  ASSERT_EQ(SafeArrayCopy(numbers, &out), S_OK);
  EXPECT_EQ(out->cLocks, 0u);
  EXPECT_EQ(std::memcmp(out->pvData, numbers->pvData, 3 * sizeof(LONG)), 0);
  SafeArrayDestroy(out);
  SafeArrayUnlock(numbers);
  SafeArrayDestroy(numbers);
}

TEST(VariantCopyTest, RefusesBadSourcesAndLeavesTheDestination) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  dst.vt = VT_I4;
  dst.lVal = 99;
  CLSID clsid{};
  src.vt = VT_CLSID;
  src.byref = &clsid;
  EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
  EXPECT_EQ(dst.vt, VT_I4);
  EXPECT_EQ(dst.lVal, 99);
  src.vt = VT_LPSTR;
  EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
  EXPECT_EQ(dst.vt, VT_I4);
  // A bad destination fails the copy too.
  src.vt = VT_I2;
  src.iVal = 1;
  dst.vt = VT_FILETIME;
  EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
  EXPECT_EQ(dst.vt, VT_FILETIME);
}

TEST(VariantCopyTest, SelfCopyDoesNothing) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"same");
  BSTR before = v.bstrVal;
  EXPECT_EQ(VariantCopy(&v, &v), S_OK);
  EXPECT_EQ(v.bstrVal, before);
  VariantClear(&v);
}

TEST(VariantCopyTest, CopiesDecimalsWhole) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  DECIMAL d{};
  d.scale = 3;
  d.sign = 0x80;
  d.Hi32 = 1;
  d.Lo64 = 1500;
  src.decVal = d;
  src.vt = VT_DECIMAL;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(dst.vt, VT_DECIMAL);
  EXPECT_EQ(dst.decVal.scale, 3);
  EXPECT_EQ(dst.decVal.sign, 0x80);
  EXPECT_EQ(dst.decVal.Hi32, 1u);
  EXPECT_EQ(dst.decVal.Lo64, 1500u);
}

TEST(VariantCopyIndTest, DereferencesIntoAnIndependentValue) {
  BSTR text = SysAllocString(u"referenced");
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR | VT_BYREF;
  src.pbstrVal = &text;
  ASSERT_EQ(VariantCopyInd(&dst, &src), S_OK);
  EXPECT_EQ(dst.vt, VT_BSTR);
  EXPECT_NE(dst.bstrVal, text);
  EXPECT_EQ(std::u16string(dst.bstrVal), u"referenced");
  VariantClear(&dst);
  LONG value = 42;
  src.vt = VT_I4 | VT_BYREF;
  src.plVal = &value;
  ASSERT_EQ(VariantCopyInd(&src, &src), S_OK);  // in place
  EXPECT_EQ(src.vt, VT_I4);
  EXPECT_EQ(src.lVal, 42);
  SysFreeString(text);
}

}  // namespace
