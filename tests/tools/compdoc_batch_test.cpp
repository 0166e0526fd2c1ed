// compdoc read over folders and lists: every good document read, every bad
// one named once with its reason, the summary, the exit status, and records
// that do not depend on the number of worker threads.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/fifo_watch.h"
#include "tests/support/process.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

Outcome compdoc(const std::string& args, const std::string& input = "") {
  return runCompdoc(args, input);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Holds a document open for writing with exclusive sharing in a child
// process, as another program editing it would.
class Locker {
 public:
  explicit Locker(const fs::path& doc) {
    int ready[2];
    if (pipe(ready) != 0) return;
    m_child = fork();
    if (m_child == 0) {
      IStorage* stg = nullptr;
      std::u16string wpath = doc.u16string();
      HRESULT hr = StgOpenStorage(wpath.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                  nullptr, 0, &stg);
      char c = SUCCEEDED(hr) ? 'y' : 'n';
      (void)!write(ready[1], &c, 1);
      pause();
      _exit(0);
    }
    char c = 0;
    m_locked = read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
    close(ready[1]);
  }
  ~Locker() {
    if (m_child > 0) {
      kill(m_child, SIGKILL);
      waitpid(m_child, nullptr, 0);
    }
  }
  bool locked() const { return m_locked; }

 private:
  pid_t m_child = -1;
  bool m_locked = false;
};

class CompdocBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root() / "sub" / "deeper");
    auto doc = [](const fs::path& p, const char16_t* title) {
      writeDocument(
          p, {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT, {byId(PIDSI_TITLE, pvWide(title))}},
              {FMTID_UserDefinedProperties,
               PROPSETFLAG_DEFAULT,
               {byName(u"Project", pvWide(title))}}});
    };
    doc(root() / "a.doc", u"A");
    doc(root() / "b.XLS", u"B");  // extensions match without regard to case
    doc(root() / "sub" / "c.ppt", u"C");
    doc(root() / "sub" / "deeper" / "d.doc", u"D");
    doc(root() / "sub" / "locked.doc", u"L");
    std::ofstream(root() / "notes.txt") << "not taken: not a plug-in extension";
    std::ofstream(root() / "plain.doc") << "not a compound document";
    auto bytes = readFileBytes(root() / "a.doc");
    bytes.resize(1024);  // header and one sector: the directory is gone
    std::ofstream(root() / "sub" / "damaged.doc", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    fs::create_symlink("nowhere.doc", root() / "sub" / "gone.doc");
  }
  fs::path root() const { return m_dir.path() / "tree"; }
  std::string file(const std::string& rel) const { return (root() / rel).string(); }

  TempDir m_dir;
};

TEST_F(CompdocBatchTest, ReadsEveryGoodFileNamesEveryBadOneOnceAndSumsUp) {
  Locker locker(root() / "sub" / "locked.doc");
  ASSERT_TRUE(locker.locked());
  std::string missing = file("missing.doc");
  std::string args = "read -r --json " + shellQuote(root()) + " " + shellQuote(missing);
  Outcome one = compdoc(args + " -j 1");
  Outcome two = compdoc(args + " -j 2");

  EXPECT_EQ(1, one.status);
  EXPECT_EQ(1, two.status);
  EXPECT_EQ(one.out, two.out) << "records do not depend on the number of threads";
  EXPECT_EQ(one.err, two.err);

  // The records are those of the good documents read one by one, in name
  // order, each naming its file.
  std::string expected;
  for (const char* rel : {"a.doc", "b.XLS", "sub/c.ppt", "sub/deeper/d.doc"}) {
    Outcome single = compdoc("read --json -H " + shellQuote(file(rel)));
    ASSERT_EQ(0, single.status) << rel << ": " << single.err;
    ASSERT_NE(std::string::npos, single.out.find("\"Project\"")) << rel;
    expected += single.out;
  }
  EXPECT_EQ(expected, one.out);

  const size_t attributes = lines(one.out).size();
  std::vector<std::string> want = {
      "compdoc: " + file("plain.doc") +
          ": not a compound document: STG_E_FILEALREADYEXISTS (0x80030050)",
      "compdoc: " + file("sub/damaged.doc") + ": damaged: ",
      "compdoc: " + file("sub/gone.doc") + ": missing: STG_E_FILENOTFOUND (0x80030002)",
      "compdoc: " + file("sub/locked.doc") +
          ": busy: ReadAttributes: VLT_E_FILE_ACCESS (0x8004020B)",
      "compdoc: " + missing + ": missing: STG_E_FILENOTFOUND (0x80030002)",
      "compdoc read: 9 documents (4 served, 5 failed), " + std::to_string(attributes) +
          " attributes; failures: busy 1, damaged 1, missing 2, not a compound document 1",
  };
  auto got = lines(one.err);
  ASSERT_EQ(want.size(), got.size()) << one.err;
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(0u, got[i].rfind(want[i], 0)) << "want " << want[i] << "\n got " << got[i];
}

