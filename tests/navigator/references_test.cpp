// Reference discovery and update through the navigator, over documents the
// project's own writer makes: which elements count as links in each mode,
// the records and their order, every status, first-match case-insensitive
// matching, and that a relink changes the rewritten "\1Ole" streams only.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "tests/navigator/navigator_fixture.h"
#include "tests/support/link_doc.h"

namespace velmora::test {
namespace {

struct Ref {
  std::u16string fullPath, fileName;
  bool operator==(const Ref&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Ref& r) {
  std::string a(r.fullPath.begin(), r.fullPath.end()), b(r.fileName.begin(), r.fileName.end());
  return os << "{" << a << " | " << b << "}";
}

// Owns reference records handed to UpdateReferences.
class ReferenceRecords {
 public:
  ReferenceRecords(std::initializer_list<std::pair<const char16_t*, const char16_t*>> pairs) {
    for (auto& [fileName, fullPath] : pairs) {
      VltReference r = {};
      r.bsFileName = fileName ? SysAllocString(fileName) : nullptr;
      r.bsFullPath = fullPath ? SysAllocString(fullPath) : nullptr;
      m_records.push_back(r);
    }
  }
  ~ReferenceRecords() {
    for (auto& r : m_records) {
      SysFreeString(r.bsFileName);
      SysFreeString(r.bsFullPath);
    }
  }
  VltReference* data() { return m_records.data(); }
  LONG size() const { return LONG(m_records.size()); }

