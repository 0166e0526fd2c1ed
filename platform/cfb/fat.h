// The FAT and the DIFAT ([MS-CFB] 2.3, 2.5): next-sector lookups from FAT
// sectors read on demand, bounded and cycle-checked chain walks, allocation
// that respects the commit invariants, and the copy-on-write placement of
// the tables themselves at commit.
#pragma once
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cfb/header.h"
#include "cfb/pager.h"

namespace velmora::cfb {

// The committed FAT and DIFAT sectors with their marks. A large document
// lists thousands of them, so they live in a sorted array with a short
// unsorted tail rather than in a node-per-sector map: producers allocate
// them mostly in ascending order, and a hostile order costs one merge per
// tail, never one per sector.
//
// Marks come in two ascending runs: the FAT sectors a DIFAT lists, and the
// DIFAT sectors that lie past them, so a producer's usual order never
// reaches the tail; the runs are checked against each other at each flush.
class SectorMarks {
 public:
  void reserve(size_t n) {
    m_sorted.reserve(n);
    m_second.reserve(n);
  }
  // Marks `s`. A sector marked twice is found at the next flush, which runs
  // at the latest every kTailLimit marks.
  [[nodiscard]] bool add(SectorId s, uint32_t mark) {
    if (m_sorted.empty() || m_sorted.back().first < s) {
      m_sorted.emplace_back(s, mark);
      return true;
    }
    if (m_second.empty() || m_second.back().first < s) {
      m_second.emplace_back(s, mark);
      return true;
    }
    return addToTail(s, mark);
  }
  // Marks `n` ascending sectors at once when they extend one of the runs;
  // false, with nothing marked, when they do not.
  [[nodiscard]] bool addRun(const SectorId* s, size_t n, uint32_t mark) {
    assert(n > 0 && std::adjacent_find(s, s + n, std::greater_equal<SectorId>()) == s + n &&
           "a run is a non-empty ascending list");
    auto extend = [&](std::vector<std::pair<SectorId, uint32_t>>& run) {
      if (!run.empty() && run.back().first >= s[0]) return false;
      const size_t at = run.size();
      run.resize(at + n);
      for (size_t i = 0; i < n; ++i) run[at + i] = {s[i], mark};
      return true;
    };
    return extend(m_sorted) || extend(m_second);
  }
  // Marks a whole list: as a run when it ascends and extends one, else as
  // add() does, the tail flushed at most once. False, as add(), when a
  // flush found a sector marked twice.
  [[nodiscard]] bool addAll(std::span<const SectorId> s, uint32_t mark);
  // Sorts the tail in; false, with the sector in `*duplicate`, when a sector
  // is marked twice.
  [[nodiscard]] bool flush(SectorId* duplicate);
  // The mark of `s`, or null.
  const uint32_t* find(SectorId s) const;
  // Calls `fn(sector, mark)` for every marked sector in [lo, hi): one search
  // for a whole FAT sector's worth of entries instead of one per entry.
  template <typename Fn>
  void forEachIn(SectorId lo, SectorId hi, Fn fn) const {
    auto it = std::lower_bound(
        m_sorted.begin(), m_sorted.end(), lo,
        [](const std::pair<SectorId, uint32_t>& e, SectorId v) { return e.first < v; });
    for (; it != m_sorted.end() && it->first < hi; ++it) fn(it->first, it->second);
    it = std::lower_bound(
        m_second.begin(), m_second.end(), lo,
        [](const std::pair<SectorId, uint32_t>& e, SectorId v) { return e.first < v; });
    for (; it != m_second.end() && it->first < hi; ++it) fn(it->first, it->second);
    for (const auto& e : m_tail)
      if (e.first >= lo && e.first < hi) fn(e.first, e.second);
  }
  void clear() {
    m_sorted.clear();
    m_second.clear();
    m_tail.clear();
  }

 private:
  [[nodiscard]] bool addToTail(SectorId s, uint32_t mark);
  static constexpr size_t kTailLimit = 256;
  std::vector<std::pair<SectorId, uint32_t>> m_sorted;
  std::vector<std::pair<SectorId, uint32_t>> m_second;  // the second ascending run
  std::vector<std::pair<SectorId, uint32_t>> m_tail;
  SectorId m_duplicate = 0;
  bool m_hasDuplicate = false;
};

class Fat {
 public:
  // Takes the header's DIFAT entries and checks them; DIFAT sectors
  // are read when a FAT sector they list is first needed, or at once when
  // `wholeDifat` (a writable open). FAT sectors are read when first needed.
  [[nodiscard]] static Result<std::unique_ptr<Fat>> open(Pager& pager, const Header& header,
                                                         bool wholeDifat);
  // Reads the rest of the DIFAT (integrity checks, commits).
  [[nodiscard]] Result<void> loadWholeDifat() { return loadDifat(UINT32_MAX); }
  // An empty FAT for a new file.
  static std::unique_ptr<Fat> createEmpty(Pager& pager, const Header& header);
  ~Fat();
  Fat(const Fat&) = delete;
  Fat& operator=(const Fat&) = delete;

