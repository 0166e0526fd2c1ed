// checkIntegrity(): the whole structure of a compound file, verified from
// scratch: every chain walked to its end and matched with its size, no
// sector or mini sector in two chains, the tables marked as such, every tree
// ordered. Strict mode adds what our writer guarantees and producers often
// do not: valid red-black trees, no leaked sectors, no allocated entry out
// of the tree. (A crash may leave a torn last sector; the file length is the
// round-trip tests' business.)
#include <algorithm>
#include <cstring>
#include <vector>

#include "cfb/document.h"
#include "cfb/storage.h"

namespace velmora::cfb {

namespace {

// How much the checker asks: only sound chains (what a writer must have
// before it touches a file), everything a reader relies on, or also what
// our own writer guarantees.
enum class Depth { Chains, Sound, Strict };

constexpr auto kLoses = Severity::LosesData;
constexpr auto kSteps = Severity::SteppedOver;
constexpr auto kOdd = Severity::Oddity;

class Checker {
 public:
  // With `findings`, every finding is kept there and the walk goes on where
  // it safely can; without, the first one ends the check.
  Checker(Document& doc, Depth depth, std::vector<Finding>* findings = nullptr)
      : m_doc(doc),
        m_strict(depth == Depth::Strict),
        m_chainsOnly(depth == Depth::Chains),
        m_findings(findings) {}

  Result<void> run() {
    TRY(reportSteppedOver());
    TRY(claimTables());
    TRY(claimMiniStream());
    TRY(loadMiniFat());
    TRY(checkStreams());
    if (!m_strict) return {};
    TRY(checkLostSectors());
    return checkUnreachableEntries();
  }

 private:
  // What loading a damaged directory stepped over.
  Result<void> reportSteppedOver() {
    Directory& dir = m_doc.dir();
    if (dir.damaged()) {
      for (const Error& e : dir.steppedOver()) TRY(found(e, kSteps));
    }
    return {};
  }

  // The whole FAT read, then its own sectors and the DIFAT's claimed, and
  // the chains of the directory and the mini FAT.
  Result<void> claimTables() {
    Fat& fat = m_doc.fat();
    TRY(fat.loadWholeDifat());
    m_sectors = fat.sectorsInUse();
    m_owner.assign(size_t(m_sectors), 0);
    for (SectorId s : fat.fatLocations()) TRY(claim(s, "FAT", kFatSect));
    for (SectorId s : fat.difatLocations()) TRY(claim(s, "DIFAT", kDifSect));
    const Header& h = m_doc.header();
    TRY(claimChain(h.firstDirSector, UINT64_MAX, "directory", 0).error);
    auto miniFatLen = claimChain(h.firstMiniFatSector, UINT64_MAX, "mini FAT", 0);
    TRY(miniFatLen.error);
    m_miniFatSectors = miniFatLen.length;
    return {};
  }

  // The root's chain, which holds the mini stream, matched with its size;
  // then how many mini sectors the mini FAT can describe.
  Result<void> claimMiniStream() {
    Directory& dir = m_doc.dir();
    const Header& h = m_doc.header();
    const uint32_t S = m_doc.pager().sectorSize();
    const DirEntry& root = dir.entry(0);
    uint64_t rootSectors = (root.size + S - 1) / S;
    auto miniLen = claimChain(root.size ? root.start : kEndOfChain, rootSectors, "mini stream", 0);
    TRY(miniLen.error);
    if (miniLen.length < rootSectors && !m_chainsOnly)
      TRY(found(DAMAGE(STG_E_DOCFILECORRUPT, Chain, dir.entryPlace(0),
                       "mini stream chain of %llu sectors for %llu bytes",
                       (unsigned long long)miniLen.length, (unsigned long long)root.size),
                kLoses));
    if (m_strict && root.size % kMiniSectorSize)
      TRY(found(DAMAGE(STG_E_DOCFILECORRUPT, Chain, dir.entryPlace(0),
                       "mini stream size %llu is not a whole number of mini sectors",
                       (unsigned long long)root.size),
                kOdd));
    uint64_t miniCount = (root.size + kMiniSectorSize - 1) / kMiniSectorSize;
    const uint64_t described = m_miniFatSectors * (S / 4);
    if (miniCount > described) {
      if (!m_chainsOnly)
        TRY(found(
            DAMAGE(STG_E_DOCFILECORRUPT, Allocation,
                   inSector(h.firstMiniFatSector).at(header_field::kFirstMiniFatSector),
                   "mini FAT of %llu sectors is shorter than the mini stream's %llu mini sectors",
                   (unsigned long long)m_miniFatSectors, (unsigned long long)miniCount),
            kLoses));
      miniCount = described;
    }
    m_miniOwner.assign(size_t(miniCount), false);
    return {};
  }

