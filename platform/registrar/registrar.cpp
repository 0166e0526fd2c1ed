// The registrar class (CLSID_Registrar): replacements plus script runs from a
// library's REGISTRY resource, a file or a string. The platform serves it
// without registration, as the system's registrar is always present.
#include <atliface.h>

#include <fstream>
#include <iterator>
#include <new>

#include "activation/activation.h"
#include "com/object.h"
#include "registrar/script.h"

EXTERN_C const CLSID CLSID_Registrar = {
    0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
EXTERN_C const IID IID_IRegistrar = {
    0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

namespace velmora::registrar {
namespace {

class Registrar final : public com::Object<IRegistrar> {
 public:
  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_IRegistrar); }

  HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) override {
    if (!key || !item) return E_INVALIDARG;
    return guard([&] {
      m_replacements[key] = item;
      return S_OK;
    });
  }
  HRESULT STDMETHODCALLTYPE ClearReplacements() override {
    m_replacements.clear();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR resFileName, LPCOLESTR szID,
                                               LPCOLESTR szType) override {
    return fromResourceName(resFileName, szID, szType, true);
  }
  HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR resFileName, LPCOLESTR szID,
                                                 LPCOLESTR szType) override {
    return fromResourceName(resFileName, szID, szType, false);
  }
  HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR fileName) override {
    return fromFile(fileName, true);
  }
  HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR fileName) override {
    return fromFile(fileName, false);
  }
  HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) override {
    return data ? guard([&] { return run(data, true); }) : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) override {
    return data ? guard([&] { return run(data, false); }) : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR resFileName, UINT nID,
                                             LPCOLESTR szType) override {
    return fromResource(resFileName, nID, szType, true);
  }
  HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR resFileName, UINT nID,
                                               LPCOLESTR szType) override {
    return fromResource(resFileName, nID, szType, false);
  }

 private:
  template <typename Body>
  static HRESULT guard(Body&& body) {
    try {
      return body();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  HRESULT run(std::u16string_view text, bool registerMode) {
    auto script = parseScript(text, m_replacements);
    if (!script) return script.code();
    return runScript(*script, registerMode);
  }

  HRESULT fromResource(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType, bool registerMode) {
    if (!resFileName || !szType) return E_INVALIDARG;
    return guard([&] {
      auto bytes = activation::loadResource(resFileName, szType, nID);
      if (!bytes) return bytes.code();
      return run(decodeScript(*bytes), registerMode);
    });
  }

  // Resource names: only "#number" ids are kept in a library's directory.
  HRESULT fromResourceName(LPCOLESTR resFileName, LPCOLESTR szID, LPCOLESTR szType,
                           bool registerMode) {
    if (!szID) return E_INVALIDARG;
    if (szID[0] != u'#') return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
    UINT id = 0;
    for (const OLECHAR* p = szID + 1; *p; ++p) {
      if (*p < u'0' || *p > u'9') return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
      id = id * 10 + static_cast<UINT>(*p - u'0');
    }
    return fromResource(resFileName, id, szType, registerMode);
  }

  HRESULT fromFile(LPCOLESTR fileName, bool registerMode) {
    if (!fileName) return E_INVALIDARG;
    return guard([&] {
      char path[4 * MAX_PATH];
      int n = WideCharToMultiByte(CP_UTF8, 0, fileName, -1, path, sizeof path, nullptr, nullptr);
      if (n <= 0) return E_INVALIDARG;
      std::ifstream in(path, std::ios::binary);
      if (!in) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      return run(decodeScript(bytes), registerMode);
    });
  }

  Replacements m_replacements;
};

HRESULT createRegistrar(REFIID riid, void** ppv) {
  auto* registrar = new (std::nothrow) Registrar;
  if (!registrar) return E_OUTOFMEMORY;
  HRESULT hr = registrar->QueryInterface(riid, ppv);
  registrar->Release();
  return hr;
}

const bool kRegistered = [] {
  activation::registerBuiltinClass(CLSID_Registrar, createRegistrar);
  return true;
}();

}  // namespace
}  // namespace velmora::registrar