  // The working value of sector `id`'s entry. Entries past the committed
  // end of the file read as FREESECT.
  [[nodiscard]] Result<uint32_t> entry(SectorId id);
  [[nodiscard]] Result<void> setEntry(SectorId id, uint32_t value);
  // True when the committed image uses sector `id` (its committed entry is
  // not FREESECT); such a sector is never written (invariant 1).
  [[nodiscard]] Result<bool> committedInUse(SectorId id);
  // The same from what is already read, false where nothing is: the pager's
  // debug check of every write. Every sector written was first asked about
  // (or lies past the committed image), so its FAT sector is known.
  bool committedInUseSeen(SectorId id) const;

  // The chain from `start`, at most `maxSectors` long (extra sectors are
  // ignored). Fails with STG_E_DOCFILECORRUPT on an id outside the file, a
  // loop, or a special value inside the chain.
  [[nodiscard]] Result<std::vector<SectorId>> walk(SectorId start, uint64_t maxSectors,
                                                   const char* what);
  // The same into `out`, whose room is kept between walks.
  [[nodiscard]] Result<void> walkInto(SectorId start, uint64_t maxSectors, const char* what,
                                      std::vector<SectorId>& out);

  // Follows the chain from `start` without keeping it, for callers that
  // check each sector as they go. The chain is handed over in runs of
  // consecutive sectors: `visit(first, count)` sees a run before the link
  // out of it is read, and returns false to refuse it (a refused run is not
  // counted). Stops as well after `maxSectors` sectors, at a link outside the
  // file or to a reserved value, and where a FAT sector cannot be read;
  // walk() names what went wrong. Returns the sectors visited, and whether
  // the chain ended at ENDOFCHAIN.
  template <typename Visit>
  std::pair<uint64_t, bool> follow(SectorId start, uint64_t maxSectors, Visit&& visit) {
    uint64_t visited = 0;
    SectorId cur = start;
    while (cur != kEndOfChain) {
      if (cur >= m_highWater) return {visited, false};
      auto entries = entriesOf(cur >> m_entryShift);
      if (!entries) return {visited, false};
      // Every link that stays within this FAT sector, without looking the
      // sector up again: producers lay a stream's sectors out in runs.
      const uint32_t* table = *entries;
      const SectorId first = cur & ~(m_E - 1);
      // The part of this FAT sector's range inside the file.
      const uint32_t span = uint32_t(std::min<uint64_t>(m_E, m_highWater - first));
      do {
        // The run's links are compared with their places, not followed one
        // by one, so each step waits on no load before it.
        const uint32_t from = cur - first;
        uint32_t last = from;
        // Eight links at a time where the run goes on, compared without an
        // early exit so the compiler can take them in one step.
        while (last + 8 < span) {
          const uint32_t* links = table + last;
          const uint32_t next = first + last + 1;
          uint32_t off = 0;
          for (int j = 0; j < 8; ++j) off |= links[j] ^ (next + uint32_t(j));
          if (off) break;
          last += 8;
        }
        while (last + 1 < span && table[last] == first + last + 1) ++last;
        const uint64_t room = maxSectors - visited;
        if (room == 0) return {visited, false};
        const uint64_t count = std::min<uint64_t>(last - from + 1, room);
        if (!visit(cur, uint32_t(count))) return {visited, false};
        visited += count;
        if (count <= last - from) return {visited, false};
        const uint32_t next = table[last];
        if (!isRegularSector(next) && next != kEndOfChain) return {visited, false};
        cur = next;
      } while (cur - first < span);
    }
    return {visited, true};
  }

  // A sector free in both the working and the committed image, marked
  // ENDOFCHAIN. STG_E_MEDIUMFULL when a version 3 file would pass 2 GB.
  [[nodiscard]] Result<SectorId> allocate();
  // Frees `id` in the working FAT; reusable at once if the committed image
  // never used it, otherwise only after the next commit (invariant 6).
  [[nodiscard]] Result<void> release(SectorId id);

  // Sectors the new image spans.
  uint64_t sectorsInUse() const { return m_highWater; }
  uint64_t sectorLimit() const { return m_highWater; }

  // Places the changed FAT and DIFAT sectors in fresh sectors, writes them
  // through the pager and fills the header's table fields.
  [[nodiscard]] Result<void> prepareCommit(Header& header);
  // The header landed: the working tables become the committed ones.
  void commitDone();

  uint32_t fatSectorCount() const { return uint32_t(m_fatLocations.size()); }
  const std::vector<SectorId>& fatLocations() const { return m_fatLocations; }
  const std::vector<SectorId>& difatLocations() const { return m_difatLocations; }

