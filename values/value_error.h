// The error a value conversion raises when it cannot go on (memory, a failed
// code-page conversion, a value with no text form). The attribute
// operations catch it at their edge and turn it into their status.
#pragma once
#include <windows.h>

#include <new>
#include <string>

class ValueError {
 public:
  explicit ValueError(HRESULT hr) : m_hr(hr) {}
  HRESULT Code() const { return m_hr; }

 private:
  HRESULT m_hr;
};

// Raises ValueError(E_OUTOFMEMORY) for a null allocation result.
template <typename T>
T* CheckAlloc(T* p) {
  if (!p) throw ValueError(E_OUTOFMEMORY);
  return p;
}

// Raises the thread's last error as an HRESULT (E_FAIL when none is set).
[[noreturn]] inline void ThrowLastError() {
  DWORD dwError = GetLastError();
  throw ValueError(dwError ? HRESULT_FROM_WIN32(dwError) : E_FAIL);
}
