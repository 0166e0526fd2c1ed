// compdoc ls and cat against the peer readers: olefile (through
// olefile_peer.py), gsf, and the office suite, over the corpus and over
// files the engine wrote (new documents and edited copies of corpus files).
#include <objbase.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/modes.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using velmora::test::compdocPath;
using velmora::test::Outcome;
using velmora::test::runSplit;
using velmora::test::shellQuote;

namespace fs = std::filesystem;

std::string quote(const std::string& s) { return shellQuote(s); }

Outcome run(const std::string& cmd) { return runSplit(cmd); }

std::string compdoc() { return shellQuote(compdocPath()); }
std::string peer() { return std::string(VELMORA_SOURCE_DIR) + "/tests/tools/olefile_peer.py"; }
bool haveOlefile() { return run("/usr/bin/python3 -c 'import olefile'").status == 0; }
bool haveTool(const std::string& name) { return run("command -v " + name).status == 0; }

std::string escape(const std::string& path) {
  std::string out;
  char buf[8];
  for (unsigned char c : path) {
    if (c < 0x20) {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out;
}

struct Element {
  std::string path, type;
  uint64_t size = 0;
  bool operator<(const Element& o) const {
    return std::tie(path, type, size) < std::tie(o.path, o.type, o.size);
  }
  bool operator==(const Element& o) const {
    return path == o.path && type == o.type && size == o.size;
  }
};

std::vector<Element> parse(const std::string& jsonLines) {
  std::vector<Element> v;
  std::istringstream in(jsonLines);
  std::string line;
  while (std::getline(in, line)) {
    auto j = nlohmann::json::parse(line);
    v.push_back({j["path"], j["type"], j["size"]});
  }
  return v;
}

// Every stream's bytes by "/"-joined path, read through the platform.
void readStreams(IStorage* storage, const std::string& prefix,
                 std::map<std::string, std::string>& out) {
  IEnumSTATSTG* it = nullptr;
  ASSERT_EQ(storage->EnumElements(0, nullptr, 0, &it), S_OK);
  STATSTG st{};
  while (it->Next(1, &st, nullptr) == S_OK) {
    std::u16string wide = reinterpret_cast<const char16_t*>(st.pwcsName);
    std::string name = prefix + fs::path(wide).string();
    if (st.type == STGTY_STORAGE) {
      IStorage* child = nullptr;
      EXPECT_EQ(storage->OpenStorage(st.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                     nullptr, 0, &child),
                S_OK)
          << name;
      if (child) {
        readStreams(child, name + "/", out);
        child->Release();
      }
    } else if (st.type == STGTY_STREAM) {
      IStream* stm = nullptr;
      EXPECT_EQ(
          storage->OpenStream(st.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stm),
          S_OK)
          << name;
      std::string bytes(size_t(st.cbSize.QuadPart), '\0');
      ULONG n = 0;
      if (stm && !bytes.empty()) stm->Read(bytes.data(), ULONG(bytes.size()), &n);
      if (stm) stm->Release();
      bytes.resize(n);
      out[name] = bytes;
    }
    CoTaskMemFree(st.pwcsName);
  }
  it->Release();
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

// Lists `file` with compdoc and olefile and compares the trees and every
// stream's bytes (read through the platform, and through `compdoc cat` for
// a few of them, one nested when there is one).
void compareWithOlefile(const fs::path& file) {
  Outcome ls = run(compdoc() + " ls --json " + quote(file.string()));
  ASSERT_EQ(ls.status, 0) << ls.err;
  Outcome ole = run("/usr/bin/python3 " + quote(peer()) + " ls " + quote(file.string()));
  ASSERT_EQ(ole.status, 0) << ole.err;
  auto ours = parse(ls.out), theirs = parse(ole.out);
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  ASSERT_EQ(ours, theirs) << file;

  Outcome dump = run("/usr/bin/python3 " + quote(peer()) + " dump " + quote(file.string()));
  ASSERT_EQ(dump.status, 0) << dump.err;
  auto peerBytes = nlohmann::json::parse(dump.out);
  IStorage* root = nullptr;
  ASSERT_EQ(StgOpenStorageEx(reinterpret_cast<const WCHAR*>(file.u16string().c_str()),
                             STGM_READ | STGM_SHARE_DENY_WRITE, STGFMT_DOCFILE, 0, nullptr, nullptr,
                             IID_IStorage, reinterpret_cast<void**>(&root)),
            S_OK);
  std::map<std::string, std::string> streams;
  readStreams(root, "", streams);
  root->Release();
  ASSERT_EQ(streams.size(), peerBytes.size()) << file;
  for (auto& [path, bytes] : streams) {
    ASSERT_TRUE(peerBytes.contains(path)) << file << " " << escape(path);
    EXPECT_TRUE(hex(bytes) == peerBytes[path].get<std::string>()) << file << " " << escape(path);
  }
  std::vector<std::string> cats;
  for (auto& [path, bytes] : streams)
    if (cats.size() < 2 && path.find('/') == std::string::npos) cats.push_back(path);
  for (auto& [path, bytes] : streams)
    if (path.find('/') != std::string::npos) {
      cats.push_back(path);
      break;
    }
  for (auto& path : cats) {
    Outcome a = run(compdoc() + " cat " + quote(file.string()) + " " + quote(escape(path)));
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_TRUE(a.out == streams[path]) << file << " " << escape(path);
  }
}

// gsf shows empty storages like streams but with a date; compare the
// streams it lists, and the bytes of the top-level ones.
void compareWithGsf(const fs::path& file) {
  Outcome ls = run(compdoc() + " ls --json " + quote(file.string()));
  ASSERT_EQ(ls.status, 0);
  std::set<std::pair<std::string, uint64_t>> ours, theirs;
  std::set<std::string> storages;
  for (auto& e : parse(ls.out)) {
    if (e.type == "stream")
      ours.insert({e.path, e.size});
    else
      storages.insert(e.path);
  }
  Outcome g = run("gsf list " + quote(file.string()));
  ASSERT_EQ(g.status, 0) << g.err;
  std::regex row(R"(^f\s+(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\s+)?(\d+) (.*)$)");
  std::istringstream in(g.out);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, row) && !m[1].matched && !storages.count(m[3]))
      theirs.insert({m[3], std::stoull(m[2])});
  }
  EXPECT_EQ(ours, theirs) << file;
  int checked = 0;
  for (auto& e : parse(ls.out)) {
    if (e.type != "stream" || e.path.find('/') != std::string::npos || checked++ > 2) continue;
    Outcome a = run(compdoc() + " cat " + quote(file.string()) + " " + quote(escape(e.path)));
    Outcome b = run("gsf cat " + quote(file.string()) + " " + quote(e.path));
    EXPECT_TRUE(a.out == b.out) << file << " " << escape(e.path);
  }
}

