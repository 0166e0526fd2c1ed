// compdoc's plug-in commands as an administrator uses them: exit statuses,
// messages, --type values through a write and a read, and info.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

using nlohmann::json;

std::string compdoc(const std::string& args, int& status) {
  return runCommand("TZ=UTC " + shellQuote(compdocPath()) + " " + args + " 2>&1", status);
}

class CompdocHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_doc = m_dir.file("doc.doc");
    writeDocument(m_doc, {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT,
                           {byId(PIDSI_TITLE, pvWide(u"Before"))}}}, 100);
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
  out = compdoc("read --json " + shellQuote(m_doc) +
                    " Summary:Title CustomProperty:count CustomProperty:Ratio"
                    " CustomProperty:Approved CustomProperty:Due CustomProperty:Note"
                    " CustomProperty:Missing",
                status);
  ASSERT_EQ(0, status) << out;
  std::istringstream lines(out);
  std::vector<json> records;
  for (std::string line; std::getline(lines, line);) records.push_back(json::parse(line));
  ASSERT_EQ(6u, records.size()) << "the missing custom property is not delivered";
  EXPECT_EQ(json::parse(R"({"block":"Summary","name":"Title","type":"VT_BSTR","value":"After"})"),
            records[0]);
  EXPECT_EQ(json::parse(R"({"block":"CustomProperty","name":"count","type":"VT_I4","value":42})"),
            records[1]);
  EXPECT_EQ(0.75, records[2]["value"]);
  EXPECT_EQ(true, records[3]["value"]);
  EXPECT_EQ(json::parse(R"({"block":"CustomProperty","name":"Due","type":"VT_DATE","value":"2022-06-30T12:00:00"})"),
            records[4]);
  EXPECT_EQ("plain", records[5]["value"]);
}

TEST_F(CompdocHostTest, UsageErrorsExitTwo) {
  int status = -1;
  for (std::string args : {std::string("read"), std::string("frobnicate"),
                           "write " + shellQuote(m_doc),
                           "write " + shellQuote(m_doc) + " Summary:Title",
                           "write " + shellQuote(m_doc) + " --type VT_I4 Summary:Title=abc",
                           "write " + shellQuote(m_doc) + " --type VT_XYZ Summary:Title=1",
                           "read " + shellQuote(m_doc) + " NoColon"}) {
    compdoc(args, status);
    EXPECT_EQ(2, status) << args;
  }
}

TEST_F(CompdocHostTest, FilesThePluginDoesNotHandleDeliverNothing) {
  int status = -1;
  auto text = m_dir.file("plain.doc");
  std::ofstream(text) << "not a compound document";
  for (auto path : {text, m_dir.file("missing.doc")}) {
    std::string out = compdoc("read " + shellQuote(path), status);
    EXPECT_EQ(0, status) << out;
    EXPECT_EQ("", out);
  }
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
