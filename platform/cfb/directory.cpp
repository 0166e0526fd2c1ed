// The directory.
//
// Reading never depends on the trees' colours or balance: real producers
// write all-red, all-black and unbalanced trees. Each storage's
// children are collected by an iterative walk with a visited set, then
// sorted, so lookups work even when a producer's tree is out of order;
// duplicate names keep the first in walk order.
//
// Writing keeps every tree a valid red-black tree ([MS-CFB] 2.6.4: black
// root, no red-red pair, ordered, equal black height). The first change to a
// storage whose tree came from the file rebuilds that tree balanced from its
// sorted children (all levels black but a partial last level, which is red),
// since a producer's tree may be unbalanced or out of order. From then on
// inserts and deletes are the classic red-black ones: O(log n) entries
// change, so a storage with thousands of children costs a few directory
// sectors per change, not all of them.
#include "cfb/directory.h"

#include <algorithm>
#include <cstring>

#include "base/byte_reader.h"
#include "base/little_endian.h"

namespace velmora::cfb {

char16_t upperCase(char16_t c) {
  if (c < 0x61) return c;
  if (c <= 0x7A) return char16_t(c - 0x20);
  if (c < 0xE0) return c == 0xB5 ? char16_t(0x39C) : c;
  if (c <= 0xFE) return c == 0xF7 ? c : char16_t(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    if (oddUpper) return (c & 1) ? c : char16_t(c - 1);
    return (c & 1) ? char16_t(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return char16_t(c - 0x20);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return char16_t(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
  if (c >= 0xFF41 && c <= 0xFF5A) return char16_t(c - 0x20);
  return c;
}

int compareNames(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    // Equal units fold alike: most of a name compared with its neighbours
    // in the tree is spelled the same.
    if (a[i] == b[i]) continue;
    char16_t x = upperCase(a[i]), y = upperCase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

DirEntry decodeEntry(std::span<const uint8_t> bytes, bool v3) {
  base::ByteReader r(bytes);
  DirEntry e;
  auto nameBytes = r.bytes(64);
  uint16_t len = r.u16();
  // Clamp the length and let it decide when the NUL is missing; a
  // length past the NUL stops at the NUL, since no API name can hold one.
  len = std::min<uint16_t>(len, 64) & ~1u;
  size_t chars = len >= 2 ? len / 2 - 1 : 0;
  e.name.reserve(chars);
  for (size_t i = 0; i < chars && !nameBytes.empty(); ++i) {
    char16_t c = char16_t(base::loadLE16(&nameBytes[2 * i]));
    if (c == 0) break;
    e.name.push_back(c);
  }
  e.rawType = r.u8();
  switch (e.rawType) {
    case 1: e.type = EntryType::Storage; break;
    case 2: e.type = EntryType::Stream; break;
    case 5: e.type = EntryType::Root; break;
    default: e.type = EntryType::Unused; break;
  }
  e.color = r.u8();
  e.left = r.u32();
  e.right = r.u32();
  e.child = r.u32();
  e.clsid.Data1 = r.u32();
  e.clsid.Data2 = r.u16();
  e.clsid.Data3 = r.u16();
  auto d4 = r.bytes(8);
  if (!d4.empty()) std::memcpy(e.clsid.Data4, d4.data(), 8);
  e.stateBits = r.u32();
  e.ctime = r.u64();
  e.mtime = r.u64();
  e.start = r.u32();
  uint64_t size = r.u64();
  // Version 3 keeps only the low 32 bits of a stream size, and some writers
  // leave garbage in the high word; ignore it rather than refuse the file.
  e.size = v3 ? (size & 0xFFFFFFFFu) : size;
  if (e.type == EntryType::Stream) {
    // Streams carry no class, bits or times; report them as zero.
    e.clsid = CLSID{};
    e.stateBits = 0;
    e.ctime = e.mtime = 0;
    e.child = kNoStream;
  }
  if (e.type == EntryType::Storage) {
    e.start = 0;
    e.size = 0;
  }
  return e;
}

void encodeEntry(const DirEntry& e, std::span<uint8_t> out) {
  std::memset(out.data(), 0, kDirEntrySize);
  uint8_t* p = out.data();
  namespace at = entry_field;
  if (e.type == EntryType::Unused) {
    base::storeLE32(p + at::kLeft, kNoStream);
    base::storeLE32(p + at::kRight, kNoStream);
    base::storeLE32(p + at::kChild, kNoStream);
    return;
  }
  size_t n = std::min<size_t>(e.name.size(), kMaxNameChars);
  for (size_t i = 0; i < n; ++i) base::storeLE16(p + at::kName + 2 * i, e.name[i]);
  base::storeLE16(p + at::kNameLength, uint16_t((n + 1) * 2));
  p[at::kType] = uint8_t(e.type);
  p[at::kColor] = e.color;
  base::storeLE32(p + at::kLeft, e.left);
  base::storeLE32(p + at::kRight, e.right);
  base::storeLE32(p + at::kChild, e.type == EntryType::Stream ? kNoStream : e.child);
  if (e.type != EntryType::Stream) {
    base::storeLE32(p + at::kClsid, e.clsid.Data1);
    base::storeLE16(p + at::kClsid + 4, e.clsid.Data2);
    base::storeLE16(p + at::kClsid + 6, e.clsid.Data3);
    std::memcpy(p + at::kClsid + 8, e.clsid.Data4, 8);
    base::storeLE32(p + at::kStateBits, e.stateBits);
    base::storeLE64(p + at::kCreated, e.type == EntryType::Root ? 0 : e.ctime);
    base::storeLE64(p + at::kModified, e.mtime);
  }
  if (e.type == EntryType::Storage) {
    base::storeLE32(p + at::kStart, 0);
  } else {
    base::storeLE32(p + at::kStart, e.size == 0 ? kEndOfChain : e.start);
    base::storeLE64(p + at::kSize, e.size);
  }
}

namespace {

inline bool isStorageOrStream(const DirEntry& e) {
  return e.type == EntryType::Storage || e.type == EntryType::Stream;
}

}  // namespace

Result<std::unique_ptr<Directory>> Directory::load(Fat& fat, Pager& pager, const Header& h) {
  std::unique_ptr<Directory> dir(new Directory(fat, pager));
  dir->m_v3 = h.majorVersion == 3;
  if (h.firstDirSector == kEndOfChain || h.firstDirSector == kFreeSect)
    return DAMAGE(STG_E_DOCFILECORRUPT, Header, atOffset(header_field::kFirstDirSector),
                  "the header names no directory");
  TRY(dir->readEntries(h));
  auto& entries = dir->m_entries;
  if (entries.empty() || entries[0].type != EntryType::Root)
    return DAMAGE(STG_E_DOCFILECORRUPT, Directory, dir->entryPlace(0),
                  "directory entry 0 has type %u, not root",
                  entries.empty() ? 0u : entries[0].rawType);
  dir->walkTrees();
  for (StreamId sid = 1; sid < entries.size(); ++sid)
    if (entries[sid].type == EntryType::Unused) dir->m_free.push_back(sid);
  std::reverse(dir->m_free.begin(), dir->m_free.end());
  return dir;
}

// Every entry of the directory chain, as many as a stream id can name.
Result<void> Directory::readEntries(const Header& h) {
  TRY(m_chain.load(h.firstDirSector, m_pager.fileSectors(), "directory"));
  const uint32_t S = h.sectorSize();
  const uint32_t perSector = S / kDirEntrySize;
  uint64_t total = m_chain.sectorCount() * perSector;
  if (total > kMaxRegSid) total = kMaxRegSid;
  m_entries.resize(size_t(total));
  std::vector<uint8_t> buf(S);
  for (size_t i = 0; i < m_chain.sectorCount(); ++i) {
    TRY(m_pager.read(m_chain.sectors()[i], 0, buf, false));
    for (uint32_t j = 0; j < perSector && i * perSector + j < total; ++j)
      m_entries[i * perSector + j] = decodeEntry(
          std::span<const uint8_t>(buf).subspan(size_t(j) * kDirEntrySize, kDirEntrySize), m_v3);
  }
  m_dirtySectors.assign(m_chain.sectorCount(), false);
  return {};
}

// Walk every tree with explicit stacks; a visited set catches loops and
// nodes shared between storages. What a reader cannot use (a link out of
// range, a second way to an entry, an entry that is neither a storage nor
// a stream or has no name) is stepped over: a link to it counts as no link,
// and the rest is served, as other readers serve it. The directory is then
// marked damaged, and a writer refuses it (Document::open), since a commit
// would keep or spread the damage.
void Directory::walkTrees() {
  const size_t n = m_entries.size();
  std::vector<bool> visited(n, false);
  m_parent.assign(n, kNoStream);
  visited[0] = true;
  std::vector<StreamId> storages{0};
  // Each pending link with the entry it comes from, to name both.
  std::vector<std::pair<StreamId, StreamId>> stack;
  while (!storages.empty()) {
    StreamId st = storages.back();
    storages.pop_back();
    auto& kids = m_children[st];
    stack.clear();
    if (m_entries[st].child != kNoStream) stack.push_back({m_entries[st].child, st});
    while (!stack.empty()) {
      auto [sid, from] = stack.back();
      stack.pop_back();
      if (sid >= n || visited[sid]) {
        stepOverLink(sid, from);
        continue;
      }
      visited[sid] = true;
      const DirEntry& e = m_entries[sid];
      if (e.left != kNoStream) stack.push_back({e.left, sid});
      if (e.right != kNoStream) stack.push_back({e.right, sid});
      // An entry of an unknown type still holds the tree together: its
      // siblings are sound entries of the same storage. Its child is not
      // followed, since nothing says it has one.
      if (!isStorageOrStream(e) || e.name.empty()) {
        stepOverEntry(sid);
        continue;
      }
      kids.push_back(sid);
      m_parent[sid] = st;
      if (e.type == EntryType::Storage) storages.push_back(sid);
    }
    keepFirstOfEachName(kids);
  }
}

// The damage of a link out of range or to an entry already in a tree.
void Directory::stepOverLink(StreamId sid, StreamId from) {
  const size_t n = m_entries.size();
  if (sid >= n)
    stepOver(DAMAGE(STG_E_DOCFILECORRUPT, Directory, entryPlace(from),
                    "directory entry %u links to entry %u of %zu", from, sid, n));
  else
    stepOver(DAMAGE(STG_E_DOCFILECORRUPT, Directory, entryPlace(from),
                    "directory entry %u links to entry %u, which is already in a tree", from, sid));
}

// The damage of an entry that is neither a storage nor a stream, or has no
// name.
void Directory::stepOverEntry(StreamId sid) {
  const DirEntry& e = m_entries[sid];
  stepOver(isStorageOrStream(e) ? DAMAGE(STG_E_DOCFILECORRUPT, Directory, entryPlace(sid),
                                         "directory entry %u has no name", sid)
                                : DAMAGE(STG_E_DOCFILECORRUPT, Directory, entryPlace(sid),
                                         "directory entry %u has type %u", sid, e.rawType));
}

// Sorts a storage's children by name; of duplicate names the first in walk
// order stays, the rest are left out of the tree.
void Directory::keepFirstOfEachName(std::vector<StreamId>& kids) {
  std::stable_sort(kids.begin(), kids.end(), [&](StreamId a, StreamId b) {
    return compareNames(m_entries[a].name, m_entries[b].name) < 0;
  });
  auto last = std::unique(kids.begin(), kids.end(), [&](StreamId a, StreamId b) {
    return compareNames(m_entries[a].name, m_entries[b].name) == 0;
  });
  for (auto it = last; it != kids.end(); ++it) m_parent[*it] = kNoStream;
  kids.erase(last, kids.end());
}

base::Where Directory::entryPlace(StreamId sid) const {
  const uint32_t S = m_pager.sectorSize();
  const uint32_t perSector = S / kDirEntrySize;
  const size_t k = sid / perSector;
  if (k >= m_chain.sectorCount()) return ofEntry(sid);
  const SectorId at = m_chain.sectors()[k];
  return ofEntry(sid)
      .inSector(at, "directory")
      .at(sectorOffset(at, m_pager.sectorShift()) + uint64_t(sid % perSector) * kDirEntrySize);
}

void Directory::stepOver(Error e) {
  // The first few say enough; a directory of garbage would list thousands.
  if (m_steppedOver.size() < kMaxSteppedOver) m_steppedOver.push_back(std::move(e));
  m_damaged = true;
}

std::unique_ptr<Directory> Directory::createEmpty(Fat& fat, Pager& pager, const Header& h) {
  std::unique_ptr<Directory> dir(new Directory(fat, pager));
  dir->m_v3 = h.majorVersion == 3;
  DirEntry root;
  root.name = u"Root Entry";
  root.type = EntryType::Root;
  root.rawType = 5;
  dir->m_entries.push_back(root);
  dir->m_parent.push_back(kNoStream);
  dir->m_children[0];
  dir->m_ownTrees.insert(0);
  dir->m_allDirty = true;
  return dir;
}

void Directory::touch(StreamId sid) {
  const uint32_t perSector = m_pager.sectorSize() / kDirEntrySize;
  size_t k = sid / perSector;
  if (k < m_dirtySectors.size()) m_dirtySectors[k] = true;
  m_pager.markDirty();
}

const std::vector<StreamId>& Directory::children(StreamId sid) const {
  static const std::vector<StreamId> kNone;
  auto it = m_children.find(sid);
  return it == m_children.end() ? kNone : it->second;
}

std::optional<StreamId> Directory::find(StreamId storage, std::u16string_view name) const {
  const auto& kids = children(storage);
  auto it = std::lower_bound(
      kids.begin(), kids.end(), name,
      [&](StreamId a, std::u16string_view n) { return compareNames(m_entries[a].name, n) < 0; });
  if (it != kids.end() && compareNames(m_entries[*it].name, name) == 0) return *it;
  return std::nullopt;
}

StreamId Directory::parentOf(StreamId sid) const {
  return sid < m_parent.size() ? m_parent[sid] : kNoStream;
}

bool Directory::reachable(StreamId sid) const {
  return sid == 0 || (sid < m_parent.size() && m_parent[sid] != kNoStream);
}

void Directory::setLinks(StreamId sid, StreamId left, StreamId right, uint8_t color) {
  DirEntry& e = m_entries[sid];
  if (e.left == left && e.right == right && e.color == color) return;
  e.left = left;
  e.right = right;
  e.color = color;
  touch(sid);
}

StreamId Directory::buildBalanced(const std::vector<StreamId>& v, size_t lo, size_t hi, int depth,
                                  int maxDepth) {
  if (lo >= hi) return kNoStream;
  size_t mid = lo + (hi - lo) / 2;
  StreamId l = buildBalanced(v, lo, mid, depth + 1, maxDepth);
  StreamId r = buildBalanced(v, mid + 1, hi, depth + 1, maxDepth);
  uint8_t color = (depth == maxDepth && depth > 0) ? 0 : 1;
  setLinks(v[mid], l, r, color);
  return v[mid];
}

void Directory::rebuildTree(StreamId storage) {
  const auto& kids = m_children[storage];
  int maxDepth = 0;
  while ((size_t(2) << maxDepth) - 1 < kids.size()) ++maxDepth;
  // With n children the midpoint tree has depth floor(log2 n); colour its
  // deepest level red unless that level is full, and the tree is a valid
  // red-black tree (all levels above are full).
  if (kids.size() == (size_t(2) << maxDepth) - 1) maxDepth = -1;
  StreamId top = buildBalanced(kids, 0, kids.size(), 0, maxDepth);
  DirEntry& st = m_entries[storage];
  if (st.child != top) {
    st.child = top;
    touch(storage);
  }
  m_ownTrees.insert(storage);
}

void Directory::setLeft(StreamId sid, StreamId v) {
  if (m_entries[sid].left == v) return;
  m_entries[sid].left = v;
  touch(sid);
}

void Directory::setRight(StreamId sid, StreamId v) {
  if (m_entries[sid].right == v) return;
  m_entries[sid].right = v;
  touch(sid);
}

void Directory::setColor(StreamId sid, uint8_t c) {
  if (m_entries[sid].color == c) return;
  m_entries[sid].color = c;
  touch(sid);
}

// `parent` is kNoStream when `oldChild` is the root of `storage`'s tree.
void Directory::replaceChild(StreamId storage, StreamId parent, StreamId oldChild,
                             StreamId newChild) {
  if (parent == kNoStream) {
    if (m_entries[storage].child != newChild) {
      m_entries[storage].child = newChild;
      touch(storage);
    }
  } else if (m_entries[parent].left == oldChild) {
    setLeft(parent, newChild);
  } else {
    setRight(parent, newChild);
  }
}

// Rotates `p` (child of `parent`) left or right; its child takes its place.
void Directory::rotate(StreamId storage, StreamId p, StreamId parent, bool left) {
  if (left) {
    StreamId r = m_entries[p].right;
    setRight(p, m_entries[r].left);
    setLeft(r, p);
    replaceChild(storage, parent, p, r);
  } else {
    StreamId l = m_entries[p].left;
    setLeft(p, m_entries[l].right);
    setRight(l, p);
    replaceChild(storage, parent, p, l);
  }
}

void Directory::treeInsert(StreamId storage, StreamId z) {
  std::vector<StreamId> path;  // z's ancestors, root first
  for (StreamId x = m_entries[storage].child; x != kNoStream;) {
    path.push_back(x);
    x = compareNames(m_entries[z].name, m_entries[x].name) < 0 ? m_entries[x].left
                                                               : m_entries[x].right;
  }
  setLeft(z, kNoStream);
  setRight(z, kNoStream);
  setColor(z, 0);
  if (path.empty()) {
    replaceChild(storage, kNoStream, kNoStream, z);
  } else if (compareNames(m_entries[z].name, m_entries[path.back()].name) < 0) {
    setLeft(path.back(), z);
  } else {
    setRight(path.back(), z);
  }
  StreamId x = z;
  // path.back() is x's parent; a red parent is never the root, so it has one.
  while (path.size() >= 2 && isRed(path.back())) {
    StreamId p = path[path.size() - 1];
    StreamId g = path[path.size() - 2];
    StreamId gg = path.size() >= 3 ? path[path.size() - 3] : kNoStream;
    bool parentIsLeft = m_entries[g].left == p;
    StreamId uncle = parentIsLeft ? m_entries[g].right : m_entries[g].left;
    if (isRed(uncle)) {
      setColor(p, 1);
      setColor(uncle, 1);
      setColor(g, 0);
      x = g;
      path.resize(path.size() - 2);
      continue;
    }
    bool xIsLeft = m_entries[p].left == x;
    if (xIsLeft != parentIsLeft) {
      rotate(storage, p, g, parentIsLeft);
      p = x;
    }
    setColor(p, 1);
    setColor(g, 0);
    rotate(storage, g, gg, !parentIsLeft);
    break;
  }
  setColor(m_entries[storage].child, 1);
}

void Directory::treeRemove(StreamId storage, StreamId z) {
  std::vector<StreamId> path;  // z's ancestors, root first
  for (StreamId x = m_entries[storage].child; x != z;) {
    if (x == kNoStream) {
      // Not in the tree its name leads to: the tree is not ours after all.
      rebuildTree(storage);
      return;
    }
    path.push_back(x);
    x = compareNames(m_entries[z].name, m_entries[x].name) < 0 ? m_entries[x].left
                                                               : m_entries[x].right;
  }
  if (m_entries[z].left != kNoStream && m_entries[z].right != kNoStream) {
    // Swap z with its successor y, so that z has at most one child.
    std::vector<StreamId> down;
    StreamId y = m_entries[z].right;
    while (m_entries[y].left != kNoStream) {
      down.push_back(y);
      y = m_entries[y].left;
    }
    StreamId zParent = path.empty() ? kNoStream : path.back();
    StreamId zLeft = m_entries[z].left, zRight = m_entries[z].right, yRight = m_entries[y].right;
    uint8_t zColor = m_entries[z].color, yColor = m_entries[y].color;
    replaceChild(storage, zParent, z, y);
    setLeft(y, zLeft);
    setColor(y, zColor);
    setLeft(z, kNoStream);
    setRight(z, yRight);
    setColor(z, yColor);
    path.push_back(y);
    if (down.empty()) {
      setRight(y, z);
    } else {
      setRight(y, zRight);
      setLeft(down.back(), z);
      path.insert(path.end(), down.begin(), down.end());
    }
  }
  StreamId child = m_entries[z].left != kNoStream ? m_entries[z].left : m_entries[z].right;
  StreamId parent = path.empty() ? kNoStream : path.back();
  bool wasLeft = parent != kNoStream && m_entries[parent].left == z;
  bool wasBlack = !isRed(z);
  replaceChild(storage, parent, z, child);
  if (!wasBlack) return;
  if (isRed(child)) {
    setColor(child, 1);
    return;
  }
  deleteFixup(storage, child, wasLeft, path);
}

// x (possibly no entry) carries an extra black; path ends with its parent.
void Directory::deleteFixup(StreamId storage, StreamId x, bool xIsLeft,
                            std::vector<StreamId>& path) {
  while (!path.empty() && !isRed(x)) {
    StreamId p = path.back();
    StreamId pp = path.size() >= 2 ? path[path.size() - 2] : kNoStream;
    StreamId w = xIsLeft ? m_entries[p].right : m_entries[p].left;
    if (isRed(w)) {
      setColor(w, 1);
      setColor(p, 0);
      rotate(storage, p, pp, xIsLeft);
      path.back() = w;
      path.push_back(p);
      pp = w;
      w = xIsLeft ? m_entries[p].right : m_entries[p].left;
    }
    StreamId nearChild = xIsLeft ? m_entries[w].left : m_entries[w].right;
    StreamId farChild = xIsLeft ? m_entries[w].right : m_entries[w].left;
    if (!isRed(nearChild) && !isRed(farChild)) {
      setColor(w, 0);
      x = p;
      path.pop_back();
      xIsLeft = !path.empty() && m_entries[path.back()].left == x;
      continue;
    }
    if (!isRed(farChild)) {
      setColor(nearChild, 1);
      setColor(w, 0);
      rotate(storage, w, p, !xIsLeft);
      w = xIsLeft ? m_entries[p].right : m_entries[p].left;
      farChild = xIsLeft ? m_entries[w].right : m_entries[w].left;
    }
    setColor(w, m_entries[p].color);
    setColor(p, 1);
    setColor(farChild, 1);
    rotate(storage, p, pp, xIsLeft);
    x = m_entries[storage].child;
    break;
  }
  if (x != kNoStream) setColor(x, 1);
}

Result<StreamId> Directory::add(StreamId parent, DirEntry e) {
  StreamId sid;
  if (!m_free.empty()) {
    sid = m_free.back();
    m_free.pop_back();
  } else {
    if (m_entries.size() >= kMaxRegSid)
      return base::makeError(STG_E_MEDIUMFULL, "directory is full");
    sid = StreamId(m_entries.size());
    m_entries.emplace_back();
    m_parent.push_back(kNoStream);
  }
  e.left = e.right = kNoStream;
  if (e.type == EntryType::Storage) e.child = kNoStream;
  e.rawType = uint8_t(e.type);
  m_entries[sid] = std::move(e);
  m_parent[sid] = parent;
  auto& kids = m_children[parent];
  auto it = std::lower_bound(
      kids.begin(), kids.end(), m_entries[sid].name,
      [&](StreamId a, const std::u16string& n) { return compareNames(m_entries[a].name, n) < 0; });
  kids.insert(it, sid);
  if (m_entries[sid].type == EntryType::Storage) {
    m_children[sid];
    m_ownTrees.insert(sid);
  }
  touch(sid);
  if (m_ownTrees.count(parent)) {
    treeInsert(parent, sid);
  } else {
    rebuildTree(parent);
  }
  return sid;
}

void Directory::remove(StreamId sid) {
  StreamId parent = m_parent[sid];
  bool incremental = parent != kNoStream && m_ownTrees.count(parent);
  if (parent != kNoStream) {
    auto& kids = m_children[parent];
    kids.erase(std::remove(kids.begin(), kids.end(), sid), kids.end());
    if (incremental) treeRemove(parent, sid);
  }
  m_children.erase(sid);
  m_ownTrees.erase(sid);
  m_entries[sid] = DirEntry{};
  m_entries[sid].color = 0;
  m_parent[sid] = kNoStream;
  m_free.push_back(sid);
  touch(sid);
  if (parent != kNoStream && !incremental) rebuildTree(parent);
}

void Directory::rename(StreamId sid, std::u16string newName) {
  StreamId parent = m_parent[sid];
  m_entries[sid].name = std::move(newName);
  touch(sid);
  if (parent == kNoStream) return;
  auto& kids = m_children[parent];
  std::sort(kids.begin(), kids.end(), [&](StreamId a, StreamId b) {
    return compareNames(m_entries[a].name, m_entries[b].name) < 0;
  });
  rebuildTree(parent);
}

Result<void> Directory::flush(Header& h) {
  const uint32_t S = m_pager.sectorSize();
  const uint32_t perSector = S / kDirEntrySize;
  uint64_t need = (m_entries.size() + perSector - 1) / perSector;
  uint64_t had = m_chain.sectorCount();
  if (need > had) {
    TRY(m_chain.resize(need));
    m_dirtySectors.resize(need, true);
  }
  std::vector<uint8_t> buf(S);
  for (uint64_t k = 0; k < m_chain.sectorCount(); ++k) {
    if (!m_allDirty && !m_dirtySectors[k]) continue;
    for (uint32_t j = 0; j < perSector; ++j) {
      size_t sid = k * perSector + j;
      auto slot = std::span<uint8_t>(buf).subspan(size_t(j) * kDirEntrySize, kDirEntrySize);
      if (sid < m_entries.size()) {
        encodeEntry(m_entries[sid], slot);
      } else {
        encodeEntry(DirEntry{}, slot);
      }
    }
    TRY(m_chain.write(k * S, buf));
  }
  std::fill(m_dirtySectors.begin(), m_dirtySectors.end(), false);
  m_allDirty = false;
  h.firstDirSector = m_chain.start();
  h.numDirSectors = h.majorVersion == 4 ? uint32_t(m_chain.sectorCount()) : 0;
  return {};
}

}  // namespace velmora::cfb