 private:
  std::vector<VltReference> m_records;
};

class ReferencesTest : public NavigatorTest {
 protected:
  // GetReferences; the records are checked for their fixed fields and freed.
  HRESULT refs(const std::filesystem::path& path, std::vector<Ref>* out, bool* wrote = nullptr) {
    LONG count = -7;
    VltReference* records = reinterpret_cast<VltReference*>(0x1);
    HRESULT hr = open(path)->GetReferences(0, &count, &records);
    if (wrote) *wrote = count != -7;
    if (count == -7) {
      EXPECT_EQ(reinterpret_cast<VltReference*>(0x1), records) << "outputs written without records";
      return hr;
    }
    for (LONG i = 0; i < count; ++i) {
      VltReference& r = records[i];
      EXPECT_EQ(0u, r.ulHost0);
      EXPECT_EQ(0u, r.ulHost1);
      EXPECT_EQ(0, r.lHost4);
      EXPECT_EQ(1, r.lHost8);
      EXPECT_EQ(0u, r.ulHost5[0] | r.ulHost5[1] | r.ulHost5[2] | r.ulHost9);
      out->push_back({std::u16string(r.bsFullPath, SysStringLen(r.bsFullPath)),
                      std::u16string(r.bsFileName, SysStringLen(r.bsFileName))});
      SysFreeString(r.bsFullPath);
      SysFreeString(r.bsFileName);
    }
    CoTaskMemFree(records);
    return hr;
  }
  std::vector<Ref> refsOf(const std::filesystem::path& path) {
    std::vector<Ref> out;
    EXPECT_EQ(S_OK, refs(path, &out));
    return out;
  }
  HRESULT relink(const std::filesystem::path& path, ReferenceRecords& records) {
    return open(path)->UpdateReferences(0, records.size(), records.data());
  }
};

// A word-processor pool with every kind of element discovery meets. Names
// are chosen so the engine's order (shorter first, then by upper case) is
// the order below.
std::vector<PoolObject> mixedPool() {
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(
      u"_1", compositeOf(fileMoniker(u"C:\\data\\book.xls"), itemMoniker(u"!", u"Sheet1!R1C1"))));
  objects.push_back(linkTo(u"_2", fileMoniker(u"C:\\Отчёты\\計画.doc")));
  objects.push_back(embedding(u"_3"));
  objects.push_back(linkTo(u"_4", urlMoniker(u"https://example.com/a/b.xls")));
  objects.push_back(linkTo(u"_5", nullptr, fileMoniker(u"..\\relative-only.doc")));
  objects.push_back(linkTo(u"_6", fileMoniker(u"C:\\abs\\both.doc"), fileMoniker(u"..\\both.doc")));
  objects.push_back(linkTo(u"_7", compositeOf(fileMoniker(u"C:\\a\\b.doc"), antiMoniker())));
  PoolObject damaged = linkTo(u"_8", fileMoniker(u"C:\\never\\seen.doc"));
  damaged.oleBytes = {1, 0, 0, 2, 9, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0};
  objects.push_back(std::move(damaged));
  objects.push_back(linkTo(u"_9", fileMoniker(u"C:\\data\\book.xls")));
  PoolObject stream;
  stream.name = u"_10";
  stream.asStream = true;
  objects.push_back(std::move(stream));
  objects.push_back(linkTo(u"_11", fileMoniker(u"rel\\no-drive.doc")));
  objects.push_back(linkTo(u"_12", fileMoniker(u"C:\\data\\book.xls")));
  return objects;
}

TEST_F(ReferencesTest, DiscoveryListsEveryLinkOfThePoolInEnumerationOrder) {
  auto path = m_dir.file("mixed.doc");
  writeLinkDocument(path, mixedPool());
  std::vector<Ref> expected = {
      {u"C:\\data\\book.xls!Sheet1!R1C1", u"book.xls!Sheet1!R1C1"},
      {u"C:\\Отчёты\\計画.doc", u"計画.doc"},
      {u"https://example.com/a/b.xls", u"https://example.com/a/b.xls"},  // no backslash
      {u"", u""},  // relative only: no name without a client site
      {u"C:\\abs\\both.doc", u"both.doc"},
      {u"C:\\a\\b.doc\\..", u".."},
      {u"C:\\data\\book.xls", u"book.xls"},
      {u"rel\\no-drive.doc", u"no-drive.doc"},
      {u"C:\\data\\book.xls", u"book.xls"},  // two links to one source: two records
  };
  auto bytes = readFileBytes(path);
  EXPECT_EQ(expected, refsOf(path));
  EXPECT_EQ(bytes, readFileBytes(path)) << "discovery never writes";
}

TEST_F(ReferencesTest, SpreadsheetsOfferOnlyRootStoragesNamedLnk) {
  auto path = m_dir.file("book.xls");
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(u"LNK", fileMoniker(u"C:\\x\\exact.doc")));
  objects.push_back(linkTo(u"LN", fileMoniker(u"C:\\x\\short.doc")));
  objects.push_back(linkTo(u"lnk1", fileMoniker(u"C:\\x\\lower.doc")));
  objects.push_back(linkTo(u"LNKx", fileMoniker(u"C:\\x\\suffix.doc")));
  objects.push_back(linkTo(
      u"LNK0000002A", compositeOf(fileMoniker(u"C:\\x\\range.xls"), itemMoniker(u"!", u"S!R1C1"))));
  objects.push_back(embedding(u"MBD0000002B"));
  objects.push_back(linkTo(u"ObjectPool", fileMoniker(u"C:\\x\\pool.doc")));
  writeLinkDocument(path, std::move(objects), true);
  EXPECT_EQ((std::vector<Ref>{{u"C:\\x\\exact.doc", u"exact.doc"},
                              {u"C:\\x\\suffix.doc", u"suffix.doc"},
                              {u"C:\\x\\range.xls!S!R1C1", u"range.xls!S!R1C1"}}),
            refsOf(path));
}

TEST_F(ReferencesTest, ModesAndStatusesOfDiscovery) {
  auto linked = [&](const std::string& name) {
    auto p = m_dir.file(name);
    std::vector<PoolObject> objects;
    objects.push_back(linkTo(u"_1", fileMoniker(u"C:\\a.doc")));
    writeLinkDocument(p, std::move(objects));
    return p;
  };
  auto noPool = m_dir.file("nopool.doc");
  writeLinkDocument(noPool, {}, false, true);
  auto embeddingsOnly = m_dir.file("embedded.doc");
  {
    std::vector<PoolObject> objects;
    objects.push_back(embedding(u"_1"));
    objects.push_back(embedding(u"_2"));
    writeLinkDocument(embeddingsOnly, std::move(objects));
  }
  auto notCompound = m_dir.file("text.doc");
  std::ofstream(notCompound) << "plain text, not a compound file";
  struct Case {
    const char* label;
    std::filesystem::path path;
    HRESULT hr;
    size_t records;
  } cases[] = {
      {"DOC in capitals", linked("UPPER.DOC"), S_OK, 1},
      {"no extension, ends in doc", linked("mydoc"), S_OK, 1},
      {"XLS in capitals holds no LNK storage", linked("UPPER.XLS"), S_OK, 0},
      {"ppt", linked("a.ppt"), S_FALSE, 0},
      {"dot", linked("a.dot"), S_FALSE, 0},
      {"docx", linked("a.docx"), S_FALSE, 0},
      {"xlsx", linked("a.xlsx"), S_FALSE, 0},
      {"missing file", m_dir.file("missing.doc"), S_FALSE, 0},
      {"not a compound file", notCompound, S_FALSE, 0},
      {"no object pool", noPool, S_OK, 0},
      {"embeddings only", embeddingsOnly, S_OK, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Ref> out;
    bool wrote = true;
    EXPECT_EQ(c.hr, refs(c.path, &out, &wrote));
    EXPECT_EQ(c.records, out.size());
    EXPECT_EQ(c.records > 0, wrote);
  }
  LONG count = 0;
  VltReference* records = nullptr;
  IVltFileNavigator* nav = open(linked("null.doc"));
  EXPECT_EQ(E_POINTER, nav->GetReferences(0, nullptr, &records));
  EXPECT_EQ(E_POINTER, nav->GetReferences(0, &count, nullptr));
}

TEST_F(ReferencesTest, UpdateRewritesMatchingLinksAndNothingElse) {
  auto path = m_dir.file("relink.doc");
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(u"_1", fileMoniker(u"C:\\old\\book.xls"), fileMoniker(u"..\\book.xls")));
  objects.push_back(linkTo(
      u"_2", compositeOf(fileMoniker(u"C:\\old\\book.xls"), itemMoniker(u"!", u"Sheet1!R1C1"))));
  objects.push_back(linkTo(u"_3", fileMoniker(u"C:\\other\\Book.XLS")));
  objects.push_back(linkTo(u"_4", fileMoniker(u"C:\\x\\keep.doc")));
  objects.push_back(embedding(u"_5"));
  objects.push_back(linkTo(u"_6", fileMoniker(u"C:\\x\\null.doc")));
  objects.push_back(linkTo(u"_7", fileMoniker(u"C:\\x\\untouched.doc")));
  writeLinkDocument(path, std::move(objects));
  Snapshot before = snapshot(path);

  ReferenceRecords records = {
      {u"BOOK.XLS", u"D:\\новое\\book.xls"},
      {u"book.xls", u"E:\\never\\book.xls"},  // a later equal name is never applied
      {u"book.xls!Sheet1!R1C1", u"D:\\range.xls"},
      {u"keep.doc", u""},  // an empty path leaves the link alone
      {u"null.doc", nullptr},
  };
  ASSERT_EQ(S_OK, relink(path, records));
  EXPECT_EQ((std::vector<Ref>{{u"D:\\новое\\book.xls", u"book.xls"},
                              {u"D:\\range.xls", u"range.xls"},  // the item part is gone
                              {u"D:\\новое\\book.xls", u"book.xls"},
                              {u"C:\\x\\keep.doc", u"keep.doc"},
                              {u"C:\\x\\null.doc", u"null.doc"},
                              {u"C:\\x\\untouched.doc", u"untouched.doc"}}),
            refsOf(path));

  Snapshot after = snapshot(path);
  std::set<std::u16string> rewritten = {u"ObjectPool/_1/\1Ole", u"ObjectPool/_2/\1Ole",
                                        u"ObjectPool/_3/\1Ole"};
  ASSERT_EQ(before.streams.size(), after.streams.size());
  for (const auto& [name, bytes] : before.streams) {
    std::string label(name.begin(), name.end());
    if (rewritten.count(name)) {
      EXPECT_NE(bytes, after.streams[name]) << label;
    } else {
      EXPECT_EQ(bytes, after.streams[name]) << label << " changed";
    }
  }
  EXPECT_EQ(before.classes, after.classes);
}

TEST_F(ReferencesTest, UpdateStatusesAndEmptyRecordLists) {
  auto linked = [&](const std::string& name, bool spreadsheet = false) {
    auto p = m_dir.file(name);
    std::vector<PoolObject> objects;
    objects.push_back(linkTo(spreadsheet ? u"LNK00000001" : u"_1", fileMoniker(u"C:\\a\\a.doc")));
    writeLinkDocument(p, std::move(objects), spreadsheet);
    return p;
  };
  auto noPool = m_dir.file("nopool.doc");
  writeLinkDocument(noPool, {}, false, true);
  ReferenceRecords records = {{u"a.doc", u"C:\\b\\b.doc"}};

  auto doc = linked("count.doc");
  auto bytes = readFileBytes(doc);
  for (LONG count : {0, -1}) {
    EXPECT_EQ(S_OK, open(doc)->UpdateReferences(0, count, records.data()));
    EXPECT_EQ(bytes, readFileBytes(doc)) << "count " << count;
  }
  EXPECT_EQ(E_POINTER, open(doc)->UpdateReferences(0, 0, nullptr));
  EXPECT_EQ(STG_E_FILENOTFOUND, relink(noPool, records));
  EXPECT_EQ(S_FALSE, relink(linked("a.ppt"), records));
  EXPECT_EQ(S_FALSE, relink(m_dir.file("missing.xls"), records));

  auto book = linked("BOOK.XLS", true);
  EXPECT_EQ(S_OK, relink(book, records));
  EXPECT_EQ((std::vector<Ref>{{u"C:\\b\\b.doc", u"b.doc"}}), refsOf(book));

  auto readOnly = linked("readonly.doc");
  auto roBytes = readFileBytes(readOnly);
  ASSERT_EQ(0, chmod(readOnly.c_str(), 0444));
  EXPECT_EQ(VLT_E_FILE_ACCESS, relink(readOnly, records));
  EXPECT_EQ(roBytes, readFileBytes(readOnly));
  EXPECT_EQ((std::vector<Ref>{{u"C:\\a\\a.doc", u"a.doc"}}), refsOf(readOnly));
}

// Gives the file moniker in the "\1Ole" of pool object `name` `cAnti` anti
// steps: its display name grows by three characters a step.
void setAntiSteps(const std::filesystem::path& path, const std::u16string& name, uint16_t cAnti) {
  const std::vector<std::u16string> element = {u"ObjectPool", name, u"\1Ole"};
  std::vector<uint8_t> ole = readElement(path, element);
  const uint8_t fileClass[16] = {0x03, 0x03, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  auto at = std::search(ole.begin(), ole.end(), fileClass, fileClass + 16);
  ASSERT_NE(ole.end(), at);
  at[16] = uint8_t(cAnti);
  at[17] = uint8_t(cAnti >> 8);
  writeElement(path, element, ole);
}

// A link's display name may be 65,536 characters long; a longer one is
// unreadable: not listed, and left as it is by an update.
TEST_F(ReferencesTest, LinksWhoseNamePassesTheBoundAreSkipped) {
  auto path = m_dir.file("long.doc");
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(u"_1", fileMoniker(u"a")));
  objects.push_back(linkTo(u"_2", fileMoniker(u"ab")));
  objects.push_back(linkTo(u"_3", fileMoniker(u"C:\\x\\ok.doc")));
  objects.push_back(linkTo(u"_4", fileMoniker(u"C:\\x\\steps.doc")));
  writeLinkDocument(path, std::move(objects));
  setAntiSteps(path, u"_1", 21845);  // "..\\" x 21845 less one, "\\a": 65,536
  setAntiSteps(path, u"_2", 21845);  // 65,537
  setAntiSteps(path, u"_4", 65535);  // 196,620

  std::u16string atBound = u"..";
  for (int i = 1; i < 21845; ++i) atBound += u"\\..";
  atBound += u"\\a";
  ASSERT_EQ(65536u, atBound.size());
  EXPECT_EQ((std::vector<Ref>{{atBound, u"a"}, {u"C:\\x\\ok.doc", u"ok.doc"}}), refsOf(path));

  Snapshot before = snapshot(path);
  ReferenceRecords records = {{u"ab", u"C:\\new\\ab.doc"},
                              {u"steps.doc", u"C:\\new\\steps.doc"},
                              {u"ok.doc", u"C:\\new\\ok.doc"}};
  ASSERT_EQ(S_OK, relink(path, records));
  Snapshot after = snapshot(path);
  EXPECT_EQ(before.streams[u"ObjectPool/_2/\1Ole"], after.streams[u"ObjectPool/_2/\1Ole"]);
  EXPECT_EQ(before.streams[u"ObjectPool/_4/\1Ole"], after.streams[u"ObjectPool/_4/\1Ole"]);
  EXPECT_EQ((std::vector<Ref>{{atBound, u"a"}, {u"C:\\new\\ok.doc", u"ok.doc"}}), refsOf(path));
}

// A new path is what precedes its first NUL; when nothing does, or when it
// is longer than a path can be, the link is left as it is.
TEST_F(ReferencesTest, UpdateTakesTheNewPathUpToItsFirstNul) {
  auto path = m_dir.file("nul.doc");
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(u"_1", fileMoniker(u"C:\\old\\lead.doc")));
  objects.push_back(linkTo(u"_2", fileMoniker(u"C:\\old\\tail.doc")));
  objects.push_back(linkTo(u"_3", fileMoniker(u"C:\\old\\huge.doc")));
  writeLinkDocument(path, std::move(objects));
  Snapshot before = snapshot(path);

