// OLE object interfaces: IOleLink and the update options of a link.
#pragma once
#include "objidl.h"

struct IOleClientSite;
typedef IOleClientSite* LPOLECLIENTSITE;

EXTERN_C const IID IID_IOleLink;

typedef enum tagOLEUPDATE { OLEUPDATE_ALWAYS = 1, OLEUPDATE_ONCALL = 3 } OLEUPDATE;

struct IOleLink : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetUpdateOptions(DWORD dwUpdateOpt) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUpdateOptions(DWORD* pdwUpdateOpt) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSourceMoniker(IMoniker* pmk, REFCLSID rclsid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSourceMoniker(IMoniker** ppmk) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSourceDisplayName(LPCOLESTR pszStatusText) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSourceDisplayName(LPOLESTR* ppszDisplayName) = 0;
  virtual HRESULT STDMETHODCALLTYPE BindToSource(DWORD bindflags, IBindCtx* pbc) = 0;
  virtual HRESULT STDMETHODCALLTYPE BindIfRunning() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBoundSource(IUnknown** ppunk) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnbindSource() = 0;
  virtual HRESULT STDMETHODCALLTYPE Update(IBindCtx* pbc) = 0;
};
typedef IOleLink* LPOLELINK;
