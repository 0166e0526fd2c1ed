// Component services and structured-storage entry points: the task
// allocator, the free-threaded marshaler, the thread's apartment, STGM modes,
// the Stg* functions and the system monikers' constructors.
#pragma once
#include "windows.h"
#include "objidl.h"
#include "propidl.h"

#define STGM_DIRECT 0x00000000L
#define STGM_TRANSACTED 0x00010000L
#define STGM_SIMPLE 0x08000000L
#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L
#define STGM_SHARE_DENY_NONE 0x00000040L
#define STGM_SHARE_DENY_READ 0x00000030L
#define STGM_SHARE_DENY_WRITE 0x00000020L
#define STGM_SHARE_EXCLUSIVE 0x00000010L
#define STGM_PRIORITY 0x00040000L
#define STGM_DELETEONRELEASE 0x04000000L
#define STGM_NOSCRATCH 0x00100000L
#define STGM_CREATE 0x00001000L
#define STGM_CONVERT 0x00020000L
#define STGM_FAILIFTHERE 0x00000000L
#define STGM_NOSNAPSHOT 0x00200000L
#define STGM_DIRECT_SWMR 0x00400000L

#define STGFMT_STORAGE 0
#define STGFMT_NATIVE 1
#define STGFMT_FILE 3
#define STGFMT_ANY 4
#define STGFMT_DOCFILE 5
#define STGFMT_DOCUMENT 0

#define STGOPTIONS_VERSION 2

typedef struct tagSTGOPTIONS {
  USHORT usVersion;
  USHORT reserved;
  ULONG ulSectorSize;
  const WCHAR* pwcsTemplateFile;
} STGOPTIONS;

typedef void* PSECURITY_DESCRIPTOR;

EXTERN_C LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
EXTERN_C LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
EXTERN_C void WINAPI CoTaskMemFree(LPVOID pv);
EXTERN_C HRESULT WINAPI CoCreateFreeThreadedMarshaler(LPUNKNOWN punkOuter, LPUNKNOWN* ppunkMarshal);

typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

EXTERN_C HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);

typedef enum _APTTYPE {
  APTTYPE_CURRENT = -1,
  APTTYPE_STA = 0,
  APTTYPE_MTA = 1,
  APTTYPE_NA = 2,
  APTTYPE_MAINSTA = 3
} APTTYPE;

typedef enum _APTTYPEQUALIFIER {
  APTTYPEQUALIFIER_NONE = 0,
  APTTYPEQUALIFIER_IMPLICIT_MTA = 1
} APTTYPEQUALIFIER;

EXTERN_C HRESULT WINAPI CoGetApartmentType(APTTYPE* pAptType, APTTYPEQUALIFIER* pAptQualifier);
EXTERN_C HRESULT WINAPI CoInitialize(LPVOID pvReserved);
EXTERN_C void WINAPI CoUninitialize(void);

EXTERN_C HRESULT WINAPI StgCreateDocfile(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved,
                                         IStorage** ppstgOpen);
EXTERN_C HRESULT WINAPI StgOpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode,
                                       SNB snbExclude, DWORD reserved, IStorage** ppstgOpen);
EXTERN_C HRESULT WINAPI StgIsStorageFile(const WCHAR* pwcsName);
EXTERN_C HRESULT WINAPI StgCreateStorageEx(const WCHAR* pwcsName, DWORD grfMode, DWORD stgfmt,
                                           DWORD grfAttrs, STGOPTIONS* pStgOptions,
                                           PSECURITY_DESCRIPTOR pSecurityDescriptor, REFIID riid,
                                           void** ppObjectOpen);
EXTERN_C HRESULT WINAPI StgOpenStorageEx(const WCHAR* pwcsName, DWORD grfMode, DWORD stgfmt,
                                         DWORD grfAttrs, STGOPTIONS* pStgOptions,
                                         PSECURITY_DESCRIPTOR pSecurityDescriptor, REFIID riid,
                                         void** ppObjectOpen);
EXTERN_C HRESULT WINAPI ReadClassStg(IStorage* pStg, CLSID* pclsid);
EXTERN_C HRESULT WINAPI WriteClassStg(IStorage* pStg, REFCLSID rclsid);
EXTERN_C HRESULT WINAPI CreateFileMoniker(LPCOLESTR lpszPathName, LPMONIKER* ppmk);
EXTERN_C HRESULT WINAPI CreateItemMoniker(LPCOLESTR lpszDelim, LPCOLESTR lpszItem, LPMONIKER* ppmk);
EXTERN_C HRESULT WINAPI CreateAntiMoniker(LPMONIKER* ppmk);
EXTERN_C HRESULT WINAPI CreateGenericComposite(LPMONIKER pmkFirst, LPMONIKER pmkRest,
                                               LPMONIKER* ppmkComposite);
EXTERN_C HRESULT WINAPI CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease,
                                              LPSTREAM* ppstm);

// Activation: class objects and instances of registered classes.
typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL \
  (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

typedef struct _COSERVERINFO COSERVERINFO;

EXTERN_C HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext,
                                         COSERVERINFO* pServerInfo, REFIID riid, LPVOID* ppv);
EXTERN_C HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                         REFIID riid, LPVOID* ppv);
EXTERN_C void WINAPI CoFreeUnusedLibraries(void);
EXTERN_C void WINAPI CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved);
EXTERN_C HRESULT WINAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
EXTERN_C HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
EXTERN_C int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
