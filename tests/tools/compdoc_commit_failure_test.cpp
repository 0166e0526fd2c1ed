// A write whose commit fails (the disk fills at its first, second or third
// write) is named by compdoc, exits 1, and leaves the document as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/support/process.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

std::vector<char> contents(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(CompdocCommitFailureTest, AFullDiskIsReportedAndChangesNothing) {
  TempDir dir;
  auto doc = dir.file("doc.doc");
  writeDocument(doc, {{FMTID_SummaryInformation, PROPSETFLAG_DEFAULT,
                       {byId(PIDSI_TITLE, pvWide(u"Before"))}}}, 100);
  const auto before = contents(doc);
  for (int allowed : {0, 1, 2}) {
    SCOPED_TRACE(allowed);
    int status = -1;
    // The sanitizer runtime must come first, so it is told not to mind
    // the preloaded library.
    std::string out = runCommand(
        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1 LD_PRELOAD=" +
            shellQuote(VELMORA_FAULT_PRELOAD) + " VELMORA_FAULT_PWRITES=" + std::to_string(allowed) +
            " " + shellQuote(compdocPath()) + " write " + shellQuote(doc) +
            " Summary:Title=After DocSummary:Company=Parts 2>&1",
        status);
    EXPECT_EQ(1, status) << out;
    EXPECT_NE(std::string::npos, out.find("commit failed")) << out;
    EXPECT_NE(std::string::npos, out.find("STG_E_MEDIUMFULL")) << out;
    EXPECT_EQ(before, contents(doc)) << "the document changed";
  }
}

}  // namespace
}  // namespace velmora::test
