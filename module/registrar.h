// The platform's script registrar (CLSID_Registrar, IRegistrar). Its header
// is not part of every SDK, so its published interface is declared here when
// the SDK lacks it.
#pragma once
#include <windows.h>
#include <ole2.h>

#if __has_include(<atliface.h>)
#include <atliface.h>
#else
// {44EC053A-400F-11D0-9DCD-00A0C90391D3}
inline constexpr CLSID CLSID_Registrar = {
    0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
// {44EC053B-400F-11D0-9DCD-00A0C90391D3}
inline constexpr IID IID_IRegistrar = {
    0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

struct IRegistrar : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
  virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
  virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR resFileName, LPCOLESTR szID,
                                                       LPCOLESTR szType) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR resFileName, LPCOLESTR szID,
                                                         LPCOLESTR szType) = 0;
  virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR fileName) = 0;
  virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR fileName) = 0;
  virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
  virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR resFileName, UINT nID,
                                                     LPCOLESTR szType) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR resFileName, UINT nID,
                                                       LPCOLESTR szType) = 0;
};
#endif
