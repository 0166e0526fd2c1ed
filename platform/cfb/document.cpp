// Stream bytes over the mini stream or FAT chains, the moves across the
// 4096-byte cutoff, element destruction, and the order of the commit:
// mini FAT, directory, then the FAT and DIFAT, then the pager's protocol.
#include "cfb/document.h"

#include <algorithm>
#include <cstring>

#include "text/text.h"

namespace velmora::cfb {

Result<std::unique_ptr<Document>> Document::open(std::unique_ptr<File> file, bool writable) {
  std::unique_ptr<Document> doc(new Document());
  ASSIGN(size, file->size());
  doc->m_file = std::move(file);
  doc->m_writable = writable;
  // The header comes through the pager's first read-ahead window, which
  // for a small document holds the FAT and the directory as well.
  doc->m_pager = std::make_unique<Pager>(*doc->m_file, 9, size, !writable);
  uint8_t head[kHeaderSize];
  TRY(doc->m_pager->readBytes(0, head));
  const size_t got = size_t(std::min<uint64_t>(size, kHeaderSize));
  ASSIGN(h, decodeHeader(std::span<const uint8_t>(head, got), size));
  doc->m_header = h;
  doc->m_pager->setSectorShift(h.sectorShift);
  ASSIGN(fat, Fat::open(*doc->m_pager, h, writable));
  doc->m_fat = std::move(fat);
  ASSIGN(dir, Directory::load(*doc->m_fat, *doc->m_pager, h));
  doc->m_dir = std::move(dir);
  // The first thing a reader steps over is the reason a writer is refused.
  if (writable && doc->m_dir->damaged()) return doc->m_dir->steppedOver().front();
  doc->m_mini = std::make_unique<MiniFat>(*doc->m_fat, *doc->m_pager);
  // A writer that trusted a cross-linked, cyclic or out-of-range chain would
  // spread the damage at its commit; reads stay lenient.
  if (writable) TRY(checkChains(*doc));
  return doc;
}

Result<std::unique_ptr<Document>> Document::create(std::unique_ptr<File> file, int version) {
  std::unique_ptr<Document> doc(new Document());
  Header h;
  h.majorVersion = uint16_t(version);
  h.sectorShift = version == 4 ? 12 : 9;
  doc->m_header = h;
  doc->m_file = std::move(file);
  doc->m_writable = true;
  doc->m_fresh = true;
  doc->m_pager = std::make_unique<Pager>(*doc->m_file, h.sectorShift, 0);
  doc->m_fat = Fat::createEmpty(*doc->m_pager, h);
  doc->m_dir = Directory::createEmpty(*doc->m_fat, *doc->m_pager, h);
  doc->m_mini = std::make_unique<MiniFat>(*doc->m_fat, *doc->m_pager);
  doc->m_mini->markLoadedEmpty();
  doc->m_pager->markDirty();
  return doc;
}

template <typename Step>
Result<void> Document::changing(Step&& step) {
  try {
    Result<void> r = step();
    if (!r) return m_pager->markBroken(r.error());
    return r;
  } catch (const std::bad_alloc&) {
    // No message: building one could fail the same way.
    return m_pager->markBroken(Error{STG_E_INSUFFICIENTMEMORY, {}});
  }
}

Result<void> Document::checkWritable() const {
  if (!m_writable) return base::makeError(STG_E_ACCESSDENIED, "the storage is read-only");
  return m_pager->checkWritable();
}

Result<void> Document::ensureMini() {
  if (m_mini->loaded()) return {};
  const DirEntry& root = m_dir->entry(0);
  return m_mini->load(m_header, root.start, root.size);
}

Result<Document::StreamState*> Document::state(StreamId sid) {
  StreamState& st = m_streams[sid];
  if (st.loaded) return &st;
  const DirEntry& e = m_dir->entry(sid);
  st.chain = std::make_unique<FatChain>(*m_fat, *m_pager);
  if (e.size == 0) {
    st.mini = true;
  } else if (e.size < kMiniStreamCutoff) {
    st.mini = true;
    TRY(ensureMini());
    ASSIGN(minis, m_mini->walk(e.start, (e.size + kMiniSectorSize - 1) / kMiniSectorSize));
    st.minis = std::move(minis);
  } else {
    st.mini = false;
    const uint32_t S = m_pager->sectorSize();
    TRY(st.chain->load(e.start, (e.size + S - 1) / S, "stream"));
  }
  st.loaded = true;
  return &st;
}

Result<void> Document::readMini(StreamState& st, uint64_t offset, std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    uint64_t pos = offset + done;
    uint64_t idx = pos / kMiniSectorSize;
    if (idx >= st.minis.size())
      return DAMAGE(STG_E_DOCFILECORRUPT, Chain, where(),
                    "mini chain of %zu sectors is shorter than its stream", st.minis.size());
    uint32_t within = uint32_t(pos % kMiniSectorSize);
    size_t n = std::min<size_t>(kMiniSectorSize - within, out.size() - done);
    TRY(m_mini->read(st.minis[idx], within, out.subspan(done, n)));
    done += n;
  }
  return {};
}

