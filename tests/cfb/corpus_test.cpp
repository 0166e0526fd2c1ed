// Every compound file of the shared corpus opens and reads whole; copies
// survive edits that add, grow, shrink and delete streams and storages.
#include <algorithm>

#include "tests/cfb/cfb_test_util.h"
#include "tests/support/modes.h"

namespace velmora::cfb::test {
namespace {

std::vector<std::string> corpusNames() {
  std::vector<std::string> names;
  auto dir = corpusDocuments();
  if (dir.empty()) return {"(no corpus)"};
  for (auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool isCompound(const std::string& name) {
  return name != "testEXCEL_4.xls" && name != "testWORDML_tableInsideParagraph.doc";
}

class CorpusFile : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (corpusDocuments().empty()) GTEST_SKIP() << "the shared corpus is not there";
    m_path = corpusDocuments() / GetParam();
  }
  std::filesystem::path m_path;
};

TEST_P(CorpusFile, OpensReadsAndChecksOrIsRefusedAsNotCompound) {
  HRESULT is = StgIsStorageFile(reinterpret_cast<const WCHAR*>(wide(m_path).c_str()));
  Tree t;
  HRESULT hr = readFileTree(m_path, t);
  if (!isCompound(GetParam())) {
    EXPECT_EQ(is, S_FALSE);
    EXPECT_EQ(hr, STG_E_FILEALREADYEXISTS);
    return;
  }
  EXPECT_EQ(is, S_OK);
  ASSERT_EQ(hr, S_OK);
  EXPECT_FALSE(t.empty());
  auto r = checkFile(m_path, false);
  EXPECT_TRUE(r.ok()) << r.error().message;
}

TEST_P(CorpusFile, EditedCopyReadsBackAsEdited) {
  if (!isCompound(GetParam())) GTEST_SKIP() << "not a compound file";
  velmora::test::TempDir dir;
  auto copy = dir.file("copy");
  copyWritable(m_path, copy);
  Tree model;
  ASSERT_EQ(readFileTree(copy, model), S_OK);

  IStorage* stg = nullptr;
  ASSERT_EQ(StgOpenStorageEx(reinterpret_cast<const WCHAR*>(wide(copy).c_str()), kModeReadWrite,
                             STGFMT_DOCFILE, 0, nullptr, nullptr, IID_IStorage,
                             reinterpret_cast<void**>(&stg)),
            S_OK);
  // Add a stream over the cutoff and a storage with a small stream.
  ASSERT_EQ(putStream(stg, u"VelmoraAdded", pattern(5000, 1)), S_OK);
  model[u"VelmoraAdded"] = pattern(5000, 1);
  IStorage* sub = nullptr;
  ASSERT_EQ(stg->CreateStorage(u"VelmoraDir", kModeReadWrite, 0, 0, &sub), S_OK);
  ASSERT_EQ(putStream(sub, u"\x05Inner", pattern(100, 2)), S_OK);
  sub->Release();
  model[u"VelmoraDir"] = kStorageMark;
  model[u"VelmoraDir/\x05Inner"] = pattern(100, 2);
  // Grow the first small top-level stream across the cutoff, shrink the
  // first large one below it, delete another.
  std::u16string grown, shrunk, deleted;
  for (auto& [k, v] : model) {
    if (k.find(u'/') != std::u16string::npos || v == kStorageMark || k.rfind(u"Velmora", 0) == 0)
      continue;
    if (grown.empty() && v.size() < 4096)
      grown = k;
    else if (shrunk.empty() && v.size() >= 4096)
      shrunk = k;
    else if (deleted.empty())
      deleted = k;
  }
  IStream* stm = nullptr;
  if (!grown.empty()) {
    ASSERT_EQ(stg->OpenStream(grown.c_str(), nullptr, kModeReadWrite, 0, &stm), S_OK);
    LARGE_INTEGER zero{};
    ASSERT_EQ(stm->Seek(zero, STREAM_SEEK_END, nullptr), S_OK);
    std::string more = pattern(4500, 3);
    ASSERT_EQ(stm->Write(more.data(), ULONG(more.size()), nullptr), S_OK);
    stm->Release();
    model[grown] += more;
  }
  if (!shrunk.empty()) {
    ASSERT_EQ(stg->OpenStream(shrunk.c_str(), nullptr, kModeReadWrite, 0, &stm), S_OK);
    ULARGE_INTEGER size;
    size.QuadPart = 100;
    ASSERT_EQ(stm->SetSize(size), S_OK);
    stm->Release();
    model[shrunk].resize(100);
  }
  if (!deleted.empty()) {
    ASSERT_EQ(stg->DestroyElement(deleted.c_str()), S_OK);
    model.erase(deleted);
  }
  ASSERT_EQ(stg->Commit(STGC_DEFAULT), S_OK);
  stg->Release();

  Tree back;
  ASSERT_EQ(readFileTree(copy, back), S_OK);
  EXPECT_TRUE(back == model);
  auto r = checkFile(copy, false);
  EXPECT_TRUE(r.ok()) << r.error().message;
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusFile, ::testing::ValuesIn(corpusNames()),
                         [](const auto& info) {
                           std::string s = info.param;
                           for (auto& c : s)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return s;
                         });

}  // namespace
}  // namespace velmora::cfb::test
