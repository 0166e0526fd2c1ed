// compdoc relink --map over a tree, run as an administrator runs it after a
// file-server move: the dry run's plan, the run that follows it, a second
// run with nothing left to do and a copy an interrupted run left behind,
// with an independent reader of the "\1Ole" streams as witness.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "tests/support/link_doc.h"
#include "tests/support/process.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

struct Row {
  std::string file, source, target, status;
  bool operator<(const Row& o) const {
    return std::tie(file, source, target, status) < std::tie(o.file, o.source, o.target, o.status);
  }
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << r.file << " | " << r.source << " | " << r.target << " | " << r.status;
}

class CompdocRelinkTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(m_tree / "sub");
    std::vector<PoolObject> a;
    a.push_back(linkTo(u"_1", fileMoniker(u"\\\\old-srv\\projects\\p1\\part.xls")));
    a.push_back(linkTo(u"_2", fileMoniker(u"C:\\Daten\\Zeichnung.doc")));
    a.push_back(linkTo(u"_3", fileMoniker(u"\\\\OLD-SRV\\Projects\\Ünïcode\\計画.doc")));
    a.push_back(linkTo(u"_4", fileMoniker(u"E:\\outside\\x.doc")));
    a.push_back(embedding(u"_5"));
    writeLinkDocument(m_tree / "a.doc", std::move(a));
    std::vector<PoolObject> b;
    b.push_back(linkTo(u"LNK00000001", fileMoniker(u"//old-srv/projects/b.xls")));
    b.push_back(linkTo(u"LNK00000002", compositeOf(fileMoniker(u"C:\\Daten\\Mappe.xls"),
                                                   itemMoniker(u"!", u"Tabelle1!Z1S1"))));
    writeLinkDocument(m_tree / "sub" / "b.xls", std::move(b), true);
    std::vector<PoolObject> amb;
    amb.push_back(linkTo(u"_1", fileMoniker(u"C:\\Daten\\other.doc")));
    amb.push_back(linkTo(u"_2", fileMoniker(u"C:\\Daten\\same.doc")));
    amb.push_back(linkTo(u"_3", fileMoniker(u"E:\\keep\\same.doc")));
    writeLinkDocument(m_tree / "amb.doc", std::move(amb));
    std::vector<PoolObject> none;
    none.push_back(embedding(u"_1"));
    writeLinkDocument(m_tree / "none.doc", std::move(none));
    // A presentation's links are none the plug-in serves.
    std::vector<PoolObject> slides;
    slides.push_back(linkTo(u"_1", fileMoniker(u"C:\\Daten\\slide.xls")));
    writeLinkDocument(m_tree / "slides.ppt", std::move(slides));
  }

  // The rows of `compdoc relink --json`, sorted, and its exit status.
  std::set<Row> relink(const std::string& options, int& status) {
    std::string command = shellQuote(compdocPath()) +
                          " relink -r -j 2 --json --map '\\\\old-srv\\projects=\\\\nas2\\eng\\"
                          "projects' --map 'C:\\Daten\\=D:\\Archiv\\Daten' " +
                          options + " " + shellQuote(m_tree) + " 2>" +
                          shellQuote(m_tmp.file("err"));
    std::istringstream out(runCommand(command, status));
    std::set<Row> rows;
    for (std::string line; std::getline(out, line);) {
      json j = json::parse(line);
      rows.insert({fs::path(j["file"].get<std::string>()).lexically_relative(m_tree).string(),
                   j["source"], j["target"], j["status"]});
    }
    return rows;
  }

  std::map<fs::path, std::vector<uint8_t>> files() {
    std::map<fs::path, std::vector<uint8_t>> out;
    for (const auto& e : fs::recursive_directory_iterator(m_tree))
      if (e.is_regular_file()) out[e.path()] = readFileBytes(e.path());
    return out;
  }

  json peer(const fs::path& doc) {
    int status = -1;
    std::string out = runCommand("/usr/bin/python3 " +
                                     shellQuote(VELMORA_SOURCE_DIR "/tests/tools/link_peer.py") +
                                     " " + shellQuote(doc) + " 2>/dev/null",
                                 status);
    return status == 0 ? json::parse(out) : json();
  }

  std::set<Row> plan(const std::string& moved) {
    return {
        {"a.doc", "\\\\old-srv\\projects\\p1\\part.xls", "\\\\nas2\\eng\\projects\\p1\\part.xls",
         moved},
        {"a.doc", "C:\\Daten\\Zeichnung.doc", "D:\\Archiv\\Daten\\Zeichnung.doc", moved},
        {"a.doc", "\\\\OLD-SRV\\Projects\\Ünïcode\\計画.doc",
         "\\\\nas2\\eng\\projects\\Ünïcode\\計画.doc", moved},
        {"a.doc", "E:\\outside\\x.doc", "E:\\outside\\x.doc", "unchanged"},
        {"sub/b.xls", "//old-srv/projects/b.xls", "\\\\nas2\\eng\\projects/b.xls", moved},
        {"sub/b.xls", "C:\\Daten\\Mappe.xls!Tabelle1!Z1S1",
         "D:\\Archiv\\Daten\\Mappe.xls!Tabelle1!Z1S1", moved},
        {"amb.doc", "C:\\Daten\\other.doc", "D:\\Archiv\\Daten\\other.doc", "ambiguous"},
        {"amb.doc", "C:\\Daten\\same.doc", "D:\\Archiv\\Daten\\same.doc", "ambiguous"},
        {"amb.doc", "E:\\keep\\same.doc", "E:\\keep\\same.doc", "unchanged"},
    };
  }

  TempDir m_tmp;
  fs::path m_tree = m_tmp.file("tree");
};

