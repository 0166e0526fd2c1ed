// Attribute writes into copies of every corpus document, checked by this
// project's reader and by independent ones: olefile (every stream but the
// written property sets byte-identical, the new title and company), exiftool
// (the new custom property) and the office suite (it opens the document and
// shows the new title and custom property, over all documents at once).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const std::string kTitle = "Velmora title \xC3\xA9";
const std::string kCompany = "Velmora AG";
const std::string kNote = "written by compdoc";

bool isCompound(const fs::path& doc) {
  int status = -1;
  runCommand(shellQuote(compdocPath()) + " ls " + shellQuote(doc) + " >/dev/null 2>&1", status);
  return status == 0;
}

std::vector<std::string> documents() {
  std::vector<std::string> names;
  auto dir = corpusDir();
  if (dir.empty()) return {"(no corpus)"};
  for (auto& e : fs::directory_iterator(dir / "documents")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, json> readAttributes(const fs::path& doc) {
  int status = -1;
  std::istringstream out(runCommand(
      "TZ=UTC " + shellQuote(compdocPath()) + " read --json " + shellQuote(doc), status));
  std::map<std::string, json> records;
  for (std::string line; std::getline(out, line);) {
    if (line.empty()) continue;
    json j = json::parse(line);
    records[j["block"].get<std::string>() + ":" + j["name"].get<std::string>()] = j;
  }
  return records;
}

json oleDigest(const fs::path& doc) {
  int status = -1;
  std::string out =
      runCommand("/usr/bin/python3 " + shellQuote(VELMORA_SOURCE_DIR "/tests/tools/ole_digest.py") +
                     " " + shellQuote(doc) + " 2>/dev/null",
                 status);
  if (status != 0) return json();
  return json::parse(out);
}

// Writes the three values into a writable copy of `original` at `copy`;
// compdoc's output, and its exit status in `status`.
std::string writeCopy(const fs::path& original, const fs::path& copy, int& status) {
  fs::copy_file(original, copy);
  fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
  return runCommand(shellQuote(compdocPath()) + " write " + shellQuote(copy) + " " +
                        shellQuote("Summary:Title=" + kTitle) + " " +
                        shellQuote("DocSummary:Company=" + kCompany) + " " +
                        shellQuote("CustomProperty:VelmoraNote=" + kNote),
                    status);
}

class CompdocWritePeersTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    auto dir = corpusDir();
    if (dir.empty()) GTEST_SKIP() << "the shared corpus is not beside this checkout";
    m_original = dir / "documents" / GetParam();
    if (!isCompound(m_original)) GTEST_SKIP() << GetParam() << " is not a compound document";
    m_copy = m_tmp.file(GetParam());
    int status = -1;
    m_writeOutput = writeCopy(m_original, m_copy, status);
    ASSERT_EQ(0, status) << m_writeOutput;
  }

  TempDir m_tmp;
  fs::path m_original, m_copy;
  std::string m_writeOutput;
};

TEST_P(CompdocWritePeersTest, OurReaderSeesTheNewValuesAndNothingElseChanged) {
  EXPECT_EQ(3, std::count(m_writeOutput.begin(), m_writeOutput.end(), '\n'));
  EXPECT_EQ(std::string::npos, m_writeOutput.find("not written")) << m_writeOutput;
  auto before = readAttributes(m_original);
  auto after = readAttributes(m_copy);
  EXPECT_EQ(kTitle, after["Summary:Title"]["value"]);
  EXPECT_EQ(kCompany, after["DocSummary:Company"]["value"]);
  EXPECT_EQ(kNote, after["CustomProperty:VelmoraNote"]["value"]);
  for (auto& [key, record] : before) {
    if (key == "Summary:Title" || key == "DocSummary:Company") continue;
    ASSERT_TRUE(after.count(key)) << key << " vanished";
    EXPECT_EQ(record, after[key]) << key;
  }
}

TEST_P(CompdocWritePeersTest, OlefileReadsTheValuesAndEveryOtherStreamIsIntact) {
  json before = oleDigest(m_original);
  if (before.is_null()) GTEST_SKIP() << "olefile cannot read the original";
  json after = oleDigest(m_copy);
  ASSERT_FALSE(after.is_null()) << "olefile cannot read the written document";
  EXPECT_EQ(kTitle, after["title"]);
  EXPECT_EQ(kCompany, after["company"]);
  for (auto& [name, digest] : before["streams"].items()) {
    if (name == "\x05SummaryInformation" || name ==
                                                "\x05"
                                                "DocumentSummaryInformation")
      continue;
    EXPECT_EQ(digest, after["streams"][name]) << "stream " << name << " changed";
  }
  EXPECT_EQ(before["streams"].size() +
                (before["streams"].contains("\x05SummaryInformation") ? 0 : 1) +
                (before["streams"].contains("\x05"
                                            "DocumentSummaryInformation")
                     ? 0
                     : 1),
            after["streams"].size());
}

