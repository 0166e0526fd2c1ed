// The enumerators of the property-set layer: a snapshot of entries taken when
// the enumerator is made, walked by Next, Skip, Reset and Clone. `Traits`
// names the interface and its IID and copies one entry out to the caller
// (false when memory runs out; `release` undoes a copy).
#pragma once
#include <objbase.h>

#include <algorithm>
#include <new>
#include <vector>

#include "com/object.h"

namespace velmora::propset {

template <typename Traits>
class SnapshotEnumerator final : public com::Object<typename Traits::Interface> {
 public:
  using Interface = typename Traits::Interface;
  using Entry = typename Traits::Entry;
  using Stat = typename Traits::Stat;

  SnapshotEnumerator(std::vector<Entry> entries, size_t pos)
      : m_entries(std::move(entries)), m_pos(pos) {}

  bool answersTo(REFIID riid) const override { return IsEqualIID(riid, Traits::iid()); }

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, Stat* rgelt, ULONG* pceltFetched) override {
    if (pceltFetched) *pceltFetched = 0;
    if (!rgelt || (!pceltFetched && celt != 1)) return E_INVALIDARG;
    ULONG got = 0;
    while (got < celt && m_pos < m_entries.size()) {
      if (!Traits::copy(m_entries[m_pos], rgelt[got])) {
        for (ULONG i = 0; i < got; ++i) Traits::release(rgelt[i]);
        return STG_E_INSUFFICIENTMEMORY;
      }
      ++got;
      ++m_pos;
    }
    if (pceltFetched) *pceltFetched = got;
    return got == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    size_t left = m_entries.size() - m_pos;
    m_pos += std::min<size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    m_pos = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(Interface** ppenum) override {
    if (!ppenum) return E_INVALIDARG;
    *ppenum = new (std::nothrow) SnapshotEnumerator(m_entries, m_pos);
    return *ppenum ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::vector<Entry> m_entries;
  size_t m_pos;
};

}  // namespace velmora::propset