std::vector<std::string> corpusNames() {
  std::vector<std::string> names;
  auto dir = velmora::test::corpusDir();
  if (dir.empty()) return {"(no corpus)"};
  for (auto& e : fs::directory_iterator(dir / "documents"))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool isCompound(const std::string& n) {
  return n != "testEXCEL_4.xls" && n != "testWORDML_tableInsideParagraph.doc";
}

std::u16string wide(const fs::path& p) { return p.u16string(); }

// Edits a copy the way the plug-in's writes and the engine's own tests do:
// add a stream and a storage, rewrite the summary stream with its own bytes.
void editCopy(const fs::path& file, bool structural) {
  IStorage* stg = nullptr;
  ASSERT_EQ(StgOpenStorageEx(reinterpret_cast<const WCHAR*>(wide(file).c_str()), kModeReadWrite,
                             STGFMT_DOCFILE, 0, nullptr, nullptr, IID_IStorage,
                             reinterpret_cast<void**>(&stg)),
            S_OK);
  IStream* stm = nullptr;
  if (stg->OpenStream(u"\x05SummaryInformation", nullptr, kModeReadWrite, 0, &stm) == S_OK) {
    std::string data(1 << 16, '\0');
    ULONG n = 0;
    stm->Read(data.data(), ULONG(data.size()), &n);
    LARGE_INTEGER zero{};
    stm->Seek(zero, STREAM_SEEK_SET, nullptr);
    stm->Write(data.data(), n, nullptr);
    stm->Release();
  }
  if (structural) {
    ASSERT_EQ(stg->CreateStream(u"VelmoraExtra", kModeReadWrite, 0, 0, &stm), S_OK);
    std::string big(6000, 'v');
    stm->Write(big.data(), ULONG(big.size()), nullptr);
    stm->Release();
    IStorage* sub = nullptr;
    ASSERT_EQ(stg->CreateStorage(u"VelmoraDir", kModeReadWrite, 0, 0, &sub), S_OK);
    ASSERT_EQ(sub->CreateStream(u"\x01Small", kModeReadWrite, 0, 0, &stm), S_OK);
    stm->Write("small", 5, nullptr);
    stm->Release();
    sub->Release();
  }
  EXPECT_EQ(stg->Commit(0), S_OK);
  stg->Release();
}

class CompdocCorpus : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (velmora::test::corpusDir().empty()) GTEST_SKIP() << "the shared corpus is not there";
    m_path = velmora::test::corpusDir() / "documents" / GetParam();
  }
  fs::path m_path;
};

