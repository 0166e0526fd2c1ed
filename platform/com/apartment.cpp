// The thread's apartment. Nothing here dispatches calls between apartments:
// objects of this platform are called on the threads that hold them, so an
// apartment is the per-thread record that CoInitializeEx keeps, with the
// results Windows gives: S_OK on a thread's first entry, S_FALSE on each
// further entry into the same kind of apartment (each to be balanced by one
// CoUninitialize), RPC_E_CHANGED_MODE for the other kind.
#include <objbase.h>

namespace {

struct Apartment {
  ULONG entries = 0;
  bool singleThreaded = false;
};

thread_local Apartment t_apartment;

}  // namespace

EXTERN_C HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  constexpr DWORD kKnown =
      COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (pvReserved || (dwCoInit & ~kKnown)) return E_INVALIDARG;
  const bool singleThreaded = (dwCoInit & COINIT_APARTMENTTHREADED) != 0;
  if (t_apartment.entries == 0) {
    t_apartment.singleThreaded = singleThreaded;
    t_apartment.entries = 1;
    return S_OK;
  }
  // A refused change of kind is not an entry: the caller must not balance it.
  if (t_apartment.singleThreaded != singleThreaded) return RPC_E_CHANGED_MODE;
  ++t_apartment.entries;
  return S_FALSE;
}

EXTERN_C HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

EXTERN_C void WINAPI CoUninitialize(void) {
  // An unbalanced call is ignored, as on Windows.
  if (t_apartment.entries > 0) --t_apartment.entries;
}

// A thread that never entered an apartment is in none; Windows would call it
// part of the implicit MTA once some thread had entered the MTA, which this
// record does not track, so such a thread is told CO_E_NOTINITIALIZED.
EXTERN_C HRESULT WINAPI CoGetApartmentType(APTTYPE* pAptType, APTTYPEQUALIFIER* pAptQualifier) {
  if (!pAptType || !pAptQualifier) return E_INVALIDARG;
  *pAptType = APTTYPE_CURRENT;
  *pAptQualifier = APTTYPEQUALIFIER_NONE;
  if (t_apartment.entries == 0) return CO_E_NOTINITIALIZED;
  *pAptType = t_apartment.singleThreaded ? APTTYPE_STA : APTTYPE_MTA;
  return S_OK;
}
