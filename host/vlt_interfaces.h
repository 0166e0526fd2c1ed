// The host's interfaces that a file-format plug-in implements:
// IVltFileFormat for the plug-in as a whole, IVltFileNavigator for one file.
// Slot orders and identifiers are the host's.
#pragma once
#include <windows.h>
#include <ole2.h>

#include "host/vlt_records.h"

struct IVltFileNavigator;

// {52A45655-7BDB-1C48-5892-A3440DE1069A}
inline constexpr IID IID_IVltFileFormat = {
    0x52A45655, 0x7BDB, 0x1C48, {0x58, 0x92, 0xA3, 0x44, 0x0D, 0xE1, 0x06, 0x9A}};
// {195ACC28-8CC7-34E1-1711-DBE164305F54}
inline constexpr IID IID_IVltFileNavigator = {
    0x195ACC28, 0x8CC7, 0x34E1, {0x17, 0x11, 0xDB, 0xE1, 0x64, 0x30, 0x5F, 0x54}};

struct IVltFileFormat : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetFormatInfo(BSTR* pbsCompany, BSTR* pbsDescription,
                                                  BSTR* pbsExtensions) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetExtensionFlags(LPCWSTR pwszExtension, LONG* plFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateNavigator(LPCWSTR pwszPath, LONG lIgnored,
                                                    IVltFileNavigator** ppoNavigator) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCallA(LONG l1, LONG l2, LONG l3, LONG l4,
                                                     void* pOut) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCallB(LONG l1, void* pOut) = 0;
};

// Slots 5 to 8, 11 to 14 and 16 to 22 are operations this plug-in family
// does not provide; only their arity and the pointers they test are fixed.
struct IVltFileNavigator : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetReferences(LONG lIgnored, LONG* plCount,
                                                  VltReference** ppoReferences) = 0;
  virtual HRESULT STDMETHODCALLTYPE UpdateReferences(LONG lIgnored, LONG lCount,
                                                     VltReference* poReferences) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall05(void* p1) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall06(void* p1, LONG l2, LONG l3, LONG l4,
                                                      LONG l5) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall07(LONG l1, LONG l2, void* p3, void* p4) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall08(LONG l1, LONG l2, void* p3, void* p4) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteAttributes(LONG lIgnored1, LONG lStopFlag, LONG lIgnored3,
                                                    LONG lArraySize, VltAttribute* poAttribArray,
                                                    LONG lIgnored6) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadAttributes(LONG lIgnored1, LONG lStopFlag, LONG lIgnored3,
                                                   LONG lArraySize,
                                                   VltAttribute* poAttribArray) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall11(void* p1, void* p2) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall12(LONG l1, LONG l2, void* p3) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall13(LONG l1, void* p2, void* p3, LONG l4,
                                                      LONG l5) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall14(LONG l1, LONG l2, LONG l3, LONG l4, LONG l5,
                                                      LONG l6) = 0;
  virtual HRESULT STDMETHODCALLTYPE CloseFile() = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall16(void* p1) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall17(LONG l1, LONG l2, LONG l3, LONG l4,
                                                      LONG l5) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall18(LONG l1) = 0;
  virtual HRESULT STDMETHODCALLTYPE IgnoredCall19(LONG l1, LONG l2) = 0;
  virtual HRESULT STDMETHODCALLTYPE IgnoredCall20(LONG l1, LONG l2, LONG l3, LONG l4) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall21(LONG l1) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnsupportedCall22(LONG l1, LONG l2, LONG l3, LONG l4,
                                                      LONG l5) = 0;
};
