// Error information: CreateErrorInfo, SetErrorInfo and GetErrorInfo. The
// thread's slot lives in the base room (base/thread_error.h), where a failed
// platform call leaves its reason as text; GetErrorInfo turns that text into
// an error object only when someone asks, so a refusal costs no object.
#include <oleauto.h>

#include <new>
#include <string>

#include "base/thread_error.h"
#include "com/object.h"
#include "text/text.h"

namespace {

class ErrorInfo final : public velmora::com::Object<IErrorInfo, ICreateErrorInfo> {
 public:
  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, IID_IErrorInfo); }
  IUnknown* faceFor(REFIID riid) override {
    if (IsEqualIID(riid, IID_ICreateErrorInfo)) return face<ICreateErrorInfo>();
    return Object::faceFor(riid);
  }

  HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
    if (!pGUID) return E_INVALIDARG;
    *pGUID = m_guid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return give(m_source, out); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return give(m_description, out); }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return give(m_helpFile, out); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
    if (!out) return E_INVALIDARG;
    *out = m_helpContext;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) override {
    m_guid = rguid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR text) override { return take(m_source, text); }
  HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR text) override {
    return take(m_description, text);
  }
  HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR text) override { return take(m_helpFile, text); }
  HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
    m_helpContext = context;
    return S_OK;
  }

 private:
  ~ErrorInfo() = default;

  static HRESULT give(const std::u16string& text, BSTR* out) {
    if (!out) return E_INVALIDARG;
    // An empty field is a NULL BSTR, as the system gives it.
    *out = nullptr;
    if (text.empty()) return S_OK;
    *out = SysAllocStringLen(text.data(), UINT(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  static HRESULT take(std::u16string& field, LPOLESTR text) {
    try {
      field = text ? std::u16string(text) : std::u16string();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  GUID m_guid{};
  std::u16string m_source, m_description, m_helpFile;
  DWORD m_helpContext = 0;
};

}  // namespace

EXTERN_C HRESULT WINAPI CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_INVALIDARG;
  *pperrinfo = nullptr;
  ErrorInfo* info = new (std::nothrow) ErrorInfo();
  if (!info) return E_OUTOFMEMORY;
  *pperrinfo = info;
  return S_OK;
}

EXTERN_C HRESULT WINAPI SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
  if (dwReserved != 0) return E_INVALIDARG;
  auto& slot = velmora::base::threadErrorInfo();
  if (perrinfo) perrinfo->AddRef();
  slot.setReason(std::string());
  slot.object = perrinfo;
  return S_OK;
}

EXTERN_C HRESULT WINAPI GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
  if (dwReserved != 0 || !pperrinfo) return E_INVALIDARG;
  *pperrinfo = nullptr;
  auto& slot = velmora::base::threadErrorInfo();
  if (slot.object) {
    // The reference the slot held is the caller's now.
    *pperrinfo = static_cast<IErrorInfo*>(slot.object);
    slot.object = nullptr;
    return S_OK;
  }
  if (slot.reason.empty()) return S_FALSE;
  ErrorInfo* info = new (std::nothrow) ErrorInfo();
  if (!info) return E_OUTOFMEMORY;
  std::u16string text;
  try {
    text = velmora::text::utf16FromUtf8(slot.reason);
  } catch (const std::bad_alloc&) {
    info->Release();
    return E_OUTOFMEMORY;
  }
  info->SetDescription(text.data());
  slot.reason.clear();
  *pperrinfo = info;
  return S_OK;
}
