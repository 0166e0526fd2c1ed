// compdoc check as an administrator runs it: every real document of the
// corpus classified and none taken for damaged; each planted fault reported
// as damage with the reason its construction planted, how much it matters
// and what it touches; a tree our own engine wrote passes with status 0.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/support/cfb_fields.h"
#include "tests/support/link_doc.h"
#include "tests/support/process.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct CheckOutcome {
  int status = -1;
  std::vector<json> records;
  std::string err;
};

CheckOutcome check(const std::string& args) {
  Outcome run = runCompdoc("check -q --json " + args);
  CheckOutcome r{run.status, {}, run.err};
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line);) r.records.push_back(json::parse(line));
  return r;
}

void store16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void store32(uint8_t* p, uint32_t v) { store16(p, uint16_t(v)), store16(p + 2, uint16_t(v >> 16)); }

// A document's bytes with the offsets of its structures, to plant faults.
struct Image {
  std::vector<uint8_t> bytes;
  explicit Image(const fs::path& path) : bytes(readFileBytes(path)) {}
  uint32_t get(HeaderField f) const { return uint32_t(fieldValue(bytes, f)); }
  uint32_t S() const { return 1u << get(header::kSectorShift); }
  size_t sector(uint32_t id) const { return size_t(id + 1) * S(); }
  size_t fatSlot(uint32_t id) const { return sector(get(header::difat(0))) + 4 * id; }
  // Directory entry `name` in the first directory sectors (names are UTF-16LE).
  size_t entry(const std::u16string& name) const {
    for (size_t at = sector(get(header::kFirstDirSector)); at + cfb::kDirEntrySize <= bytes.size();
         at += cfb::kDirEntrySize) {
      bool same = fieldValue(bytes, at, entry::kNameLength) == 2 * (name.size() + 1);
      for (size_t i = 0; i < name.size() && same; ++i)
        same = fieldValue(bytes, at, entry::nameUnit(uint32_t(i))) == name[i];
      if (same) return at;
    }
    ADD_FAILURE() << "no such entry";
    return 0;
  }
  void save(const fs::path& path) const {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
};

class CompdocCheckTest : public ::testing::Test {
 protected:
  fs::path propertyDocument(const fs::path& path) {
    writeDocument(
        path, {
                  {FMTID_SummaryInformation,
                   PROPSETFLAG_DEFAULT,
                   {byId(PIDSI_TITLE, pvWide(u"Bracket"))}},
                  {FMTID_DocSummaryInformation, PROPSETFLAG_ANSI, {byId(15, pvNarrow("Fennmark"))}},
                  {FMTID_UserDefinedProperties,
                   PROPSETFLAG_DEFAULT,
                   {byName(u"Project", pvWide(u"Gemini"))}},
              });
    return path;
  }
  fs::path linkDocument(const fs::path& path) {
    std::vector<PoolObject> objects;
    objects.push_back(linkTo(u"_1", fileMoniker(u"C:\\data\\book.xls")));
    objects.push_back(embedding(u"_2"));
    writeLinkDocument(path, std::move(objects));
    return path;
  }
  // Overwrites bytes of stream `path` ("a/b") through the engine.
  void patchStream(const fs::path& doc, const std::vector<std::u16string>& path, uint32_t at,
                   std::vector<uint8_t> bytes) {
    IStorage* stg = nullptr;
    ASSERT_EQ(S_OK, StgOpenStorageEx(widePath(doc).c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                     STGFMT_ANY, 0, nullptr, nullptr, IID_IStorage,
                                     reinterpret_cast<void**>(&stg)));
    std::vector<IStorage*> held{stg};
    for (size_t i = 0; i + 1 < path.size(); ++i) {
      IStorage* child = nullptr;
      ASSERT_EQ(S_OK, held.back()->OpenStorage(path[i].c_str(), nullptr,
                                               STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                               &child));
      held.push_back(child);
    }
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, held.back()->OpenStream(path.back().c_str(), nullptr,
                                            STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stream));
    LARGE_INTEGER to{};
    to.QuadPart = at;
    ASSERT_EQ(S_OK, stream->Seek(to, STREAM_SEEK_SET, nullptr));
    ASSERT_EQ(S_OK, stream->Write(bytes.data(), ULONG(bytes.size()), nullptr));
    stream->Release();
    while (!held.empty()) held.back()->Release(), held.pop_back();
  }

  TempDir m_dir;
};

