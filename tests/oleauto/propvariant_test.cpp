// PropVariantClear, PropVariantCopy, FreePropVariantArray: every owned type
// freed (ASan's leak check proves it) and deep-copied, the valid-type set,
// and interfaces released.
#include <gtest/gtest.h>
#include <objbase.h>
#include <propidl.h>

#include <cstring>
#include <string>

#include "test_objects.h"

namespace {

LPSTR taskString(const char* s) {
  auto* p = static_cast<LPSTR>(CoTaskMemAlloc(std::strlen(s) + 1));
  std::strcpy(p, s);
  return p;
}

LPWSTR taskWideString(const char16_t* s) {
  size_t n = 0;
  while (s[n]) ++n;
  auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((n + 1) * sizeof(WCHAR)));
  std::memcpy(p, s, (n + 1) * sizeof(WCHAR));
  return p;
}

CLIPDATA* taskClipData() {
  auto* cd = static_cast<CLIPDATA*>(CoTaskMemAlloc(sizeof(CLIPDATA)));
  cd->cbSize = 4 + 3;
  cd->ulClipFmt = -1;
  cd->pClipData = static_cast<BYTE*>(CoTaskMemAlloc(3));
  std::memcpy(cd->pClipData, "\x01\x02\x03", 3);
  return cd;
}

