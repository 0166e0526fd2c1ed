// Automation services: BSTR allocation, VARIANT handling and conversion,
// automation dates. The layer's locale is fixed as en-US.
#pragma once
#include "oaidl.h"

// VariantChangeType(Ex) flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_CALENDAR_HIJRI 0x08
#define VARIANT_LOCALBOOL 0x10
#define VARIANT_CALENDAR_THAI 0x20
#define VARIANT_CALENDAR_GREGORIAN 0x40
#define VARIANT_USE_NLS 0x80

// The thread's error information. GetErrorInfo hands it out once (S_FALSE
// and NULL when there is none); a failed platform call leaves its reason
// there as an IErrorInfo whose description is the reason.
EXTERN_C HRESULT WINAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo);
EXTERN_C HRESULT WINAPI SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
EXTERN_C HRESULT WINAPI GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

EXTERN_C BSTR WINAPI SysAllocString(const OLECHAR* psz);
EXTERN_C BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
EXTERN_C BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len);
EXTERN_C INT WINAPI SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
EXTERN_C void WINAPI SysFreeString(BSTR bstrString);
EXTERN_C UINT WINAPI SysStringLen(BSTR pbstr);
EXTERN_C UINT WINAPI SysStringByteLen(BSTR bstr);

EXTERN_C void WINAPI VariantInit(VARIANTARG* pvarg);
EXTERN_C HRESULT WINAPI VariantClear(VARIANTARG* pvarg);
EXTERN_C HRESULT WINAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
EXTERN_C HRESULT WINAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
EXTERN_C HRESULT WINAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                          USHORT wFlags, VARTYPE vt);
EXTERN_C HRESULT WINAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                            LCID lcid, USHORT wFlags, VARTYPE vt);

EXTERN_C INT WINAPI SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime);
EXTERN_C INT WINAPI VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime);

EXTERN_C SAFEARRAY* WINAPI SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound);
EXTERN_C SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
EXTERN_C HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* psa);
EXTERN_C HRESULT WINAPI SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
EXTERN_C HRESULT WINAPI SafeArrayLock(SAFEARRAY* psa);
EXTERN_C HRESULT WINAPI SafeArrayUnlock(SAFEARRAY* psa);
EXTERN_C HRESULT WINAPI SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
EXTERN_C HRESULT WINAPI SafeArrayUnaccessData(SAFEARRAY* psa);
EXTERN_C UINT WINAPI SafeArrayGetDim(SAFEARRAY* psa);
EXTERN_C UINT WINAPI SafeArrayGetElemsize(SAFEARRAY* psa);
EXTERN_C HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
EXTERN_C HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
EXTERN_C HRESULT WINAPI SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);

EXTERN_C HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
EXTERN_C HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
EXTERN_C HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                          SYSKIND syskind);
