// compdoc's plug-in commands as an administrator uses them: exit statuses,
// messages, --type values through a write and a read, and info.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

using nlohmann::json;

std::string compdoc(const std::string& args, int& status) { return runCompdocMerged(args, status); }

// Standard output and standard error apart.
Outcome compdocSplit(const std::string& args) { return runCompdoc(args); }

class CompdocHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_doc = m_dir.file("doc.doc");
    writeDocument(
        m_doc,
        {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT, {byId(PIDSI_TITLE, pvWide(u"Before"))}}},
        100);
  }
  TempDir m_dir;
  std::filesystem::path m_doc;
};

TEST_F(CompdocHostTest, TypedWritesReadBackAsJson) {
  int status = -1;
  std::string out = compdoc("write " + shellQuote(m_doc) +
                                " Summary:Title=After --type VT_I4 CustomProperty:Count=42"
                                " --type VT_R8 CustomProperty:Ratio=0.75"
                                " --type VT_BOOL CustomProperty:Approved=true"
                                " --type VT_DATE CustomProperty:Due=2022-06-30T12:00:00"
                                " CustomProperty:Note=plain",
                            status);
  ASSERT_EQ(0, status) << out;
  EXPECT_EQ(std::string::npos, out.find("not written")) << out;
  Outcome read = compdocSplit("read --json " + shellQuote(m_doc) +
                              " Summary:Title CustomProperty:count CustomProperty:Ratio"
                              " CustomProperty:Approved CustomProperty:Due CustomProperty:Note"
                              " CustomProperty:Missing");
  ASSERT_EQ(1, read.status) << read.err;
  EXPECT_NE(std::string::npos, read.err.find("not delivered: CustomProperty:Missing")) << read.err;
  std::istringstream lines(read.out);
  std::vector<json> records;
  for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
  ASSERT_EQ(6u, records.size()) << "the missing custom property is not delivered";
  EXPECT_EQ(json::parse(R"({"block":"Summary","name":"Title","type":"VT_BSTR","value":"After"})"),
            records[0]);
  EXPECT_EQ(json::parse(R"({"block":"CustomProperty","name":"count","type":"VT_I4","value":42})"),
            records[1]);
  EXPECT_EQ(0.75, records[2]["value"]);
  EXPECT_EQ(true, records[3]["value"]);
  EXPECT_EQ(
      json::parse(
          R"({"block":"CustomProperty","name":"Due","type":"VT_DATE","value":"2022-06-30T12:00:00"})"),
      records[4]);
  EXPECT_EQ("plain", records[5]["value"]);
}

TEST_F(CompdocHostTest, UsageErrorsExitTwo) {
  int status = -1;
  for (std::string args :
       {std::string("read"), std::string("frobnicate"), "write " + shellQuote(m_doc),
        "write " + shellQuote(m_doc) + " Summary:Title",
        "write " + shellQuote(m_doc) + " --type VT_I4 Summary:Title=abc",
        "write " + shellQuote(m_doc) + " --type VT_XYZ Summary:Title=1",
        "write " + shellQuote(m_doc) + " Summary:Title=1 --type",
        "read " + shellQuote(m_doc) + " Summary:", "read --json --csv " + shellQuote(m_doc)}) {
    compdoc(args, status);
    EXPECT_EQ(2, status) << args;
  }
}

