// The directory ([MS-CFB] 2.6): 128-byte entries, the name order of 2.6.4,
// the sibling trees of every storage and their lookups.
#pragma once
#include <wtypes.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cfb/chain_stream.h"
#include "cfb/header.h"

namespace velmora::cfb {

enum class EntryType : uint8_t { Unused = 0, Storage = 1, Stream = 2, Root = 5 };

// Where each field of a 128-byte directory entry lies.
namespace entry_field {
inline constexpr uint32_t kName = 0x00;        // 32 UTF-16 code units
inline constexpr uint32_t kNameLength = 0x40;  // in bytes, the NUL included
inline constexpr uint32_t kType = 0x42;
inline constexpr uint32_t kColor = 0x43;
inline constexpr uint32_t kLeft = 0x44;
inline constexpr uint32_t kRight = 0x48;
inline constexpr uint32_t kChild = 0x4C;
inline constexpr uint32_t kClsid = 0x50;
inline constexpr uint32_t kStateBits = 0x60;
inline constexpr uint32_t kCreated = 0x64;
inline constexpr uint32_t kModified = 0x6C;
inline constexpr uint32_t kStart = 0x74;
inline constexpr uint32_t kSize = 0x78;
}  // namespace entry_field

struct DirEntry {
  std::u16string name;
  EntryType type = EntryType::Unused;
  uint8_t rawType = 0;
  uint8_t color = 1;  // 0 red, 1 black
  StreamId left = kNoStream;
  StreamId right = kNoStream;
  StreamId child = kNoStream;
  CLSID clsid{};
  uint32_t stateBits = 0;
  uint64_t ctime = 0;
  uint64_t mtime = 0;
  SectorId start = kEndOfChain;
  uint64_t size = 0;
};

// Orders names as [MS-CFB] 2.6.4 does: shorter first, then code unit by code
// unit after simple upper-casing. Returns <0, 0 or >0.
int compareNames(std::u16string_view a, std::u16string_view b);
char16_t upperCase(char16_t c);

DirEntry decodeEntry(std::span<const uint8_t> bytes, bool v3);
void encodeEntry(const DirEntry& e, std::span<uint8_t> out);

class Directory {
 public:
  // Reads the whole directory chain and walks the root's and every
  // storage's tree. Entries and links it cannot use (ids out of range, loops,
  // a node shared between trees, an entry that is not a named storage or
  // stream) are stepped over and mark the directory damaged. The children
  // of each storage are kept sorted in name order.
  [[nodiscard]] static Result<std::unique_ptr<Directory>> load(Fat& fat, Pager& pager,
                                                               const Header& header);
  static std::unique_ptr<Directory> createEmpty(Fat& fat, Pager& pager, const Header& header);

  size_t count() const { return m_entries.size(); }
  // True when loading stepped over entries or links it could not use; such
  // a directory is read, never written.
  bool damaged() const { return m_damaged; }
  // What loading stepped over, the first kMaxSteppedOver findings in walk
  // order; not empty when damaged().
  const std::vector<Error>& steppedOver() const { return m_steppedOver; }
  static constexpr size_t kMaxSteppedOver = 64;
  // Where entry `sid` lies in the file.
  base::Where entryPlace(StreamId sid) const;
  DirEntry& entry(StreamId sid) { return m_entries[sid]; }
  const DirEntry& entry(StreamId sid) const { return m_entries[sid]; }
  void touch(StreamId sid);  // the entry changed and must be written at commit

  // The children of storage `sid` in name order (the enumeration order).
  const std::vector<StreamId>& children(StreamId sid) const;
  std::optional<StreamId> find(StreamId storage, std::u16string_view name) const;
  StreamId parentOf(StreamId sid) const;
  bool reachable(StreamId sid) const;

  // Adds a child under `parent` (the caller made sure the name is new) and
  // rebalances the parent's tree.
  [[nodiscard]] Result<StreamId> add(StreamId parent, DirEntry e);
  // Turns `sid` into an unused entry and takes it out of its parent's tree;
  // the caller frees its data and its children first.
  void remove(StreamId sid);
  void rename(StreamId sid, std::u16string newName);

  // Writes the changed entries into the directory chain (growing it as
  // needed) and fills the header's directory fields.
  [[nodiscard]] Result<void> flush(Header& header);

 private:
  Directory(Fat& fat, Pager& pager) : m_chain(fat, pager), m_pager(pager) {}
  [[nodiscard]] Result<void> readEntries(const Header& header);
  void walkTrees();
  void stepOverLink(StreamId sid, StreamId from);
  void stepOverEntry(StreamId sid);
  void keepFirstOfEachName(std::vector<StreamId>& kids);
  void stepOver(Error e);
  void rebuildTree(StreamId storage);
  // Red-black insert and delete in `storage`'s tree ([MS-CFB] 2.6.4); they
  // touch only the entries on one root-to-leaf path and their siblings.
  void treeInsert(StreamId storage, StreamId z);
  void treeRemove(StreamId storage, StreamId z);
  void deleteFixup(StreamId storage, StreamId x, bool xIsLeft, std::vector<StreamId>& path);
  void rotate(StreamId storage, StreamId p, StreamId parent, bool left);
  void replaceChild(StreamId storage, StreamId parent, StreamId oldChild, StreamId newChild);
  void setLeft(StreamId sid, StreamId v);
  void setRight(StreamId sid, StreamId v);
  void setColor(StreamId sid, uint8_t c);
  bool isRed(StreamId sid) const { return sid != kNoStream && m_entries[sid].color == 0; }
  StreamId buildBalanced(const std::vector<StreamId>& v, size_t lo, size_t hi, int depth,
                         int maxDepth);
  void setLinks(StreamId sid, StreamId left, StreamId right, uint8_t color);

  FatChain m_chain;
  Pager& m_pager;
  bool m_v3 = true;
  std::vector<DirEntry> m_entries;
  std::vector<StreamId> m_parent;
  std::unordered_map<StreamId, std::vector<StreamId>> m_children;
  // Storages whose sibling tree this directory built or keeps: a valid
  // red-black tree in name order. A tree as loaded is rebuilt once, at its
  // first change, since producers write unbalanced and unordered trees.
  std::unordered_set<StreamId> m_ownTrees;
  std::vector<StreamId> m_free;
  std::vector<bool> m_dirtySectors;
  bool m_allDirty = false;
  bool m_damaged = false;
  std::vector<Error> m_steppedOver;
};

}  // namespace velmora::cfb
