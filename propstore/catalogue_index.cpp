#include "propstore/catalogue_index.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

// Catalogue names are at most this long; a plain name longer than every row
// matches none, and is still settled here.
constexpr size_t kMaxKey = 64;

// Folds a plain name into `out`; false when the name holds a character the
// folding cannot decide, or is too long to be a catalogue name.
bool FoldPlain(const WCHAR* name, char16_t (&out)[kMaxKey], size_t& length, bool& tooLong) {
  tooLong = false;
  for (length = 0; name[length]; ++length) {
    WCHAR ch = name[length];
    if (!IsPlainNameChar(ch)) return false;
    if (length == kMaxKey) {
      tooLong = true;
      // The rest must still be plain for the answer to be the scan's.
      for (size_t i = length; name[i]; ++i)
        if (!IsPlainNameChar(name[i])) return false;
      return true;
    }
    out[length] = char16_t((ch >= u'A' && ch <= u'Z') ? (ch | 0x20) : ch);
  }
  return true;
}

class SetIndex {
 public:
  explicit SetIndex(const PropSetDef& set) {
    m_keys.reserve(set.cRows);
    for (ULONG i = 0; i < set.cRows; ++i) {
      size_t length = 0;
      bool tooLong = false;
      char16_t key[kMaxKey];
      // A row the folding cannot decide could equal a plain name that no
      // plain row equals: the whole set is then left to the scan.
      if (!FoldPlain(set.pTable[i].name, key, length, tooLong) || tooLong) {
        m_usable = false;
        return;
      }
      m_keys.emplace_back(key, length);
    }
    for (ULONG i = 0; i < set.cRows; ++i) m_rows.emplace(m_keys[i], int(i));  // first row stays
  }

  bool usable() const { return m_usable; }

  int find(std::u16string_view key) const {
    auto it = m_rows.find(key);
    return it == m_rows.end() ? -1 : it->second;
  }

 private:
  bool m_usable = true;
  std::vector<std::u16string> m_keys;
  std::unordered_map<std::u16string_view, int> m_rows;
};

const SetIndex* IndexOf(const PropSetDef& set) {
  static const SetIndex* const indexes = [] {
    static std::vector<SetIndex> built;
    built.reserve(kCatalogedSetCount);
    for (const PropSetDef& def : g_PropSets) built.emplace_back(def);
    return built.data();
  }();
  for (int i = 0; i < kCatalogedSetCount; ++i)
    if (g_PropSets[i].pTable == set.pTable) return &indexes[i];
  return nullptr;
}

}  // namespace

int LookupRow(const PropSetDef& set, const WCHAR* name) {
  if (!name) return -1;
  const SetIndex* index = IndexOf(set);
  if (!index || !index->usable()) return FindRow(set, name);
  char16_t key[kMaxKey];
  size_t length = 0;
  bool tooLong = false;
  if (!FoldPlain(name, key, length, tooLong)) return FindRow(set, name);
  if (tooLong) return -1;
  return index->find(std::u16string_view(key, length));
}
