// Property sets: PROPVARIANT, PROPSPEC, IPropertyStorage and
// IPropertySetStorage with their Windows layouts and method order.
#pragma once
#include "oaidl.h"

struct IPropertyStorage;
struct IEnumSTATPROPSTG;
struct IEnumSTATPROPSETSTG;

EXTERN_C const IID IID_IPropertyStorage;
EXTERN_C const IID IID_IPropertySetStorage;
EXTERN_C const IID IID_IEnumSTATPROPSTG;
EXTERN_C const IID IID_IEnumSTATPROPSETSTG;

EXTERN_C const FMTID FMTID_SummaryInformation;
EXTERN_C const FMTID FMTID_DocSummaryInformation;
EXTERN_C const FMTID FMTID_UserDefinedProperties;

struct tagPROPVARIANT;
typedef struct tagPROPVARIANT PROPVARIANT;

#define TYPEDEF_CA(type, name) \
  typedef struct tag##name {   \
    ULONG cElems;              \
    type* pElems;              \
  } name
TYPEDEF_CA(CHAR, CAC);
TYPEDEF_CA(UCHAR, CAUB);
TYPEDEF_CA(SHORT, CAI);
TYPEDEF_CA(USHORT, CAUI);
TYPEDEF_CA(LONG, CAL);
TYPEDEF_CA(ULONG, CAUL);
TYPEDEF_CA(FLOAT, CAFLT);
TYPEDEF_CA(DOUBLE, CADBL);
TYPEDEF_CA(CY, CACY);
TYPEDEF_CA(DATE, CADATE);
TYPEDEF_CA(BSTR, CABSTR);
TYPEDEF_CA(BSTRBLOB, CABSTRBLOB);
TYPEDEF_CA(VARIANT_BOOL, CABOOL);
TYPEDEF_CA(SCODE, CASCODE);
TYPEDEF_CA(PROPVARIANT, CAPROPVARIANT);
TYPEDEF_CA(LARGE_INTEGER, CAH);
TYPEDEF_CA(ULARGE_INTEGER, CAUH);
TYPEDEF_CA(LPSTR, CALPSTR);
TYPEDEF_CA(LPWSTR, CALPWSTR);
TYPEDEF_CA(FILETIME, CAFILETIME);
TYPEDEF_CA(CLIPDATA, CACLIPDATA);
TYPEDEF_CA(CLSID, CACLSID);
#undef TYPEDEF_CA

struct alignas(8) tagPROPVARIANT {
  union {
    struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        CHAR cVal;
        UCHAR bVal;
        SHORT iVal;
        USHORT uiVal;
        LONG lVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        LARGE_INTEGER hVal;
        ULARGE_INTEGER uhVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        FILETIME filetime;
        CLSID* puuid;
        CLIPDATA* pclipdata;
        BSTR bstrVal;
        BSTRBLOB bstrblobVal;
        BLOB blob;
        LPSTR pszVal;
        LPWSTR pwszVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        IStream* pStream;
        IStorage* pStorage;
        LPSAFEARRAY parray;
        CAC cac;
        CAUB caub;
        CAI cai;
        CAUI caui;
        CAL cal;
        CAUL caul;
        CAH cah;
        CAUH cauh;
        CAFLT caflt;
        CADBL cadbl;
        CABOOL cabool;
        CASCODE cascode;
        CACY cacy;
        CADATE cadate;
        CAFILETIME cafiletime;
        CACLSID cauuid;
        CACLIPDATA caclipdata;
        CABSTR cabstr;
        CABSTRBLOB cabstrblob;
        CALPSTR calpstr;
        CALPWSTR calpwstr;
        CAPROPVARIANT capropvar;
        CHAR* pcVal;
        UCHAR* pbVal;
        SHORT* piVal;
        USHORT* puiVal;
        LONG* plVal;
        ULONG* pulVal;
        INT* pintVal;
        UINT* puintVal;
        FLOAT* pfltVal;
        DOUBLE* pdblVal;
        VARIANT_BOOL* pboolVal;
        DECIMAL* pdecVal;
        SCODE* pscode;
        CY* pcyVal;
        DATE* pdate;
        BSTR* pbstrVal;
        PROPVARIANT* pvarVal;
      };
    };
    DECIMAL decVal;
  };
};
typedef PROPVARIANT* LPPROPVARIANT;
typedef const PROPVARIANT* REFPROPVARIANT;

#define PRSPEC_INVALID 0xffffffff
#define PRSPEC_LPWSTR 0
#define PRSPEC_PROPID 1

typedef struct tagPROPSPEC {
  ULONG ulKind;
  union {
    PROPID propid;
    LPOLESTR lpwstr;
  };
} PROPSPEC;

typedef struct tagSTATPROPSTG {
  LPOLESTR lpwstrName;
  PROPID propid;
  VARTYPE vt;
} STATPROPSTG;

