// Reading one property from the cache.
#include "propstore/catalogue_index.h"
#include "propstore/comp_doc_properties.h"
#include "values/stored_to_attribute.h"

#include <new>

HRESULT CompDocProperties::FormatValue(const PROPVARIANT* poValue, VARIANT* poDest,
                                       UINT uCodePage) {
  return StoredToAttribute(poDest, poValue, uCodePage);
}

namespace {

// A name of ASCII letters, digits and blanks folded to lower case, as
// NamesEqual settles such names; false for any other name.
bool FoldedPlainName(LPCWSTR pwszName, WideString& out) {
  out.clear();
  for (const WCHAR* p = pwszName; *p; ++p) {
    if (!IsPlainNameChar(*p)) return false;
    out.push_back((*p >= u'A' && *p <= u'Z') ? WCHAR(*p | 0x20) : *p);
  }
  return true;
}

// Below this many records a scan costs less than making the index.
constexpr size_t kIndexedCustomList = 16;

}  // namespace

const CompDocProperties::CustomProps* CompDocProperties::FindCustom(LPCWSTR pwszName) {
  if (!pwszName) return nullptr;
  if (m_CustomList.size() >= kIndexedCustomList) {
    try {
      return FindIndexedCustom(pwszName);
    } catch (const std::bad_alloc&) {
      // Without room for the index the list is scanned, as short ones are.
      m_CustomIndex.reset();
    }
  }
  for (CustomProps* pRecord : m_CustomList)
    if (NamesEqual(pRecord->strName.c_str(), pwszName)) return pRecord;
  return nullptr;
}

const CompDocProperties::CustomProps* CompDocProperties::FindIndexedCustom(LPCWSTR pwszName) {
  if (!m_CustomIndex) {
    CustomIndex index;
    index.records.reserve(m_CustomList.size());
    WideString key;
    for (CustomProps* pRecord : m_CustomList) {
      const size_t at = index.records.size();
      index.records.push_back(pRecord);
      if (FoldedPlainName(pRecord->strName.c_str(), key))
        index.plainNames.emplace(key, at);  // the first record of a name stays
      else
        index.otherNames.push_back(at);
    }
    m_CustomIndex.emplace(std::move(index));
  }
  const CustomIndex& index = *m_CustomIndex;
  WideString key;
  if (!FoldedPlainName(pwszName, key)) {
    for (const CustomProps* pRecord : index.records)
      if (NamesEqual(pRecord->strName.c_str(), pwszName)) return pRecord;
    return nullptr;
  }
  // Plain names equal exactly when they fold alike; a name that is not
  // plain may still equal this one under the full comparison, and wins
  // when it comes first.
  auto it = index.plainNames.find(key);
  const size_t found = it == index.plainNames.end() ? index.records.size() : it->second;
  for (size_t at : index.otherNames) {
    if (at > found) break;
    if (NamesEqual(index.records[at]->strName.c_str(), pwszName)) return index.records[at];
  }
  return found < index.records.size() ? index.records[found] : nullptr;
}

HRESULT CompDocProperties::GetProperty(LPCWSTR pwszBlock, LPCWSTR pwszName, VARIANT* poDest) {
  const BlockDef* pBlock = ResolveBlock(g_ReadBlocks, pwszBlock);
  if (!pBlock) return S_FALSE;

  if (pBlock->iSet == kCustomBlock) {
    const CustomProps* pRecord = FindCustom(pwszName);
    if (!pRecord) return S_FALSE;
    return FormatValue(&pRecord->oValue, poDest, CustomListCodePage());
  }

  PROPVARIANT* pValues = ValuesOf(pBlock->iSet);
  if (!pValues) return S_FALSE;
  int iRow = LookupRow(g_PropSets[pBlock->iSet], pwszName);
  if (iRow < 0) return S_FALSE;
  if (m_uPictureRows[pBlock->iSet] >> iRow & 1) {
    PROPVARIANT oPicture;
    PropVariantInit(&oPicture);
    oPicture.vt = VT_CF;  // its type alone: the conversion refuses a picture
    return FormatValue(&oPicture, poDest, m_uSetCodePage[pBlock->iSet]);
  }
  return FormatValue(&pValues[iRow], poDest, m_uSetCodePage[pBlock->iSet]);
}