TEST_F(CompdocCheckTest, EveryPlantedFaultIsReportedAsDamageWithItsReason) {
  struct Fixture {
    const char* name;
    std::function<void(const fs::path&)> plant;
    std::string reason, severity, area, affects;
  };
  const Fixture fixtures[] = {
      {"byte order.doc",
       [&](const fs::path& p) {
         Image m(propertyDocument(p));
         corruptField(m.bytes, header::kByteOrder, 0xFEFF);
         m.save(p);
       },
       "byte order mark 0xFEFF, expected 0xFFFE (offset 0x1C)", "loses-data", "header",
       "attributes,links"},
      {"directory loop.doc",
       [&](const fs::path& p) {
         Image m(propertyDocument(p));
         uint32_t dir = m.get(header::kFirstDirSector);
         store32(&m.bytes[m.fatSlot(dir)], dir);
         m.save(p);
       },
       "directory chain loops at sector ", "loses-data", "chain", "attributes,links"},
      {"entry type.doc",
       [&](const fs::path& p) {
         Image m(propertyDocument(p));
         corruptField(m.bytes, m.entry(u"\005SummaryInformation"), entry::kType, 0xFF);
         m.save(p);
       },
       " has type 255 (directory sector ", "stepped-over", "directory", "attributes"},
      {"summary order.doc",
       [&](const fs::path& p) {
         patchStream(propertyDocument(p), {u"\005SummaryInformation"}, 0, {0xFF, 0xFE});
       },
       "byte order 0xFEFF, not 0xFFFE (byte 0) [\\x05SummaryInformation]", "loses-data",
       "property set", "attributes"},
      {"section count.doc",
       [&](const fs::path& p) {
         patchStream(propertyDocument(p), {u"\005DocumentSummaryInformation"}, 24, {3, 0, 0, 0});
       },
       "section count 3, not 1 or 2 (byte 24)", "loses-data", "property set", "attributes"},
      {"link version.doc",
       [&](const fs::path& p) {
         patchStream(linkDocument(p), {u"ObjectPool", u"_1", u"\001Ole"}, 0, {7, 0, 0, 3});
       },
       "the link object cannot be read: DV_E_CLIPFORMAT (0x8004006A): \\1Ole version 0x03000007 "
       "[ObjectPool/_1]",
       "loses-data", "link", "links"},
  };
  for (const auto& f : fixtures) {
    SCOPED_TRACE(f.name);
    fs::path doc = m_dir.file(f.name);
    f.plant(doc);
    CheckOutcome r = check(shellQuote(doc.string()));
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(doc.string() + ": damaged: ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(f.reason)) << r.err;
    bool found = false;
    for (const json& rec : r.records) {
      EXPECT_EQ("damaged", rec["status"]);
      if (rec["finding"].get<std::string>().find(f.reason) == std::string::npos) continue;
      found = true;
      EXPECT_EQ(f.severity, rec["severity"]) << rec.dump();
      EXPECT_EQ(f.area, rec["area"]) << rec.dump();
      EXPECT_EQ(f.affects, rec["affects"]) << rec.dump();
    }
    EXPECT_TRUE(found) << json(r.records).dump(1);
  }
}

// refs lists the links it can read and names, as a note that leaves the
// status alone, each link object it passed over and why.
TEST_F(CompdocCheckTest, RefsNamesTheLinkObjectsItSkipsAndWhy) {
  fs::path doc = m_dir.file("links.doc");
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(u"_1", fileMoniker(u"C:\\data\\book.xls")));
  objects.push_back(linkTo(u"_2", fileMoniker(u"C:\\data\\plan.doc")));
  writeLinkDocument(doc, std::move(objects));
  patchStream(doc, {u"ObjectPool", u"_2", u"\001Ole"}, 0, {7, 0, 0, 3});
  TempDir scratch;
  int status = -1;
  std::string out = runCommand(shellQuote(compdocPath()) + " refs " + shellQuote(doc.string()) +
                                   " 2>" + shellQuote(scratch.file("err")),
                               status);
  std::ifstream in(scratch.file("err"));
  std::string err(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(0, status) << err;
  EXPECT_EQ(doc.string() + "\tC:\\data\\book.xls\tbook.xls\n", out);
  EXPECT_EQ(
      "compdoc: " + doc.string() +
          ": unreadable link object: ObjectPool/_2: the link object cannot be read: \\1Ole version "
          "0x03000007\n",
      err);
}

TEST_F(CompdocCheckTest, ATreeOurEngineWroteIsSound) {
  fs::create_directories(m_dir.path() / "tree" / "sub");
  propertyDocument(m_dir.path() / "tree" / "a.doc");
  propertyDocument(m_dir.path() / "tree" / "sub" / "b.xls");
  linkDocument(m_dir.path() / "tree" / "sub" / "c.doc");
  CheckOutcome r = check("-r " + shellQuote((m_dir.path() / "tree").string()));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  ASSERT_EQ(3u, r.records.size());
  for (const json& rec : r.records) EXPECT_EQ("sound", rec["status"]) << rec.dump();
}

TEST_F(CompdocCheckTest, EveryCorpusDocumentIsClassifiedAndNoneTakenForDamaged) {
  fs::path corpus = corpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no document corpus (../shared/corpus)";
  CheckOutcome r = check("--ext '*' -j 2 " + shellQuote((corpus / "documents").string()));
  std::map<std::string, std::set<std::string>> statuses;
  for (const json& rec : r.records) statuses[rec["file"]].insert(rec["status"].get<std::string>());
  for (const auto& entry : fs::directory_iterator(corpus / "documents")) {
    std::string file = entry.path().string();
    if (r.err.find(file + ": not a compound document: ") != std::string::npos) {
      EXPECT_EQ(0u, statuses.count(file)) << file;
      continue;
    }
    ASSERT_EQ(1u, statuses[file].size()) << file << ": one status a document";
    const std::string status = *statuses[file].begin();
    EXPECT_TRUE(status == "sound" || status == "odd") << file << " is " << status;
  }
  EXPECT_EQ(std::string::npos, r.err.find(": damaged: ")) << r.err;
  for (const char* name : {"testEXCEL_4.xls", "testWORDML_tableInsideParagraph.doc"})
    EXPECT_NE(std::string::npos, r.err.find(name + std::string(": not a compound document: ")))
        << name;
}

}  // namespace
}  // namespace velmora::test
