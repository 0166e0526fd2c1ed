// The mini FAT and the mini stream ([MS-CFB] 2.4, 2.6.2): 64-byte mini
// sectors inside the root entry's FAT chain, chained through the mini FAT.
// Both are read the first time a small stream is touched.
#pragma once
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "cfb/chain_stream.h"
#include "cfb/header.h"

namespace velmora::cfb {

class MiniFat {
 public:
  MiniFat(Fat& fat, Pager& pager) : m_fatChain(fat, pager), m_stream(fat, pager), m_pager(pager) {}

  // Reads the mini FAT chain and the mini stream chain. `rootStart` and
  // `rootSize` come from the root entry.
  [[nodiscard]] Result<void> load(const Header& h, SectorId rootStart, uint64_t rootSize);
  bool loaded() const { return m_loaded; }
  void markLoadedEmpty() { m_loaded = true; }

  // The mini chain from `start`, at most `maxSectors` long; bounded and
  // cycle-checked like FAT chains.
  [[nodiscard]] Result<std::vector<uint32_t>> walk(uint32_t start, uint64_t maxSectors);

  [[nodiscard]] Result<uint32_t> allocate();
  void setNext(uint32_t m, uint32_t next);
  // A freed mini sector is the next one handed out, so a stream that
  // shrinks and grows again reuses its room instead of growing the file.
  void release(uint32_t m) {
    setNext(m, kFreeSect);
    m_hint = std::min(m_hint, m);
  }

  [[nodiscard]] Result<void> read(uint32_t m, uint32_t offset, std::span<uint8_t> out);
  [[nodiscard]] Result<void> write(uint32_t m, uint32_t offset, std::span<const uint8_t> data);

  // Writes the changed mini FAT sectors and fills the header fields; the
  // root entry takes `streamStart()` and `streamSize()`.
  [[nodiscard]] Result<void> flush(Header& h);
  SectorId streamStart() const { return m_stream.start(); }
  uint64_t streamSize() const { return uint64_t(m_limit) * kMiniSectorSize; }
  bool dirty() const { return m_dirty; }

  const std::vector<uint32_t>& entries() const { return m_entries; }
  uint32_t limit() const { return m_limit; }
  const FatChain& fatChain() const { return m_fatChain; }
  const FatChain& streamChain() const { return m_stream; }

 private:
  FatChain m_fatChain;  // the mini FAT's own sectors
  FatChain m_stream;    // the mini stream
  Pager& m_pager;
  std::vector<uint32_t> m_entries;
  uint32_t m_limit = 0;  // usable mini sectors
  uint32_t m_hint = 0;
  bool m_loaded = false;
  bool m_dirty = false;
  std::vector<bool> m_dirtySectors;
  std::vector<uint64_t> m_seen;
};

}  // namespace velmora::cfb
