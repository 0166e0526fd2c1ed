// The registrar: runs registration scripts (the ".rgs" syntax) against the
// registry, from a library's REGISTRY resource, a file or a string.
#pragma once
#include "objbase.h"

EXTERN_C const CLSID CLSID_Registrar;
EXTERN_C const IID IID_IRegistrar;

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