typedef struct tagSTATPROPSETSTG {
  FMTID fmtid;
  CLSID clsid;
  DWORD grfFlags;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD dwOSVersion;
} STATPROPSETSTG;

#define PID_DICTIONARY 0x00000000
#define PID_CODEPAGE 0x00000001
#define PID_FIRST_USABLE 0x00000002
#define PID_FIRST_NAME_DEFAULT 0x00000fff
#define PID_LOCALE 0x80000000
#define PID_MODIFY_TIME 0x80000001
#define PID_SECURITY 0x80000002
#define PID_BEHAVIOR 0x80000003
#define PID_ILLEGAL 0xffffffff
#define PID_MIN_READONLY 0x80000000
#define PID_MAX_READONLY 0xbfffffff

#define PROPSETFLAG_DEFAULT 0
#define PROPSETFLAG_NONSIMPLE 1
#define PROPSETFLAG_ANSI 2
#define PROPSETFLAG_UNBUFFERED 4
#define PROPSETFLAG_CASE_SENSITIVE 8

#define PROPSETHDR_OSVERSION_UNKNOWN 0xFFFFFFFF
#define CCH_MAX_PROPSTG_NAME 31

// Summary information property ids.
#define PIDSI_TITLE 0x00000002L
#define PIDSI_SUBJECT 0x00000003L
#define PIDSI_AUTHOR 0x00000004L
#define PIDSI_KEYWORDS 0x00000005L
#define PIDSI_COMMENTS 0x00000006L
#define PIDSI_TEMPLATE 0x00000007L
#define PIDSI_LASTAUTHOR 0x00000008L
#define PIDSI_REVNUMBER 0x00000009L
#define PIDSI_EDITTIME 0x0000000aL
#define PIDSI_LASTPRINTED 0x0000000bL
#define PIDSI_CREATE_DTM 0x0000000cL
#define PIDSI_LASTSAVE_DTM 0x0000000dL
#define PIDSI_PAGECOUNT 0x0000000eL
#define PIDSI_WORDCOUNT 0x0000000fL
#define PIDSI_CHARCOUNT 0x00000010L
#define PIDSI_THUMBNAIL 0x00000011L
#define PIDSI_APPNAME 0x00000012L
#define PIDSI_DOC_SECURITY 0x00000013L

struct IPropertyStorage : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ReadMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                                 PROPVARIANT rgpropvar[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                                  const PROPVARIANT rgpropvar[],
                                                  PROPID propidNameFirst) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteMultiple(ULONG cpspec, const PROPSPEC rgpspec[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadPropertyNames(ULONG cpropid, const PROPID rgpropid[],
                                                      LPOLESTR rglpwstrName[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE WritePropertyNames(ULONG cpropid, const PROPID rgpropid[],
                                                       const LPOLESTR rglpwstrName[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeletePropertyNames(ULONG cpropid, const PROPID rgpropid[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Revert() = 0;
  virtual HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSTG** ppenum) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetTimes(const FILETIME* pctime, const FILETIME* patime,
                                             const FILETIME* pmtime) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stat(STATPROPSETSTG* pstatpsstg) = 0;
};
typedef IPropertyStorage* LPPROPERTYSTORAGE;

struct IPropertySetStorage : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Create(REFFMTID rfmtid, const CLSID* pclsid, DWORD grfFlags,
                                           DWORD grfMode, IPropertyStorage** ppprstg) = 0;
  virtual HRESULT STDMETHODCALLTYPE Open(REFFMTID rfmtid, DWORD grfMode,
                                         IPropertyStorage** ppprstg) = 0;
  virtual HRESULT STDMETHODCALLTYPE Delete(REFFMTID rfmtid) = 0;
  virtual HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSETSTG** ppenum) = 0;
};
typedef IPropertySetStorage* LPPROPERTYSETSTORAGE;

struct IEnumSTATPROPSTG : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, STATPROPSTG* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumSTATPROPSTG** ppenum) = 0;
};

struct IEnumSTATPROPSETSTG : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, STATPROPSETSTG* rgelt,
                                         ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumSTATPROPSETSTG** ppenum) = 0;
};

inline void PropVariantInit(PROPVARIANT* pvar) { std::memset(pvar, 0, sizeof(PROPVARIANT)); }
EXTERN_C HRESULT WINAPI PropVariantClear(PROPVARIANT* pvar);
EXTERN_C HRESULT WINAPI PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc);
EXTERN_C HRESULT WINAPI FreePropVariantArray(ULONG cVariants, PROPVARIANT* rgvars);

EXTERN_C HRESULT WINAPI StgCreatePropSetStg(IStorage* pStorage, DWORD reserved,
                                            IPropertySetStorage** ppPropSetStg);
EXTERN_C HRESULT WINAPI FmtIdToPropStgName(const FMTID* pfmtid, LPOLESTR oszName);
EXTERN_C HRESULT WINAPI PropStgNameToFmtId(const LPOLESTR oszName, FMTID* pfmtid);
