// Damaged and hostile files: build a document in memory, overwrite one
// field, reopen, expect the platform's code, never a crash or a hang; and
// the producer mistakes that readers must accept.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>

#include "base/little_endian.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/cfb/fault_files.h"
#include "tests/support/cfb_fields.h"

namespace velmora::cfb::test {
namespace {

using velmora::test::EntryField;
using velmora::test::HeaderField;
namespace header = velmora::test::header;
namespace entry = velmora::test::entry;

// A small version 3 or 4 document and the offsets of its structures.
struct Image {
  std::vector<uint8_t> bytes;
  uint32_t S = 512;

  static Image build(int version) {
    auto disk = std::make_shared<DiskState>();
    IStorage* stg = nullptr;
    EXPECT_EQ(createStorageOnFile(std::make_unique<CrashFile>(disk), version, &stg), S_OK);
    EXPECT_EQ(putStream(stg, u"Mini", pattern(300, 1)), S_OK);
    EXPECT_EQ(putStream(stg, u"Big", pattern(9000, 2)), S_OK);
    IStorage* sub = nullptr;
    EXPECT_EQ(stg->CreateStorage(u"Sub", 0x12, 0, 0, &sub), S_OK);
    EXPECT_EQ(putStream(sub, u"Inner", pattern(50, 3)), S_OK);
    sub->Release();
    stg->Release();
    Image im;
    im.bytes = disk->durable;
    im.S = version == 4 ? 4096 : 512;
    return im;
  }
  uint32_t u32(size_t at) const { return base::loadLE32(&bytes[at]); }
  void put32(size_t at, uint32_t v) { base::storeLE32(&bytes[at], v); }
  // A header field, and a field of directory entry `sid`.
  uint32_t get(HeaderField f) const { return uint32_t(velmora::test::fieldValue(bytes, f)); }
  void corrupt(HeaderField f, uint64_t v) { velmora::test::corruptField(bytes, f, v); }
  uint32_t get(uint32_t sid, EntryField f) const {
    return uint32_t(velmora::test::fieldValue(bytes, entry(sid), f));
  }
  void corrupt(uint32_t sid, EntryField f, uint64_t v) {
    velmora::test::corruptField(bytes, entry(sid), f, v);
  }
  size_t sector(uint32_t id) const { return size_t(id + 1) * S; }
  uint32_t fat(uint32_t id) const { return u32(sector(get(header::difat(0))) + 4 * id); }
  size_t fatSlot(uint32_t id) const { return sector(get(header::difat(0))) + 4 * id; }
  // Offset of directory entry `sid` (follows the directory chain).
  size_t entry(uint32_t sid) const {
    uint32_t s = get(header::kFirstDirSector);
    for (uint32_t k = 0; k < sid / (S / kDirEntrySize); ++k) s = fat(s);
    return sector(s) + (sid % (S / kDirEntrySize)) * kDirEntrySize;
  }
  uint32_t find(const std::u16string& name) const {
    for (uint32_t sid = 0; sid < 16; ++sid) {
      uint32_t len = get(sid, entry::kNameLength);
      std::u16string n;
      for (uint32_t i = 0; i + 1 < len / 2; ++i)
        n.push_back(char16_t(get(sid, entry::nameUnit(i))));
      if (n == name) return sid;
    }
    return kNoStream;
  }
};

// The first failure of a read, and the reason the engine left for it.
struct Outcome {
  HRESULT hr = S_OK;
  std::string reason;
};

// Opens the image and reads everything; returns the first failure.
Outcome openAndRead(const std::vector<uint8_t>& bytes) {
  (void)base::takeReason();
  IStorage* stg = nullptr;
  HRESULT hr = openStorageOnFile(std::make_unique<MemoryFile>(bytes),
                                 STGM_READ | STGM_SHARE_EXCLUSIVE, &stg);
  if (FAILED(hr)) return {hr, base::takeReason()};
  Tree t;
  hr = readTree(stg, u"", t);
  std::string reason = FAILED(hr) ? base::takeReason() : std::string();
  stg->Release();
  return {hr, reason};
}

// Runs under a watchdog so a hang fails instead of blocking the run.
Outcome guardedOutcome(const std::vector<uint8_t>& bytes) {
  auto f = std::async(std::launch::async, [&] { return openAndRead(bytes); });
  if (f.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "open did not finish";
    std::abort();
  }
  return f.get();
}

HRESULT guarded(const std::vector<uint8_t>& bytes) { return guardedOutcome(bytes).hr; }

struct Poke {
  const char* what;
  void (*apply)(Image&);
  HRESULT expected;
  // What the refusal's reason says: the check that fired and what it found.
  const char* reason = "";
  // What the integrity survey says, where its check differs from the read's.
  const char* surveyed = nullptr;
};

const Poke kPokes[] = {
    {"signature", [](Image& m) { m.bytes[0] = 0; }, STG_E_FILEALREADYEXISTS,
     "not a compound file (no signature)"},
    {"byte order", [](Image& m) { m.corrupt(header::kByteOrder, 0xFEFF); }, STG_E_INVALIDHEADER,
     "byte order mark 0xFEFF, expected 0xFFFE (offset 0x1C)"},
    {"major version", [](Image& m) { m.corrupt(header::kMajorVersion, 5); }, STG_E_INVALIDHEADER,
     "major version 5 with sector shift"},
    {"sector shift 31", [](Image& m) { m.corrupt(header::kSectorShift, 31); }, STG_E_INVALIDHEADER,
     "with sector shift 31 (offset 0x1A)"},
    {"sector shift 0", [](Image& m) { m.corrupt(header::kSectorShift, 0); }, STG_E_INVALIDHEADER,
     "with sector shift 0 (offset 0x1A)"},
    {"mini sector shift", [](Image& m) { m.corrupt(header::kMiniSectorShift, 7); },
     STG_E_INVALIDHEADER, "mini sector shift 7, expected 6 (offset 0x20)"},
    {"FAT count past the file", [](Image& m) { m.corrupt(header::kNumFatSectors, 0x10000000); },
     STG_E_INVALIDHEADER, "header counts (FAT 268435456,"},
    {"DIFAT entry past the file", [](Image& m) { m.corrupt(header::difat(0), 0x00FFFFFF); },
     STG_E_DOCFILECORRUPT, "header DIFAT lists FAT sector 16777215; the file has"},
    {"directory start past the file",
     [](Image& m) { m.corrupt(header::kFirstDirSector, 0x00FFFFFF); }, STG_E_DOCFILECORRUPT,
     "directory chain reaches sector 16777215"},
    {"FAT sector listed twice",
     [](Image& m) {
       m.corrupt(header::kNumFatSectors, 2);
       m.corrupt(header::difat(1), m.get(header::difat(0)));
     },
     STG_E_DOCFILECORRUPT, "is listed twice among the FAT and DIFAT sectors"},
    {"directory chain loops",
     [](Image& m) {
       m.put32(m.fatSlot(m.get(header::kFirstDirSector)), m.get(header::kFirstDirSector));
     },
     STG_E_DOCFILECORRUPT, "directory chain loops at sector"},
    {"directory chain runs into the FAT",
     [](Image& m) { m.put32(m.fatSlot(m.get(header::kFirstDirSector)), m.get(header::difat(0))); },
     STG_E_DOCFILECORRUPT, "has FAT value 0xFFFFFFFD"},
    {"root is not a root", [](Image& m) { m.corrupt(0, entry::kType, 1); }, STG_E_DOCFILECORRUPT,
     "directory entry 0 has type 1, not root (directory sector"},
    {"big stream chain loops",
     [](Image& m) {
       uint32_t s = m.get(m.find(u"Big"), entry::kStart);
       m.put32(m.fatSlot(m.fat(s)), s);
     },
     STG_E_DOCFILECORRUPT, "stream Big: stream chain loops at sector 1 (entry 2, FAT sector",
     "stream chain loops at sector 1 (entry 2, FAT sector"},
    {"big stream chain ends early",
     [](Image& m) {
       uint32_t s = m.get(m.find(u"Big"), entry::kStart);
       m.put32(m.fatSlot(s), kEndOfChain);
     },
     STG_E_DOCFILECORRUPT, "stream Big: read at", "stream 2: chain of 1 sectors for 9000 bytes"},
    {"big stream chain has FREESECT",
     [](Image& m) {
       uint32_t s = m.get(m.find(u"Big"), entry::kStart);
       m.put32(m.fatSlot(s), kFreeSect);
     },
     STG_E_DOCFILECORRUPT, "stream Big: stream chain: sector 1 has FAT value 0xFFFFFFFF (entry 2",
     "stream chain: sector 1 has FAT value 0xFFFFFFFF (entry 2"},
    {"stream size beyond the file",
     [](Image& m) { m.corrupt(m.find(u"Big"), entry::kSizeLow, 0x7FFFFFF0); }, STG_E_DOCFILECORRUPT,
     "stream Big: read at", "stream 2: chain of "},
    {"mini stream start past the file",
     [](Image& m) { m.corrupt(m.find(u"Mini"), entry::kStart, 0x0FFFFFFF); }, STG_E_DOCFILECORRUPT,
     "stream Mini: mini chain reaches mini sector 268435455",
     "mini chain reaches mini sector 268435455; the mini stream has 6 (entry 1)"},
    {"mini FAT start past the file",
     [](Image& m) { m.corrupt(header::kFirstMiniFatSector, 0x0FFFFFFF); }, STG_E_DOCFILECORRUPT,
     "mini FAT chain reaches sector 268435455"},
    {"reserved FAT value in a chain",
     [](Image& m) {
       uint32_t s = m.get(m.find(u"Big"), entry::kStart);
       m.put32(m.fatSlot(s), 0xFFFFFFFB);
     },
     STG_E_DOCFILECORRUPT, "has FAT value 0xFFFFFFFB (entry 2"},
};

class HostileField : public ::testing::TestWithParam<std::tuple<int, size_t>> {};

TEST_P(HostileField, IsRefusedWithTheRightCodeAndItsOwnReason) {
  auto [version, index] = GetParam();
  const Poke& p = kPokes[index];
  Image m = Image::build(version);
  ASSERT_EQ(guarded(m.bytes), S_OK);
  p.apply(m);
  Outcome got = guardedOutcome(m.bytes);
  EXPECT_EQ(got.hr, p.expected) << p.what;
  EXPECT_NE(got.reason.find(p.reason), std::string::npos) << p.what << ": " << got.reason;
}

INSTANTIATE_TEST_SUITE_P(Fields, HostileField,
                         ::testing::Combine(::testing::Values(3, 4),
                                            ::testing::Range(size_t(0), std::size(kPokes))));

// Damage a reader can live with, since it reads only what the sizes ask
// for or steps over directory entries it cannot use, but a writer would
// spread: a writable open refuses it.
const Poke kUnsafeToWrite[] = {
    {"child link past the directory", [](Image& m) { m.corrupt(0, entry::kChild, 5000); },
     STG_E_DOCFILECORRUPT, "directory entry 0 links to entry 5000 of"},
    {"sibling loop",
     [](Image& m) {
       uint32_t top = m.get(0, entry::kChild);
       m.corrupt(top, entry::kLeft, top);
     },
     STG_E_DOCFILECORRUPT, "links to entry 3, which is already in a tree"},
    {"child points back at the root",
     [](Image& m) {
       uint32_t sub = m.find(u"Sub");
       m.corrupt(sub, entry::kChild, 0);
     },
     STG_E_DOCFILECORRUPT, "directory entry 3 links to entry 0, which is already in a tree"},
    {"node shared by two storages",
     [](Image& m) {
       uint32_t sub = m.find(u"Sub");
       m.corrupt(sub, entry::kChild, m.find(u"Big"));
     },
     STG_E_DOCFILECORRUPT, "directory entry 3 links to entry 2, which is already in a tree"},
    {"reachable entry of type 7", [](Image& m) { m.corrupt(m.find(u"Big"), entry::kType, 7); },
     STG_E_DOCFILECORRUPT, "directory entry 2 has type 7 (directory sector"},
    {"reachable stream without a name",
     [](Image& m) { m.corrupt(m.find(u"Big"), entry::kNameLength, 0); }, STG_E_DOCFILECORRUPT,
     "directory entry 2 has no name (directory sector"},
    {"mini chains cross-linked",
     [](Image& m) {
       m.corrupt(m.find(u"Inner"), entry::kStart, m.get(m.find(u"Mini"), entry::kStart));
     },
     STG_E_DOCFILECORRUPT, "mini sector 0 is in two chains"},
    {"mini chain loops past its size",
     [](Image& m) {
       uint32_t first = m.get(m.find(u"Mini"), entry::kStart), last = first;
       size_t miniFat = m.sector(m.get(header::kFirstMiniFatSector));
       for (int i = 0; i < 4; ++i) last = m.u32(miniFat + 4 * last);
       m.put32(miniFat + 4 * last, first);
     },
     STG_E_DOCFILECORRUPT, "mini chain loops at mini sector"},
    {"stream chain runs on into the directory",
     [](Image& m) {
       uint32_t s = m.get(m.find(u"Big"), entry::kStart);
       while (m.fat(s) != kEndOfChain) s = m.fat(s);
       m.put32(m.fatSlot(s), m.get(header::kFirstDirSector));
     },
     STG_E_DOCFILECORRUPT, "(stream) is used twice (entry 2"},
    {"stream chain runs on past the file",
     [](Image& m) {
       uint32_t s = m.get(m.find(u"Big"), entry::kStart);
       while (m.fat(s) != kEndOfChain) s = m.fat(s);
       m.put32(m.fatSlot(s), 0x00FFFFFF);
     },
     STG_E_DOCFILECORRUPT, "stream chain reaches sector 16777215; the file has"},
    // The first sector past the end has its entry in the same FAT sector
    // as the file's last ones, which the walk reads in one go.
    {"stream chain runs on just past the file",
     [](Image& m) {
       uint32_t s = m.get(m.find(u"Big"), entry::kStart);
       while (m.fat(s) != kEndOfChain) s = m.fat(s);
       m.put32(m.fatSlot(s), uint32_t(m.bytes.size() / m.S - 1));
     },
     STG_E_DOCFILECORRUPT, "stream chain reaches sector"},
    // The check takes a run of consecutive sectors at once: a chain that
    // comes back into the middle of its own run is still seen to loop.
    {"stream chain comes back into its own run",
     [](Image& m) {
       uint32_t start = m.get(m.find(u"Big"), entry::kStart), s = start;
       while (m.fat(s) != kEndOfChain) s = m.fat(s);
       m.put32(m.fatSlot(s), start + 1);
     },
     STG_E_DOCFILECORRUPT, "stream chain loops at sector"},
};

class UnsafeToWrite : public ::testing::TestWithParam<std::tuple<int, size_t>> {};

TEST_P(UnsafeToWrite, ReadsButRefusesAWriter) {
  auto [version, index] = GetParam();
  const Poke& p = kUnsafeToWrite[index];
  Image m = Image::build(version);
  p.apply(m);
  EXPECT_EQ(guarded(m.bytes), S_OK) << p.what << ": reads stay lenient";
  IStorage* stg = nullptr;
  (void)base::takeReason();
  EXPECT_EQ(openStorageOnFile(std::make_unique<MemoryFile>(m.bytes),
                              STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &stg),
            p.expected)
      << p.what;
  std::string reason = base::takeReason();
  EXPECT_NE(reason.find(p.reason), std::string::npos) << p.what << ": " << reason;
  if (stg) stg->Release();
}

INSTANTIATE_TEST_SUITE_P(Fields, UnsafeToWrite,
                         ::testing::Combine(::testing::Values(3, 4),
                                            ::testing::Range(size_t(0),
                                                             std::size(kUnsafeToWrite))));

// A directory entry of an unknown type in the middle of the root's tree and
// a link to an entry that does not exist: other readers step over both and
// serve the rest, so the engine reads what stays reachable too.
TEST(DamagedDirectory, ReadsWhatStaysReachableAndRefusesAWriter) {
  for (int version : {3, 4}) {
    SCOPED_TRACE(version);
    Image m = Image::build(version);
    uint32_t top = m.get(0, entry::kChild);
    m.corrupt(top, entry::kType, 0xFF);
    m.corrupt(m.find(u"Inner"), entry::kRight, 70000);
    std::u16string lost;
    for (const char16_t* name : {u"Mini", u"Big", u"Sub"})
      if (m.find(name) == top) lost = name;

    IStorage* stg = nullptr;
    ASSERT_EQ(openStorageOnFile(std::make_unique<MemoryFile>(m.bytes),
                                STGM_READ | STGM_SHARE_EXCLUSIVE, &stg),
              S_OK);
    Tree t;
    EXPECT_EQ(readTree(stg, u"", t), S_OK);
    stg->Release();
    Tree want = {{u"Mini", pattern(300, 1)},
                 {u"Big", pattern(9000, 2)},
                 {u"Sub", kStorageMark},
                 {u"Sub/Inner", pattern(50, 3)}};
    if (lost == u"Sub") want.erase(u"Sub/Inner");
    want.erase(lost);
    EXPECT_EQ(t, want) << "the entry at the top of the tree, "
                       << std::string(lost.begin(), lost.end()) << ", is the only one lost";

    EXPECT_EQ(openStorageOnFile(std::make_unique<MemoryFile>(m.bytes),
                                STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &stg),
              STG_E_DOCFILECORRUPT);
    MemoryFile file(m.bytes);
    auto check = checkIntegrity(file, false);
    ASSERT_FALSE(check);
    EXPECT_EQ(check.error().code, STG_E_DOCFILECORRUPT);
  }
}

// A chain walk that fails on a loop must leave nothing behind that the
// next walk of the same open would take for a loop of its own: here the
// stream's chain loops through the mini stream's only sector, whose own
// walk (one sector long) is sound.
TEST(HostileFile, AFailedChainWalkLeavesTheOtherStreamsReadable) {
  for (int version : {3, 4}) {
    SCOPED_TRACE(version);
    Image m = Image::build(version);
    uint32_t b0 = m.get(m.find(u"Big"), entry::kStart);
    uint32_t m0 = m.get(0, entry::kStart);
    ASSERT_EQ(m.fat(m0), kEndOfChain);
    m.put32(m.fatSlot(b0), m0);
    m.put32(m.fatSlot(m0), b0);
    IStorage* stg = nullptr;
    ASSERT_EQ(openStorageOnFile(std::make_unique<MemoryFile>(m.bytes),
                                STGM_READ | STGM_SHARE_EXCLUSIVE, &stg),
              S_OK);
    for (int round = 0; round < 2; ++round) {
      IStream* big = nullptr;
      HRESULT hr = stg->OpenStream(u"Big", nullptr, 0x10, 0, &big);
      if (SUCCEEDED(hr)) {
        char buf[512];
        ULONG n = 0;
        hr = big->Read(buf, sizeof buf, &n);
        big->Release();
      }
      EXPECT_EQ(hr, STG_E_DOCFILECORRUPT);
    }
    IStorage* sub = nullptr;
    ASSERT_EQ(stg->OpenStorage(u"Sub", nullptr, 0x10, nullptr, 0, &sub), S_OK);
    Tree t;
    EXPECT_EQ(readTree(sub, u"Sub", t), S_OK);
    EXPECT_EQ(t[u"Sub/Inner"], pattern(50, 3));
    sub->Release();
    IStream* mini = nullptr;
    ASSERT_EQ(stg->OpenStream(u"Mini", nullptr, 0x10, 0, &mini), S_OK);
    std::string data(300, '\0');
    ULONG n = 0;
    EXPECT_EQ(mini->Read(data.data(), 300, &n), S_OK);
    EXPECT_EQ(data, pattern(300, 1));
    mini->Release();
    stg->Release();
  }
}

TEST(HostileFile, TruncationsNeverCrash) {
  for (int version : {3, 4}) {
    Image m = Image::build(version);
    for (size_t len : {size_t(0), size_t(7), size_t(511), size_t(512), size_t(1000),
                       m.bytes.size() / 2, m.bytes.size() - 1}) {
      std::vector<uint8_t> cut(m.bytes.begin(), m.bytes.begin() + len);
      HRESULT hr = guarded(cut);
      if (len < 512)
        EXPECT_EQ(hr, STG_E_FILEALREADYEXISTS) << len;
      else
        EXPECT_TRUE(hr == S_OK || hr == STG_E_INVALIDHEADER || hr == STG_E_DOCFILECORRUPT)
            << len << " " << hr;
    }
  }
}

// What real producers get wrong and readers accept.
const Poke kTolerated[] = {
    {"minor version 0x21", [](Image& m) { m.corrupt(header::kMinorVersion, 0x21); }, S_OK},
    {"cutoff field not 4096", [](Image& m) { m.corrupt(header::kMiniStreamCutoff, 0x2000); }, S_OK},
    {"FREESECT as no DIFAT", [](Image& m) { m.corrupt(header::kFirstDifatSector, kFreeSect); },
     S_OK},
    {"every node red",
     [](Image& m) {
       for (uint32_t sid = 1; sid < 5; ++sid) m.corrupt(sid, entry::kColor, 0);
     },
     S_OK},
    {"colour byte 9", [](Image& m) { m.corrupt(1, entry::kColor, 9); }, S_OK},
    {"root named in lower case", [](Image& m) { m.corrupt(0, entry::nameUnit(0), 'r'); }, S_OK},
    {"stream with times and a class",
     [](Image& m) { m.corrupt(m.find(u"Big"), entry::kClsidFirstByte, 1); }, S_OK},
    {"storage with garbage start and size",
     [](Image& m) {
       m.corrupt(m.find(u"Sub"), entry::kStart, 0x12345678);
       m.corrupt(m.find(u"Sub"), entry::kSizeLow, 0x9999);
     },
     S_OK},
    {"trailing bytes", [](Image& m) { m.bytes.resize(m.bytes.size() + 100, 0xEE); }, S_OK},
    {"name length past the NUL",
     [](Image& m) { m.corrupt(m.find(u"Big"), entry::kNameLength, 64); }, S_OK},
    {"tree out of name order",
     [](Image& m) {
       // "Big" becomes "Zzz": same length, now on the wrong side of its
       // siblings; lookups must not rely on the tree's order.
       uint32_t big = m.find(u"Big");
       m.corrupt(big, entry::nameUnit(0), 'Z'), m.corrupt(big, entry::nameUnit(1), 'z');
       m.corrupt(big, entry::nameUnit(2), 'z');
     },
     S_OK},
};

class ToleratedField : public ::testing::TestWithParam<std::tuple<int, size_t>> {};

TEST_P(ToleratedField, StillOpensAndReads) {
  auto [version, index] = GetParam();
  Image m = Image::build(version);
  kTolerated[index].apply(m);
  EXPECT_EQ(guarded(m.bytes), S_OK) << kTolerated[index].what;
}

INSTANTIATE_TEST_SUITE_P(Fields, ToleratedField,
                         ::testing::Combine(::testing::Values(3, 4),
                                            ::testing::Range(size_t(0), std::size(kTolerated))));

TEST(ToleratedFile, VersionThreeSizeHighWordIsIgnoredAndAShortLastSectorReads) {
  Image m = Image::build(3);
  m.corrupt(m.find(u"Big"), entry::kSizeHigh, 0x6D75636F);
  m.corrupt(0, entry::kSizeHigh, 0x31001E00);
  // Cut the file inside its last sector: the rest reads as zeros.
  m.bytes.resize(m.bytes.size() - 100);
  IStorage* stg = nullptr;
  ASSERT_EQ(openStorageOnFile(std::make_unique<MemoryFile>(m.bytes), 0x10, &stg), S_OK);
  IStream* s = nullptr;
  ASSERT_EQ(stg->OpenStream(u"Big", nullptr, 0x10, 0, &s), S_OK);
  STATSTG st;
  ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, 9000u);
  s->Release();
  Tree t;
  EXPECT_EQ(readTree(stg, u"", t), S_OK);
  stg->Release();
}

// A version 3 document whose FAT outgrows the header's 109 entries, so
// that a DIFAT sector lists the rest of the FAT, and whose big stream's
// chain is longer than a short walk checks against itself.
struct LargeImage {
  std::vector<uint8_t> bytes;
  std::string big = pattern(size_t(8) << 20, 4);

