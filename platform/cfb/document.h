// One open compound file: the header, pager, FAT, directory and mini FAT of
// a root storage, the byte-level operations on its streams, and the commit.
// The COM objects of storage.cpp are thin faces over it.
#pragma once
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "cfb/directory.h"
#include "cfb/fat.h"
#include "cfb/file_io.h"
#include "cfb/header.h"
#include "cfb/mini_fat.h"
#include "cfb/pager.h"

namespace velmora::cfb {

class Document {
 public:
  // Opens the compound file in `file`: header, DIFAT, directory and trees
  // are read and checked now; FAT sectors, the mini FAT and stream chains
  // when first needed.
  [[nodiscard]] static Result<std::unique_ptr<Document>> open(std::unique_ptr<File> file,
                                                              bool writable);
  // Starts a new, empty compound file of version 3 or 4 in `file`; the
  // first commit writes it.
  [[nodiscard]] static Result<std::unique_ptr<Document>> create(std::unique_ptr<File> file,
                                                                int version);

  Directory& dir() { return *m_dir; }
  const Header& header() const { return m_header; }
  bool writable() const { return m_writable; }
  bool v3() const { return m_header.majorVersion == 3; }
  File& file() { return *m_file; }
  Pager& pager() { return *m_pager; }
  Fat& fat() { return *m_fat; }
  MiniFat& miniFat() { return *m_mini; }

  // Reads up to out.size() bytes of stream `sid` at `offset`; fewer at the
  // end of the stream. STG_E_DOCFILECORRUPT when the chain is shorter than
  // the stream or damaged.
  [[nodiscard]] Result<size_t> readStream(StreamId sid, uint64_t offset, std::span<uint8_t> out);
  // Writes, growing the stream as needed (gaps read as zeros).
  [[nodiscard]] Result<void> writeStream(StreamId sid, uint64_t offset,
                                         std::span<const uint8_t> data);
  // Sets the size, moving the stream between the mini stream and FAT
  // sectors across the 4096-byte cutoff.
  [[nodiscard]] Result<void> setStreamSize(StreamId sid, uint64_t newSize);
  // Frees the stream's sectors (before its entry is removed).
  [[nodiscard]] Result<void> freeStream(StreamId sid);
  // Frees a whole element: a stream's data or a storage's subtree.
  [[nodiscard]] Result<void> destroy(StreamId sid);

  // Makes every change durable with the header as the commit point. Does
  // nothing for a read-only document or one without changes.
  [[nodiscard]] Result<void> commit();
  [[nodiscard]] Result<void> checkWritable() const;

  bool hasChanges() const { return m_pager->state() != Pager::State::Clean || m_fresh; }

 private:
  struct StreamState {
    bool loaded = false;
    bool mini = true;
    std::unique_ptr<FatChain> chain;
    std::vector<uint32_t> minis;
  };
  Document() = default;
  [[nodiscard]] Result<void> ensureMini();
  [[nodiscard]] Result<StreamState*> state(StreamId sid);
  Error aboutStream(Error e, StreamId sid) const;
  [[nodiscard]] Result<void> resizeMini(StreamState& st, uint64_t oldSize, uint64_t newSize);
  [[nodiscard]] Result<void> writeMini(StreamState& st, uint64_t offset,
                                       std::span<const uint8_t> data);
  [[nodiscard]] Result<void> readMini(StreamState& st, uint64_t offset, std::span<uint8_t> out);
  [[nodiscard]] Result<void> commitImpl();
  [[nodiscard]] Result<void> setStreamSizeImpl(StreamId sid, uint64_t newSize);
  [[nodiscard]] Result<void> resizeInPlace(StreamState& st, uint64_t oldSize, uint64_t newSize);
  [[nodiscard]] Result<void> moveAcrossCutoff(StreamState& st, uint64_t oldSize, uint64_t newSize);
  [[nodiscard]] Result<void> writeStreamImpl(StreamId sid, uint64_t offset,
                                             std::span<const uint8_t> data);
  [[nodiscard]] Result<void> destroyImpl(StreamId sid);
  // Runs a step that changes the in-memory image. One that fails part-way
  // (memory, I/O, a damaged chain met late) may leave the tables, the
  // directory and the stream states disagreeing, and no commit or release
  // may write that: the document turns Broken with the step's error.
  template <typename Step>
  [[nodiscard]] Result<void> changing(Step&& step);

  std::unique_ptr<File> m_file;
  std::unique_ptr<Pager> m_pager;
  Header m_header;
  std::unique_ptr<Fat> m_fat;
  std::unique_ptr<Directory> m_dir;
  std::unique_ptr<MiniFat> m_mini;
  std::unordered_map<StreamId, StreamState> m_streams;
  bool m_writable = false;
  bool m_fresh = false;
};

// Every chain of `doc` (tables, directory, mini stream, streams) walked:
// STG_E_DOCFILECORRUPT when one leaves the file, loops, or shares a sector
// or mini sector with another.
[[nodiscard]] Result<void> checkChains(Document& doc);

}  // namespace velmora::cfb
