#include "propstore/catalogue_index.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <cstdint>
#include <vector>

namespace {

// Catalogue names are at most this long; a plain name longer than every row
// matches none, and is still settled here.
constexpr size_t kMaxKey = 64;

// The hash of a key, from its length and three of its code units.
// (Over folded keys and over names as given, whose code units are WCHARs:
// char16_t here, wchar_t against the Windows SDK.)
template <typename Unit>
uint32_t KeyHash(const Unit* key, size_t length) {
  uint32_t hash = 0;
  if (length > 0)
    hash = uint32_t(length) * 0x9E3779B1u ^ uint32_t(key[0]) * 0x85EBCA77u ^
           uint32_t(key[length - 1]) * 0xC2B2AE3Du ^ uint32_t(key[length / 2]) * 0x27D4EB2Fu;
  return hash ^ (hash >> 15);
}

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

// Folds a plain name into `out` with its hash; as FoldPlain. The hash
// takes the length and three letters, no chain of multiplications over
// every letter: the rows of a set differ there, and a probe compares the
// whole key anyway.
bool FoldPlainHashed(const WCHAR* name, char16_t (&out)[kMaxKey], size_t& length, bool& tooLong,
                     uint32_t& hash) {
  if (!FoldPlain(name, out, length, tooLong)) return false;
  hash = tooLong ? 0 : KeyHash(out, length);
  return true;
}

// Rows by folded name in an open-addressed table: a set has at most a few
// dozen rows, so a probe is a hash, a compare and seldom a second step.
class SetIndex {
 public:
  explicit SetIndex(const PropSetDef& set) {
    m_keys.reserve(set.cRows);
    while (m_slots.size() < 4 * size_t(set.cRows) + 4)
      m_slots.resize(m_slots.empty() ? 8 : 2 * m_slots.size());
    m_exact.resize(m_slots.size());
    for (ULONG i = 0; i < set.cRows; ++i) {
      size_t length = 0;
      bool tooLong = false;
      uint32_t hash = 0;
      char16_t key[kMaxKey];
      // A row the folding cannot decide could equal a plain name that no
      // plain row equals: the whole set is then left to the scan.
      if (!FoldPlainHashed(set.pTable[i].name, key, length, tooLong, hash) || tooLong) {
        m_usable = false;
        return;
      }
      m_keys.emplace_back(key, length);
      size_t at = hash & (m_slots.size() - 1);
      bool repeated = false;
      while (m_slots[at].row >= 0) {
        if (m_slots[at].hash == hash && m_keys[size_t(m_slots[at].row)] == m_keys.back()) {
          repeated = true;  // the first row stays
          break;
        }
        at = (at + 1) & (m_slots.size() - 1);
      }
      if (!repeated) {
        m_slots[at] = {hash, int(i)};
        // The first row of its folded name is the answer for its own
        // spelling too.
        const uint32_t exactHash = KeyHash(set.pTable[i].name, length);
        size_t slot = exactHash & (m_exact.size() - 1);
        while (m_exact[slot].row >= 0) slot = (slot + 1) & (m_exact.size() - 1);
        m_exact[slot] = {exactHash, int(i)};
      }
    }
  }

  // The row spelled exactly `name`, -1 for none, or kUnsettled when
  // the name is too long to be one.
  static constexpr int kUnsettled = -2;
  int findSpelled(const WCHAR* name, const PropSetDef& set) const {
    size_t length = 0;
    while (name[length])
      if (++length > kMaxKey) return kUnsettled;
    const uint32_t hash = KeyHash(name, length);
    for (size_t at = hash & (m_exact.size() - 1);; at = (at + 1) & (m_exact.size() - 1)) {
      const Slot& slot = m_exact[at];
      if (slot.row < 0) return -1;
      if (slot.hash == hash && m_keys[size_t(slot.row)].size() == length &&
          std::equal(name, name + length, set.pTable[slot.row].name))
        return slot.row;
    }
  }

  bool usable() const { return m_usable; }

  int find(std::u16string_view key, uint32_t hash) const {
    for (size_t at = hash & (m_slots.size() - 1);; at = (at + 1) & (m_slots.size() - 1)) {
      const Slot& slot = m_slots[at];
      if (slot.row < 0) return -1;
      if (slot.hash == hash && m_keys[size_t(slot.row)] == key) return slot.row;
    }
  }

 private:
  struct Slot {
    uint32_t hash = 0;
    int row = -1;
  };
  bool m_usable = true;
  std::vector<std::u16string> m_keys;
  std::vector<Slot> m_slots;  // a power of two, at most a quarter full
  std::vector<Slot> m_exact;  // rows by spelling, as m_slots
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
  // Hosts mostly spell names as the catalogue does.
  const int spelled = index->findSpelled(name, set);
  if (spelled >= 0) return spelled;
  char16_t key[kMaxKey];
  size_t length = 0;
  bool tooLong = false;
  uint32_t hash = 0;
  if (!FoldPlainHashed(name, key, length, tooLong, hash)) return FindRow(set, name);
  if (tooLong) return -1;
  return index->find(std::u16string_view(key, length), hash);
}
