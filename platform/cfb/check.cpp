// checkIntegrity(): the whole structure of a compound file, verified from
// scratch: every chain walked to its end and matched with its size, no
// sector or mini sector in two chains, the tables marked as such, every tree
// ordered. Strict mode adds what our writer guarantees and producers often
// do not: valid red-black trees, no leaked sectors, no allocated entry out
// of the tree. (A crash may leave a torn last sector; the file length is the
// round-trip tests' business.)
#include <algorithm>
#include <vector>

#include "cfb/document.h"
#include "cfb/storage.h"

namespace velmora::cfb {

namespace {

// How much the checker asks: only sound chains (what a writer must have
// before it touches a file), everything a reader relies on, or also what
// our own writer guarantees.
enum class Depth { Chains, Sound, Strict };

class Checker {
 public:
  Checker(Document& doc, Depth depth)
      : m_doc(doc), m_strict(depth == Depth::Strict), m_chainsOnly(depth == Depth::Chains) {}

  Result<void> run() {
    if (m_doc.dir().damaged()) return CFB_CORRUPT("the directory has entries or links it cannot use");
    Fat& fat = m_doc.fat();
    CFB_TRY(fat.loadWholeDifat());
    const uint64_t nsect = fat.sectorsInUse();
    const uint32_t S = m_doc.pager().sectorSize();
    m_owner.assign(size_t(nsect), 0);
    for (SectorId s : fat.fatLocations()) CFB_TRY(claim(s, "FAT", kFatSect));
    for (SectorId s : fat.difatLocations()) CFB_TRY(claim(s, "DIFAT", kDifSect));
    const Header& h = m_doc.header();
    CFB_TRY(claimChain(h.firstDirSector, UINT64_MAX, "directory"));
    CFB_ASSIGN(miniFatLen, claimChain(h.firstMiniFatSector, UINT64_MAX, "mini FAT"));
    Directory& dir = m_doc.dir();
    const DirEntry& root = dir.entry(0);
    uint64_t rootSectors = (root.size + S - 1) / S;
    CFB_ASSIGN(miniLen, claimChain(root.size ? root.start : kEndOfChain, rootSectors, "mini stream"));
    if (miniLen < rootSectors && !m_chainsOnly) return CFB_CORRUPT("mini stream chain of %llu sectors for %llu bytes",
                                                  (unsigned long long)miniLen, (unsigned long long)root.size);
    if (m_strict && root.size % kMiniSectorSize) return CFB_CORRUPT("mini stream size %llu", (unsigned long long)root.size);
    uint64_t miniCount = (root.size + kMiniSectorSize - 1) / kMiniSectorSize;
    if (miniCount > miniFatLen * (S / 4)) {
      if (!m_chainsOnly) return CFB_CORRUPT("mini FAT shorter than the mini stream");
      miniCount = miniFatLen * (S / 4);
    }
    m_miniOwner.assign(size_t(miniCount), false);
    if (miniCount) CFB_TRY(m_doc.miniFat().load(h, root.start, root.size));

    // Every reachable stream: chain length matches its size.
    std::vector<StreamId> stack{0};
    while (!stack.empty()) {
      StreamId st = stack.back();
      stack.pop_back();
      if (!m_chainsOnly) CFB_TRY(checkTree(st));
      for (StreamId k : dir.children(st)) {
        const DirEntry& e = dir.entry(k);
        if (e.type == EntryType::Storage) {
          stack.push_back(k);
        } else if (e.size >= kMiniStreamCutoff) {
          uint64_t want = (e.size + S - 1) / S;
          CFB_ASSIGN(got, claimChain(e.start, want, "stream"));
          if (got != want && !m_chainsOnly) return CFB_CORRUPT("stream %u: chain of %llu sectors for %llu bytes", k,
                                              (unsigned long long)got, (unsigned long long)e.size);
        } else if (e.size > 0) {
          uint64_t want = (e.size + kMiniSectorSize - 1) / kMiniSectorSize;
          CFB_ASSIGN(chain, m_doc.miniFat().walk(e.start, want + 1));
          if (chain.size() != want && !m_chainsOnly) return CFB_CORRUPT("stream %u: mini chain of %zu for %llu bytes", k,
                                                       chain.size(), (unsigned long long)e.size);
          for (uint32_t m : chain) {
            if (m_miniOwner[m]) return CFB_CORRUPT("mini sector %u is in two chains", m);
            m_miniOwner[m] = true;
          }
        }
      }
    }
    if (m_strict) {
      for (uint64_t s = 0; s < nsect; ++s) {
        if (m_owner[s]) continue;
        CFB_ASSIGN(v, fat.entry(SectorId(s)));
        bool rangeLock = SectorId(s) == SectorId((kRangeLockOffset >> m_doc.pager().sectorShift()) - 1);
        if (v != kFreeSect && !rangeLock) return CFB_CORRUPT("sector %llu is allocated but in no chain", (unsigned long long)s);
      }
      for (StreamId sid = 1; sid < dir.count(); ++sid)
        if (!dir.reachable(sid) && dir.entry(sid).type != EntryType::Unused)
          return CFB_CORRUPT("directory entry %u is allocated but unreachable", sid);
    }
    return {};
  }