 private:
  // The steps of prepareCommit.
  [[nodiscard]] Result<void> placeTables(std::vector<bool>& difatDirty);
  [[nodiscard]] Result<bool> placeFatSectors();
  [[nodiscard]] Result<bool> growDifat();
  [[nodiscard]] Result<bool> placeDifatSectors(std::vector<bool>& difatDirty);
  size_t difatSectorsFor(size_t fatSectors) const;
  [[nodiscard]] Result<void> writeFatSectors();
  [[nodiscard]] Result<void> writeDifatSectors(const std::vector<bool>& difatDirty);
  Fat(Pager& pager, const Header& header);
  // A FAT sector's m_E entries, committed or working; the address stays
  // valid for the Fat's life (committed) or until the next commit (working).
  [[nodiscard]] Result<uint32_t*> committedSector(uint32_t k);
  [[nodiscard]] Result<uint32_t*> workingSector(uint32_t k);
  uint32_t* newCommittedSlot();
  // walkInto's loop check: whether `cur` is already in the walk `out`,
  // taking up the bitmap once the walk grows long (`bitmap` says so); and
  // the bitmap cleared of a walk again.
  bool alreadyWalked(SectorId cur, const std::vector<SectorId>& out, bool& bitmap);
  void forgetWalk(const std::vector<SectorId>& walked);
  // FAT sector `k`'s working entries (its working copy if any, else the
  // committed one), through the one-sector cache.
  [[nodiscard]] Result<uint32_t*> entriesOf(uint32_t k);
  SectorId rangeLockSector() const;
  [[nodiscard]] Result<void> addFatLocation(SectorId s, const char* listedBy, base::Where listedAt);
  [[nodiscard]] Result<void> loadDifat(uint32_t k);
  // Appends the FAT sector locations `listed` names, up to the FREESECT
  // that ends the DIFAT (m_targetFat then says where) or the first location
  // outside the file (`*outside`, else FREESECT); returns how many.
  size_t takeListed(std::span<const SectorId> listed, SectorId* outside);
  // Marks m_fatLocations from `from` on as FAT sectors.
  [[nodiscard]] Result<void> markFatLocations(size_t from);
  // Sorts in the marks added since the last flush; a sector listed twice is
  // corruption.
  [[nodiscard]] Result<void> flushMarks();
  base::Error listedTwice();
  // Where the FAT entry of sector `id` lies; where the last sector of a
  // partial walk links on (the link a damaged chain goes wrong by).
  base::Where entryPlace(SectorId id) const;
  base::Where linkPlace(const std::vector<SectorId>& walked) const;

  Pager& m_pager;
  uint32_t m_shift;
  uint32_t m_E;           // entries per FAT sector, a power of two
  uint32_t m_entryShift;  // log2 of m_E
  bool m_v3;
  uint64_t m_committedSectors = 0;
  uint64_t m_highWater = 0;
  uint32_t m_targetFat = 0;                // FAT sectors the DIFAT is expected to list
  SectorId m_nextDifat = kEndOfChain;      // next DIFAT sector not yet read
  std::vector<SectorId> m_fatLocations;    // committed DIFAT: FAT index -> sector
  std::vector<SectorId> m_difatLocations;  // committed DIFAT sector chain
  std::vector<SectorId> m_newFatLocations;
  std::vector<SectorId> m_newDifatLocations;
  SectorMarks m_marks;  // FATSECT/DIFSECT of the committed tables
  // Committed FAT sectors as read, by index (null: not read yet). They live
  // in slabs of many sectors, so reading a large file's whole FAT costs a
  // few dozen allocations, not one or two a sector. The index is kept in
  // pages of 64, so a reader that needs a few sectors far into a large FAT
  // does not clear an index of all of them.
  static constexpr unsigned kIndexPageShift = 6;
  static constexpr uint32_t kIndexPageMask = (1u << kIndexPageShift) - 1;
  std::vector<std::unique_ptr<uint32_t*[]>> m_committedIndex;
  uint32_t* committedAt(uint32_t k) const {
    const size_t page = k >> kIndexPageShift;
    return page < m_committedIndex.size() && m_committedIndex[page]
               ? m_committedIndex[page][k & kIndexPageMask]
               : nullptr;
  }
  struct Slab {
    std::unique_ptr<uint32_t[]> entries;
    size_t size;
  };
  std::vector<Slab> m_slabs;
  size_t m_slabSectors = 0;  // sectors the last slab holds
  size_t m_slabUsed = 0;     // of which handed out
  std::unordered_map<uint32_t, std::vector<uint32_t>> m_working;
  std::vector<SectorId> m_reusable;
  std::unordered_set<SectorId> m_reusableSet;
  std::vector<SectorId> m_pendingFree;
  // walk()'s loop check: one bit a sector, cleared again after each walk,
  // so a walk costs its chain's length whatever the size of the file.
  std::vector<uint64_t> m_seen;
  // entry()'s last FAT sector (working copy if any, else committed); node
  // addresses in the maps are stable, and a new working copy resets it.
  std::vector<uint8_t> m_readBuffer;  // one FAT sector as read
  std::vector<SectorId> m_listed;     // one DIFAT sector's entries, decoded
  uint32_t m_lastIndex = 0;
  uint32_t* m_lastSector = nullptr;
};

}  // namespace velmora::cfb