  // A mini FAT that does not load leaves the small streams unchecked.
  Result<void> loadMiniFat() {
    if (m_miniOwner.empty()) return {};
    const DirEntry& root = m_doc.dir().entry(0);
    auto loaded = m_doc.miniFat().load(m_doc.header(), root.start, root.size);
    if (!loaded) {
      TRY(found(loaded.error(), kLoses));
      m_miniUsable = false;
    }
    return {};
  }

  // Every reachable stream: chain length matches its size.
  Result<void> checkStreams() {
    Directory& dir = m_doc.dir();
    std::vector<StreamId> stack{0};
    while (!stack.empty()) {
      StreamId st = stack.back();
      stack.pop_back();
      // A damaged directory's trees were walked at load, which named what
      // it stepped over; their shape says nothing more.
      if (!m_chainsOnly && !dir.damaged()) TRY(checkTree(st));
      for (StreamId k : dir.children(st)) {
        const DirEntry& e = dir.entry(k);
        if (e.type == EntryType::Storage)
          stack.push_back(k);
        else if (e.size >= kMiniStreamCutoff)
          TRY(checkStream(k, e));
        else if (e.size > 0 && m_miniUsable)
          TRY(checkMiniStream(k, e));
      }
    }
    return {};
  }

  // A stream in sectors: its chain claimed, its length matched with its size.
  Result<void> checkStream(StreamId k, const DirEntry& e) {
    const uint32_t S = m_doc.pager().sectorSize();
    uint64_t want = (e.size + S - 1) / S;
    auto got = claimChain(e.start, want, "stream", k);
    TRY(got.error);
    if (!got.walked || got.length == want || m_chainsOnly) return {};
    return found(DAMAGE(STG_E_DOCFILECORRUPT, Chain, m_doc.dir().entryPlace(k),
                        "stream %u: chain of %llu sectors for %llu bytes", k,
                        (unsigned long long)got.length, (unsigned long long)e.size),
                 got.length < want ? kLoses : kSteps);
  }

  // A stream in the mini stream: its mini chain walked, matched with its
  // size, and each mini sector claimed once.
  Result<void> checkMiniStream(StreamId k, const DirEntry& e) {
    uint64_t want = (e.size + kMiniSectorSize - 1) / kMiniSectorSize;
    auto chain = m_doc.miniFat().walk(e.start, want + 1);
    if (!chain) {
      Error err = chain.error();
      if (err.where.entry == base::Where::kNone32) err.where.entry = k;
      auto head = m_doc.miniFat().walk(e.start, want);
      return found(err, head && head->size() == want ? kSteps : kLoses);
    }
    if (chain->size() != want && !m_chainsOnly)
      TRY(found(DAMAGE(STG_E_DOCFILECORRUPT, Chain, m_doc.dir().entryPlace(k),
                       "stream %u: mini chain of %zu for %llu bytes", k, chain->size(),
                       (unsigned long long)e.size),
                chain->size() < want ? kLoses : kSteps));
    for (uint32_t m : *chain) {
      if (m >= m_miniOwner.size()) break;
      if (m_miniOwner[m])
        TRY(found(DAMAGE(STG_E_DOCFILECORRUPT, Chain, ofEntry(k).inSector(m, "mini"),
                         "mini sector %u is in two chains (stream %u)", m, k),
                  kLoses));
      m_miniOwner[m] = true;
    }
    return {};
  }

