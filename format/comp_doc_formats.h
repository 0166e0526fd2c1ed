// The format descriptor: tells the host who made the plug-in, what it is
// called, which extensions it serves and what it can do with each, and
// creates navigators. It holds no state and is agile: it aggregates the
// free-threaded marshaler.
#pragma once
#include <windows.h>
#include <ole2.h>

#include "host/vlt_interfaces.h"
#include "module/velmora_lib.h"

class CCompDocFormats final : public ICompDocFormats, public IVltFileFormat {
 public:
  // Makes a descriptor and queries it for `riid`.
  static HRESULT CreateInstance(REFIID riid, void** ppv);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetFormatInfo(BSTR* pbsCompany, BSTR* pbsDescription,
                                          BSTR* pbsExtensions) override;
  HRESULT STDMETHODCALLTYPE GetExtensionFlags(LPCWSTR pwszExtension, LONG* plFlags) override;
  HRESULT STDMETHODCALLTYPE CreateNavigator(LPCWSTR pwszPath, LONG lIgnored,
                                            IVltFileNavigator** ppoNavigator) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCallA(LONG, LONG, LONG, LONG, void* pOut) override;
  HRESULT STDMETHODCALLTYPE UnsupportedCallB(LONG, void* pOut) override;

 private:
  CCompDocFormats();
  ~CCompDocFormats();
  HRESULT FinalConstruct();

  LONG volatile m_lRefCount = 0;
  CRITICAL_SECTION m_cs;
  IUnknown* m_pUnkMarshaler = nullptr;
};

// Flags per extension: every extension can be read (0x8); "doc" and "xls"
// also have links that are listed and rewritten (0x1).
inline constexpr LONG kExtensionFlagAttributes = 0x8;
inline constexpr LONG kExtensionFlagReferences = 0x1;