TEST_P(CompdocWritePeersTest, ExiftoolReadsTheValues) {
  if (!haveProgram("exiftool")) GTEST_SKIP() << "exiftool is not installed";
  int status = -1;
  std::string out = runCommand("exiftool -j -charset utf8 " + shellQuote(m_copy), status);
  ASSERT_EQ(0, status);
  json j = json::parse(out)[0];
  EXPECT_EQ(kTitle, j.value("Title", ""));
  EXPECT_EQ(kCompany, j.value("Company", ""));
  // exiftool reads a custom dictionary as 8-bit names even in a UTF-16 set,
  // so it cannot name the custom properties there (the original's neither).
  auto original = readAttributes(m_original);
  auto codePage = original.find("CustomProperty:824B7195-5022-D47e-A0EA-69C3CF360213");
  if (codePage != original.end() && codePage->second["value"] == 1200) return;
  EXPECT_EQ(kNote, j.value("VelmoraNote", ""));
}

INSTANTIATE_TEST_SUITE_P(Corpus, CompdocWritePeersTest, ::testing::ValuesIn(documents()),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// The office suite converts every written word-processor document,
// spreadsheet and presentation, and its metadata shows the new title and
// custom property. One suite start converts every document of a kind: the
// originals first, then the written copies.
TEST(CompdocWriteOffice, TheSuiteOpensEveryWrittenDocumentAndShowsTheValues) {
  auto dir = corpusDir();
  if (dir.empty()) GTEST_SKIP() << "the shared corpus is not beside this checkout";
  if (!haveProgram("soffice")) GTEST_SKIP() << "the office suite is not installed";
  TempDir tmp;
  const std::map<std::string, std::string> targets = {
      {".doc", "odt"}, {".xls", "ods"}, {".ppt", "odp"}};
  std::map<std::string, std::vector<std::string>> byTarget;
  fs::create_directories(tmp.path() / "written");
  fs::create_directories(tmp.path() / "original");
  for (const std::string& name : documents()) {
    fs::path original = dir / "documents" / name;
    auto target = targets.find(original.extension().string());
    if (target == targets.end() || !isCompound(original)) continue;
    int status = -1;
    std::string output = writeCopy(original, tmp.path() / "written" / name, status);
    ASSERT_EQ(0, status) << name << ": " << output;
    fs::copy_file(original, tmp.path() / "original" / name);
    byTarget[target->second].push_back(name);
  }
  auto convert = [&](const std::string& which, const std::string& target,
                     const std::vector<std::string>& names) {
    std::string files;
    for (auto& name : names) files += " " + shellQuote(tmp.path() / which / name);
    int status = -1;
    runCommand("timeout 600 soffice --headless --norestore -env:UserInstallation=file://" +
                   (tmp.path() / "profile").string() + " --convert-to " + target + " --outdir " +
                   shellQuote(tmp.path() / (which + "-out")) + files + " >/dev/null 2>&1",
               status);
  };
  auto meta = [&](const std::string& which, const std::string& name, const std::string& target) {
    fs::path out = tmp.path() / (which + "-out") / (fs::path(name).stem().string() + "." + target);
    int status = -1;
    return fs::exists(out) ? runCommand("unzip -p " + shellQuote(out) + " meta.xml", status) : "";
  };
  int compared = 0;
  for (auto& [target, names] : byTarget) {
    convert("original", target, names);
    convert("written", target, names);
    for (auto& name : names) {
      SCOPED_TRACE(name);
      std::string original = meta("original", name, target);
      if (original.empty()) continue;  // the suite does not open the original either
      // Some producers' files (spreadsheets of the 95 generation) open
      // without their properties: when the suite shows none of the
      // original's, it cannot show ours either.
      bool originalHasSummary = false;
      for (auto& [key, record] : readAttributes(dir / "documents" / name))
        originalHasSummary |= key.rfind("Summary:", 0) == 0 && !record["value"].is_null() &&
                              record["type"] != "VT_BOOL" && record["type"] != "VT_I4";
      bool suiteShowsProperties = original.find("<dc:") != std::string::npos ||
                                  original.find("<meta:creation-date") != std::string::npos ||
                                  original.find("<meta:initial-creator") != std::string::npos ||
                                  original.find("<meta:user-defined") != std::string::npos;
      if (originalHasSummary && !suiteShowsProperties) continue;
      std::string written = meta("written", name, target);
      EXPECT_FALSE(written.empty()) << "the office suite cannot open the written document";
      EXPECT_NE(std::string::npos, written.find("<dc:title>" + kTitle + "</dc:title>")) << written;
      EXPECT_NE(std::string::npos, written.find("meta:name=\"VelmoraNote\"")) << written;
      EXPECT_NE(std::string::npos, written.find(kNote)) << written;
      ++compared;
    }
  }
  EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace velmora::test