TEST_P(CompdocCorpus, ListsAndCatsLikeOlefile) {
  if (!isCompound(GetParam())) {
    Outcome ls = run(compdoc() + " ls " + quote(m_path.string()));
    EXPECT_EQ(ls.status, 1);
    EXPECT_NE(ls.err.find("compdoc: " + m_path.string() + ": "), std::string::npos) << ls.err;
    EXPECT_NE(ls.err.find("STG_E_FILEALREADYEXISTS (0x80030050)"), std::string::npos) << ls.err;
    return;
  }
  if (!haveOlefile()) GTEST_SKIP() << "olefile is not installed";
  compareWithOlefile(m_path);
}

TEST_P(CompdocCorpus, EditedCopyStillReadsInOlefileAndGsf) {
  if (!isCompound(GetParam())) GTEST_SKIP() << "not a compound file";
  if (!haveOlefile() || !haveTool("gsf")) GTEST_SKIP() << "olefile or gsf is not installed";
  velmora::test::TempDir dir;
  auto copy = dir.file("copy" + m_path.extension().string());
  fs::copy_file(m_path, copy);
  fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
  editCopy(copy, true);
  compareWithOlefile(copy);
  compareWithGsf(copy);
}

INSTANTIATE_TEST_SUITE_P(Corpus, CompdocCorpus, ::testing::ValuesIn(corpusNames()),
                         [](const auto& info) {
                           std::string s = info.param;
                           for (auto& c : s)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return s;
                         });

TEST(CompdocNewFile, EngineWrittenDocumentReadsInPeers) {
  if (!haveOlefile() || !haveTool("gsf")) GTEST_SKIP() << "olefile or gsf is not installed";
  for (ULONG sector : {512u, 4096u}) {
    velmora::test::TempDir dir;
    auto file = dir.file("new.cfb");
    STGOPTIONS opt{1, 0, sector, nullptr};
    IStorage* stg = nullptr;
    ASSERT_EQ(StgCreateStorageEx(reinterpret_cast<const WCHAR*>(wide(file).c_str()), kModeCreate,
                                 STGFMT_DOCFILE, 0, &opt, nullptr, IID_IStorage,
                                 reinterpret_cast<void**>(&stg)),
              S_OK);
    for (int i = 0; i < 40; ++i) {
      IStream* stm = nullptr;
      std::u16string name =
          u"Stream" + std::u16string(1, char16_t(u'A' + i % 26)) + char16_t(u'0' + i / 26);
      ASSERT_EQ(stg->CreateStream(name.c_str(), kModeReadWrite, 0, 0, &stm), S_OK);
      std::string data(size_t(i) * 257, char('a' + i % 26));
      if (!data.empty()) stm->Write(data.data(), ULONG(data.size()), nullptr);
      stm->Release();
    }
    IStorage* sub = nullptr;
    ASSERT_EQ(stg->CreateStorage(u"Inner", kModeReadWrite, 0, 0, &sub), S_OK);
    sub->Release();
    stg->Release();
    compareWithOlefile(file);
    compareWithGsf(file);
  }
}

