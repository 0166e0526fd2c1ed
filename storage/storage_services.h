// The plug-in's road to the platform's structured storage: the modes it
// opens documents and sets with, and the calls that open them. The
// navigator and the property store reach the platform's storage entry points
// only through here.
#pragma once
#include <new>
#include <string>
#include <windows.h>
#include <ole2.h>

// A read that holds the document only while it loads: priority mode, direct.
inline constexpr DWORD kModePriorityRead = STGM_PRIORITY | STGM_READ | STGM_DIRECT;
// A write session: read-write, every other opener shut out, direct.
inline constexpr DWORD kModeExclusiveReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
// One property set, for the length of one read.
inline constexpr DWORD kModeSetRead = STGM_READ | STGM_SHARE_EXCLUSIVE;
// One property set, for the length of one write.
inline constexpr DWORD kModeSetReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

// S_OK only for a compound file.
HRESULT IsCompoundDocument(LPCWSTR pwszPath);

// Opens the root storage of a compound document in `grfMode`.
HRESULT OpenCompoundDocument(LPCWSTR pwszPath, DWORD grfMode, IStorage** ppStorage);

// Denied access, a sharing conflict or a lock: the failures the host hears
// about as "file access" rather than "not a document of ours".
inline bool IsAccessFailure(HRESULT hr) {
  return hr == STG_E_ACCESSDENIED || hr == STG_E_SHAREVIOLATION || hr == STG_E_LOCKVIOLATION;
}

// The process ran out of memory, in the words of the storage or the
// automation services.
inline bool IsMemoryFailure(HRESULT hr) {
  return hr == E_OUTOFMEMORY || hr == STG_E_INSUFFICIENTMEMORY;
}

// Raises a memory failure as std::bad_alloc, for the operation's edge to
// report, where the caller would otherwise take it for a missing or
// unreadable element and carry on; returns any other code.
inline HRESULT ThrowIfOutOfMemory(HRESULT hr) {
  if (IsMemoryFailure(hr)) throw std::bad_alloc();
  return hr;
}

// A sub-storage for the length of one look at it, and for one link save.
inline constexpr DWORD kModeChildRead = STGM_READ | STGM_SHARE_EXCLUSIVE;
inline constexpr DWORD kModeChildReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

// Opens the sub-storage `pwszName` of `pParent` in `grfMode`;
// STG_E_FILENOTFOUND when it is missing.
HRESULT OpenChildStorage(IStorage* pParent, LPCWSTR pwszName, DWORD grfMode, IStorage** ppChild);

// The enumerator of `pStorage`'s elements.
HRESULT EnumerateElements(IStorage* pStorage, IEnumSTATSTG** ppEnum);

// Loads the object in `pStorage` as a link (no client site). Fails for
// anything that is not a link: E_NOINTERFACE for an embedding.
HRESULT LoadLinkObject(IStorage* pStorage, IOleLink** ppLink);

// A file moniker for `pwszPath`.
HRESULT CreatePathMoniker(LPCWSTR pwszPath, IMoniker** ppMoniker);

// Writes the object back into the storage it was loaded from.
HRESULT SaveLinkObject(IPersistStorage* pPersist, IStorage* pStorage);

// Why a call failed, in words, through the thread's error information: the
// platform leaves its reason there; the system's storage leaves none. None of
// these throws: for want of memory a reason is lost, never the call's result.

// The description the last failed call of this thread left, taken (cleared);
// empty when there is none.
std::basic_string<WCHAR> TakeErrorDescription();

// Leaves `text` as the thread's error information, for the host to read
// with GetErrorInfo after the call that refused something returns.
void SetErrorDescription(const std::basic_string<WCHAR>& text);

// ASCII text as wide text.
std::basic_string<WCHAR> WideFromAscii(const char* text);

// "what: reason" where the reason is the failed call's own description, or
// its status in hexadecimal when it left none. `what` is ASCII.
std::basic_string<WCHAR> DescribeFailure(const char* what, HRESULT hr);
