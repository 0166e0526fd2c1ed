// compdoc refs and relink, run as a host runs them, with the independent
// readers as witnesses: after a relink olefile reads every stream but the
// rewritten "\1Ole" streams unchanged, and the office suite opens a real
// document with a link just as it did before.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/link_doc.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class CompdocRefsTest : public ::testing::Test {
 protected:
  std::string compdoc(const std::string& args, int& status) {
    return runCompdocMerged(args, status);
  }
  // One JSON object per line of `compdoc refs --json`.
  std::vector<json> refs(const fs::path& doc) {
    int status = -1;
    std::istringstream out(compdoc("refs --json " + shellQuote(doc), status));
    EXPECT_EQ(0, status);
    std::vector<json> lines;
    for (std::string line; std::getline(out, line);) lines.push_back(json::parse(line));
    return lines;
  }
  json oleDigest(const fs::path& doc) {
    int status = -1;
    std::string out = runCommand("/usr/bin/python3 " +
                                     shellQuote(VELMORA_SOURCE_DIR "/tests/tools/ole_digest.py") +
                                     " " + shellQuote(doc) + " 2>/dev/null",
                                 status);
    return status == 0 ? json::parse(out) : json();
  }
  fs::path linkedDocument(const std::string& name) {
    fs::path doc = m_tmp.file(name);
    std::vector<PoolObject> objects;
    objects.push_back(linkTo(
        u"_1", compositeOf(fileMoniker(u"C:\\data\\book.xls"), itemMoniker(u"!", u"Sheet1!R1C1"))));
    objects.push_back(linkTo(u"_2", fileMoniker(u"C:\\Отчёты\\plan.doc")));
    objects.push_back(embedding(u"_3"));
    objects.push_back(linkTo(u"_4", fileMoniker(u"C:\\data\\plan.doc")));
    writeLinkDocument(doc, std::move(objects));
    return doc;
  }

  TempDir m_tmp;
};

TEST_F(CompdocRefsTest, RelinkThenRefsShowsTheNewPathsAndOlefileSeesNothingElseChange) {
  fs::path doc = linkedDocument("links.doc");
  std::string file = doc.string();
  EXPECT_EQ((std::vector<json>{
                {{"file", file},
                 {"fullPath", "C:\\data\\book.xls!Sheet1!R1C1"},
                 {"fileName", "book.xls!Sheet1!R1C1"}},
                {{"file", file}, {"fullPath", "C:\\Отчёты\\plan.doc"}, {"fileName", "plan.doc"}},
                {{"file", file}, {"fullPath", "C:\\data\\plan.doc"}, {"fileName", "plan.doc"}}}),
            refs(doc));
  int status = -1;
  std::string text = compdoc("refs " + shellQuote(doc), status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, text.find(file + "\tC:\\data\\plan.doc\tplan.doc\n")) << text;

  json before = oleDigest(doc);
  std::string out = compdoc("relink " + shellQuote(doc) +
                                " 'PLAN.DOC=E:\\Neu\\Plan 2.doc' 'book.xls!Sheet1!R1C1=E:\\b.xls'",
                            status);
  ASSERT_EQ(0, status) << out;
  EXPECT_EQ((std::vector<json>{
                {{"file", file}, {"fullPath", "E:\\b.xls"}, {"fileName", "b.xls"}},
                {{"file", file}, {"fullPath", "E:\\Neu\\Plan 2.doc"}, {"fileName", "Plan 2.doc"}},
                {{"file", file}, {"fullPath", "E:\\Neu\\Plan 2.doc"}, {"fileName", "Plan 2.doc"}}}),
            refs(doc));

  if (before.is_null()) GTEST_SKIP() << "olefile is not installed";
  json after = oleDigest(doc);
  ASSERT_FALSE(after.is_null()) << "olefile cannot read the relinked document";
  std::set<std::string> rewritten = {"ObjectPool/_1/\x01Ole", "ObjectPool/_2/\x01Ole",
                                     "ObjectPool/_4/\x01Ole"};
  ASSERT_EQ(before["streams"].size(), after["streams"].size());
  for (auto& [name, digest] : before["streams"].items()) {
    if (rewritten.count(name)) {
      EXPECT_NE(digest, after["streams"][name]) << name;
    } else {
      EXPECT_EQ(digest, after["streams"][name]) << name << " changed";
    }
  }
}

TEST_F(CompdocRefsTest, FailuresNameTheStatusAndExitNonZero) {
  fs::path good = linkedDocument("good.doc");
  fs::path ppt = linkedDocument("slides.ppt");
  fs::path noPool = m_tmp.file("nopool.doc");
  writeLinkDocument(noPool, {}, false, true);
  struct Case {
    const char* label;
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"refs of a file the plug-in does not serve", "refs " + shellQuote(ppt), 1,
       "GetReferences failed: S_FALSE (0x00000001)"},
      {"refs goes on after a failing file", "refs " + shellQuote(ppt) + " " + shellQuote(good), 1,
       "\tC:\\data\\plan.doc\tplan.doc"},
      {"relink of a document without a pool", "relink " + shellQuote(noPool) + " a=b", 1,
       "UpdateReferences failed: STG_E_FILENOTFOUND (0x80030002)"},
      {"relink of a missing file", "relink " + shellQuote(m_tmp.file("gone.doc")) + " a=b", 1,
       "S_FALSE"},
      {"a pair without '='", "relink " + shellQuote(good) + " plan.doc", 2, "OLDNAME=NEWPATH"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    int status = -1;
    std::string out = compdoc(c.args, status);
    EXPECT_EQ(c.status, status) << out;
    EXPECT_NE(std::string::npos, out.find(c.message)) << out;
  }
}

TEST_F(CompdocRefsTest, TheOfficeSuiteOpensARelinkedRealDocumentAsBefore) {
  if (!haveProgram("soffice")) GTEST_SKIP() << "the office suite is not installed";
  fs::path corpus = corpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no document corpus";
  fs::path doc = m_tmp.file("linked.doc");
  fs::copy_file(corpus / "documents" / "testWORD.doc", doc);
  fs::permissions(doc, fs::perms::owner_read | fs::perms::owner_write);
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(u"_1000", fileMoniker(u"C:\\data\\sheet.xls")));
  addObjects(doc, std::move(objects));
  auto text = [&](const std::string& tag) {
    fs::path outDir = m_tmp.path() / tag;
    int status = -1;
    runCommand("timeout 120 soffice --headless --norestore -env:UserInstallation=file://" +
                   (m_tmp.path() / "profile").string() + " --convert-to txt:Text --outdir " +
                   shellQuote(outDir) + " " + shellQuote(doc) + " >/dev/null 2>&1",
               status);
    std::ifstream in(outDir / "linked.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  std::string before = text("before");
  if (before.empty()) GTEST_SKIP() << "the office suite does not open the document with a link";
  int status = -1;
  std::string out =
      compdoc("relink " + shellQuote(doc) + " 'sheet.xls=D:\\moved\\sheet.xls'", status);
  ASSERT_EQ(0, status) << out;
  ASSERT_EQ("D:\\moved\\sheet.xls", refs(doc).at(0)["fullPath"]);
  EXPECT_EQ(before, text("after"));
}

}  // namespace
}  // namespace velmora::test
