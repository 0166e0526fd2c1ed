// Chains: walked once when opened (bounded and cycle-checked by Fat::walk),
// then addressed by index. Growing links fresh zeroed sectors at the tail;
// a write to a sector of the committed image moves it first.
#include "cfb/chain_stream.h"

#include <algorithm>
#include <vector>

namespace velmora::cfb {

Result<void> FatChain::load(SectorId start, uint64_t maxSectors, const char* what) {
  ASSIGN(chain, m_fat->walk(start, maxSectors, what));
  m_sectors = std::move(chain);
  return {};
}

Result<void> FatChain::resize(uint64_t n) {
  if (n < m_sectors.size()) {
    if (n > 0) TRY(m_fat->setEntry(m_sectors[n - 1], kEndOfChain));
    for (size_t i = n; i < m_sectors.size(); ++i) TRY(m_fat->release(m_sectors[i]));
    m_sectors.resize(n);
    return {};
  }
  while (m_sectors.size() < n) {
    ASSIGN(s, m_fat->allocate());
    TRY(m_pager->write(s, 0, {}, true));
    if (!m_sectors.empty()) TRY(m_fat->setEntry(m_sectors.back(), s));
    m_sectors.push_back(s);
    TRY(m_pager->spillIfLarge());
  }
  return {};
}

Result<void> FatChain::read(uint64_t offset, std::span<uint8_t> out, bool keep) const {
  const uint32_t shift = m_pager->sectorShift();
  const uint32_t S = 1u << shift;
  size_t done = 0;
  while (done < out.size()) {
    uint64_t pos = offset + done;
    uint64_t index = pos >> shift;
    if (index >= m_sectors.size())
      return DAMAGE(STG_E_DOCFILECORRUPT, Chain, where(),
                    "read at %llu runs past a chain of %zu sectors", (unsigned long long)pos,
                    m_sectors.size());
    uint32_t within = uint32_t(pos & (S - 1));
    if (!keep && within == 0 && out.size() - done >= S) {
      // Whole sectors that lie one after another in the file go in one read.
      uint32_t run = 1;
      while (run < 256 && index + run < m_sectors.size() &&
             (size_t(run) + 1) * S <= out.size() - done &&
             m_sectors[index + run] == m_sectors[index] + run)
        ++run;
      TRY(m_pager->readRun(m_sectors[index], run, out.subspan(done, size_t(run) * S)));
      done += size_t(run) * S;
      continue;
    }
    size_t n = std::min<size_t>(S - within, out.size() - done);
    TRY(m_pager->read(m_sectors[index], within, out.subspan(done, n), keep));
    done += n;
  }
  return {};
}

Result<SectorId> FatChain::writable(size_t index, bool whole) {
  SectorId s = m_sectors[index];
  ASSIGN(used, m_fat->committedInUse(s));
  if (!used) return s;
  ASSIGN(n, m_fat->allocate());
  if (whole) {
    TRY(m_pager->write(n, 0, {}, true));
  } else {
    std::vector<uint8_t> buf(m_pager->sectorSize());
    TRY(m_pager->read(s, 0, buf, false));
    TRY(m_pager->write(n, 0, buf, true));
  }
  ASSIGN(next, m_fat->entry(s));
  TRY(m_fat->setEntry(n, next));
  if (index > 0) TRY(m_fat->setEntry(m_sectors[index - 1], n));
  TRY(m_fat->release(s));
  m_sectors[index] = n;
  return n;
}

Result<void> FatChain::write(uint64_t offset, std::span<const uint8_t> data) {
  const uint32_t shift = m_pager->sectorShift();
  const uint32_t S = 1u << shift;
  size_t done = 0;
  while (done < data.size()) {
    uint64_t pos = offset + done;
    uint64_t index = pos >> shift;
    if (index >= m_sectors.size())
      return DAMAGE(STG_E_DOCFILECORRUPT, Chain, where(), "write past the end of a chain");
    uint32_t within = uint32_t(pos & (S - 1));
    size_t n = std::min<size_t>(S - within, data.size() - done);
    ASSIGN(s, writable(size_t(index), n == S));
    TRY(m_pager->write(s, within, data.subspan(done, n), false));
    done += n;
    TRY(m_pager->spillIfLarge());
  }
  return {};
}

}  // namespace velmora::cfb