// A PROPVARIANT of each owned kind, built from the task allocator.
PROPVARIANT make(VARTYPE vt) {
  PROPVARIANT pv;
  PropVariantInit(&pv);
  pv.vt = vt;
  switch (vt) {
    case VT_BSTR: pv.bstrVal = SysAllocStringLen(u"b\0str", 5); break;
    case VT_LPSTR: pv.pszVal = taskString("narrow"); break;
    case VT_LPWSTR: pv.pwszVal = taskWideString(u"wide"); break;
    case VT_CLSID:
      pv.puuid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
      *pv.puuid = CLSID{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
      break;
    case VT_CF: pv.pclipdata = taskClipData(); break;
    case VT_BLOB:
    case VT_BLOB_OBJECT:
      pv.blob.cbSize = 4;
      pv.blob.pBlobData = static_cast<BYTE*>(CoTaskMemAlloc(4));
      std::memcpy(pv.blob.pBlobData, "blob", 4);
      break;
    case VT_VECTOR | VT_LPSTR:
      pv.calpstr.cElems = 2;
      pv.calpstr.pElems = static_cast<LPSTR*>(CoTaskMemAlloc(2 * sizeof(LPSTR)));
      pv.calpstr.pElems[0] = taskString("one");
      pv.calpstr.pElems[1] = taskString("two");
      break;
    case VT_VECTOR | VT_LPWSTR:
      pv.calpwstr.cElems = 2;
      pv.calpwstr.pElems = static_cast<LPWSTR*>(CoTaskMemAlloc(2 * sizeof(LPWSTR)));
      pv.calpwstr.pElems[0] = taskWideString(u"one");
      pv.calpwstr.pElems[1] = nullptr;  // null elements are skipped
      break;
    case VT_VECTOR | VT_BSTR:
      pv.cabstr.cElems = 2;
      pv.cabstr.pElems = static_cast<BSTR*>(CoTaskMemAlloc(2 * sizeof(BSTR)));
      pv.cabstr.pElems[0] = SysAllocString(u"one");
      pv.cabstr.pElems[1] = SysAllocString(u"two");
      break;
    case VT_VECTOR | VT_R8:
      pv.cadbl.cElems = 3;
      pv.cadbl.pElems = static_cast<DOUBLE*>(CoTaskMemAlloc(3 * sizeof(DOUBLE)));
      pv.cadbl.pElems[0] = 1.5;
      pv.cadbl.pElems[1] = -2;
      pv.cadbl.pElems[2] = 1e300;
      break;
    case VT_VECTOR | VT_CF:
      pv.caclipdata.cElems = 1;
      pv.caclipdata.pElems = static_cast<CLIPDATA*>(CoTaskMemAlloc(sizeof(CLIPDATA)));
      {
        CLIPDATA* cd = taskClipData();
        pv.caclipdata.pElems[0] = *cd;
        CoTaskMemFree(cd);
      }
      break;
    case VT_VECTOR | VT_VARIANT:
      pv.capropvar.cElems = 3;
      pv.capropvar.pElems = static_cast<PROPVARIANT*>(CoTaskMemAlloc(3 * sizeof(PROPVARIANT)));
      pv.capropvar.pElems[0] = make(VT_LPSTR);
      pv.capropvar.pElems[1] = make(VT_BSTR);
      pv.capropvar.pElems[2] = make(VT_VECTOR | VT_LPWSTR);  // nested vector
      break;
    case VT_VECTOR | VT_CLSID:
      pv.cauuid.cElems = 1;
      pv.cauuid.pElems = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
      pv.cauuid.pElems[0] = CLSID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
      break;
    case VT_ARRAY | VT_I4: pv.parray = SafeArrayCreateVector(VT_I4, 0, 3); break;
    default: break;
  }
  return pv;
}

class PropVariantOwnedTest : public ::testing::TestWithParam<VARTYPE> {};

TEST_P(PropVariantOwnedTest, ClearFreesAndZeroes) {
  PROPVARIANT pv = make(GetParam());
  EXPECT_EQ(PropVariantClear(&pv), S_OK);
  const auto* bytes = reinterpret_cast<const BYTE*>(&pv);
  for (size_t i = 0; i < sizeof pv; ++i) EXPECT_EQ(bytes[i], 0);
}

TEST_P(PropVariantOwnedTest, CopyIsDeepAndIndependent) {
  PROPVARIANT src = make(GetParam());
  PROPVARIANT dst;
  std::memset(&dst, 0xCD, sizeof dst);  // the destination is overwritten, not read
  ASSERT_EQ(PropVariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(dst.vt, src.vt);
  if (GetParam() & VT_VECTOR) {
    EXPECT_EQ(dst.cac.cElems, src.cac.cElems);
    EXPECT_NE(dst.cac.pElems, src.cac.pElems);
  }
  switch (GetParam()) {
    case VT_BSTR:
      EXPECT_NE(dst.bstrVal, src.bstrVal);
      EXPECT_EQ(SysStringLen(dst.bstrVal), 5u);
      EXPECT_EQ(std::memcmp(dst.bstrVal, src.bstrVal, 10), 0);
      break;
    case VT_LPSTR:
      EXPECT_NE(dst.pszVal, src.pszVal);
      EXPECT_STREQ(dst.pszVal, "narrow");
      break;
    case VT_LPWSTR: EXPECT_EQ(std::u16string(dst.pwszVal), u"wide"); break;
    case VT_CLSID:
      EXPECT_NE(dst.puuid, src.puuid);
      EXPECT_TRUE(IsEqualGUID(*dst.puuid, *src.puuid));
      break;
    case VT_CF:
      EXPECT_NE(dst.pclipdata, src.pclipdata);
      EXPECT_NE(dst.pclipdata->pClipData, src.pclipdata->pClipData);
      EXPECT_EQ(dst.pclipdata->cbSize, 7u);
      EXPECT_EQ(std::memcmp(dst.pclipdata->pClipData, "\x01\x02\x03", 3), 0);
      break;
    case VT_BLOB:
      EXPECT_NE(dst.blob.pBlobData, src.blob.pBlobData);
      EXPECT_EQ(std::memcmp(dst.blob.pBlobData, "blob", 4), 0);
      break;
    case VT_VECTOR | VT_LPSTR:
      EXPECT_NE(dst.calpstr.pElems[1], src.calpstr.pElems[1]);
      EXPECT_STREQ(dst.calpstr.pElems[1], "two");
      break;
    case VT_VECTOR | VT_LPWSTR:
      EXPECT_NE(dst.calpwstr.pElems[0], src.calpwstr.pElems[0]);
      EXPECT_EQ(std::u16string(dst.calpwstr.pElems[0]), u"one");
      EXPECT_EQ(dst.calpwstr.pElems[1], nullptr);
      break;
    case VT_VECTOR | VT_BSTR:
      EXPECT_NE(dst.cabstr.pElems[1], src.cabstr.pElems[1]);
      EXPECT_EQ(std::u16string(dst.cabstr.pElems[1]), u"two");
      break;
    case VT_VECTOR | VT_CF:
      EXPECT_NE(dst.caclipdata.pElems[0].pClipData, src.caclipdata.pElems[0].pClipData);
      EXPECT_EQ(dst.caclipdata.pElems[0].cbSize, 7u);
      EXPECT_EQ(dst.caclipdata.pElems[0].ulClipFmt, ULONG(-1));
      EXPECT_EQ(std::memcmp(dst.caclipdata.pElems[0].pClipData, "\x01\x02\x03", 3), 0);
      break;
    case VT_VECTOR | VT_CLSID:
      EXPECT_TRUE(IsEqualGUID(dst.cauuid.pElems[0], src.cauuid.pElems[0]));
      break;
    case VT_VECTOR | VT_R8: EXPECT_EQ(dst.cadbl.pElems[2], 1e300); break;
    case VT_VECTOR | VT_VARIANT:
      EXPECT_NE(dst.capropvar.pElems[0].pszVal, src.capropvar.pElems[0].pszVal);
      EXPECT_STREQ(dst.capropvar.pElems[0].pszVal, "narrow");
      EXPECT_NE(dst.capropvar.pElems[2].calpwstr.pElems[0],
                src.capropvar.pElems[2].calpwstr.pElems[0]);
      break;
    case VT_ARRAY | VT_I4: EXPECT_NE(dst.parray, src.parray); break;
    default: break;
  }
  EXPECT_EQ(PropVariantClear(&src), S_OK);
  EXPECT_EQ(PropVariantClear(&dst), S_OK);
}

INSTANTIATE_TEST_SUITE_P(
    OwnedTypes, PropVariantOwnedTest,
    ::testing::Values(VARTYPE(VT_EMPTY), VARTYPE(VT_I4), VARTYPE(VT_FILETIME), VARTYPE(VT_BSTR),
                      VARTYPE(VT_LPSTR), VARTYPE(VT_LPWSTR), VARTYPE(VT_CLSID), VARTYPE(VT_CF),
                      VARTYPE(VT_BLOB), VARTYPE(VT_BLOB_OBJECT), VARTYPE(VT_VECTOR | VT_LPSTR),
                      VARTYPE(VT_VECTOR | VT_LPWSTR), VARTYPE(VT_VECTOR | VT_BSTR),
                      VARTYPE(VT_VECTOR | VT_R8), VARTYPE(VT_VECTOR | VT_CF),
                      VARTYPE(VT_VECTOR | VT_VARIANT), VARTYPE(VT_VECTOR | VT_CLSID),
                      VARTYPE(VT_ARRAY | VT_I4)));

TEST(PropVariantClearTest, NullPointersAtAnyLevelAreSkipped) {
  const VARTYPE types[] = {VT_BSTR, VT_LPSTR,  VT_LPWSTR,  VT_CLSID,   VT_CF,
                           VT_BLOB, VT_STREAM, VT_STORAGE, VT_UNKNOWN, VT_VECTOR | VT_LPSTR};
  for (VARTYPE vt : types) {
    PROPVARIANT pv;
    PropVariantInit(&pv);
    pv.vt = vt;
    EXPECT_EQ(PropVariantClear(&pv), S_OK) << vt;
  }
  EXPECT_EQ(PropVariantClear(nullptr), S_OK);
}

TEST(PropVariantClearTest, ReleasesInterfaces) {
  const VARTYPE types[] = {VT_UNKNOWN, VT_STREAM, VT_STORAGE, VT_STREAMED_OBJECT, VT_STORED_OBJECT};
  for (VARTYPE vt : types) {
    CountedUnknown unk;
    unk.AddRef();
    PROPVARIANT pv;
    PropVariantInit(&pv);
    pv.vt = vt;
    pv.punkVal = &unk;
    PROPVARIANT copy;
    ASSERT_EQ(PropVariantCopy(&copy, &pv), S_OK);
    EXPECT_EQ(unk.refs(), 3);
    EXPECT_EQ(PropVariantClear(&copy), S_OK);
    EXPECT_EQ(PropVariantClear(&pv), S_OK);
    EXPECT_EQ(unk.refs(), 1) << vt;
  }
}

// The valid types of Windows XP and later (Wine ole32 tests/propvariant.c).
TEST(PropVariantClearTest, RefusesUnknownTypesAndLeavesThem) {
  const VARTYPE invalid[] = {15,
                             VT_VOID,
                             VT_HRESULT,
                             VT_PTR,
                             VT_SAFEARRAY,
                             VT_CARRAY,
                             VT_USERDEFINED,
                             32,
                             VT_INT_PTR,
                             63,
                             74,
                             VT_BSTR_BLOB,
                             VT_VECTOR | VT_DISPATCH,
                             VT_VECTOR | VT_UNKNOWN,
                             VT_VECTOR | VT_DECIMAL,
                             VT_VECTOR | VT_INT,
                             VT_VECTOR | VT_EMPTY,
                             VT_VECTOR | VT_BLOB,
                             VT_ARRAY | VT_LPSTR,
                             VT_ARRAY | VT_EMPTY,
                             VT_ARRAY | VT_FILETIME,
                             VT_BYREF | VT_LPWSTR,
                             VT_BYREF | VT_NULL,
                             VT_RESERVED | VT_I4,
                             VT_VECTOR | VT_ARRAY | VT_I4};
  for (VARTYPE vt : invalid) {
    PROPVARIANT pv;
    PropVariantInit(&pv);
    pv.vt = vt;
    EXPECT_EQ(PropVariantClear(&pv), STG_E_INVALIDPARAMETER) << std::hex << vt;
    EXPECT_EQ(pv.vt, vt);
    PROPVARIANT copy;
    PropVariantInit(&copy);
    EXPECT_EQ(PropVariantCopy(&copy, &pv), DISP_E_BADVARTYPE) << std::hex << vt;
    EXPECT_EQ(copy.vt, VT_EMPTY);
  }
  const VARTYPE valid[] = {VT_VARIANT,
                           VT_I1,
                           VT_INT,
                           VT_DECIMAL,
                           VT_RECORD,
                           VT_VECTOR | VT_I1,
                           VT_VECTOR | VT_FILETIME,
                           VT_ARRAY | VT_I8,
                           VT_ARRAY | VT_VARIANT,
                           VT_BYREF | VT_DECIMAL,
                           VT_BYREF | VT_VARIANT,
                           VT_VERSIONED_STREAM};
  for (VARTYPE vt : valid) {
    PROPVARIANT pv;
    PropVariantInit(&pv);
    pv.vt = vt;
    EXPECT_EQ(PropVariantClear(&pv), S_OK) << std::hex << vt;
    EXPECT_EQ(pv.vt, VT_EMPTY);
  }
}

TEST(FreePropVariantArrayTest, ClearsEveryElement) {
  PROPVARIANT items[3] = {make(VT_LPSTR), make(VT_VECTOR | VT_BSTR), make(VT_CF)};
  EXPECT_EQ(FreePropVariantArray(3, items), S_OK);
  for (const PROPVARIANT& pv : items) EXPECT_EQ(pv.vt, VT_EMPTY);
  EXPECT_EQ(FreePropVariantArray(0, nullptr), E_INVALIDARG);
}

}  // namespace