TEST(CompdocErrors, MissingElementAndUsage) {
  if (velmora::test::corpusDir().empty()) GTEST_SKIP() << "the shared corpus is not there";
  auto doc = (velmora::test::corpusDir() / "documents" / "testWORD.doc").string();
  Outcome missing = run(compdoc() + " cat " + quote(doc) + " NoSuchStream");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("STG_E_FILENOTFOUND (0x80030002)"), std::string::npos) << missing.err;
  EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1);
  Outcome absent = run(compdoc() + " ls /nonexistent/file.doc");
  EXPECT_EQ(absent.status, 1);
  EXPECT_NE(absent.err.find("STG_E_PATHNOTFOUND"), std::string::npos) << absent.err;
  EXPECT_EQ(run(compdoc() + " ls").status, 2);
  EXPECT_EQ(run(compdoc() + " cat " + quote(doc)).status, 2);
  Outcome summary = run(compdoc() + " cat " + quote(doc) + " '\\x05SummaryInformation'");
  EXPECT_EQ(summary.status, 0);
  EXPECT_EQ(summary.out.size(), 4096u);
}

// Converts `files` to PDF in one start of the suite; the names of those
// that came out.
std::set<std::string> convertToPdf(const std::vector<fs::path>& files, const fs::path& outDir,
                                   std::string* log) {
  std::string list;
  for (auto& f : files) list += " " + quote(f.string());
  Outcome conv = run("cd " + quote(outDir.string()) + " && HOME=" + quote(outDir.string()) +
                     " timeout 300 soffice --headless --convert-to pdf --outdir " +
                     quote(outDir.string()) + list);
  *log = conv.out + conv.err;
  std::set<std::string> converted;
  for (auto& f : files) {
    auto pdf = outDir / f.filename();
    pdf.replace_extension(".pdf");
    if (fs::exists(pdf) && fs::file_size(pdf) > 1000) converted.insert(f.filename().string());
  }
  return converted;
}

TEST(CompdocOffice, EditedCopiesStillConvert) {
  if (velmora::test::corpusDir().empty()) GTEST_SKIP() << "the shared corpus is not there";
  if (!haveTool("soffice")) GTEST_SKIP() << "the office suite is not installed";
  velmora::test::TempDir original, edited;
  std::vector<fs::path> originals, copies;
  for (std::string name :
       {"testWORD.doc", "testEXCEL.xls", "testPPT_various.ppt", "mcdf__Test.ppt"}) {
    auto src = velmora::test::corpusDir() / "documents" / name;
    fs::copy_file(src, original.file(name));
    originals.push_back(original.file(name));
    auto copy = edited.file(name);
    fs::copy_file(src, copy);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
    editCopy(copy, true);
    copies.push_back(copy);
  }
  std::string log;
  // Only a document the suite opens as published says anything here.
  auto opened = convertToPdf(originals, original.path(), &log);
  auto convertedCopies = convertToPdf(copies, edited.path(), &log);
  for (auto& name : opened) EXPECT_TRUE(convertedCopies.count(name)) << name << ": " << log;
  EXPECT_FALSE(opened.empty()) << log;
}

}  // namespace
