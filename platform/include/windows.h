// The base services of the platform that the plug-in uses: text
// conversion and comparison, time conversion, interlocked counts, critical
// sections, the thread's last error, and the C runtime's wide parsers.
#pragma once
#include "winerror.h"
#include "wtypes.h"
#include "winreg.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_MACCP 2
#define CP_THREAD_ACP 3
#define CP_UTF7 65000
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

typedef const CHAR* LPCCH;
typedef const WCHAR* LPCWCH;

EXTERN_C DWORD WINAPI GetLastError(void);
EXTERN_C void WINAPI SetLastError(DWORD dwErrCode);

EXTERN_C UINT WINAPI GetACP(void);
EXTERN_C UINT WINAPI GetOEMCP(void);
EXTERN_C int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                        int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                                        int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                        LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);
EXTERN_C int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
EXTERN_C int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
EXTERN_C int WINAPI lstrlenW(LPCWSTR lpString);

typedef struct _TIME_ZONE_INFORMATION {
  LONG Bias;
  WCHAR StandardName[32];
  SYSTEMTIME StandardDate;
  LONG StandardBias;
  WCHAR DaylightName[32];
  SYSTEMTIME DaylightDate;
  LONG DaylightBias;
} TIME_ZONE_INFORMATION, *PTIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;

#define INFINITE 0xFFFFFFFF  // a wait or delay without end

#define TIME_ZONE_ID_INVALID ((DWORD)0xFFFFFFFF)
#define TIME_ZONE_ID_UNKNOWN 0
#define TIME_ZONE_ID_STANDARD 1
#define TIME_ZONE_ID_DAYLIGHT 2

EXTERN_C BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
EXTERN_C BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
EXTERN_C BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime,
                                             LPFILETIME lpLocalFileTime);
EXTERN_C BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime,
                                             LPFILETIME lpFileTime);
EXTERN_C BOOL WINAPI
TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                const SYSTEMTIME* lpLocalTime, LPSYSTEMTIME lpUniversalTime);
EXTERN_C BOOL WINAPI
SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                const SYSTEMTIME* lpUniversalTime, LPSYSTEMTIME lpLocalTime);
EXTERN_C DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation);
EXTERN_C void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
EXTERN_C void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);

EXTERN_C LONG WINAPI InterlockedIncrement(LONG volatile* Addend);
EXTERN_C LONG WINAPI InterlockedDecrement(LONG volatile* Addend);
EXTERN_C LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value);
EXTERN_C LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                LONG Comparand);

// Opaque to callers; the layer keeps its lock in the record itself (no
// allocation), re-entrant on its owning thread as Windows' critical sections are.
typedef struct _RTL_CRITICAL_SECTION {
  void* DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;
  ULONG_PTR SpinCount;
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;

EXTERN_C void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
EXTERN_C void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
EXTERN_C void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
EXTERN_C void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Loaded libraries. An HMODULE is the address at which the library is mapped.
#define MAX_PATH 260
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

EXTERN_C BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
EXTERN_C DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

// C runtime (declared by <stdlib.h> on Windows). long is 32 bits there, so
// these return the Windows widths.
EXTERN_C int _wtoi(const WCHAR* str);
EXTERN_C LONG _wtol(const WCHAR* str);
EXTERN_C double _wtof(const WCHAR* str);