  LargeImage() {
    auto disk = std::make_shared<DiskState>();
    IStorage* stg = nullptr;
    EXPECT_EQ(createStorageOnFile(std::make_unique<CrashFile>(disk), 3, &stg), S_OK);
    EXPECT_EQ(putStream(stg, u"Big", big), S_OK);
    EXPECT_EQ(putStream(stg, u"Mini", pattern(300, 5)), S_OK);
    stg->Release();
    bytes = disk->durable;
  }
  uint32_t u32(size_t at) const { return base::loadLE32(&bytes[at]); }
  void put32(size_t at, uint32_t v) { base::storeLE32(&bytes[at], v); }
  uint32_t get(HeaderField f) const { return uint32_t(velmora::test::fieldValue(bytes, f)); }
  // A field of directory entry `sid`, in the directory's first sector.
  uint32_t get(uint32_t sid, EntryField f) const {
    return uint32_t(velmora::test::fieldValue(
        bytes, sector(get(header::kFirstDirSector)) + sid * kDirEntrySize, f));
  }
  static size_t sector(uint32_t id) { return size_t(id + 1) * 512; }
  uint32_t difatSector() const { return get(header::kFirstDifatSector); }
  // Offset of the `i`-th FAT sector the first DIFAT sector lists.
  size_t difatSlot(uint32_t i) const { return sector(difatSector()) + 4 * i; }
  uint32_t fatSector(uint32_t k) const {
    return k < kHeaderDifatEntries ? get(header::difat(k))
                                   : u32(difatSlot(k - kHeaderDifatEntries));
  }
  size_t fatSlot(uint32_t id) const { return sector(fatSector(id / 128)) + 4 * (id % 128); }
};

TEST(HostileDifat, FatSectorsListedInBothTheHeaderAndADifatSectorAreRefused) {
  LargeImage m;
  ASSERT_GT(m.get(header::kNumFatSectors), kHeaderDifatEntries)
      << "the FAT must outgrow the header";
  ASSERT_NE(m.difatSector(), kEndOfChain);
  EXPECT_EQ(guarded(m.bytes), S_OK);

  LargeImage inHeader = m;
  inHeader.put32(inHeader.difatSlot(5), inHeader.get(header::difat(7)));
  EXPECT_EQ(guarded(inHeader.bytes), STG_E_DOCFILECORRUPT)
      << "a header FAT sector again in the DIFAT";

  LargeImage twice = m;
  twice.put32(twice.difatSlot(9), twice.u32(twice.difatSlot(3)));
  EXPECT_EQ(guarded(twice.bytes), STG_E_DOCFILECORRUPT)
      << "one DIFAT sector lists a FAT sector twice";

  LargeImage itself = m;
  itself.put32(itself.difatSlot(2), itself.difatSector());
  EXPECT_EQ(guarded(itself.bytes), STG_E_DOCFILECORRUPT) << "the DIFAT sector lists itself as FAT";

  // A location past the file's end, after sound ones, is named where it lies.
  LargeImage outside = m;
  outside.put32(outside.difatSlot(4), 0x00FFFFFF);
  auto past = guardedOutcome(outside.bytes);
  EXPECT_EQ(past.hr, STG_E_DOCFILECORRUPT);
  EXPECT_NE(past.reason.find("a DIFAT sector lists FAT sector 16777215"), std::string::npos)
      << past.reason;
  char at[32];
  std::snprintf(at, sizeof at, "offset 0x%zX", LargeImage::sector(m.difatSector()) + 16);
  EXPECT_NE(past.reason.find(at), std::string::npos) << past.reason;
}

TEST(HostileDifat, FatSectorsListedOutOfOrderStillRead) {
  // Two FAT sectors swapped in place and in the DIFAT: the same FAT,
  // listed in an order no producer writes.
  LargeImage m;
  const uint32_t a = m.u32(m.difatSlot(1)), b = m.u32(m.difatSlot(6));
  std::swap_ranges(m.bytes.begin() + std::ptrdiff_t(m.sector(a)),
                   m.bytes.begin() + std::ptrdiff_t(m.sector(a) + 512),
                   m.bytes.begin() + std::ptrdiff_t(m.sector(b)));
  m.put32(m.difatSlot(1), b);
  m.put32(m.difatSlot(6), a);
  IStorage* stg = nullptr;
  ASSERT_EQ(openStorageOnFile(std::make_unique<MemoryFile>(m.bytes),
                              STGM_READ | STGM_SHARE_EXCLUSIVE, &stg),
            S_OK);
  Tree t;
  EXPECT_EQ(readTree(stg, u"", t), S_OK);
  stg->Release();
  EXPECT_TRUE(t[u"Big"] == m.big) << "the big stream reads back exactly";
}

TEST(HostileDifat, ALongChainThatLoopsIsRefused) {
  // Past the length a walk checks against itself, the loop is found by the
  // bitmap: near the chain's end, and back to its start.
  LargeImage m;
  const uint32_t start = m.get(1, entry::kStart);  // sid 1: "Big"
  ASSERT_EQ(m.get(1, entry::kSizeLow), m.big.size()) << "entry 1 is Big";
  std::vector<uint32_t> chain{start};
  for (int i = 0; i < 200; ++i) chain.push_back(m.u32(m.fatSlot(chain.back())));
  LargeImage late = m;
  late.put32(late.fatSlot(chain[150]), chain[100]);
  EXPECT_EQ(guarded(late.bytes), STG_E_DOCFILECORRUPT);
  LargeImage early = m;
  early.put32(early.fatSlot(chain[40]), chain[0]);
  EXPECT_EQ(guarded(early.bytes), STG_E_DOCFILECORRUPT);
}

TEST(HostileFile, FuzzRegressionsReplayCleanly) {
  auto dir = std::filesystem::path(VELMORA_SOURCE_DIR) / "fuzz" / "regressions" / "cfb_open_fuzz";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no regressions yet";
  for (auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().extension() == ".txt") continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    HRESULT hr = guarded(bytes);
    EXPECT_TRUE(hr == S_OK || FAILED(hr)) << e.path();
  }
}

