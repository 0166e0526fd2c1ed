// Cuts the I/O of a whole attribute write (WriteAttributes and the CloseFile
// that commits it) at every write and sync it makes, then reopens the
// document: a crash (the cut and everything after it lost, the last write
// possibly torn) must leave all the old values or all the new ones, and a
// failure the process lives through (no space, an I/O error, a short write)
// must be reported and leave the old document. The faults are made under
// the engine, at the C library's file calls, which this program interposes.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tests/navigator/navigator_fixture.h"

namespace {

enum class Fault {
  None,
  Crash,       // the cut event and every later one are lost
  NoSpace,     // from the cut on, writes past the end of the file fail with ENOSPC
  IoError,     // the cut event alone fails with EIO
  ShortWrite,  // the cut write takes half its bytes, then as NoSpace
};

Fault g_fault = Fault::None;
long g_cutAt = -1;
bool g_tear = false;
long g_events = 0;
constexpr size_t kTornBytes = 512;

// The clean run's events, to know which one writes the header.
struct Event {
  bool sync;
  off_t offset;
};
std::vector<Event>* g_log = nullptr;

template <typename Fn>
Fn realFunction(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  static auto real = realFunction<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  long event = g_events++;
  if (g_log) g_log->push_back({false, offset});
  bool atCut = event == g_cutAt, past = g_cutAt >= 0 && event > g_cutAt;
  // A full disk refuses only what needs new room: bytes past the file's end.
  auto growing = [&] {
    struct stat st;
    return fstat(fd, &st) == 0 && offset + off_t(count) > st.st_size;
  };
  switch (g_fault) {
    case Fault::None: break;
    case Fault::Crash:
      if (atCut && g_tear && count > kTornBytes) real(fd, buf, kTornBytes, offset);
      if (atCut || past) return errno = EIO, -1;
      break;
    case Fault::NoSpace:
      if ((atCut || past) && growing()) return errno = ENOSPC, -1;
      break;
    case Fault::IoError:
      if (atCut) return errno = EIO, -1;
      break;
    case Fault::ShortWrite:
      if (atCut && count > 1) return real(fd, buf, count / 2, offset);
      if (past && growing()) return errno = ENOSPC, -1;
      break;
  }
  return real(fd, buf, count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
  return pwrite(fd, buf, count, offset);
}

namespace {
// A sync fails where a crash has struck, and where the I/O error falls.
bool syncFails() {
  long event = g_events++;
  if (g_log) g_log->push_back({true, 0});
  if (g_fault == Fault::Crash) return g_cutAt >= 0 && event >= g_cutAt;
  return g_fault == Fault::IoError && event == g_cutAt;
}
}  // namespace

extern "C" int fsync(int fd) {
  static auto real = realFunction<int (*)(int)>("fsync");
  if (syncFails()) return errno = EIO, -1;
  return real(fd);
}

extern "C" int fdatasync(int fd) {
  static auto real = realFunction<int (*)(int)>("fdatasync");
  if (syncFails()) return errno = EIO, -1;
  return real(fd);
}

extern "C" int ftruncate(int fd, off_t length) {
  static auto real = realFunction<int (*)(int, off_t)>("ftruncate");
  if (g_fault == Fault::Crash && g_cutAt >= 0 && g_events > g_cutAt) return errno = EIO, -1;
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
    writeDocument(m_pristine,
                  {
                      {FMTID_SummaryInformation,
                       PROPSETFLAG_DEFAULT,
                       {byId(PIDSI_TITLE, pvWide(u"old title"))}},
                      {FMTID_UserDefinedProperties,
                       PROPSETFLAG_DEFAULT,
                       {byName(u"Note", pvWide(u"old note"))}},
                  },
                  GetParam().payload);
    m_payload = streamBytes(m_pristine, u"WordDocument");
  }

  // Writes the new title, a new company and the note, then closes; true
  // when the navigator reported every record written and the close done.
  bool writeNewValues(const fs::path& path) {
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
    HRESULT hrWrite = nav->WriteAttributes(0, 0, 0, records.size(), records.data(), 0);
    HRESULT hrClose = nav->CloseFile();
    m_navigators.pop_back();
    nav->Release();
    bool all = true;
    for (LONG i = 0; i < records.size(); ++i) all = all && records[i].bHandled == 1;
    return SUCCEEDED(hrWrite) && SUCCEEDED(hrClose) && all;
  }

  // Runs the write on a fresh copy with `fault` at event `cut`; the state
  // it leaves and whether it was reported done.
  std::pair<std::string, bool> runWith(Fault fault, long cut, bool tear) {
    fs::path victim = m_dir.file("cut.doc");
    fs::remove(victim);
    fs::copy_file(m_pristine, victim);
    g_fault = fault;
    g_cutAt = cut;
    g_tear = tear;
    g_events = 0;
    bool reported = writeNewValues(victim);
    g_fault = Fault::None;
    g_cutAt = -1;
    return {state(victim), reported};
  }

  // The clean run's events.
  std::vector<Event> cleanRun() {
    fs::path probe = m_dir.file("probe.doc");
    fs::copy_file(m_pristine, probe, fs::copy_options::overwrite_existing);
    std::vector<Event> log;
    g_log = &log;
    g_events = 0;
    bool reported = writeNewValues(probe);
    g_log = nullptr;
    EXPECT_TRUE(reported);
    EXPECT_EQ("new", state(probe));
    return log;
  }

  std::vector<uint8_t> streamBytes(const fs::path& path, const char16_t* name) {
    std::u16string wpath = path.u16string();
    IStorage* root = nullptr;
    std::vector<uint8_t> bytes;
    if (FAILED(StgOpenStorage(wpath.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                              &root)))
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
    AttributeRecords records{
        {u"Summary", u"Title"}, {u"DocSummary", u"Company"}, {u"CustomProperty", u"Note"}};
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
  const long total = long(cleanRun().size());
  ASSERT_GT(total, 1);
  RecordProperty("io_events", static_cast<int>(total));

  int olds = 0, news = 0;
  for (bool tear : {false, true}) {
    for (long cut = 0; cut <= total; ++cut) {
      auto [s, reported] = runWith(Fault::Crash, cut, tear);
      EXPECT_TRUE(s == "old" || s == "new")
          << "cut at event " << cut << " of " << total << (tear ? " (torn)" : "") << ": " << s;
      // A write is reported done exactly when none of its I/O was lost.
      EXPECT_EQ(reported, cut == total) << "cut at event " << cut << " of " << total;
      olds += s == "old";
      news += s == "new";
    }
  }
  EXPECT_GT(olds, 0);
  EXPECT_GT(news, 0) << "a cut after the last event must leave the new document";
}

TEST_P(WriteCommitFaultTest, EveryFailedCommitIsReportedAndLeavesTheOldDocument) {
  const std::vector<Event> log = cleanRun();
  struct Mode {
    Fault fault;
    const char* name;
  };
  for (Mode mode : {Mode{Fault::NoSpace, "no space"}, Mode{Fault::IoError, "I/O error"},
                    Mode{Fault::ShortWrite, "short write"}}) {
    int failures = 0;
    for (long cut = 0; cut < long(log.size()); ++cut) {
      if (log[cut].sync && mode.fault != Fault::IoError) continue;
      auto [s, reported] = runWith(mode.fault, cut, false);
      // The caller is told the truth: done and the new document, or not
      // done and the old one, never a mix.
      EXPECT_EQ(reported ? "new" : "old", s) << mode.name << " at event " << cut << " of "
                                             << log.size() << (reported ? ", reported done" : "");
      failures += !reported;
    }
    // Every mode can strike: there is always a write into new room and an
    // event an I/O error can fail. A short write alone is no failure: the
    // rest is written again.
    if (mode.fault != Fault::ShortWrite) {
      EXPECT_GT(failures, 0) << mode.name;
    }
  }
}

// A read that closes a write session whose commit fails reports the
// failure; the values it loaded through that session were never stored, so
// the reads after it serve the file, and the close does not claim the write.
TEST_P(WriteCommitFaultTest, AReadAfterAFailedCommitServesTheFileNotTheLostWrite) {
  for (Fault fault : {Fault::Crash, Fault::NoSpace}) {
    fs::path victim = m_dir.file("lost.doc");
    fs::remove(victim);
    fs::copy_file(m_pristine, victim);
    IVltFileNavigator* nav = open(victim);
    AttributeRecords w;
    VltAttribute& r = w.add(u"Summary", u"Title");
    r.oValue.vt = VT_BSTR;
    r.oValue.bstrVal = SysAllocString(u"lost title");
    ASSERT_EQ(S_OK, nav->WriteAttributes(0, 0, 0, 1, w.data(), 0));
    ASSERT_EQ(1, w[0].bHandled);

    // The document commit that the next read makes is what fails.
    g_fault = fault;
    g_cutAt = g_events;
    AttributeRecords first{{u"Summary", u"Title"}};
    HRESULT hrFirst = nav->ReadAttributes(0, 0, 0, 1, first.data());
    g_fault = Fault::None;
    g_cutAt = -1;
    // A full disk may find nothing to refuse: the write then reached the file.
    if (SUCCEEDED(hrFirst) && fault == Fault::NoSpace) continue;
    ASSERT_TRUE(FAILED(hrFirst));
    for (int i = 0; i < 2; ++i) {
      AttributeRecords again{{u"Summary", u"Title"}};
      ASSERT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, 1, again.data()));
      ASSERT_EQ(1, again[0].bHandled);
      EXPECT_EQ(u"old title", bstrText(again[0].oValue)) << "read " << i + 2;
    }
    EXPECT_EQ(S_OK, nav->CloseFile());
    EXPECT_EQ("old", state(victim));
  }
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
  g_fault = Fault::Crash;
  g_cutAt = 0;
  g_tear = false;
  g_events = 0;
  HRESULT hr = open(path)->UpdateReferences(0, 1, &record);
  g_fault = Fault::None;
  g_cutAt = -1;
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
