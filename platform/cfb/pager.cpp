// The pager and the commit protocol.
//
// Invariants of a commit (the code cites them by number):
//  1. No commit writes a sector that the committed header reaches, directly
//     or through the FAT, DIFAT, mini FAT or directory. The callers see to
//     it: chains copy a committed sector to a fresh one before changing it
//     (FatChain::write), tables move likewise (Fat::prepareCommit). Debug
//     builds check every write and spill against the FAT's committed view.
//  2. Changed streams, tables and directory sectors go to sectors free in the
//     committed image or past its end; the old image's sectors are freed only
//     in the new image's FAT.
//  3. All those writes are synced before the header is written.
//  4. The header is one aligned 512-byte write, then synced; it is the single
//     commit point.
//  5. Before the header write the file on disk is the old document; after
//     it, the new one.
//  6. Sectors freed by a commit become allocatable only after that commit
//     (Fat keeps them pending until commitDone).
//  7. The file is never truncated; it only grows, before the commit point,
//     into space the old header does not reach.
//
// States: Clean -(write)-> Dirty -(commit)-> Committing -> Clean, or Broken
// when an I/O call fails inside the commit or a spill. Broken refuses every
// later write with the stored error; releasing and reopening recovers the
// last committed image.
#include "cfb/pager.h"

#include <array>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

namespace velmora::cfb {

namespace {
constexpr size_t kDirtySpillBytes = 16u << 20;

// Window buffers outlive their pager: a batch opens documents one after
// another on a thread, and reusing the buffers spares an allocation and its
// page faults per document.
struct WindowPool {
  std::vector<uint8_t*> free;
  ~WindowPool() {
    for (uint8_t* p : free) delete[] p;
  }
};
thread_local WindowPool t_windowPool;
constexpr size_t kPoolLimit = 16;
}  // namespace

Pager::Pager(File& file, uint32_t sectorShift, uint64_t fileSize, bool narrowLarge)
    : m_file(file),
      m_shift(sectorShift),
      m_fileSize(fileSize),
      m_windowShift(narrowLarge && fileSize > kLargeFileBytes ? kLargeFileWindowShift
                                                              : kWindowShift),
      m_windowBytes(1u << m_windowShift) {
  static_assert(kLargeFileWindowShift <= kWindowShift, "windows fit their kWindowBytes buffers");
  assert(sectorShift >= 9 && sectorShift <= m_windowShift);
}

Pager::~Pager() {
  for (Window& w : m_windows) {
    if (!w.bytes) continue;
    // Kept only within the room reserved when a window was made, so the
    // destructor never allocates.
    if (t_windowPool.free.size() < t_windowPool.free.capacity())
      t_windowPool.free.push_back(w.bytes);
    else
      delete[] w.bytes;
  }
}

uint64_t Pager::fileSectors() const { return sectorCount(m_fileSize, sectorSize()); }

const Pager::Window* Pager::loadedWindow(uint64_t index) const {
  for (const Window& w : m_windows)
    if (w.index == index) return &w;
  return nullptr;
}

Result<const Pager::Window*> Pager::window(uint64_t index) {
  Window* victim = &m_windows[0];
  for (Window& w : m_windows) {
    if (w.index == index) {
      w.used = ++m_tick;
      return &w;
    }
    if (w.used < victim->used) victim = &w;
  }
  if (!victim->bytes) {
    t_windowPool.free.reserve(kPoolLimit);
    if (!t_windowPool.free.empty()) {
      victim->bytes = t_windowPool.free.back();
      t_windowPool.free.pop_back();
    } else {
      victim->bytes = new uint8_t[kWindowBytes];
    }
  }
  const uint64_t start = index << m_windowShift;
  const size_t want = size_t(std::min<uint64_t>(m_windowBytes, m_fileSize - start));
  victim->index = UINT64_MAX;
  CFB_ASSIGN(n, m_file.readAt(start, std::span<uint8_t>(victim->bytes, want)));
  victim->index = index;
  victim->length = n;  // a file cut short since its size was taken reads as zeros
  victim->used = ++m_tick;
  return victim;
}

void Pager::dropWindows() {
  for (Window& w : m_windows) {
    w.index = UINT64_MAX;
    w.length = 0;
    w.used = 0;
  }
}

Result<void> Pager::readBytes(uint64_t offset, std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const uint64_t pos = offset + done;
    const uint64_t index = pos >> m_windowShift;
    const size_t within = size_t(pos & (m_windowBytes - 1));
    const size_t n = std::min<size_t>(m_windowBytes - within, out.size() - done);
    if (pos >= m_fileSize) {
      std::fill(out.begin() + std::ptrdiff_t(done), out.end(), uint8_t(0));
      return {};
    }
    CFB_ASSIGN(w, window(index));
    const size_t have = within < w->length ? std::min(n, w->length - within) : 0;
    if (have) std::memcpy(out.data() + done, w->bytes + within, have);
    if (have < n) std::memset(out.data() + done + have, 0, n - have);
    done += n;
  }
  return {};
}

