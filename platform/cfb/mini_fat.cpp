// The mini FAT lives whole in memory once loaded (it is bounded by its
// chain, hence by the file). Mini sectors may be reused at once, unlike FAT
// sectors: the mini stream's own sectors are copied before they change, so
// the committed image keeps its copy of every mini sector.
#include "cfb/mini_fat.h"

#include <algorithm>

#include "base/little_endian.h"

namespace velmora::cfb {

Result<void> MiniFat::load(const Header& h, SectorId rootStart, uint64_t rootSize) {
  const uint64_t nsect = m_pager.fileSectors();
  const uint32_t S = h.sectorSize();
  const uint32_t E = S / 4;
  if (h.firstMiniFatSector != kEndOfChain)
    TRY(m_fatChain.load(h.firstMiniFatSector, nsect, "mini FAT"));
  uint64_t streamSectors = (rootSize + S - 1) / S;
  if (rootSize > 0) TRY(m_stream.load(rootStart, std::min(streamSectors, nsect), "mini stream"));
  // A partial last mini sector still counts, so round up.
  uint64_t usable = std::min<uint64_t>(rootSize, m_stream.byteCapacity());
  uint64_t limit = (usable + kMiniSectorSize - 1) / kMiniSectorSize;
  uint64_t entries = m_fatChain.sectorCount() * E;
  limit = std::min(limit, entries);
  m_entries.assign(size_t(entries), kFreeSect);
  std::vector<uint8_t> buf(S);
  for (size_t i = 0; i < m_fatChain.sectorCount(); ++i) {
    TRY(m_pager.read(m_fatChain.sectors()[i], 0, buf, false));
    for (uint32_t j = 0; j < E; ++j)
      m_entries[size_t(i) * E + j] = base::loadLE32(&buf[4 * size_t(j)]);
  }
  m_limit = uint32_t(limit);
  // Entries past the mini stream are unusable; treat them as free.
  for (size_t i = m_limit; i < m_entries.size(); ++i) m_entries[i] = kFreeSect;
  m_dirtySectors.assign(m_fatChain.sectorCount(), false);
  m_loaded = true;
  return {};
}

Result<std::vector<uint32_t>> MiniFat::walk(uint32_t start, uint64_t maxSectors) {
  std::vector<uint32_t> out;
  if (start == kEndOfChain || start == kFreeSect) return out;
  // One bit a mini sector, cleared after the walk (as Fat::walk does).
  const size_t words = (size_t(m_limit) + 63) / 64;
  if (m_seen.size() < words) m_seen.resize(words, 0);
  auto walked = [&]() -> Result<void> {
    uint32_t cur = start;
    while (cur != kEndOfChain && out.size() < maxSectors) {
      if (cur >= m_limit)
        return DAMAGE(STG_E_DOCFILECORRUPT, Chain,
                      out.empty() ? where() : inSector(out.back(), "mini"),
                      "mini chain reaches mini sector %u; the mini stream has %u", cur, m_limit);
      uint64_t& word = m_seen[cur >> 6];
      const uint64_t bit = uint64_t(1) << (cur & 63);
      if (word & bit)
        return DAMAGE(STG_E_DOCFILECORRUPT, Chain,
                      out.empty() ? where() : inSector(out.back(), "mini"),
                      "mini chain loops at mini sector %u", cur);
      word |= bit;
      out.push_back(cur);
      uint32_t next = m_entries[cur];
      if (!isRegularSector(next) && next != kEndOfChain)
        return DAMAGE(STG_E_DOCFILECORRUPT, Allocation, inSector(cur, "mini"),
                      "mini chain: mini sector %u has value 0x%08X", cur, next);
      cur = next;
    }
    return {};
  }();
  for (uint32_t m : out) m_seen[m >> 6] &= ~(uint64_t(1) << (m & 63));
  if (!walked) return walked.error();
  return out;
}

void MiniFat::setNext(uint32_t m, uint32_t next) {
  m_entries[m] = next;
  const uint32_t E = m_pager.sectorSize() / 4;
  size_t k = m / E;
  if (k >= m_dirtySectors.size()) m_dirtySectors.resize(k + 1, true);
  m_dirtySectors[k] = true;
  m_dirty = true;
  m_pager.markDirty();
}

Result<uint32_t> MiniFat::allocate() {
  for (uint32_t m = m_hint; m < m_limit; ++m) {
    if (m_entries[m] == kFreeSect) {
      m_hint = m + 1;
      setNext(m, kEndOfChain);
      return m;
    }
  }
  uint32_t m = m_limit;
  if (m >= kMaxRegSect) return base::makeError(STG_E_MEDIUMFULL, "mini stream is full");
  const uint32_t S = m_pager.sectorSize();
  uint64_t bytes = uint64_t(m + 1) * kMiniSectorSize;
  if (bytes > m_stream.byteCapacity()) TRY(m_stream.resize((bytes + S - 1) / S));
  if (m >= m_entries.size()) m_entries.resize(m + 1, kFreeSect);
  m_limit = m + 1;
  m_hint = m_limit;
  setNext(m, kEndOfChain);
  return m;
}

Result<void> MiniFat::read(uint32_t m, uint32_t offset, std::span<uint8_t> out) {
  if (m >= m_limit)
    return DAMAGE(STG_E_DOCFILECORRUPT, Chain, inSector(m, "mini"),
                  "mini sector %u outside the mini stream", m);
  return m_stream.read(uint64_t(m) * kMiniSectorSize + offset, out, true);
}

Result<void> MiniFat::write(uint32_t m, uint32_t offset, std::span<const uint8_t> data) {
  if (m >= m_limit)
    return DAMAGE(STG_E_DOCFILECORRUPT, Chain, inSector(m, "mini"),
                  "mini sector %u outside the mini stream", m);
  return m_stream.write(uint64_t(m) * kMiniSectorSize + offset, data);
}

Result<void> MiniFat::flush(Header& h) {
  const uint32_t S = m_pager.sectorSize();
  const uint32_t E = S / 4;
  if (m_dirty) {
    uint64_t need = (uint64_t(m_limit) + E - 1) / E;
    if (need > m_fatChain.sectorCount()) TRY(m_fatChain.resize(need));
    m_dirtySectors.resize(m_fatChain.sectorCount(), true);
    std::vector<uint8_t> buf(S);
    for (size_t k = 0; k < m_fatChain.sectorCount(); ++k) {
      if (!m_dirtySectors[k]) continue;
      for (uint32_t j = 0; j < E; ++j) {
        size_t m = k * E + j;
        base::storeLE32(&buf[4 * size_t(j)],
                        m < m_limit && m < m_entries.size() ? m_entries[m] : kFreeSect);
      }
      TRY(m_fatChain.write(uint64_t(k) * S, buf));
      m_dirtySectors[k] = false;
    }
    m_dirty = false;
  }
  h.firstMiniFatSector = m_fatChain.start();
  h.numMiniFatSectors = uint32_t(m_fatChain.sectorCount());
  return {};
}

}  // namespace velmora::cfb
