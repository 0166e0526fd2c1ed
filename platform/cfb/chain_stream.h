// A byte stream over a FAT chain: the directory, the mini FAT, the mini
// stream and every stream of 4096 bytes or more. Writes never touch a
// sector of the committed image: such a sector is first copied to a fresh
// one and the chain relinked (invariant 1 of pager.cpp).
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "cfb/fat.h"
#include "cfb/pager.h"

namespace velmora::cfb {

class FatChain {
 public:
  FatChain(Fat& fat, Pager& pager) : m_fat(&fat), m_pager(&pager) {}

  // Walks the chain from `start`, taking at most `maxSectors` sectors.
  [[nodiscard]] Result<void> load(SectorId start, uint64_t maxSectors, const char* what);

  SectorId start() const { return m_sectors.empty() ? kEndOfChain : m_sectors[0]; }
  uint64_t sectorCount() const { return m_sectors.size(); }
  uint64_t byteCapacity() const { return uint64_t(m_sectors.size()) << m_pager->sectorShift(); }
  const std::vector<SectorId>& sectors() const { return m_sectors; }

  // Grows the chain with zeroed sectors or frees its tail.
  [[nodiscard]] Result<void> resize(uint64_t nSectors);
  // Frees every sector.
  [[nodiscard]] Result<void> clear() { return resize(0); }

  // Reads or writes within the chain's capacity; a read that reaches past
  // the chain fails with STG_E_DOCFILECORRUPT (a chain shorter than its
  // stream).
  [[nodiscard]] Result<void> read(uint64_t offset, std::span<uint8_t> out, bool keep) const;
  [[nodiscard]] Result<void> write(uint64_t offset, std::span<const uint8_t> data);

 private:
  [[nodiscard]] Result<SectorId> writable(size_t index, bool whole);

  Fat* m_fat;
  Pager* m_pager;
  std::vector<SectorId> m_sectors;
};

}  // namespace velmora::cfb