// The JSON lines are written without a JSON document per record: each line
// must be exactly what the JSON library writes for the same values (its
// escapes, its shortest numbers), whatever the text holds.
TEST_F(CompdocBatchTest, JsonRecordsAreWhatTheJsonLibraryWrites) {
  const fs::path doc = m_dir.path() / "we\"ird\\ name\t.doc";
  writeDocument(doc, {{FMTID_SummaryInformation,
                       PROPSETFLAG_DEFAULT,
                       {byId(PIDSI_TITLE, pvWide(u"quote\" back\\ tab\t nl\n cr\r bell\x07 del\x7f "
                                                 u"e\u00e9 \u4e2d\U0001F600 end"))}},
                      {FMTID_UserDefinedProperties,
                       PROPSETFLAG_DEFAULT,
                       {byName(u"Tenth", pvR8(0.1)), byName(u"Huge", pvR8(1e300)),
                        byName(u"Whole", pvR8(3.0)), byName(u"Small", pvR4(1.5f)),
                        byName(u"Negative", pvI4(-7)), byName(u"Flag", pvBool(true)),
                        byName(u"Narrow \u00e9", pvNarrow("caf\xe9 \x01")),
                        byName(u"When", pvFileTime(2024, 2, 29, 13, 5)),
                        byName(u"Controls", pvWide(u"q\" b\\ t\t n\n f\f b\b x\x01 us\x1f"
                                                   u" del\x7f"))}}});
  for (const char* jobs : {"-j 1", "-j 2"}) {
    Outcome r = compdoc(std::string("read --json -H ") + jobs + " " + shellQuote(doc.string()));
    ASSERT_EQ(0, r.status) << r.err;
    auto got = lines(r.out);
    ASSERT_GE(got.size(), 10u) << r.out;
    bool sawTitle = false;
    for (const auto& line : got) {
      auto parsed = nlohmann::ordered_json::parse(line);
      EXPECT_EQ(line, parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
      EXPECT_EQ(doc.string(), parsed["file"].get<std::string>());
      if (parsed["name"] == "Title") {
        sawTitle = true;
        EXPECT_EQ(
            "quote\" back\\ tab\t nl\n cr\r bell\x07 del\x7f e\xc3\xa9 "
            "\xe4\xb8\xad\xf0\x9f\x98\x80 end",
            parsed["value"].get<std::string>());
      }
      if (parsed["name"] == "Whole") {
        EXPECT_NE(std::string::npos, line.find("\"value\":3.0}"));
      }
      if (parsed["name"] == "Controls") {
        EXPECT_NE(std::string::npos,
                  line.find("\"q\\\" b\\\\ t\\t n\\n f\\f b\\b x\\u0001 us\\u001f del\x7f\""))
            << line;
      }
    }
    EXPECT_TRUE(sawTitle);
  }
}

// Names from standard input or a list file are read as named operands are
// (their extension is not tested); without -r a folder gives its own files
// only; --ext replaces the plug-in's list; CSV names the file in a column.
TEST_F(CompdocBatchTest, ListsFoldersAndExtensions) {
  std::string names = file("sub/c.ppt") + "\n" + file("notes.txt") + "\n";
  Outcome fromStdin = compdoc("read --quiet -", names);
  EXPECT_EQ(1, fromStdin.status);
  EXPECT_EQ("compdoc: " + file("notes.txt") +
                ": not a compound document: "
                "STG_E_FILEALREADYEXISTS (0x80030050)\n",
            fromStdin.err);
  std::ofstream(m_dir.file("list")) << names;
  Outcome fromList = compdoc("read --quiet --files-from " + shellQuote(m_dir.file("list")));
  EXPECT_EQ(fromStdin.out, fromList.out);
  EXPECT_EQ(0u, fromStdin.out.rfind(file("sub/c.ppt") + "\tSummary\tTitle\tVT_BSTR\tC\n", 0))
      << fromStdin.out;

  Outcome flat = compdoc("read --csv " + shellQuote(root()) + " Summary:Title");
  EXPECT_EQ(1, flat.status);
  EXPECT_EQ("file,block,name,type,value\n" + file("a.doc") + ",Summary,Title,VT_BSTR,A\n" +
                file("b.XLS") + ",Summary,Title,VT_BSTR,B\n",
            flat.out);
  EXPECT_NE(std::string::npos, flat.err.find("3 documents (2 served, 1 failed), 2 attributes"))
      << flat.err;

  Outcome onlyPpt = compdoc("read -r -q --ext .PPT,txt " + shellQuote(root()) + " Summary:Title");
  EXPECT_EQ(1, onlyPpt.status) << "notes.txt is taken and is no compound document";
  EXPECT_EQ(file("sub/c.ppt") + "\tSummary\tTitle\tVT_BSTR\tC\n", onlyPpt.out);
}

// A named pipe named like a document, as a host names it: every command
// answers at once that it is no compound document.
TEST_F(CompdocBatchTest, APipeNamedLikeADocumentIsNeverWaitedOn) {
  auto fifo = m_dir.file("pipe.doc");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const std::string name = shellQuote(fifo);
  for (std::string args :
       {"read " + name, "read --json -j 2 " + name, "refs " + name,
        "relink " + name + " a.doc=b.doc", "write " + name + " Summary:Title=x"}) {
    SCOPED_TRACE(args);
    Outcome r;
    bool quick = answersWithoutWaiting(
        fifo, [&] { r = compdoc(args); }, std::chrono::seconds(10));
    EXPECT_TRUE(quick) << "waited on the pipe";
    EXPECT_EQ(1, r.status) << r.err;
  }
  Outcome r = compdoc("read " + name);
  EXPECT_NE(std::string::npos, r.err.find("not a compound document")) << r.err;
}

}  // namespace
}  // namespace velmora::test
