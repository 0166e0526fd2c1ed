// Counting stand-ins for interfaces that VARIANTs and PROPVARIANTs hold.
#pragma once
#include <oleauto.h>

class CountedUnknown : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override { return ULONG(--m_refs); }
  LONG refs() const { return m_refs; }

 private:
  LONG m_refs = 1;
};

// An object whose value property (DISPID_VALUE) is a fixed VARIANT.
class ValueDispatch : public IDispatch {
 public:
  explicit ValueDispatch(const VARIANT& value, HRESULT result = S_OK) : m_result(result) {
    VariantInit(&m_value);
    VariantCopy(&m_value, &value);
  }
  ~ValueDispatch() { VariantClear(&m_value); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override { return ULONG(--m_refs); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    ++m_invokes;
    if (FAILED(m_result)) return m_result;
    if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !params || params->cArgs) {
      return E_INVALIDARG;
    }
    return VariantCopy(result, &m_value);
  }
  LONG refs() const { return m_refs; }
  int invokes() const { return m_invokes; }

 private:
  VARIANT m_value;
  HRESULT m_result;
  LONG m_refs = 1;
  int m_invokes = 0;
};
