// Reading one property from the cache.
#include "propstore/catalogue_index.h"
#include "propstore/comp_doc_properties.h"
#include "values/stored_to_attribute.h"

HRESULT CompDocProperties::FormatValue(const PROPVARIANT* poValue, VARIANT* poDest,
                                       UINT uCodePage) {
  return StoredToAttribute(poDest, poValue, uCodePage);
}

HRESULT CompDocProperties::GetProperty(LPCWSTR pwszBlock, LPCWSTR pwszName, VARIANT* poDest) {
  const BlockDef* pBlock = ResolveBlock(g_ReadBlocks, pwszBlock);
  if (!pBlock) return S_FALSE;

  if (pBlock->iSet == kCustomBlock) {
    for (CustomProps* pRecord : m_CustomList) {
      if (NamesEqual(pRecord->strName.c_str(), pwszName))
        return FormatValue(&pRecord->oValue, poDest, CustomListCodePage());
    }
    return S_FALSE;
  }

  PROPVARIANT* pValues = ValuesOf(pBlock->iSet);
  if (!pValues) return S_FALSE;
  int iRow = LookupRow(g_PropSets[pBlock->iSet], pwszName);
  if (iRow < 0) return S_FALSE;
  return FormatValue(&pValues[iRow], poDest, m_uSetCodePage[pBlock->iSet]);
}