// The integrity survey names every planted fault as damage with the same
// reason, and what producers write as no damage at all.
bool surveyFinds(const Image& m, const char* text, std::optional<Severity> severity,
                 std::string& seen) {
  MemoryFile file(m.bytes);
  bool hit = false;
  for (const Finding& f : surveyIntegrity(file)) {
    seen += "\n  " + std::to_string(int(f.severity)) + " " + f.error.reason();
    if (f.error.reason().find(text) != std::string::npos && f.severity != Severity::Oddity &&
        (!severity || f.severity == *severity))
      hit = true;
  }
  return hit;
}

TEST(IntegritySurvey, NamesEveryPlantedFaultAsDamage) {
  for (int version : {3, 4}) {
    SCOPED_TRACE(version);
    for (const Poke& p : kPokes) {
      Image m = Image::build(version);
      p.apply(m);
      std::string seen;
      EXPECT_TRUE(surveyFinds(m, p.surveyed ? p.surveyed : p.reason, std::nullopt, seen))
          << p.what << seen;
    }
    for (const Poke& p : kUnsafeToWrite) {
      Image m = Image::build(version);
      p.apply(m);
      std::string seen;
      EXPECT_TRUE(surveyFinds(m, p.reason, std::nullopt, seen)) << p.what << seen;
    }
  }
}