Result<void> Document::writeMini(StreamState& st, uint64_t offset, std::span<const uint8_t> data) {
  size_t done = 0;
  while (done < data.size()) {
    uint64_t pos = offset + done;
    uint64_t idx = pos / kMiniSectorSize;
    if (idx >= st.minis.size())
      return DAMAGE(STG_E_DOCFILECORRUPT, Chain, where(), "mini write past the stream's chain");
    uint32_t within = uint32_t(pos % kMiniSectorSize);
    size_t n = std::min<size_t>(kMiniSectorSize - within, data.size() - done);
    TRY(m_mini->write(st.minis[idx], within, data.subspan(done, n)));
    done += n;
  }
  return {};
}

Result<size_t> Document::readStream(StreamId sid, uint64_t offset, std::span<uint8_t> out) {
  const DirEntry& e = m_dir->entry(sid);
  if (offset >= e.size) return size_t(0);
  size_t n = size_t(std::min<uint64_t>(out.size(), e.size - offset));
  auto st = state(sid);
  if (!st) return aboutStream(st.error(), sid);
  auto r = (*st)->mini ? readMini(**st, offset, out.first(n))
                       : (*st)->chain->read(offset, out.first(n), false);
  if (!r) return aboutStream(r.error(), sid);
  return n;
}

Error Document::aboutStream(Error e, StreamId sid) const {
  // Damage met reading a stream names the stream, which the chain it
  // walked cannot.
  if (!e.isDamage() || e.where.entry != base::Where::kNone32) return e;
  e.where.entry = sid;
  e.message = "stream " + text::utf8FromUtf16(m_dir->entry(sid).name) + ": " + e.message;
  return e;
}

Result<void> Document::resizeMini(StreamState& st, uint64_t oldSize, uint64_t newSize) {
  TRY(ensureMini());
  size_t need = size_t((newSize + kMiniSectorSize - 1) / kMiniSectorSize);
  if (need < st.minis.size()) {
    for (size_t i = need; i < st.minis.size(); ++i) m_mini->release(st.minis[i]);
    st.minis.resize(need);
    if (need > 0) m_mini->setNext(st.minis.back(), kEndOfChain);
    return {};
  }
  // Bytes past the old end inside its last mini sector may hold leftovers.
  if (newSize > oldSize && oldSize % kMiniSectorSize && !st.minis.empty()) {
    uint8_t zeros[kMiniSectorSize] = {};
    uint32_t within = uint32_t(oldSize % kMiniSectorSize);
    TRY(m_mini->write(st.minis[size_t(oldSize / kMiniSectorSize)], within,
                      std::span<const uint8_t>(zeros, kMiniSectorSize - within)));
  }
  static const uint8_t kZeros[kMiniSectorSize] = {};
  while (st.minis.size() < need) {
    ASSIGN(m, m_mini->allocate());
    if (!st.minis.empty()) m_mini->setNext(st.minis.back(), m);
    st.minis.push_back(m);
    TRY(m_mini->write(m, 0, kZeros));
  }
  return {};
}

Result<void> Document::setStreamSize(StreamId sid, uint64_t newSize) {
  TRY(checkWritable());
  const uint64_t oldSize = m_dir->entry(sid).size;
  if (newSize == oldSize) return {};
  if (v3() && newSize > kV3MaxStreamSize)
    return base::makeError(STG_E_MEDIUMFULL, "a version 3 stream cannot pass 2 GB");
  return changing([&] { return setStreamSizeImpl(sid, newSize); });
}

Result<void> Document::setStreamSizeImpl(StreamId sid, uint64_t newSize) {
  DirEntry& e = m_dir->entry(sid);
  const uint64_t oldSize = e.size;
  ASSIGN(st, state(sid));
  if (st->mini == (newSize < kMiniStreamCutoff)) {
    TRY(resizeInPlace(*st, oldSize, newSize));
  } else {
    TRY(moveAcrossCutoff(*st, oldSize, newSize));
  }
  e.size = newSize;
  e.start = newSize == 0 ? kEndOfChain
                         : (st->mini ? (st->minis.empty() ? kEndOfChain : st->minis[0])
                                     : st->chain->start());
  m_dir->touch(sid);
  return {};
}

