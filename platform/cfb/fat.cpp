// The FAT and DIFAT.
//
// Two views of every entry: the committed one (as the last committed header
// reaches it on disk, read a FAT sector at a time and kept) and the working
// one (a copy of each FAT sector the open storage has changed). A sector may
// be allocated only when both views call it free: the working view so that
// two chains never share it, the committed view so that no write lands on
// the old image before the commit point (invariants 1 and 6 of pager.cpp).
//
// Tolerated on load: FREESECT ending the DIFAT chain, zero padding in
// the last DIFAT sector, FAT sectors not marked FATSECT (the marks are
// rewritten in memory from the DIFAT), garbage past the end of the file.
#include "cfb/fat.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <iterator>

#include "base/little_endian.h"

namespace velmora::cfb {

Fat::Fat(Pager& pager, const Header& header)
    : m_pager(pager),
      m_shift(header.sectorShift),
      m_E(header.entriesPerSector()),
      m_entryShift(header.sectorShift - 2),
      m_v3(header.majorVersion == 3) {
  m_pager.setCommittedUse([this](SectorId id) { return committedInUseSeen(id); });
}

namespace {
// Whole slabs outlive their FAT, as the pager's windows do: a writable open
// reads a large file's whole FAT, and slabs handed back to the system fault
// in afresh at the next open. At most 2 MiB a thread: a 250 MB file's FAT.
constexpr size_t kSlabBytes = size_t(32) << 10;
constexpr size_t kSlabPoolLimit = 64;
struct SlabPool {
  std::vector<std::unique_ptr<uint32_t[]>> free;
};
thread_local SlabPool t_slabPool;
}  // namespace

Fat::~Fat() {
  m_pager.setCommittedUse(nullptr);
  // Kept only within the room reserved when the pool was first used, so
  // the destructor never allocates.
  for (Slab& slab : m_slabs)
    if (slab.size * sizeof(uint32_t) == kSlabBytes &&
        t_slabPool.free.size() < t_slabPool.free.capacity())
      t_slabPool.free.push_back(std::move(slab.entries));
}

std::unique_ptr<Fat> Fat::createEmpty(Pager& pager, const Header& header) {
  return std::unique_ptr<Fat>(new Fat(pager, header));
}

namespace {
using Mark = std::pair<SectorId, uint32_t>;

// The least sector id in both ascending lists, or kFreeSect: looked up one
// by one when `few` is much the shorter, else the two walked side by side.
SectorId leastShared(const std::vector<Mark>& few, const std::vector<Mark>& many) {
  auto byId = [](const Mark& e, SectorId v) { return e.first < v; };
  if (few.size() * 16 < many.size()) {
    for (const Mark& e : few) {
      auto it = std::lower_bound(many.begin(), many.end(), e.first, byId);
      if (it != many.end() && it->first == e.first) return e.first;
    }
    return kFreeSect;
  }
  for (auto a = few.begin(), b = many.begin(); a != few.end() && b != many.end();) {
    if (a->first < b->first)
      ++a;
    else if (b->first < a->first)
      ++b;
    else
      return a->first;
  }
  return kFreeSect;
}
}  // namespace

bool SectorMarks::addToTail(SectorId s, uint32_t mark) {
  m_tail.emplace_back(s, mark);
  if (m_tail.size() < kTailLimit) return true;
  SectorId dup;
  return flush(&dup);
}

bool SectorMarks::addAll(std::span<const SectorId> s, uint32_t mark) {
  if (s.empty()) return true;
  // Counted without an early exit, so the compiler compares many at once.
  size_t descents = 0;
  for (size_t i = 1; i < s.size(); ++i) descents += s[i - 1] >= s[i] ? 1 : 0;
  if (descents == 0 && addRun(s.data(), s.size(), mark)) return true;
  // A file this engine rewrote lists its moved FAT sectors out of order:
  // what extends neither run waits in the tail, sorted in once the list is
  // placed, not every few hundred.
  for (SectorId id : s) {
    if (m_sorted.empty() || m_sorted.back().first < id)
      m_sorted.emplace_back(id, mark);
    else if (m_second.empty() || m_second.back().first < id)
      m_second.emplace_back(id, mark);
    else
      m_tail.emplace_back(id, mark);
  }
  if (m_tail.size() < kTailLimit) return true;
  SectorId dup;
  return flush(&dup);
}

bool SectorMarks::flush(SectorId* duplicate) {
  if (!m_tail.empty() && !m_hasDuplicate) {
    std::sort(m_tail.begin(), m_tail.end());
    // The least id of the tail marked twice, in the tail or in a run.
    SectorId dup = kFreeSect;
    for (size_t i = 1; i < m_tail.size(); ++i)
      if (m_tail[i - 1].first == m_tail[i].first) {
        dup = m_tail[i].first;
        break;
      }
    dup = std::min({dup, leastShared(m_tail, m_sorted), leastShared(m_tail, m_second)});
    if (dup != kFreeSect) {
      m_hasDuplicate = true;
      m_duplicate = dup;
    }
    size_t middle = m_sorted.size();
    m_sorted.insert(m_sorted.end(), m_tail.begin(), m_tail.end());
    std::inplace_merge(m_sorted.begin(), m_sorted.begin() + std::ptrdiff_t(middle), m_sorted.end());
    m_tail.clear();
  }
  if (!m_second.empty() && !m_hasDuplicate) {
    // The two runs against each other: each mark of the shorter looked for
    // in the longer (the DIFAT sectors among thousands of FAT sectors).
    const auto& shorter = m_sorted.size() < m_second.size() ? m_sorted : m_second;
    const auto& longer = m_sorted.size() < m_second.size() ? m_second : m_sorted;
    if (const SectorId dup = leastShared(shorter, longer); dup != kFreeSect) {
      m_hasDuplicate = true;
      m_duplicate = dup;
    }
  }
  *duplicate = m_duplicate;
  return !m_hasDuplicate;
}

const uint32_t* SectorMarks::find(SectorId s) const {
  auto byId = [](const std::pair<SectorId, uint32_t>& e, SectorId v) { return e.first < v; };
  auto it = std::lower_bound(m_sorted.begin(), m_sorted.end(), s, byId);
  if (it != m_sorted.end() && it->first == s) return &it->second;
  it = std::lower_bound(m_second.begin(), m_second.end(), s, byId);
  if (it != m_second.end() && it->first == s) return &it->second;
  for (const auto& e : m_tail)
    if (e.first == s) return &e.second;
  return nullptr;
}

base::Error Fat::listedTwice() {
  SectorId dup = 0;
  (void)m_marks.flush(&dup);
  return DAMAGE(STG_E_DOCFILECORRUPT, Allocation, inSector(dup).at(sectorOffset(dup, m_shift)),
                "sector %u is listed twice among the FAT and DIFAT sectors", dup);
}

Result<void> Fat::flushMarks() {
  SectorId dup = 0;
  if (!m_marks.flush(&dup)) return listedTwice();
  return {};
}

Result<std::unique_ptr<Fat>> Fat::open(Pager& pager, const Header& h, bool wholeDifat) {
  std::unique_ptr<Fat> fat(new Fat(pager, h));
  const uint64_t nsect = pager.fileSectors();
  fat->m_committedSectors = nsect;
  fat->m_highWater = nsect;
  fat->m_targetFat = h.numFatSectors;
  // One mark per FAT and DIFAT sector; growing the table one rehash at a time
  // would cost more than the reads on a large document. A hostile count is
  // bounded by what the file can hold.
  fat->m_marks.reserve(
      size_t(std::min<uint64_t>(uint64_t(h.numFatSectors) + h.numDifatSectors, nsect / 64 + 16)));
  fat->m_fatLocations.reserve(size_t(std::min<uint64_t>(h.numFatSectors, nsect / 64 + 16)));
  SectorId outside = kFreeSect;
  const size_t taken =
      fat->takeListed(std::span<const SectorId>(
                          h.difat.data(), std::min<size_t>(kHeaderDifatEntries, h.numFatSectors)),
                      &outside);
  TRY(fat->markFatLocations(0));
  if (outside != kFreeSect)  // fails there, naming the fault and where it is listed
    TRY(fat->addFatLocation(outside, "header DIFAT",
                            atOffset(header_field::kDifat + 4 * uint64_t(taken))));
  fat->m_nextDifat =
      fat->m_fatLocations.size() < fat->m_targetFat ? h.firstDifatSector : kEndOfChain;
  if (fat->m_fatLocations.empty())
    return DAMAGE(STG_E_DOCFILECORRUPT, Allocation, atOffset(header_field::kDifat),
                  "the DIFAT lists no FAT sector");
  if (wholeDifat) TRY(fat->loadDifat(UINT32_MAX));
  TRY(fat->flushMarks());
  return fat;
}

Result<void> Fat::addFatLocation(SectorId s, const char* listedBy, base::Where listedAt) {
  if (s >= m_committedSectors)
    return DAMAGE(STG_E_DOCFILECORRUPT, Allocation, listedAt,
                  "%s lists FAT sector %u; the file has %llu sectors", listedBy, s,
                  (unsigned long long)m_committedSectors);
  if (!m_marks.add(s, kFatSect)) return listedTwice();
  m_fatLocations.push_back(s);
  return {};
}

size_t Fat::takeListed(std::span<const SectorId> listed, SectorId* outside) {
  const size_t from = m_fatLocations.size();
  m_fatLocations.resize(from + listed.size());
  SectorId* taken = m_fatLocations.data() + from;
  // Copied whole first, and looked at entry by entry only when the list
  // ends or goes wrong in it: a large document's DIFAT is thousands of
  // sound entries.
  std::copy(listed.begin(), listed.end(), taken);
  SectorId highest = 0;
  for (const SectorId s : listed) highest = std::max(highest, s);
  size_t n = listed.size();
  *outside = kFreeSect;
  if (highest == kFreeSect || highest >= m_committedSectors) {
    for (n = 0; n < listed.size(); ++n) {
      if (taken[n] == kFreeSect) {
        m_targetFat = uint32_t(from + n);
        break;
      }
      if (taken[n] >= m_committedSectors) {
        *outside = taken[n];
        break;
      }
    }
  }
  m_fatLocations.resize(from + n);
  return n;
}

Result<void> Fat::markFatLocations(size_t from) {
  assert(from <= m_fatLocations.size());
  if (!m_marks.addAll(std::span<const SectorId>(m_fatLocations).subspan(from), kFatSect))
    return listedTwice();
  return {};
}

Result<void> Fat::loadDifat(uint32_t k) {
  // Reads DIFAT sectors until FAT sector `k` is known or the chain ends.
  // Writers load it whole at open: the marks it carries keep allocation off
  // FAT sectors that a producer left unmarked.
  std::vector<uint8_t> buf;
  while (m_fatLocations.size() <= k && m_fatLocations.size() < m_targetFat &&
         m_nextDifat != kEndOfChain && m_nextDifat != kFreeSect) {
    SectorId cur = m_nextDifat;
    if (cur >= m_committedSectors)
      return DAMAGE(STG_E_DOCFILECORRUPT, Allocation, where(),
                    "DIFAT sector %u lies outside the file's %llu sectors", cur,
                    (unsigned long long)m_committedSectors);
    // Checked at once: a looping chain must not run on to the next flush.
    if (m_marks.find(cur))
      return DAMAGE(STG_E_DOCFILECORRUPT, Allocation, inSector(cur).at(sectorOffset(cur, m_shift)),
                    "DIFAT chain loops or overlaps the FAT at sector %u", cur);
    if (!m_marks.add(cur, kDifSect)) return listedTwice();
    m_difatLocations.push_back(cur);
    buf.resize(size_t(m_E) * 4);
    TRY(m_pager.read(cur, 0, buf, false));
    // A large document lists thousands of FAT sectors here: they are taken
    // a DIFAT sector at a time and marked as one run when they ascend, as
    // producers write them.
    const size_t from = m_fatLocations.size();
    assert(from < m_targetFat);  // the loop's condition: FAT sectors are still to come
    const size_t room = std::min<size_t>(m_E - 1, m_targetFat - from);
    m_listed.resize(room);
    for (size_t i = 0; i < room; ++i) m_listed[i] = base::loadLE32(&buf[4 * i]);
    SectorId outside = kFreeSect;
    const size_t n = takeListed(m_listed, &outside);
    TRY(markFatLocations(from));
    if (outside != kFreeSect)  // names the fault and where it is listed
      return addFatLocation(
          outside, "a DIFAT sector",
          inSector(cur, "DIFAT").at(sectorOffset(cur, m_shift) + 4 * uint64_t(n)));
    m_nextDifat = base::loadLE32(&buf[4 * (size_t(m_E) - 1)]);
  }
  if (k == UINT32_MAX) m_targetFat = uint32_t(m_fatLocations.size());
  return flushMarks();
}

SectorId Fat::rangeLockSector() const { return SectorId((kRangeLockOffset >> m_shift) - 1); }

uint32_t* Fat::newCommittedSlot() {
  if (m_slabUsed == m_slabSectors) {
    // Doubling from one sector, so a small file's one FAT sector takes one
    // small allocation, up to kSlabBytes: larger ones malloc would map and
    // unmap afresh for every open.
    const size_t most = std::max<size_t>(1, kSlabBytes / (sizeof(uint32_t) * m_E));
    const size_t sectors = m_slabs.empty() ? 1 : std::min(m_slabSectors * 2, most);
    const size_t size = sectors * m_E;
    // Nothing changes until the allocations have succeeded.
    m_slabs.reserve(m_slabs.size() + 1);
    std::unique_ptr<uint32_t[]> entries;
    if (size * sizeof(uint32_t) == kSlabBytes) {
      t_slabPool.free.reserve(kSlabPoolLimit);
      if (!t_slabPool.free.empty()) {
        entries = std::move(t_slabPool.free.back());
        t_slabPool.free.pop_back();
      }
    }
    if (!entries) entries = std::make_unique_for_overwrite<uint32_t[]>(size);
    m_slabs.push_back({std::move(entries), size});
    m_slabSectors = sectors;
    m_slabUsed = 0;
  }
  return m_slabs.back().entries.get() + m_slabUsed++ * m_E;
}

Result<uint32_t*> Fat::committedSector(uint32_t k) {
  if (uint32_t* seen = committedAt(k)) return seen;
  if (k >= m_fatLocations.size() && k < m_targetFat) TRY(loadDifat(k));
  const size_t page = k >> kIndexPageShift;
  if (page >= m_committedIndex.size()) m_committedIndex.resize(page + 1);
  if (!m_committedIndex[page])
    m_committedIndex[page] = std::make_unique<uint32_t*[]>(size_t(1) << kIndexPageShift);
  uint32_t* entries = newCommittedSlot();
  if (k < m_fatLocations.size()) {
    // Straight from the pager where it holds the sector whole: a large
    // file's whole FAT is read at every writable open.
    ASSIGN(held, m_pager.view(m_fatLocations[k]));
    std::span<const uint8_t> buf = held;
    if (buf.empty()) {
      m_readBuffer.resize(size_t(m_E) * 4);
      TRY(m_pager.read(m_fatLocations[k], 0, m_readBuffer, false));
      buf = m_readBuffer;
    }
    const uint64_t first = uint64_t(k) * m_E;
    // Entries past the file's end read as free: the file was cut short.
    const uint32_t inFile = first >= m_committedSectors
                                ? 0
                                : uint32_t(std::min<uint64_t>(m_E, m_committedSectors - first));
    // Counted as they are copied, so a sector without free entries, the
    // usual one, is not searched for them again.
    uint32_t freeEntries = 0;
    for (uint32_t i = 0; i < inFile; ++i) {
      const uint32_t v = base::loadLE32(&buf[4 * size_t(i)]);
      entries[i] = v;
      freeEntries += v == kFreeSect;
    }
    std::fill(entries + inFile, entries + m_E, kFreeSect);
    if (first < kMaxRegSect)
      m_marks.forEachIn(SectorId(first), SectorId(std::min<uint64_t>(first + m_E, kMaxRegSect)),
                        [&](SectorId s, uint32_t mark) {
                          if (s - first < inFile)
                            freeEntries += (mark == kFreeSect) - (entries[s - first] == kFreeSect);
                          entries[s - first] = mark;
                        });
    // Free entries of a sector seen for the first time are free in both
    // views, since no change can precede the load.
    if (freeEntries && !m_working.count(k)) {
      const uint32_t* end = entries + inFile;
      for (const uint32_t* it = std::find(entries, entries + inFile, kFreeSect); it != end;
           it = std::find(it + 1, end, kFreeSect)) {
        const SectorId id = SectorId(first + uint64_t(it - entries));
        if (id != rangeLockSector() && m_reusableSet.insert(id).second) m_reusable.push_back(id);
      }
    }
  } else {
    std::fill_n(entries, m_E, kFreeSect);  // past the FAT: nothing allocated
  }
  m_committedIndex[page][k & kIndexPageMask] = entries;
  return entries;
}

Result<uint32_t*> Fat::workingSector(uint32_t k) {
  if (auto it = m_working.find(k); it != m_working.end()) return it->second.data();
  ASSIGN(c, committedSector(k));
  m_lastSector = nullptr;  // the working copy now shadows the committed one
  return m_working.emplace(k, std::vector<uint32_t>(c, c + m_E)).first->second.data();
}

Result<uint32_t*> Fat::entriesOf(uint32_t k) {
  // Chains mostly stay within one FAT sector for a while: remember the last.
  if (m_lastSector && m_lastIndex == k) return m_lastSector;
  if (auto it = m_working.find(k); it != m_working.end()) {
    m_lastIndex = k;
    m_lastSector = it->second.data();
    return m_lastSector;
  }
  ASSIGN(c, committedSector(k));
  m_lastIndex = k;
  m_lastSector = c;
  return c;
}

Result<uint32_t> Fat::entry(SectorId id) {
  if (id >= m_highWater)
    return DAMAGE(STG_E_DOCFILECORRUPT, Chain, where(),
                  "sector %u lies outside the file's %llu sectors", id,
                  (unsigned long long)m_highWater);
  ASSIGN(entries, entriesOf(id >> m_entryShift));
  return entries[id & (m_E - 1)];
}

Result<void> Fat::setEntry(SectorId id, uint32_t value) {
  if (id >= m_highWater)
    return DAMAGE(STG_E_DOCFILECORRUPT, Allocation, where(), "FAT update of sector %u past the end",
                  id);
  ASSIGN(w, workingSector(id >> m_entryShift));
  w[id & (m_E - 1)] = value;
  m_pager.markDirty();
  return {};
}

Result<bool> Fat::committedInUse(SectorId id) {
  if (id >= m_committedSectors) return false;
  ASSIGN(c, committedSector(id >> m_entryShift));
  return c[id & (m_E - 1)] != kFreeSect;
}

bool Fat::committedInUseSeen(SectorId id) const {
  if (id >= m_committedSectors) return false;
  const uint32_t k = id >> m_entryShift;
  const uint32_t* entries = committedAt(k);
  return entries && entries[id & (m_E - 1)] != kFreeSect;
}

base::Where Fat::entryPlace(SectorId id) const {
  const uint64_t k = id / m_E;
  if (k >= m_fatLocations.size()) return inSector(id);
  const SectorId at = m_fatLocations[size_t(k)];
  return inSector(at, "FAT").at(sectorOffset(at, m_shift) + 4 * uint64_t(id % m_E));
}

base::Where Fat::linkPlace(const std::vector<SectorId>& walked) const {
  return walked.empty() ? where() : entryPlace(walked.back());
}

Result<std::vector<SectorId>> Fat::walk(SectorId start, uint64_t maxSectors, const char* what) {
  std::vector<SectorId> out;
  TRY(walkInto(start, maxSectors, what, out));
  return out;
}

// A short chain is checked for loops against itself; the bitmap, as large
// as the file, is taken up only by a chain that grows long.
inline bool Fat::alreadyWalked(SectorId cur, const std::vector<SectorId>& out, bool& bitmap) {
  constexpr size_t kScannedChain = 32;
  if (!bitmap && out.size() >= kScannedChain) {
    const size_t words = size_t((m_highWater + 63) / 64);
    if (m_seen.size() < words) m_seen.resize(words, 0);
    for (SectorId s : out) m_seen[s >> 6] |= uint64_t(1) << (s & 63);
    bitmap = true;
  }
  if (!bitmap) return std::find(out.begin(), out.end(), cur) != out.end();
  uint64_t& word = m_seen[cur >> 6];
  const uint64_t bit = uint64_t(1) << (cur & 63);
  if (word & bit) return true;
  word |= bit;
  return false;
}

void Fat::forgetWalk(const std::vector<SectorId>& walked) {
  // A chain that covers much of the file clears the bitmap faster whole.
  const size_t words = size_t((m_highWater + 63) / 64);
  if (walked.size() >= words / 4)
    std::fill_n(m_seen.begin(), words, 0);
  else
    for (SectorId s : walked) m_seen[s >> 6] &= ~(uint64_t(1) << (s & 63));
}

Result<void> Fat::walkInto(SectorId start, uint64_t maxSectors, const char* what,
                           std::vector<SectorId>& out) {
  out.clear();
  if (start == kEndOfChain || start == kFreeSect) return {};
  bool bitmap = false;
  auto walked = [&]() -> Result<void> {
    const uint32_t* table = nullptr;
    uint32_t tableOf = UINT32_MAX;
    SectorId cur = start;
    while (cur != kEndOfChain && out.size() < maxSectors) {
      if (cur >= m_highWater)
        return DAMAGE(STG_E_DOCFILECORRUPT, Chain, linkPlace(out),
                      "%s chain reaches sector %u; the file has %llu sectors", what, cur,
                      (unsigned long long)m_highWater);
      if (alreadyWalked(cur, out, bitmap))
        return DAMAGE(STG_E_DOCFILECORRUPT, Chain, linkPlace(out), "%s chain loops at sector %u",
                      what, cur);
      out.push_back(cur);
      // The FAT sector in hand serves every link that stays within it,
      // without a Result a link: a 200 MB stream is 400,000 links.
      const uint32_t k = cur >> m_entryShift;
      if (k != tableOf) {
        ASSIGN(entries, entriesOf(k));
        table = entries;
        tableOf = k;
      }
      const uint32_t next = table[cur & (m_E - 1)];
      if (!isRegularSector(next) && next != kEndOfChain)
        return DAMAGE(STG_E_DOCFILECORRUPT, Chain, entryPlace(cur),
                      "%s chain: sector %u has FAT value 0x%08X", what, cur, next);
      cur = next;
    }
    return {};
  }();
  if (bitmap) forgetWalk(out);
  return walked;
}

Result<SectorId> Fat::allocate() {
  while (!m_reusable.empty()) {
    SectorId s = m_reusable.back();
    m_reusable.pop_back();
    m_reusableSet.erase(s);
    ASSIGN(v, entry(s));
    ASSIGN(used, committedInUse(s));
    if (v == kFreeSect && !used) {
      TRY(setEntry(s, kEndOfChain));
      return s;
    }
  }
  SectorId s = SectorId(m_highWater);
  if (s == rangeLockSector()) {
    // [MS-CFB] 2.8: the range-lock sector is allocated and never holds data.
    ++m_highWater;
    TRY(setEntry(s, kEndOfChain));
    s = SectorId(m_highWater);
  }
  if (m_v3 && sectorOffset(s, m_shift) + (1u << m_shift) > kV3MaxFileSize)
    return base::makeError(STG_E_MEDIUMFULL, "a version 3 file cannot grow past 2 GB");
  if (s >= kMaxRegSect) return base::makeError(STG_E_MEDIUMFULL, "sector numbers exhausted");
  // The high-water mark never falls below the committed image: a sector
  // taken from past it is free in the committed view (invariant 1).
  assert(uint64_t(s) >= m_committedSectors);
  ++m_highWater;
  TRY(setEntry(s, kEndOfChain));
  return s;
}

Result<void> Fat::release(SectorId id) {
  TRY(setEntry(id, kFreeSect));
  ASSIGN(used, committedInUse(id));
  if (used) {
    m_pendingFree.push_back(id);
  } else if (m_reusableSet.insert(id).second) {
    m_reusable.push_back(id);
  }
  return {};
}

Result<void> Fat::prepareCommit(Header& h) {
  TRY(loadDifat(UINT32_MAX));
  m_newFatLocations = m_fatLocations;
  m_newDifatLocations = m_difatLocations;
  // FAT sectors that describe sectors the file gains are rewritten whole, so
  // no stale entry past the old end survives.
  for (uint64_t id = m_committedSectors; id < m_highWater; id += m_E)
    TRY(workingSector(uint32_t(id / m_E)));
  if (m_highWater > m_committedSectors) TRY(workingSector(uint32_t((m_highWater - 1) / m_E)));

  std::vector<bool> difatDirty;
  TRY(placeTables(difatDirty));
  TRY(writeFatSectors());
  TRY(writeDifatSectors(difatDirty));
  const size_t nFat = m_newFatLocations.size();
  h.numFatSectors = uint32_t(nFat);
  for (uint32_t i = 0; i < kHeaderDifatEntries; ++i)
    h.difat[i] = i < nFat ? m_newFatLocations[i] : kFreeSect;
  h.numDifatSectors = uint32_t(m_newDifatLocations.size());
  h.firstDifatSector = m_newDifatLocations.empty() ? kEndOfChain : m_newDifatLocations[0];
  return {};
}

// Placing a table sector allocates, and an allocation can need another FAT
// sector or change a DIFAT sector: rounds run until one moves nothing.
Result<void> Fat::placeTables(std::vector<bool>& difatDirty) {
  for (int round = 0;; ++round) {
    if (round > 10000)
      return DAMAGE(STG_E_DOCFILECORRUPT, Allocation, where(), "FAT placement does not converge");
    ASSIGN(fatMoved, placeFatSectors());
    if (fatMoved) continue;
    ASSIGN(difatGrew, growDifat());
    if (difatGrew) continue;
    ASSIGN(difatMoved, placeDifatSectors(difatDirty));
    if (!difatMoved) {
      // A round that moved nothing: the FAT covers every sector in use and
      // the DIFAT lists every FAT sector past the header's.
      assert(uint64_t(m_newFatLocations.size()) * m_E >= m_highWater);
      assert(m_newDifatLocations.size() == difatSectorsFor(m_newFatLocations.size()));
      assert(difatDirty.size() == m_newDifatLocations.size());
      return {};
    }
  }
}

// Enough FAT sectors for every sector in use, and every changed one at a new
// place; whether any was placed.
Result<bool> Fat::placeFatSectors() {
  bool changed = false;
  while (uint64_t(m_newFatLocations.size()) * m_E < m_highWater) {
    ASSIGN(s, allocate());
    TRY(setEntry(s, kFatSect));
    m_newFatLocations.push_back(s);
    changed = true;
  }
  std::vector<uint32_t> keys;
  for (auto& kv : m_working) keys.push_back(kv.first);
  for (uint32_t k : keys) {
    if (k >= m_newFatLocations.size()) continue;
    SectorId loc = m_newFatLocations[k];
    if (k < m_fatLocations.size() && loc == m_fatLocations[k]) {
      // Invariant 1: a changed FAT sector moves; its old place is freed
      // only in the new image.
      ASSIGN(s, allocate());
      TRY(setEntry(s, kFatSect));
      TRY(release(loc));
      m_newFatLocations[k] = s;
      changed = true;
    }
  }
  return changed;
}

// Enough DIFAT sectors to list the FAT sectors past the header's 109.
Result<bool> Fat::growDifat() {
  const size_t nDif = difatSectorsFor(m_newFatLocations.size());
  bool changed = false;
  while (m_newDifatLocations.size() < nDif) {
    ASSIGN(s, allocate());
    TRY(setEntry(s, kDifSect));
    m_newDifatLocations.push_back(s);
    changed = true;
  }
  return changed;
}

// Marks the DIFAT sectors whose contents change (a listed FAT sector moved,
// the next link moved, or the sector is new or last) and moves each such
// sector that the committed image uses; whether any moved.
namespace {
// Whether places [lo, hi) of two FAT-location lists agree, a place past a
// list's end reading as free.
bool sameLocations(const std::vector<SectorId>& a, const std::vector<SectorId>& b, size_t lo,
                   size_t hi) {
  const size_t both = std::min({a.size(), b.size(), hi});
  if (lo < both && !std::equal(a.begin() + lo, a.begin() + both, b.begin() + lo)) return false;
  for (size_t k = std::max(lo, both); k < hi; ++k)
    if ((k < a.size() ? a[k] : kFreeSect) != (k < b.size() ? b[k] : kFreeSect)) return false;
  return true;
}
}  // namespace

Result<bool> Fat::placeDifatSectors(std::vector<bool>& difatDirty) {
  const uint32_t perDifat = m_E - 1;
  const size_t nFat = m_newFatLocations.size();
  const size_t nDif = difatSectorsFor(nFat);
  bool changed = false;
  difatDirty.assign(nDif, false);
  for (size_t j = 0; j < nDif; ++j) {
    const size_t lo = kHeaderDifatEntries + j * perDifat;
    bool dirty = j >= m_difatLocations.size() || j + 1 == m_difatLocations.size() ||
                 !sameLocations(m_fatLocations, m_newFatLocations, lo, lo + perDifat);
    if (j + 1 < nDif && j + 1 < m_difatLocations.size() &&
        m_newDifatLocations[j + 1] != m_difatLocations[j + 1])
      dirty = true;
    difatDirty[j] = dirty;
    if (dirty && j < m_difatLocations.size() && m_newDifatLocations[j] == m_difatLocations[j]) {
      ASSIGN(s, allocate());
      TRY(setEntry(s, kDifSect));
      TRY(release(m_newDifatLocations[j]));
      m_newDifatLocations[j] = s;
      changed = true;
    }
  }
  return changed;
}

size_t Fat::difatSectorsFor(size_t fatSectors) const {
  const uint32_t perDifat = m_E - 1;
  return fatSectors > kHeaderDifatEntries
             ? (fatSectors - kHeaderDifatEntries + perDifat - 1) / perDifat
             : 0;
}

// The changed FAT sectors, written at their new places.
Result<void> Fat::writeFatSectors() {
  std::vector<uint8_t> buf(size_t(m_E) * 4);
  for (auto& [k, entries] : m_working) {
    if (k >= m_newFatLocations.size()) {
      for (uint32_t i = 0; i < m_E; ++i)
        if (entries[i] != kFreeSect)
          return DAMAGE(STG_E_DOCFILECORRUPT, Allocation, where(),
                        "FAT entry beyond the FAT's capacity");
      continue;
    }
    // Invariant 1: a changed FAT sector is written at a new place, never
    // over the committed one.
    assert(k >= m_fatLocations.size() || m_newFatLocations[k] != m_fatLocations[k]);
    for (uint32_t i = 0; i < m_E; ++i) {
      uint64_t id = uint64_t(k) * m_E + i;
      base::storeLE32(&buf[4 * size_t(i)], id < m_highWater ? entries[i] : kFreeSect);
    }
    TRY(m_pager.write(m_newFatLocations[k], 0, buf, true));
  }
  return {};
}

// The DIFAT sectors that change, each listing its FAT sectors and the next.
Result<void> Fat::writeDifatSectors(const std::vector<bool>& difatDirty) {
  const uint32_t perDifat = m_E - 1;
  const size_t nFat = m_newFatLocations.size();
  std::vector<uint8_t> buf(size_t(m_E) * 4);
  for (size_t j = 0; j < difatDirty.size(); ++j) {
    if (!difatDirty[j]) continue;
    // The same for a changed DIFAT sector the committed image holds.
    assert(j >= m_difatLocations.size() || m_newDifatLocations[j] != m_difatLocations[j]);
    for (size_t i = 0; i < perDifat; ++i) {
      size_t k = kHeaderDifatEntries + j * perDifat + i;
      base::storeLE32(&buf[4 * i], k < nFat ? m_newFatLocations[k] : kFreeSect);
    }
    SectorId next = j + 1 < m_newDifatLocations.size() ? m_newDifatLocations[j + 1] : kEndOfChain;
    base::storeLE32(&buf[4 * size_t(perDifat)], next);
    TRY(m_pager.write(m_newDifatLocations[j], 0, buf, true));
  }
  return {};
}

void Fat::commitDone() {
  // Every working sector was copied from a committed one, so its slot exists.
  for (auto& [k, entries] : m_working) {
    assert(committedAt(k));
    std::copy(entries.begin(), entries.end(), committedAt(k));
  }
  m_working.clear();
  m_lastSector = nullptr;
  m_fatLocations = std::move(m_newFatLocations);
  m_difatLocations = std::move(m_newDifatLocations);
  m_targetFat = uint32_t(m_fatLocations.size());
  m_nextDifat = kEndOfChain;
  m_marks.clear();
  // The tables just written list every sector once.
  SectorId unused;
  [[maybe_unused]] const bool listedOnce = m_marks.addAll(m_fatLocations, kFatSect) &&
                                           m_marks.addAll(m_difatLocations, kDifSect) &&
                                           m_marks.flush(&unused);
  assert(listedOnce && "the tables just written list a sector twice");
  m_committedSectors = m_highWater;
  for (SectorId s : m_pendingFree)
    if (m_reusableSet.insert(s).second) m_reusable.push_back(s);
  m_pendingFree.clear();
}

}  // namespace velmora::cfb
