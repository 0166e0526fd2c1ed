// Cuts the I/O of a whole attribute write (WriteAttributes and the CloseFile
// that commits it) after every write and sync it makes, and tears the last
// write, then reopens the document: it must be valid and hold either all the
// old values or all the new ones. The cut is made under the engine, at the
// C library's file calls, which this test program interposes.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tests/navigator/navigator_fixture.h"

namespace {

// -1: no cut. Otherwise the I/O event (a write or a sync) at which the
// process "crashes": that write lands torn or not at all, and nothing after
// it reaches the file.
long g_cutAt = -1;
bool g_tear = false;
long g_events = 0;
bool g_crashed = false;
constexpr size_t kTornBytes = 512;

template <typename Fn>
Fn realFunction(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Counts one event; true when the call may go through.
bool allowEvent() {
  if (g_crashed) return false;
  if (g_cutAt >= 0 && g_events++ == g_cutAt) {
    g_crashed = true;
    return false;
  }
  if (g_cutAt < 0) ++g_events;
  return true;
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  static auto real = realFunction<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  long event = g_events;
  if (!allowEvent()) {
    if (g_tear && event == g_cutAt && count > kTornBytes)
      real(fd, buf, kTornBytes, offset);
    errno = EIO;
    return -1;
  }
  return real(fd, buf, count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
  return pwrite(fd, buf, count, offset);
}

extern "C" int fsync(int fd) {
  static auto real = realFunction<int (*)(int)>("fsync");
  if (!allowEvent()) {
    errno = EIO;
    return -1;
  }
  return real(fd);
}

extern "C" int fdatasync(int fd) {
  static auto real = realFunction<int (*)(int)>("fdatasync");
  if (!allowEvent()) {
    errno = EIO;
    return -1;
  }
  return real(fd);
}

extern "C" int ftruncate(int fd, off_t length) {
  static auto real = realFunction<int (*)(int, off_t)>("ftruncate");
  if (g_crashed) {
    errno = EIO;
    return -1;
  }
  return real(fd, length);
}

extern "C" int ftruncate64(int fd, off_t length) { return ftruncate(fd, length); }

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

struct Case {
  const char* name;
  size_t payload;
};

class WriteCommitFaultTest : public NavigatorTest, public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override {
    m_pristine = m_dir.file("pristine.doc");
    writeDocument(m_pristine, {
        {FMTID_SummaryInformation, PROPSETFLAG_DEFAULT, {byId(PIDSI_TITLE, pvWide(u"old title"))}},
        {FMTID_UserDefinedProperties, PROPSETFLAG_DEFAULT, {byName(u"Note", pvWide(u"old note"))}},
    }, GetParam().payload);
    m_payload = streamBytes(m_pristine, u"WordDocument");
  }

  // Writes the new title, a new company and the note, then closes.
  void writeNewValues(const fs::path& path) {
    IVltFileNavigator* nav = open(path);
    AttributeRecords records;
    const std::pair<const char16_t*, const char16_t*> pairs[][2] = {
        {{u"Summary", u"Title"}, {u"new title", nullptr}},
        {{u"DocSummary", u"Company"}, {u"new company", nullptr}},
        {{u"CustomProperty", u"Note"}, {u"new note", nullptr}}};
    for (auto& p : pairs) {
      VltAttribute& r = records.add(p[0].first, p[0].second);
      r.oValue.vt = VT_BSTR;
      r.oValue.bstrVal = SysAllocString(p[1].first);
    }
    nav->WriteAttributes(0, 0, 0, records.size(), records.data(), 0);
    nav->CloseFile();
    m_navigators.pop_back();
    nav->Release();
  }

  std::vector<uint8_t> streamBytes(const fs::path& path, const char16_t* name) {
    std::u16string wpath = path.u16string();
    IStorage* root = nullptr;
    std::vector<uint8_t> bytes;
    if (FAILED(StgOpenStorage(wpath.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr,
                              0, &root)))
      return bytes;
    IStream* stream = nullptr;
    if (SUCCEEDED(root->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream))) {
      uint8_t buf[65536];
      for (ULONG n = 0; SUCCEEDED(stream->Read(buf, sizeof buf, &n)) && n > 0;)
        bytes.insert(bytes.end(), buf, buf + n);
      stream->Release();
    }
    root->Release();
    return bytes;
  }

  // "old", "new", or a description of what is wrong.
  std::string state(const fs::path& path) {
    if (StgIsStorageFile(path.u16string().c_str()) != S_OK) return "not a compound file";
    if (streamBytes(path, u"WordDocument") != m_payload) return "payload stream damaged";
    IVltFileNavigator* nav = open(path);
    AttributeRecords records{{u"Summary", u"Title"}, {u"DocSummary", u"Company"},
                             {u"CustomProperty", u"Note"}};
    HRESULT hr = nav->ReadAttributes(0, 0, 0, records.size(), records.data());
    if (FAILED(hr)) return "unreadable";
    std::u16string title = bstrText(records[0].oValue), note = bstrText(records[2].oValue);
    bool hasCompany = records[1].bHandled && records[1].oValue.vt == VT_BSTR;
    if (title == u"old title" && note == u"old note" && !hasCompany) return "old";
    if (title == u"new title" && note == u"new note" && hasCompany &&
        bstrText(records[1].oValue) == u"new company")
      return "new";
    return "mixed";
  }

  fs::path m_pristine;
  std::vector<uint8_t> m_payload;
};

TEST_P(WriteCommitFaultTest, EveryCutLeavesTheOldOrTheNewDocument) {
  // A clean run counts the events the write makes.
  fs::path probe = m_dir.file("probe.doc");
  fs::copy_file(m_pristine, probe);
  g_cutAt = -1;
  g_events = 0;
  g_crashed = false;
  writeNewValues(probe);
  long total = g_events;
  ASSERT_EQ("new", state(probe));
  ASSERT_GT(total, 1);
  RecordProperty("io_events", static_cast<int>(total));

  int olds = 0, news = 0;
  for (bool tear : {false, true}) {
    for (long cut = 0; cut <= total; ++cut) {
      fs::path victim = m_dir.file("cut.doc");
      fs::remove(victim);
      fs::copy_file(m_pristine, victim);
      g_cutAt = cut;
      g_tear = tear;
      g_events = 0;
      g_crashed = false;
      writeNewValues(victim);
      g_cutAt = -1;
      g_crashed = false;
      std::string s = state(victim);
      EXPECT_TRUE(s == "old" || s == "new")
          << "cut at event " << cut << " of " << total << (tear ? " (torn)" : "") << ": " << s;
      olds += s == "old";
      news += s == "new";
    }
  }
  EXPECT_GT(olds, 0);
  EXPECT_GT(news, 0) << "a cut after the last event must leave the new document";
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriteCommitFaultTest,
                         ::testing::Values(Case{"small", 3000}, Case{"multi_megabyte", 3u << 20}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora::test

#include "tests/support/link_doc.h"

namespace velmora::test {
namespace {

// A relink whose writes fail when they reach the file reports the failed
// save, and the document keeps its old source.
TEST_F(NavigatorTest, ARelinkWhoseWritesFailIsReportedAndLeavesTheOldSource) {
  auto path = m_dir.file("relink.doc");
  std::vector<PoolObject> objects;
  objects.push_back(linkTo(u"_1", fileMoniker(u"C:\\old\\src.xls")));
  writeLinkDocument(path, std::move(objects));
  VltReference record = {};
  record.bsFileName = SysAllocString(u"src.xls");
  record.bsFullPath = SysAllocString(u"D:\\new\\src.xls");
  g_cutAt = 0;
  g_tear = false;
  g_events = 0;
  g_crashed = false;
  HRESULT hr = open(path)->UpdateReferences(0, 1, &record);
  g_cutAt = -1;
  g_crashed = false;
  SysFreeString(record.bsFileName);
  SysFreeString(record.bsFullPath);
  EXPECT_EQ(E_FAIL, hr);
  LONG count = 0;
  VltReference* found = nullptr;
  ASSERT_EQ(S_OK, open(path)->GetReferences(0, &count, &found));
  ASSERT_EQ(1, count);
  EXPECT_EQ(std::u16string(u"C:\\old\\src.xls"), std::u16string(found[0].bsFullPath));
  SysFreeString(found[0].bsFullPath);
  SysFreeString(found[0].bsFileName);
  CoTaskMemFree(found);
}

}  // namespace
}  // namespace velmora::test