Result<void> Pager::load(SectorId id, uint8_t* out) {
  return readBytes(sectorOffset(id, m_shift), std::span<uint8_t>(out, sectorSize()));
}

Result<void> Pager::read(SectorId id, uint32_t offset, std::span<uint8_t> out, bool /*keep*/) {
  const uint32_t S = sectorSize();
  // The callers split their reads at sector ends, whatever a file says.
  assert(offset <= S && out.size() <= S - offset);
  if (offset > S || out.size() > S - offset)
    return DAMAGE(STG_E_DOCFILECORRUPT, Chain, inSector(id), "read past the end of a sector");
  if (!m_dirty.empty()) {
    if (auto it = m_dirty.find(id); it != m_dirty.end()) {
      std::memcpy(out.data(), it->second.get() + offset, out.size());
      return {};
    }
  }
  return readBytes(sectorOffset(id, m_shift) + offset, out);
}

Result<std::span<const uint8_t>> Pager::view(SectorId id) {
  const uint32_t S = sectorSize();
  if (!m_dirty.empty())
    if (auto it = m_dirty.find(id); it != m_dirty.end())
      return std::span<const uint8_t>(it->second.get(), S);
  const uint64_t pos = sectorOffset(id, m_shift);
  if (pos >= m_fileSize) return std::span<const uint8_t>();
  // A window holds whole sectors: both are powers of two, sectors aligned.
  CFB_ASSIGN(w, window(pos >> m_windowShift));
  const size_t within = size_t(pos & (m_windowBytes - 1));
  if (within + S > w->length) return std::span<const uint8_t>();
  return std::span<const uint8_t>(w->bytes + within, S);
}

Result<void> Pager::readRun(SectorId first, uint32_t count, std::span<uint8_t> out) {
  const uint32_t S = sectorSize();
  bool plain = true;
  if (!m_dirty.empty())
    for (uint32_t i = 0; i < count && plain; ++i) plain = !m_dirty.count(first + i);
  if (!plain) {
    for (uint32_t i = 0; i < count; ++i)
      CFB_TRY(read(first + i, 0, out.subspan(size_t(i) * S, S), false));
    return {};
  }
  uint64_t off = sectorOffset(first, m_shift);
  if (off >= m_fileSize) {
    std::fill(out.begin(), out.end(), uint8_t(0));
    return {};
  }
  // Bytes already in windows are copied; a long run of stream data goes
  // straight into the caller's buffer in one read, without passing through
  // (and evicting) the windows.
  const uint64_t last = std::min<uint64_t>(off + out.size(), m_fileSize) - 1;
  bool cached = true;
  for (uint64_t w = off >> m_windowShift; w <= (last >> m_windowShift) && cached; ++w)
    cached = loadedWindow(w) != nullptr;
  if (cached || out.size() < m_windowBytes / 4) return readBytes(off, out);
  size_t want = size_t(std::min<uint64_t>(out.size(), m_fileSize - off));
  CFB_ASSIGN(n, m_file.readAt(off, out.first(want)));
  // A short end reads as zeros.
  std::fill(out.begin() + std::ptrdiff_t(std::min(n, want)), out.end(), uint8_t(0));
  return {};
}