TEST_F(CompdocRelinkTreeTest, DryRunThenRunThenNothingLeftToDo) {
  const auto original = files();
  const Snapshot aBefore = snapshot(m_tree / "a.doc");
  int status = -1;
  EXPECT_EQ(plan("would rewrite"), relink("--dry-run", status));
  EXPECT_EQ(1, status) << "the ambiguous document is a failure";
  EXPECT_EQ(original, files()) << "a dry run writes nothing";

  EXPECT_EQ(plan("rewritten"), relink("", status));
  EXPECT_EQ(1, status);
  std::string err;
  {
    std::ifstream in(m_tmp.file("err"));
    err.assign(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_NE(std::string::npos, err.find("amb.doc: ambiguous: same.doc")) << err;
  auto after = files();
  EXPECT_EQ(original.at(m_tree / "amb.doc"), after.at(m_tree / "amb.doc"));
  EXPECT_EQ(original.at(m_tree / "none.doc"), after.at(m_tree / "none.doc"));
  EXPECT_EQ(original.at(m_tree / "slides.ppt"), after.at(m_tree / "slides.ppt"));
  EXPECT_EQ(std::string::npos, err.find("slides.ppt")) << "no failure: " << err;
  EXPECT_NE(std::string::npos, err.find("5 documents (4 served, 1 failed), 9 links")) << err;
  EXPECT_EQ(original.size(), after.size()) << "nothing is left beside the documents";

  // Every other stream of a relinked document is as it was.
  const Snapshot aAfter = snapshot(m_tree / "a.doc");
  for (const auto& [name, bytes] : aBefore.streams) {
    bool rewritten = name == u"ObjectPool/_1/\1Ole" || name == u"ObjectPool/_2/\1Ole" ||
                     name == u"ObjectPool/_3/\1Ole";
    EXPECT_EQ(!rewritten, bytes == aAfter.streams.at(name))
        << std::string(name.begin(), name.end());
  }

  json a = peer(m_tree / "a.doc");
  if (a.is_null()) {
    ADD_FAILURE() << "olefile cannot read the relinked document, or is not installed";
  } else {
    EXPECT_EQ((json{{"ObjectPool/_1", "\\\\nas2\\eng\\projects\\p1\\part.xls"},
                    {"ObjectPool/_2", "D:\\Archiv\\Daten\\Zeichnung.doc"},
                    {"ObjectPool/_3", "\\\\nas2\\eng\\projects\\Ünïcode\\計画.doc"},
                    {"ObjectPool/_4", "E:\\outside\\x.doc"}}),
              a);
    EXPECT_EQ((json{{"LNK00000001", "\\\\nas2\\eng\\projects/b.xls"},
                    {"LNK00000002", "D:\\Archiv\\Daten\\Mappe.xls!Tabelle1!Z1S1"}}),
              peer(m_tree / "sub" / "b.xls"));
  }

  // A second run finds nothing to move and writes nothing.
  std::set<Row> again = relink("", status);
  EXPECT_EQ(1, status);
  for (const Row& r : again) EXPECT_TRUE(r.status == "unchanged" || r.file == "amb.doc") << r;
  EXPECT_EQ(after, files());
}

// A run killed wherever it is, then run again, ends where one whole run
// ends: every document either relinked or as it was, never half of it.
TEST_F(CompdocRelinkTreeTest, AKilledRunRunAgainEndsAsOneRun) {
  auto makeTree = [](const fs::path& root) {
    for (int i = 0; i < 40; ++i) {
      std::vector<PoolObject> objects;
      objects.push_back(linkTo(u"_1", fileMoniker(u"C:\\Daten\\a.xls")));
      objects.push_back(linkTo(u"_2", fileMoniker(u"C:\\Daten\\b.doc")));
      writeLinkDocument(root / ("d" + std::to_string(100 + i) + ".doc"), std::move(objects));
    }
  };
  const fs::path once = m_tmp.file("once"), killed = m_tmp.file("killed");
  fs::create_directories(once);
  makeTree(once);
  fs::copy(once, killed, fs::copy_options::recursive);
  auto run = [&](const fs::path& tree, const std::string& prefix) {
    int status = -1;
    std::string err =
        runCommand(prefix + shellQuote(compdocPath()) + " relink -q -j 1 --map 'C:\\Daten=D:\\x' " +
                       shellQuote(tree) + " 2>&1 >/dev/null",
                   status);
    if (!prefix.empty()) return 0;  // killed wherever it was
    EXPECT_EQ(0, status) << err;
    return status;
  };
  EXPECT_EQ(0, run(once, ""));
  run(killed, "timeout -s KILL 0.5 ");
  EXPECT_EQ(0, run(killed, ""));
  for (const auto& e : fs::directory_iterator(once)) {
    const fs::path twin = killed / e.path().filename();
    ASSERT_TRUE(fs::exists(twin));
    // Stream for stream: the directory's times tell when a document was
    // written, not what it holds.
    EXPECT_TRUE(snapshot(e.path()).streams == snapshot(twin).streams) << twin;
  }
  size_t count = 0;
  for (const auto& e : fs::directory_iterator(killed)) count += e.is_regular_file();
  EXPECT_EQ(40u, count) << "no copy is left behind";
}

TEST_F(CompdocRelinkTreeTest, MapsThatNameNoPrefixAreUsageErrors) {
  const auto original = files();
  for (const char* map : {"C:\\x", "=D:\\y", "C:\\x=D:\\y' --map 'c:/X/=E:\\z"}) {
    int status = -1;
    runCommand(shellQuote(compdocPath()) + " relink --map '" + map + "' " + shellQuote(m_tree) +
                   " 2>/dev/null",
               status);
    EXPECT_EQ(2, status) << map;
  }
  EXPECT_EQ(original, files());
}

}  // namespace
}  // namespace velmora::test
