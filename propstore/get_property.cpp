// Reading one property from the cache.
#include "propstore/comp_doc_properties.h"
#include "values/stored_to_attribute.h"

bool CompDocProperties::FormatValue(const PROPVARIANT* poValue, VARIANT* poDest,
                                    UINT uCodePage) {
  return SUCCEEDED(StoredToAttribute(poDest, poValue, uCodePage));
}

bool CompDocProperties::GetProperty(LPCWSTR pwszBlock, LPCWSTR pwszName, VARIANT* poDest) {
  const BlockDef* pBlock = ResolveBlock(g_ReadBlocks, pwszBlock);
  if (!pBlock) return false;

  if (pBlock->iSet == kCustomBlock) {
    for (CustomProps* pRecord : m_CustomList) {
      if (NamesEqual(pRecord->strName.c_str(), pwszName))
        return FormatValue(&pRecord->oValue, poDest, CustomListCodePage());
    }
    return false;
  }

  PROPVARIANT* pValues = ValuesOf(pBlock->iSet);
  if (!pValues) return false;
  int iRow = FindRow(g_PropSets[pBlock->iSet], pwszName);
  if (iRow < 0) return false;
  return FormatValue(&pValues[iRow], poDest, m_uSetCodePage[pBlock->iSet]);
}
