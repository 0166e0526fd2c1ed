#include "storage/storage_services.h"

#include <cstdio>

#include "storage/held.h"

HRESULT IsCompoundDocument(LPCWSTR pwszPath) { return StgIsStorageFile(pwszPath); }

HRESULT OpenCompoundDocument(LPCWSTR pwszPath, DWORD grfMode, IStorage** ppStorage) {
  return StgOpenStorageEx(pwszPath, grfMode, STGFMT_ANY, 0, nullptr, nullptr, IID_IStorage,
                          reinterpret_cast<void**>(ppStorage));
}

HRESULT OpenChildStorage(IStorage* pParent, LPCWSTR pwszName, DWORD grfMode, IStorage** ppChild) {
  return pParent->OpenStorage(pwszName, nullptr, grfMode, nullptr, 0, ppChild);
}

HRESULT EnumerateElements(IStorage* pStorage, IEnumSTATSTG** ppEnum) {
  return pStorage->EnumElements(0, nullptr, 0, ppEnum);
}

HRESULT LoadLinkObject(IStorage* pStorage, IOleLink** ppLink) {
  return OleLoad(pStorage, IID_IOleLink, nullptr, reinterpret_cast<void**>(ppLink));
}

HRESULT CreatePathMoniker(LPCWSTR pwszPath, IMoniker** ppMoniker) {
  return CreateFileMoniker(pwszPath, ppMoniker);
}

HRESULT SaveLinkObject(IPersistStorage* pPersist, IStorage* pStorage) {
  return OleSave(pPersist, pStorage, TRUE);
}

std::basic_string<WCHAR> TakeErrorDescription() {
  std::basic_string<WCHAR> out;
  Held<IErrorInfo> pInfo;
  if (GetErrorInfo(0, pInfo.Out()) != S_OK || !pInfo.Get()) return out;
  BSTR bsText = nullptr;
  if (SUCCEEDED(pInfo->GetDescription(&bsText)) && bsText) {
    try {
      out.assign(bsText, SysStringLen(bsText));
    } catch (const std::bad_alloc&) {
      out.clear();
    }
  }
  SysFreeString(bsText);
  return out;
}

void SetErrorDescription(const std::basic_string<WCHAR>& text) {
  Held<ICreateErrorInfo> pCreate;
  if (FAILED(CreateErrorInfo(pCreate.Out())) || !pCreate.Get()) return;
  Held<IErrorInfo> pInfo;
  if (SUCCEEDED(pCreate->SetDescription(const_cast<LPOLESTR>(text.c_str()))) &&
      SUCCEEDED(pCreate->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(pInfo.Out()))) &&
      pInfo.Get())
    SetErrorInfo(0, pInfo.Get());
}

std::basic_string<WCHAR> WideFromAscii(const char* text) {
  std::basic_string<WCHAR> out;
  try {
    for (const char* p = text; *p; ++p) out += static_cast<WCHAR>(static_cast<unsigned char>(*p));
  } catch (const std::bad_alloc&) {
    out.clear();
  }
  return out;
}

std::basic_string<WCHAR> DescribeFailure(const char* what, HRESULT hr) {
  std::basic_string<WCHAR> reason = TakeErrorDescription();
  try {
    if (reason.empty()) {
      char status[32];
      std::snprintf(status, sizeof status, "status 0x%08X", static_cast<unsigned>(hr));
      reason = WideFromAscii(status);
    }
    return WideFromAscii(what) + WideFromAscii(": ") + reason;
  } catch (const std::bad_alloc&) {
    return std::basic_string<WCHAR>();
  }
}