 private:
  Result<void> claim(SectorId s, const char* what, uint32_t mark) {
    if (s >= m_owner.size()) return CFB_CORRUPT("%s sector %u outside the file", what, s);
    if (m_owner[s]) return CFB_CORRUPT("sector %u (%s) is used twice", s, what);
    m_owner[s] = 1;
    CFB_ASSIGN(v, m_doc.fat().entry(s));
    if (v != mark) return CFB_CORRUPT("%s sector %u is marked 0x%08X", what, s, v);
    return {};
  }

  Result<uint64_t> claimChain(SectorId start, uint64_t limit, const char* what) {
    std::vector<SectorId>& chain = m_chain;
    CFB_TRY(m_doc.fat().walkInto(start, m_owner.size() + 1, what, chain));
    if (limit != UINT64_MAX && chain.size() > limit && m_strict)
      return CFB_CORRUPT("%s chain of %zu sectors is longer than its %llu", what, chain.size(),
                         (unsigned long long)limit);
    for (SectorId s : chain) {
      if (m_owner[s]) return CFB_CORRUPT("sector %u (%s) is used twice", s, what);
      m_owner[s] = 1;
    }
    return uint64_t(chain.size());
  }

  // Ordered always; red-black (black root, no red-red, equal black height)
  // in strict mode.
  Result<void> checkTree(StreamId storage) {
    Directory& dir = m_doc.dir();
    StreamId top = dir.entry(storage).child;
    if (top == kNoStream) return {};
    struct Frame { StreamId sid; int state; int blackLeft; };
    // In-order walk with an explicit stack, checking order as it goes.
    std::vector<StreamId> order;
    std::vector<StreamId> stack;
    StreamId cur = top;
    size_t steps = 0;
    while (cur != kNoStream || !stack.empty()) {
      if (++steps > 4 * dir.count() + 4) return CFB_CORRUPT("tree of %u does not end", storage);
      while (cur != kNoStream) {
        if (cur >= dir.count()) return CFB_CORRUPT("tree link to %u", cur);
        stack.push_back(cur);
        cur = dir.entry(cur).left;
      }
      cur = stack.back();
      stack.pop_back();
      if (!order.empty() && compareNames(dir.entry(order.back()).name, dir.entry(cur).name) >= 0)
        return CFB_CORRUPT("tree of %u is out of order at entry %u", storage, cur);
      order.push_back(cur);
      cur = dir.entry(cur).right;
    }
    if (!m_strict) return {};
    if (dir.entry(top).color != 1) return CFB_CORRUPT("tree of %u has a red top", storage);
    // Black height by a post-order pass over the sorted nodes.
    std::vector<std::pair<StreamId, int>> work{{top, 0}};
    std::unordered_map<StreamId, int> height;
    while (!work.empty()) {
      auto [sid, st] = work.back();
      const DirEntry& e = dir.entry(sid);
      if (st == 0) {
        work.back().second = 1;
        if (e.left != kNoStream) work.push_back({e.left, 0});
        if (e.right != kNoStream) work.push_back({e.right, 0});
        continue;
      }
      work.pop_back();
      int hl = e.left == kNoStream ? 1 : height[e.left];
      int hr = e.right == kNoStream ? 1 : height[e.right];
      if (hl != hr) return CFB_CORRUPT("entry %u: black heights %d and %d", sid, hl, hr);
      if (e.color == 0) {
        for (StreamId c : {e.left, e.right})
          if (c != kNoStream && dir.entry(c).color == 0) return CFB_CORRUPT("red entries %u and %u in a row", sid, c);
      }
      height[sid] = hl + (e.color == 1 ? 1 : 0);
    }
    return {};
  }

  Document& m_doc;
  bool m_strict;
  bool m_chainsOnly;
  std::vector<uint8_t> m_owner;  // one byte a sector: claimed by a chain or table
  std::vector<SectorId> m_chain;  // claimChain's walk, its room kept
  std::vector<bool> m_miniOwner;
};

}  // namespace

Result<void> checkIntegrity(File& file, bool strict) {
  // A borrowed view of `file`: the checker must not close it.
  class Borrowed final : public File {
   public:
    explicit Borrowed(File& f) : m_f(f) {}
    Result<size_t> readAt(uint64_t o, std::span<uint8_t> out) override { return m_f.readAt(o, out); }
    Result<void> writeAt(uint64_t, std::span<const uint8_t>) override {
      return base::makeError(STG_E_ACCESSDENIED, "read-only");
    }
    Result<void> sync() override { return {}; }
    Result<uint64_t> size() override { return m_f.size(); }
    Result<void> extend(uint64_t) override { return base::makeError(STG_E_ACCESSDENIED, "read-only"); }
    Result<void> discard() override { return base::makeError(STG_E_ACCESSDENIED, "read-only"); }
    Result<bool> tryLock(uint64_t, bool) override { return true; }
    Result<bool> heldByOthers(uint64_t, bool) override { return false; }
    void unlock(uint64_t) override {}

   private:
    File& m_f;
  };
  CFB_ASSIGN(doc, Document::open(std::make_unique<Borrowed>(file), false));
  Checker c(*doc, strict ? Depth::Strict : Depth::Sound);
  return c.run();
}

Result<void> checkChains(Document& doc) { return Checker(doc, Depth::Chains).run(); }

}  // namespace velmora::cfb
