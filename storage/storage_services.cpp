#include "storage/storage_services.h"

HRESULT IsCompoundDocument(LPCWSTR pwszPath) { return StgIsStorageFile(pwszPath); }

HRESULT OpenCompoundDocument(LPCWSTR pwszPath, DWORD grfMode, IStorage** ppStorage) {
  return StgOpenStorageEx(pwszPath, grfMode, STGFMT_ANY, 0, nullptr, nullptr, IID_IStorage,
                          reinterpret_cast<void**>(ppStorage));
}