  using namespace std::string_literals;
  auto bstr = [](const std::u16string& text) {
    return SysAllocStringLen(text.data(), UINT(text.size()));
  };
  const std::u16string huge = u"C:\\" + std::u16string(32767, u'h');
  VltReference records[3] = {};
  records[0].bsFileName = SysAllocString(u"lead.doc");
  records[0].bsFullPath = bstr(u"\0C:\\new\\lead.doc"s);
  records[1].bsFileName = SysAllocString(u"tail.doc");
  records[1].bsFullPath = bstr(u"C:\\new\\tail.doc\0x"s);
  records[2].bsFileName = SysAllocString(u"huge.doc");
  records[2].bsFullPath = bstr(huge);
  EXPECT_EQ(S_OK, open(path)->UpdateReferences(0, 3, records));
  for (VltReference& r : records) {
    SysFreeString(r.bsFileName);
    SysFreeString(r.bsFullPath);
  }
  EXPECT_EQ((std::vector<Ref>{{u"C:\\old\\lead.doc", u"lead.doc"},
                              {u"C:\\new\\tail.doc", u"tail.doc"},
                              {u"C:\\old\\huge.doc", u"huge.doc"}}),
            refsOf(path));
  Snapshot after = snapshot(path);
  EXPECT_EQ(before.streams[u"ObjectPool/_1/\1Ole"], after.streams[u"ObjectPool/_1/\1Ole"]);
  EXPECT_EQ(before.streams[u"ObjectPool/_3/\1Ole"], after.streams[u"ObjectPool/_3/\1Ole"]);
}

