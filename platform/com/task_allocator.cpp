// The task allocator. Every block that crosses an interface (element names,
// property names, arrays handed to the host) comes from here, so whichever
// side frees it uses the same pair.
#include <objbase.h>

#include <cstdlib>

EXTERN_C LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb ? cb : 1); }

EXTERN_C LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  return std::realloc(pv, cb ? cb : 1);
}

EXTERN_C void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }
