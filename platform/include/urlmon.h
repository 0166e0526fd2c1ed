// URL monikers.
#pragma once
#include "objbase.h"

EXTERN_C HRESULT WINAPI CreateURLMoniker(LPMONIKER pMkCtx, LPCWSTR szURL, LPMONIKER* ppmk);