TEST_F(ReferencesTest, ADocumentHeldByAnotherProcessIsAFileAccessFailure) {
  auto path = m_dir.file("held.doc");
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(u"_1", fileMoniker(u"C:\\a\\a.doc")));
  writeLinkDocument(path, std::move(objects));
  auto bytes = readFileBytes(path);
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t child = fork();
  if (child == 0) {
    IStorage* stg = nullptr;
    HRESULT hr = StgOpenStorage(widePath(path).c_str(), nullptr,
                                STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &stg);
    char c = SUCCEEDED(hr) ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  ASSERT_EQ('y', c);
  std::vector<Ref> out;
  HRESULT discovery = refs(path, &out);
  ReferenceRecords records = {{u"a.doc", u"C:\\b\\b.doc"}};
  HRESULT update = relink(path, records);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(VLT_E_FILE_ACCESS, discovery);
  EXPECT_EQ(VLT_E_FILE_ACCESS, update);
  EXPECT_EQ(bytes, readFileBytes(path));
}

// Real documents with embedded objects hold no links: no records, and the
// file stays byte for byte as it was through both operations.
TEST_F(ReferencesTest, CorpusDocumentsGiveNoRecordsAndStayUnchanged) {
  auto corpus = corpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no document corpus (../shared/corpus or VELMORA_CORPUS)";
  size_t seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus / "documents")) {
    auto ext = entry.path().extension().string();
    if (ext != ".doc" && ext != ".xls") continue;
    SCOPED_TRACE(entry.path().filename().string());
    auto copy = m_dir.file(entry.path().filename().string());
    std::filesystem::copy_file(entry.path(), copy);
    auto bytes = readFileBytes(copy);
    std::vector<Ref> out;
    HRESULT hr = refs(copy, &out);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    EXPECT_TRUE(out.empty());
    ReferenceRecords records = {{u"", u"C:\\x.doc"}, {u"x.doc", u"C:\\y.doc"}};
    relink(copy, records);
    EXPECT_EQ(bytes, readFileBytes(copy));
    ++seen;
  }
  EXPECT_GT(seen, 10u);
}

}  // namespace
}  // namespace velmora::test