  // Sectors the FAT allocates that no chain or table claimed. Lost sectors
  // are counted, not listed: a damaged chain leaves its whole tail lost.
  Result<void> checkLostSectors() {
    const uint32_t shift = m_doc.pager().sectorShift();
    uint64_t lost = 0, first = 0;
    for (uint64_t s = 0; s < m_sectors; ++s) {
      if (m_owner[s]) continue;
      ASSIGN(v, m_doc.fat().entry(SectorId(s)));
      bool rangeLock = SectorId(s) == SectorId((kRangeLockOffset >> shift) - 1);
      if (v != kFreeSect && !rangeLock) {
        if (!m_findings)
          return DAMAGE(STG_E_DOCFILECORRUPT, Allocation,
                        inSector(SectorId(s)).at(sectorOffset(SectorId(s), shift)),
                        "sector %llu is allocated but in no chain", (unsigned long long)s);
        if (lost++ == 0) first = s;
      }
    }
    if (!lost) return {};
    return found(
        DAMAGE(STG_E_DOCFILECORRUPT, Allocation,
               inSector(SectorId(first)).at(sectorOffset(SectorId(first), shift)),
               "%llu sector%s allocated but in no chain, the first sector %llu",
               (unsigned long long)lost, lost == 1 ? " is" : "s are", (unsigned long long)first),
        kOdd);
  }

  // Allocated directory entries out of the tree.
  Result<void> checkUnreachableEntries() {
    const Directory& dir = m_doc.dir();
    for (StreamId sid = 1; sid < dir.count(); ++sid)
      if (!dir.reachable(sid) && dir.entry(sid).type != EntryType::Unused && !steppedOver(sid))
        // Producers leave such entries behind; in a damaged directory they
        // are what the damage cut off.
        TRY(found(DAMAGE(STG_E_DOCFILECORRUPT, Directory, dir.entryPlace(sid),
                         "directory entry %u is allocated but unreachable", sid),
                  dir.damaged() ? kSteps : kOdd));
    return {};
  }

  // A finding: kept when collecting (the check goes on), else the error.
  Result<void> found(Error e, Severity severity) {
    if (!m_findings) return e;
    m_findings->push_back(Finding{severity, std::move(e)});
    return {};
  }

  bool steppedOver(StreamId sid) const {
    for (const Error& e : m_doc.dir().steppedOver())
      if (e.where.entry == sid) return true;
    return false;
  }

  Result<void> claim(SectorId s, const char* what, uint32_t mark) {
    const uint32_t shift = m_doc.pager().sectorShift();
    if (s >= m_owner.size())
      return found(DAMAGE(STG_E_DOCFILECORRUPT, Allocation, inSector(s),
                          "%s sector %u outside the file", what, s),
                   kLoses);
    if (m_owner[s])
      return found(DAMAGE(STG_E_DOCFILECORRUPT, Allocation, inSector(s).at(sectorOffset(s, shift)),
                          "sector %u (%s) is used twice", s, what),
                   kLoses);
    m_owner[s] = 1;
    ASSIGN(v, m_doc.fat().entry(s));
    if (v != mark)
      return found(DAMAGE(STG_E_DOCFILECORRUPT, Allocation, inSector(s).at(sectorOffset(s, shift)),
                          "%s sector %u is marked 0x%08X", what, s, v),
                   kOdd);
    return {};
  }

  struct Claimed {
    uint64_t length = 0;
    bool walked = false;  // the walk ended soundly
    Result<void> error;   // what ends the check
  };

