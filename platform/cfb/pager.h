// The pager: numbered sectors over a File, a small cache of clean sectors,
// the dirty set, and the commit protocol that makes a new image durable with
// the header as the single commit point.
#pragma once
#include <cassert>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <unordered_map>

#include "cfb/file_io.h"
#include "cfb/header.h"

namespace velmora::cfb {

class Pager {
 public:
  enum class State { Clean, Dirty, Committing, Broken };

  // `narrowLarge`: a large file is read through small windows (a reader
  // looks at a few scattered sectors; a writer's open scans the whole FAT
  // and keeps wide ones).
  Pager(File& file, uint32_t sectorShift, uint64_t fileSize, bool narrowLarge = false);
  ~Pager();
  Pager(const Pager&) = delete;
  Pager& operator=(const Pager&) = delete;

  // The header's sector shift, once the header is read through readBytes.
  void setSectorShift(uint32_t shift) {
    // The header's decoder takes 9 and 12 only: a sector never straddles
    // two windows, and sector 0 starts past the 512-byte header.
    assert(shift >= 9 && shift <= m_windowShift);
    m_shift = shift;
  }
  // Copies `out.size()` bytes of the committed file at `offset` through the
  // read-ahead windows; bytes past the end read as zeros.
  [[nodiscard]] Result<void> readBytes(uint64_t offset, std::span<uint8_t> out);

  uint32_t sectorShift() const { return m_shift; }
  uint32_t sectorSize() const { return 1u << m_shift; }
  State state() const { return m_state; }
  const Error& brokenError() const { return m_broken; }
  // Sectors in the file as committed; a short final sector counts.
  uint64_t fileSectors() const;

  // Copies `out.size()` bytes at `offset` of sector `id`. Bytes beyond the
  // end of the file read as zeros (a short final sector, or a sector
  // allocated since the last commit). Sectors come from the read-ahead
  // windows; `keep` is a hint that the sector belongs to a table, the
  // directory or the mini stream.
  [[nodiscard]] Result<void> read(SectorId id, uint32_t offset, std::span<uint8_t> out, bool keep);

  // Sector `id` as read() would copy it, without the copy: a view into the
  // pager's own bytes, good until the next call on the pager. Empty where
  // the sector is not held whole (it runs past the end of the file).
  [[nodiscard]] Result<std::span<const uint8_t>> view(SectorId id);

  // Reads `count` whole sectors from `first` on into `out`, in one file read
  // when none of them is cached or dirty (stream data in long runs).
  [[nodiscard]] Result<void> readRun(SectorId first, uint32_t count, std::span<uint8_t> out);

  // Changes bytes of sector `id`, which must not be reachable from the
  // committed header (invariant 1 of pager.cpp). `fresh` starts the sector
  // from zeros instead of its old contents.
  [[nodiscard]] Result<void> write(SectorId id, uint32_t offset, std::span<const uint8_t> data,
                                   bool fresh);

  // Writes dirty sectors early when they hold too much memory; they are all
  // unreachable from the committed header, so this is safe at any time.
  [[nodiscard]] Result<void> spillIfLarge();

  // Makes the dirty sectors and then `header` durable: the commit protocol.
  // `fileSectors` is the new image's sector count. On failure the pager
  // turns Broken and keeps the error.
  [[nodiscard]] Result<void> commit(const Header& header, uint64_t fileSectors);

  // Refuses further writes after an I/O failure (the engine's Broken state).
  [[nodiscard]] Result<void> checkWritable() const;
  // Moves to Broken with `e` (a commit that failed half-way).
  Error markBroken(Error e) {
    if (m_state != State::Broken) {
      m_state = State::Broken;
      m_broken = e;
    }
    return m_broken;
  }
  void markDirty() {
    if (m_state == State::Clean) m_state = State::Dirty;
  }

  size_t dirtyCount() const { return m_dirty.size(); }

  // Whether the committed image uses sector `id`, as far as its FAT has
  // been read (never reading more). The FAT sets it; debug builds check
  // invariant 1 against it on every write and spill.
  void setCommittedUse(std::function<bool(SectorId)> uses) { m_committedUse = std::move(uses); }

 private:
  using Buffer = std::unique_ptr<uint8_t[]>;
  // Read-ahead: the committed file in aligned windows of kWindowBytes, read
  // in one call each when first touched, so the header, the FAT, the
  // directory, the mini FAT and the mini stream of a small document come in
  // one or two reads. A sector never straddles two windows (sector sizes
  // divide the window). Windows hold only committed bytes: dirty sectors
  // are looked up first, and every write to the file drops them.
  // A large file (a big stream, with the tables and the directory apart
  // from each other and from the header) opened for reading reads smaller
  // windows: most of a wide one would be stream data no read asked for.
  static constexpr uint32_t kWindowShift = 16;
  static constexpr uint32_t kWindowBytes = 1u << kWindowShift;
  static constexpr uint32_t kLargeFileWindowShift = 13;
  static constexpr uint64_t kLargeFileBytes = uint64_t(4) << 20;
  static constexpr size_t kWindowCount = 8;
  struct Window {
    uint64_t index = UINT64_MAX;  // file offset >> m_windowShift
    size_t length = 0;            // bytes of the file it holds
    uint64_t used = 0;
    uint8_t* bytes = nullptr;
  };
  [[nodiscard]] Result<const Window*> window(uint64_t index);
  const Window* loadedWindow(uint64_t index) const;
  void dropWindows();
  [[nodiscard]] Result<void> load(SectorId id, uint8_t* out);
  [[nodiscard]] Result<void> writeDirty(bool dropAfter);
  Result<void> fail(Error e);
  bool committedUses(SectorId id) const { return m_committedUse && m_committedUse(id); }

  File& m_file;
  uint32_t m_shift;
  uint64_t m_fileSize;
  uint32_t m_windowShift;  // kWindowShift, or kLargeFileWindowShift
  uint32_t m_windowBytes;
  State m_state = State::Clean;
  Error m_broken;
  Window m_windows[kWindowCount];
  uint64_t m_tick = 0;
  std::unordered_map<SectorId, Buffer> m_dirty;
  std::function<bool(SectorId)> m_committedUse;  // for the debug checks only
};

}  // namespace velmora::cfb
