#include "storage/storage_services.h"

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
