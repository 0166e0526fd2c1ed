// compdoc read --json on every corpus document against the attributes an
// independent reader found in it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

using nlohmann::json;

std::vector<std::string> corpusDocuments() {
  std::vector<std::string> names;
  auto dir = corpusDir();
  if (dir.empty()) return {"(no corpus)"};
  for (auto& entry : std::filesystem::directory_iterator(dir / "documents"))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<json> jsonLines(std::istream& in) {
  std::vector<json> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(json::parse(line));
  return lines;
}

std::string key(const json& record) {
  return record.value("block", "") + ":" + record.value("name", "");
}

// Whether `got` is what `want` expects; uncertain records compare loosely
// (a single-precision number as either type, any date for an out-of-range
// file time).
bool matches(const json& want, const json& got) {
  if (want.value("uncertain", false)) {
    if (want["value"].is_number() && got["value"].is_number())
      return std::fabs(want["value"].get<double>() - got["value"].get<double>()) <=
             1e-6 * std::max(1.0, std::fabs(want["value"].get<double>()));
    if (want["type"] == "VT_DATE") return got["type"] == "VT_DATE";
  }
  if (want["type"] != got["type"]) return false;
  if (want["value"].is_number() && got["value"].is_number())
    return want["value"].get<double>() == got["value"].get<double>();
  return want["value"] == got["value"];
}

class CompdocReadCorpusTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CompdocReadCorpusTest, DeliversTheExpectedAttributes) {
  auto dir = corpusDir();
  if (dir.empty()) GTEST_SKIP() << "the shared corpus is not beside this checkout";
  auto doc = dir / "documents" / GetParam();
  std::ifstream expectedFile(dir / "expected" / (GetParam() + ".jsonl"));
  if (!expectedFile) GTEST_SKIP() << "no expectations for " << GetParam();
  auto expected = jsonLines(expectedFile);

  // A file without the compound signature is refused with status 1.
  char signature[8] = {};
  std::ifstream(doc, std::ios::binary).read(signature, sizeof signature);
  const bool compound = std::memcmp(signature, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0;
  int status = -1;
  std::string out = runCommand(
      "TZ=UTC " + shellQuote(compdocPath()) + " read --json " + shellQuote(doc) + " 2>/dev/null",
      status);
  ASSERT_EQ(compound ? 0 : 1, status) << "compdoc read on " << GetParam();
  std::istringstream outStream(out);
  auto got = jsonLines(outStream);

  std::ostringstream diff;
  size_t n = std::max(expected.size(), got.size());
  int differences = 0;
  for (size_t i = 0; i < n; ++i) {
    const json* w = i < expected.size() ? &expected[i] : nullptr;
    const json* g = i < got.size() ? &got[i] : nullptr;
    bool same = w && g && key(*w) == key(*g) && matches(*w, *g);
    if (!same) {
      ++differences;
      diff << "  #" << i << " expected " << (w ? w->dump() : "nothing") << "\n"
           << "      got " << (g ? g->dump() : "nothing") << "\n";
    }
  }
  EXPECT_EQ(0, differences) << GetParam() << ": " << differences << " attributes differ\n"
                            << diff.str();
}

INSTANTIATE_TEST_SUITE_P(Corpus, CompdocReadCorpusTest, ::testing::ValuesIn(corpusDocuments()),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
}  // namespace velmora::test