// Each answer that once printed nothing (or "not written") and exited 0 now
// names the file and the reason on standard error and exits 1; standard
// output keeps only what was done.
TEST_F(CompdocHostTest, MisleadingAnswersNameTheReasonAndFail) {
  auto text = m_dir.file("plain.doc");
  std::ofstream(text) << "not a compound document";
  auto damaged = m_dir.file("damaged.doc");
  {
    auto bytes = readFileBytes(m_doc);
    bytes.resize(1024);  // the directory sector is gone
    std::ofstream(damaged, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  std::string missing = shellQuote(m_dir.file("missing.doc"));
  std::string doc = shellQuote(m_doc);
  struct Case {
    std::string args, stderrHas, stdoutIs;
  } cases[] = {
      {"read " + missing, "missing.doc: missing: STG_E_FILENOTFOUND", ""},
      {"read " + missing + " Summary:Title", "missing.doc: missing", ""},
      {"read " + shellQuote(text), "plain.doc: not a compound document", ""},
      {"read " + shellQuote(damaged), "damaged.doc: damaged: STG_E_", ""},
      {"read " + doc + " Summary:Title Summary:NoSuchName",
       "doc.doc: not delivered: Summary:NoSuchName\n", "Summary\tTitle\tVT_BSTR\tBefore\n"},
      {"write " + missing + " Summary:Title=x", "missing.doc: missing", ""},
      {"write " + shellQuote(text) + " Summary:Title=x", "plain.doc: not a compound document", ""},
      {"write " + doc + " Summary:Title=x Summary:NoSuchName=y",
       "doc.doc: not written: Summary:NoSuchName=y: the block has no attribute of that name\n",
       "Summary:Title=x\twritten\nSummary:NoSuchName=y\tnot written\n"},
  };
  for (const Case& c : cases) {
    Outcome r = compdocSplit(c.args);
    EXPECT_EQ(1, r.status) << c.args;
    EXPECT_NE(std::string::npos, r.err.find(c.stderrHas)) << c.args << "\n" << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << "named once: " << r.err;
    EXPECT_EQ(c.stdoutIs, r.out) << c.args;
  }
  EXPECT_FALSE(std::filesystem::exists(m_dir.file("missing.doc"))) << "a write creates nothing";
}

// Text output is one attribute a line whatever the value holds; JSON keeps
// the value as it is.
TEST_F(CompdocHostTest, TextOutputEscapesControlCharacters) {
  writeDocument(m_doc, {{FMTID_SummaryInformation,
                         PROPSETFLAG_DEFAULT,
                         {byId(PIDSI_TITLE, pvWide(u"two\nlines\tand\r\x1b")),
                          byId(PIDSI_SUBJECT, pvWide(u"back\\slash"))}}});
  Outcome text = compdocSplit("read " + shellQuote(m_doc) + " Summary:Title Summary:Subject");
  ASSERT_EQ(0, text.status) << text.err;
  EXPECT_EQ(
      "Summary\tTitle\tVT_BSTR\ttwo\\x0Alines\\x09and\\x0D\\x1B\n"
      "Summary\tSubject\tVT_BSTR\tback\\slash\n",
      text.out);
  Outcome js = compdocSplit("read --json " + shellQuote(m_doc) + " Summary:Title");
  ASSERT_EQ(0, js.status) << js.err;
  EXPECT_EQ("two\nlines\tand\r\x1b", json::parse(js.out)["value"]);
}

TEST_F(CompdocHostTest, ALockedDocumentIsAFileAccessFailure) {
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t child = fork();
  if (child == 0) {
    IStorage* stg = nullptr;
    std::u16string wpath = m_doc.u16string();
    HRESULT hr = StgOpenStorage(wpath.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                nullptr, 0, &stg);
    char c = SUCCEEDED(hr) ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  ASSERT_EQ('y', c);
  int status = -1;
  std::string readOut = compdoc("read " + shellQuote(m_doc), status);
  int readStatus = status;
  std::string writeOut = compdoc("write " + shellQuote(m_doc) + " Summary:Title=x", status);
  int writeStatus = status;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(1, readStatus);
  EXPECT_NE(std::string::npos, readOut.find("VLT_E_FILE_ACCESS (0x8004020B)")) << readOut;
  EXPECT_EQ(1, writeStatus);
  EXPECT_NE(std::string::npos, writeOut.find("VLT_E_FILE_ACCESS")) << writeOut;
}

TEST_F(CompdocHostTest, InfoShowsTheDescriptorAndFlags) {
  int status = -1;
  std::string out = compdoc("info", status);
  ASSERT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("company\tFennmark\n"));
  EXPECT_NE(std::string::npos, out.find("extensions\tdoc,xls,ppt,pub,dot,vsd,mpp\n"));
  EXPECT_NE(std::string::npos, out.find("flags\tdoc\t0x9\n"));
  EXPECT_NE(std::string::npos, out.find("flags\tppt\t0x8\n"));
}

}  // namespace
}  // namespace velmora::test