template <size_t N>
const Poke& named(const Poke (&table)[N], std::string_view what) {
  for (const Poke& p : table)
    if (what == p.what) return p;
  std::abort();
}

TEST(IntegritySurvey, TellsDamageThatLosesDataFromDamageAReaderStepsOver) {
  const struct {
    const Poke* poke;
    Severity severity;
  } cases[] = {
      {&named(kPokes, "big stream chain loops"), Severity::LosesData},
      {&named(kUnsafeToWrite, "mini chains cross-linked"), Severity::LosesData},
      {&named(kUnsafeToWrite, "child link past the directory"), Severity::SteppedOver},
      {&named(kUnsafeToWrite, "mini chain loops past its size"), Severity::SteppedOver},
      {&named(kUnsafeToWrite, "stream chain runs on past the file"), Severity::SteppedOver},
  };
  for (const auto& c : cases) {
    Image m = Image::build(3);
    c.poke->apply(m);
    std::string seen;
    EXPECT_TRUE(
        surveyFinds(m, c.poke->surveyed ? c.poke->surveyed : c.poke->reason, c.severity, seen))
        << c.poke->what << seen;
  }
}

TEST(IntegritySurvey, FindsNoDamageInWhatProducersWrite) {
  for (int version : {3, 4}) {
    {
      Image m = Image::build(version);
      MemoryFile file(m.bytes);
      EXPECT_TRUE(surveyIntegrity(file).empty()) << "our own writer's file";
    }
    for (const Poke& p : kTolerated) {
      Image m = Image::build(version);
      p.apply(m);
      MemoryFile file(m.bytes);
      for (const Finding& f : surveyIntegrity(file))
        EXPECT_EQ(f.severity, Severity::Oddity)
            << version << " " << p.what << ": " << f.error.reason();
    }
  }
}