  // Walks and claims a chain. A walk that fails (loop, out of range, a
  // reserved value) is a finding of its own; the sectors walked before it
  // are claimed either way.
  Claimed claimChain(SectorId start, uint64_t limit, const char* what, StreamId sid) {
    Claimed out;
    // The usual chain in one pass, claimed as it is walked: it ends soundly,
    // within what its size allows, over sectors nothing has claimed. Any
    // other is unclaimed again and walked the careful way below, which
    // names what it meets. A 200 MB stream is 400,000 sectors.
    Fat& fat = m_doc.fat();
    const auto [visited, sound] = fat.follow(start, m_owner.size(), [&](SectorId s, uint32_t n) {
      uint8_t* run = m_owner.data() + s;
      if (std::memchr(run, 1, n)) return false;
      std::memset(run, 1, n);
      return true;
    });
    if (sound && !(limit != UINT64_MAX && visited > limit && m_strict && !sid)) {
      out.walked = true;
      out.length = visited;
      return out;
    }
    // The sectors visited are distinct and were unclaimed.
    (void)fat.follow(start, visited, [&](SectorId s, uint32_t n) {
      std::memset(m_owner.data() + s, 0, n);
      return true;
    });
    std::vector<SectorId>& chain = m_chain;
    // Room for the chain its size asks for, bounded by the file, so a long
    // stream's walk does not regrow and copy its list a step at a time.
    if (limit != UINT64_MAX)
      chain.reserve(size_t(std::min<uint64_t>(limit + 1, m_owner.size() + 1)));
    auto walked = m_doc.fat().walkInto(start, m_owner.size() + 1, what, chain);
    if (!walked) {
      Error e = walked.error();
      if (sid) e.where.entry = sid;
      out.error = found(std::move(e), pastItsSize(start, limit, what) ? kSteps : kLoses);
      if (!out.error) return out;
    } else {
      out.walked = true;
    }
    if (limit != UINT64_MAX && chain.size() > limit && m_strict && out.walked) {
      // Counted as a finding by the caller for streams.
      if (!sid) {
        out.error = found(DAMAGE(STG_E_DOCFILECORRUPT, Chain, where(),
                                 "%s chain of %zu sectors is longer than its %llu", what,
                                 chain.size(), (unsigned long long)limit),
                          kSteps);
        if (!out.error) return out;
      }
    }
    for (size_t i = 0; i < chain.size(); ++i) {
      const SectorId s = chain[i];
      if (s >= m_owner.size()) break;
      if (m_owner[s]) {
        // Past the size, the reader never reads the shared sector as this
        // stream's.
        out.error = found(DAMAGE(STG_E_DOCFILECORRUPT, Chain,
                                 (sid ? ofEntry(sid) : where())
                                     .inSector(s)
                                     .at(sectorOffset(s, m_doc.pager().sectorShift())),
                                 "sector %u (%s) is used twice", s, what),
                          i < limit ? kLoses : kSteps);
        if (!out.error) return out;
        continue;
      }
      m_owner[s] = 1;
    }
    out.length = chain.size();
    return out;
  }

  // Whether the chain from `start` holds the `limit` sectors its size asks
  // for soundly, so that damage met past them is never read.
  bool pastItsSize(SectorId start, uint64_t limit, const char* what) {
    if (limit == UINT64_MAX || limit == 0) return false;
    std::vector<SectorId> head;
    auto walked = m_doc.fat().walkInto(start, limit, what, head);
    return walked && head.size() == limit;
  }

  // Ordered always; red-black (black root, no red-red, equal black height)
  // in strict mode. The reader relies on neither, so both are oddities.
  Result<void> checkTree(StreamId storage) {
    Directory& dir = m_doc.dir();
    StreamId top = dir.entry(storage).child;
    if (top == kNoStream || top >= dir.count()) return {};
    bool walked = true;
    TRY(checkOrder(storage, top, walked));
    if (!walked || !m_strict) return {};
    return checkRedBlack(storage, top);
  }

  // In-order walk with an explicit stack, checking order as it goes.
  // `walked` stays true when the walk met neither a loop, a link out of the
  // directory nor a name out of order: only such a tree is worth more checks.
  Result<void> checkOrder(StreamId storage, StreamId top, bool& walked) {
    Directory& dir = m_doc.dir();
    auto stop = [&](Error e, Severity severity) {
      walked = false;
      return found(std::move(e), severity);
    };
    std::vector<StreamId> order;
    std::vector<StreamId> stack;
    StreamId cur = top;
    size_t steps = 0;
    while (cur != kNoStream || !stack.empty()) {
      if (++steps > 4 * dir.count() + 4)
        return stop(DAMAGE(STG_E_DOCFILECORRUPT, Directory, dir.entryPlace(storage),
                           "tree of entry %u does not end", storage),
                    kSteps);
      while (cur != kNoStream) {
        if (++steps > 4 * dir.count() + 4)
          return stop(DAMAGE(STG_E_DOCFILECORRUPT, Directory, dir.entryPlace(storage),
                             "tree of entry %u does not end", storage),
                      kSteps);
        if (cur >= dir.count())
          return stop(DAMAGE(STG_E_DOCFILECORRUPT, Directory, dir.entryPlace(storage),
                             "tree of entry %u links to entry %u", storage, cur),
                      kSteps);
        stack.push_back(cur);
        cur = dir.entry(cur).left;
      }
      cur = stack.back();
      stack.pop_back();
      if (!order.empty() && compareNames(dir.entry(order.back()).name, dir.entry(cur).name) >= 0)
        return stop(DAMAGE(STG_E_DOCFILECORRUPT, Directory, dir.entryPlace(cur),
                           "tree of entry %u is out of name order at entry %u", storage, cur),
                    kOdd);
      order.push_back(cur);
      cur = dir.entry(cur).right;
    }
    return {};
  }