// A size on the same side of the cutoff: the stream's own chain grows or
// shrinks; bytes past the old end read as zeros.
Result<void> Document::resizeInPlace(StreamState& st, uint64_t oldSize, uint64_t newSize) {
  if (st.mini) return resizeMini(st, oldSize, newSize);
  const uint32_t S = m_pager->sectorSize();
  const uint64_t oldCap = st.chain->byteCapacity();
  if (newSize > oldSize && oldSize < oldCap) {
    std::vector<uint8_t> zeros(size_t(std::min(newSize, oldCap) - oldSize), 0);
    TRY(st.chain->write(oldSize, zeros));
  }
  return st.chain->resize((newSize + S - 1) / S);
}

// Across the cutoff the stream moves between the mini stream and sectors of
// its own, with the bytes both sizes keep (at most 4096).
Result<void> Document::moveAcrossCutoff(StreamState& st, uint64_t oldSize, uint64_t newSize) {
  const uint32_t S = m_pager->sectorSize();
  std::vector<uint8_t> keep(size_t(std::min(oldSize, newSize)));
  if (!keep.empty()) {
    if (st.mini)
      TRY(readMini(st, 0, keep));
    else
      TRY(st.chain->read(0, keep, false));
  }
  if (st.mini) {
    TRY(resizeMini(st, oldSize, 0));
    st.mini = false;
    TRY(st.chain->resize((newSize + S - 1) / S));
    if (!keep.empty()) TRY(st.chain->write(0, keep));
  } else {
    TRY(st.chain->clear());
    st.mini = true;
    TRY(resizeMini(st, 0, newSize));
    if (!keep.empty()) TRY(writeMini(st, 0, keep));
  }
  return {};
}

Result<void> Document::writeStream(StreamId sid, uint64_t offset, std::span<const uint8_t> data) {
  TRY(checkWritable());
  if (data.empty()) return {};
  uint64_t end = offset + data.size();
  if (end < offset || (v3() && end > kV3MaxStreamSize))
    return base::makeError(STG_E_MEDIUMFULL, "write past the largest stream size");
  return changing([&] { return writeStreamImpl(sid, offset, data); });
}

Result<void> Document::writeStreamImpl(StreamId sid, uint64_t offset,
                                       std::span<const uint8_t> data) {
  uint64_t end = offset + data.size();
  if (end > m_dir->entry(sid).size) TRY(setStreamSizeImpl(sid, end));
  ASSIGN(st, state(sid));
  if (st->mini) {
    TRY(writeMini(*st, offset, data));
  } else {
    TRY(st->chain->write(offset, data));
    DirEntry& e = m_dir->entry(sid);
    if (e.start != st->chain->start()) {
      e.start = st->chain->start();
      m_dir->touch(sid);
    }
  }
  m_pager->markDirty();
  return {};
}

Result<void> Document::freeStream(StreamId sid) {
  TRY(checkWritable());
  DirEntry& e = m_dir->entry(sid);
  if (e.type == EntryType::Stream && e.size > 0) {
    ASSIGN(st, state(sid));
    if (st->mini)
      TRY(resizeMini(*st, e.size, 0));
    else
      TRY(st->chain->clear());
  }
  m_streams.erase(sid);
  return {};
}

Result<void> Document::destroy(StreamId sid) {
  TRY(checkWritable());
  return changing([&] { return destroyImpl(sid); });
}

Result<void> Document::destroyImpl(StreamId sid) {
  // Depth-first with an explicit stack: children go before their storage.
  std::vector<std::pair<StreamId, bool>> stack{{sid, false}};
  while (!stack.empty()) {
    auto [cur, expanded] = stack.back();
    if (!expanded && m_dir->entry(cur).type == EntryType::Storage) {
      stack.back().second = true;
      for (StreamId k : m_dir->children(cur)) stack.push_back({k, false});
      continue;
    }
    stack.pop_back();
    TRY(freeStream(cur));
    m_dir->remove(cur);
  }
  return {};
}

Result<void> Document::commit() {
  if (!m_writable || !hasChanges()) return {};
  TRY(m_pager->checkWritable());
  // A commit that stops part-way, on an error or a failed allocation alike,
  // has moved tables and entries to new sectors the header does not yet
  // reach: nothing may write them later.
  return changing([&] { return commitImpl(); });
}

Result<void> Document::commitImpl() {
  Header h = m_header;
  if (m_mini->loaded()) {
    TRY(m_mini->flush(h));
    DirEntry& root = m_dir->entry(0);
    SectorId start = m_mini->streamSize() ? m_mini->streamStart() : kEndOfChain;
    if (root.start != start || root.size != m_mini->streamSize()) {
      root.start = start;
      root.size = m_mini->streamSize();
      m_dir->touch(0);
    }
  }
  TRY(m_dir->flush(h));
  TRY(m_fat->prepareCommit(h));
  TRY(m_pager->commit(h, m_fat->sectorsInUse()));
  m_fat->commitDone();
  m_header = h;
  m_fresh = false;
  return {};
}

}  // namespace velmora::cfb
