// A write whose commit fails (the disk fills at its first, second or third
// write) is named by compdoc, exits 1, and leaves the document as it was:
// every stream as an independent reader (olefile) sees it. Bytes past the
// old end or in free sectors may have been written; no header reaches them.
#include <gtest/gtest.h>

#include "tests/support/process.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

// A digest of every stream and the summary metadata, by olefile; empty
// when olefile is not installed.
std::string streams(const std::filesystem::path& p) {
  int status = -1;
  std::string out =
      runCommand("/usr/bin/python3 " + shellQuote(VELMORA_SOURCE_DIR "/tests/tools/ole_digest.py") +
                     " " + shellQuote(p) + " 2>/dev/null",
                 status);
  return status == 0 ? out : std::string();
}

TEST(CompdocCommitFailureTest, AFullDiskIsReportedAndChangesNothing) {
  TempDir dir;
  auto doc = dir.file("doc.doc");
  writeDocument(
      doc,
      {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT, {byId(PIDSI_TITLE, pvWide(u"Before"))}}},
      100);
  const std::string before = streams(doc);
  if (before.empty()) GTEST_SKIP() << "olefile (python3-olefile) is not installed";
  for (int allowed : {0, 1, 2}) {
    SCOPED_TRACE(allowed);
    int status = -1;
    // The sanitizer runtime must come first, so it is told not to mind
    // the preloaded library.
    std::string out = runCommand(
        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 LD_PRELOAD=" +
            shellQuote(VELMORA_FAULT_PRELOAD) +
            " VELMORA_FAULT_PWRITES=" + std::to_string(allowed) + " " + shellQuote(compdocPath()) +
            " write " + shellQuote(doc) + " Summary:Title=After DocSummary:Company=Parts 2>&1",
        status);
    EXPECT_EQ(1, status) << out;
    EXPECT_NE(std::string::npos, out.find("commit failed")) << out;
    EXPECT_NE(std::string::npos, out.find("STG_E_MEDIUMFULL")) << out;
    EXPECT_EQ(before, streams(doc)) << "the document changed";
  }
}

}  // namespace
}  // namespace velmora::test