Result<void> Pager::write(SectorId id, uint32_t offset, std::span<const uint8_t> data, bool fresh) {
  CFB_TRY(checkWritable());
  // A commit either completes or leaves the pager Broken (Document::changing
  // turns an exception into Broken too); nothing writes in between.
  assert(m_state != State::Committing);
  const uint32_t S = sectorSize();
  assert(offset <= S && data.size() <= S - offset);
  if (offset > S || data.size() > S - offset)
    return DAMAGE(STG_E_DOCFILECORRUPT, Chain, inSector(id), "write past the end of a sector");
  // Invariant 1: the caller moved the sector first if the committed image
  // uses it.
  assert(!committedUses(id));
  auto it = m_dirty.find(id);
  if (it == m_dirty.end()) {
    Buffer buf(new uint8_t[S]);
    if (fresh) {
      std::memset(buf.get(), 0, S);
    } else if (offset != 0 || data.size() != S) {
      CFB_TRY(load(id, buf.get()));
    }
    it = m_dirty.emplace(id, std::move(buf)).first;
  } else if (fresh) {
    std::memset(it->second.get(), 0, S);
  }
  if (!data.empty()) std::memcpy(it->second.get() + offset, data.data(), data.size());
  markDirty();
  return {};
}

Result<void> Pager::checkWritable() const {
  if (m_state == State::Broken) return m_broken;
  return {};
}

Result<void> Pager::fail(Error e) {
  m_state = State::Broken;
  m_broken = e;
  return e;
}

Result<void> Pager::writeDirty(bool dropAfter) {
  const uint32_t S = sectorSize();
  std::vector<SectorId> ids;
  ids.reserve(m_dirty.size());
  for (auto& [id, buf] : m_dirty) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  // Invariant 1 again: the committed image has not taken any of them over
  // since they were written (a commit clears them).
  assert(std::none_of(ids.begin(), ids.end(), [&](SectorId id) { return committedUses(id); }));
  // Runs of adjacent sectors go out as one write.
  std::vector<uint8_t> run;
  size_t i = 0;
  while (i < ids.size()) {
    size_t j = i + 1;
    while (j < ids.size() && ids[j] == ids[j - 1] + 1 && (j - i) * S < (1u << 20)) ++j;
    run.resize((j - i) * S);
    for (size_t k = i; k < j; ++k) std::memcpy(&run[(k - i) * S], m_dirty[ids[k]].get(), S);
    uint64_t off = sectorOffset(ids[i], m_shift);
    // The windows hold the file as it was; whatever it now says is read anew.
    dropWindows();
    auto r = m_file.writeAt(off, run);
    if (!r) return fail(r.error());
    m_fileSize = std::max<uint64_t>(m_fileSize, off + run.size());
    i = j;
  }
  if (dropAfter) m_dirty.clear();
  return {};
}

Result<void> Pager::spillIfLarge() {
  if (m_dirty.size() * sectorSize() < kDirtySpillBytes) return {};
  CFB_TRY(checkWritable());
  return writeDirty(true);
}

Result<void> Pager::commit(const Header& header, uint64_t fileSectors) {
  CFB_TRY(checkWritable());
  assert(m_state != State::Committing);
  m_state = State::Committing;
  // Invariants 1-2: every dirty sector is free in the committed image.
  CFB_TRY(writeDirty(false));
  // Invariants 2 and 7: the new image spans the whole file, the old image
  // and every sector just written (the FAT's high-water mark starts at the
  // file's sector count, only grows, and every sector written was allocated
  // below it).
  assert(fileSectors >= this->fileSectors());
  // Invariant 7: grow only. This also completes a short final sector.
  uint64_t want = (fileSectors + 1) << m_shift;
  if (auto r = m_file.extend(want); !r) return fail(r.error());
  m_fileSize = std::max(m_fileSize, want);
  // Invariant 3.
  if (auto r = m_file.sync(); !r) return fail(r.error());
  // Invariant 4: the header goes last and alone. Until it lands, nothing the
  // old header reaches has been touched, so a crash before this line leaves
  // the old document.
  auto bytes = encodeHeader(header);
  // The header on disk until now: when the new one cannot be written and
  // made durable, it goes back, so a failure the caller hears of leaves the
  // old document rather than a new one it was told did not land.
  std::array<uint8_t, kHeaderSize> previous{};
  auto got = m_file.readAt(0, previous);
  const bool canRestore = got && got.value() == previous.size();
  dropWindows();
  Result<void> landed = m_file.writeAt(0, bytes);
  if (landed) landed = m_file.sync();
  if (!landed) {
    if (canRestore && m_file.writeAt(0, previous)) (void)m_file.sync();
    return fail(landed.error());
  }
  m_dirty.clear();
  m_state = State::Clean;
  return {};
}

}  // namespace velmora::cfb