// A chain that goes wrong is named for what it does, once: the sectors it
// walked before are its own, not sectors used twice.
TEST(IntegritySurvey, AChainThatGoesWrongIsNotAlsoCalledCrossLinked) {
  const Poke* pokes[] = {&named(kPokes, "big stream chain loops"),
                         &named(kPokes, "directory chain loops"),
                         &named(kUnsafeToWrite, "stream chain runs on past the file")};
  for (const Poke* p : pokes) {
    for (int version : {3, 4}) {
      Image m = Image::build(version);
      p->apply(m);
      MemoryFile file(m.bytes);
      size_t times = 0;
      for (const Finding& f : surveyIntegrity(file)) {
        EXPECT_EQ(f.error.reason().find("used twice"), std::string::npos)
            << p->what << " " << version << ": " << f.error.reason();
        times += f.error.reason().find(p->surveyed ? p->surveyed : p->reason) != std::string::npos;
      }
      EXPECT_EQ(times, 1u) << p->what << " " << version;
    }
  }
}

// A directory of several faults lists each, not only the first, with the
// element it concerns.
TEST(IntegritySurvey, ListsEveryFaultOfADamagedDirectory) {
  Image m = Image::build(3);
  uint32_t big = m.find(u"Big");
  m.corrupt(big, entry::kType, 0xFF);
  uint32_t inner = m.find(u"Inner");
  m.corrupt(inner, entry::kRight, 70000);
  MemoryFile file(m.bytes);
  auto findings = surveyIntegrity(file);
  auto has = [&](const std::string& text) {
    for (const Finding& f : findings)
      if (f.error.reason().find(text) != std::string::npos && f.severity == Severity::SteppedOver)
        return true;
    return false;
  };
  EXPECT_TRUE(has("directory entry " + std::to_string(big) + " has type 255 (directory sector "));
  EXPECT_TRUE(has("directory entry " + std::to_string(inner) + " links to entry 70000 of "));
  for (const Finding& f : findings) {
    if (f.error.where.entry == inner) {
      EXPECT_TRUE(f.path == u"Sub/Inner") << f.error.reason();
    }
  }
}

}  // namespace
}  // namespace velmora::cfb::test

namespace velmora::base {
namespace {

// A value taken from a Result that holds an error stops a debug build at
// once, naming the error, instead of reading an empty optional.
#ifndef NDEBUG
TEST(ResultDeathTest, TheValueOfAFailedResultStopsADebugBuild) {
  Result<int> failed =
      DAMAGE(STG_E_DOCFILECORRUPT, Chain, inSector(7), "chain loops at sector %u", 7u);
  EXPECT_DEATH((void)failed.value(),
               "value\\(\\) of a failed Result: chain loops at sector 7 \\(sector 7\\)");
}
#endif

}  // namespace
}  // namespace velmora::base
