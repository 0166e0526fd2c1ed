// OLE: the object services on top of structured storage: loading and saving
// objects in storages, and monikers in streams.
#pragma once
#include "objbase.h"
#include "oleauto.h"
#include "oleidl.h"

EXTERN_C HRESULT WINAPI OleLoad(LPSTORAGE pStg, REFIID riid, LPOLECLIENTSITE pClientSite,
                                LPVOID* ppvObj);
EXTERN_C HRESULT WINAPI OleSave(LPPERSISTSTORAGE pPS, LPSTORAGE pStg, BOOL fSameAsLoad);
EXTERN_C HRESULT WINAPI OleLoadFromStream(LPSTREAM pStm, REFIID iidInterface, LPVOID* ppvObj);
EXTERN_C HRESULT WINAPI OleSaveToStream(LPPERSISTSTREAM pPStm, LPSTREAM pStm);