  // A black top, no red entry under a red one, one black height.
  Result<void> checkRedBlack(StreamId storage, StreamId top) {
    Directory& dir = m_doc.dir();
    if (dir.entry(top).color != 1)
      return found(DAMAGE(STG_E_DOCFILECORRUPT, Directory, dir.entryPlace(top),
                          "tree of entry %u has a red top", storage),
                   kOdd);
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
      if (hl != hr)
        return found(
            DAMAGE(STG_E_DOCFILECORRUPT, Directory, dir.entryPlace(sid),
                   "tree of entry %u: entry %u has black heights %d and %d", storage, sid, hl, hr),
            kOdd);
      if (e.color == 0) {
        for (StreamId c : {e.left, e.right})
          if (c != kNoStream && dir.entry(c).color == 0)
            return found(
                DAMAGE(STG_E_DOCFILECORRUPT, Directory, dir.entryPlace(sid),
                       "tree of entry %u: red entries %u and %u in a row", storage, sid, c),
                kOdd);
      }
      height[sid] = hl + (e.color == 1 ? 1 : 0);
    }
    return {};
  }

  Document& m_doc;
  bool m_strict;
  bool m_chainsOnly;
  std::vector<Finding>* m_findings;
  std::vector<uint8_t> m_owner;   // one byte a sector: claimed by a chain or table
  std::vector<SectorId> m_chain;  // claimChain's walk, its room kept
  std::vector<bool> m_miniOwner;
  uint64_t m_sectors = 0;         // sectors in use when the check began
  uint64_t m_miniFatSectors = 0;  // the mini FAT chain's length
  bool m_miniUsable = true;       // the mini FAT loaded
};

// A borrowed view of a file: the checker must not close it.
class Borrowed final : public File {
 public:
  explicit Borrowed(File& f) : m_f(f) {}
  Result<size_t> readAt(uint64_t o, std::span<uint8_t> out) override { return m_f.readAt(o, out); }
  Result<void> writeAt(uint64_t, std::span<const uint8_t>) override {
    return base::makeError(STG_E_ACCESSDENIED, "read-only");
  }
  Result<void> sync() override { return {}; }
  Result<uint64_t> size() override { return m_f.size(); }
  Result<void> extend(uint64_t) override {
    return base::makeError(STG_E_ACCESSDENIED, "read-only");
  }
  Result<void> discard() override { return base::makeError(STG_E_ACCESSDENIED, "read-only"); }
  Result<bool> tryLock(uint64_t, bool) override { return true; }
  Result<bool> heldByOthers(uint64_t, bool) override { return false; }
  void unlock(uint64_t) override {}

 private:
  File& m_f;
};

}  // namespace

Result<void> checkIntegrity(File& file, bool strict) {
  ASSIGN(doc, Document::open(std::make_unique<Borrowed>(file), false));
  Checker c(*doc, strict ? Depth::Strict : Depth::Sound);
  return c.run();
}

std::vector<Finding> surveyIntegrity(File& file) {
  std::vector<Finding> findings;
  auto doc = Document::open(std::make_unique<Borrowed>(file), false);
  if (!doc) {
    findings.push_back(Finding{Severity::LosesData, doc.error()});
    return findings;
  }
  Checker c(**doc, Depth::Strict, &findings);
  if (auto r = c.run(); !r) findings.push_back(Finding{Severity::LosesData, r.error()});
  const Directory& dir = (*doc)->dir();
  for (Finding& f : findings) {
    StreamId sid = f.error.where.entry;
    if (sid == base::Where::kNone32 || sid == 0 || sid >= dir.count()) continue;
    // Up the tree to the root; an entry out of the tree keeps its own name.
    std::u16string path = dir.entry(sid).name;
    for (StreamId up = dir.parentOf(sid), steps = 0;
         up != kNoStream && up != 0 && steps < dir.count(); up = dir.parentOf(up), ++steps)
      path.insert(0, dir.entry(up).name + u'/');
    f.path = std::move(path);
  }
  return findings;
}

Result<void> checkChains(Document& doc) { return Checker(doc, Depth::Chains).run(); }

}  // namespace velmora::cfb
