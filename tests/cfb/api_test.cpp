// The interface behaviour the platform reproduces: argument and mode rules,
// status codes, invalidation, enumeration and reference counting.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "base/little_endian.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/fifo_watch.h"
#include "tests/support/modes.h"

namespace velmora::cfb::test {
namespace {

class ApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_file = m_dir.file("api.doc");
    ASSERT_EQ(
        StgCreateDocfile(path(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_CREATE, 0, &m_root),
        S_OK);
  }
  void TearDown() override {
    if (m_root) m_root->Release();
  }
  const WCHAR* path() { return reinterpret_cast<const WCHAR*>((m_wide = wide(m_file)).c_str()); }
  IStream* create(const char16_t* name) {
    IStream* s = nullptr;
    EXPECT_EQ(m_root->CreateStream(name, kModeReadWrite, 0, 0, &s), S_OK);
    return s;
  }
  velmora::test::TempDir m_dir;
  std::filesystem::path m_file;
  std::u16string m_wide;
  IStorage* m_root = nullptr;
};

TEST_F(ApiTest, StreamCallsFollowTheCompoundFileRules) {
  IStream* s = create(u"S");
  EXPECT_EQ(s->Write(nullptr, 0, nullptr), STG_E_INVALIDPOINTER);
  EXPECT_EQ(s->Write("abc", 0, nullptr), S_OK);
  ULONG n = 0;
  EXPECT_EQ(s->Write("hello", 5, &n), S_OK);
  EXPECT_EQ(n, 5u);
  LARGE_INTEGER move;
  move.QuadPart = 0;
  ULARGE_INTEGER pos;
  EXPECT_EQ(s->Seek(move, 3, &pos), STG_E_INVALIDFUNCTION);
  move.QuadPart = -6;
  EXPECT_EQ(s->Seek(move, STREAM_SEEK_END, &pos), STG_E_INVALIDFUNCTION);
  move.QuadPart = -5;
  EXPECT_EQ(s->Seek(move, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos.QuadPart, 0u);
  char buf[16] = {};
  EXPECT_EQ(s->Read(buf, sizeof buf, &n), S_OK);  // S_OK even at the end
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(s->Read(buf, sizeof buf, &n), S_OK);
  EXPECT_EQ(n, 0u);
  // Seeking past the end does not grow the stream; writing there fills zeros.
  move.QuadPart = 10;
  EXPECT_EQ(s->Seek(move, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(s->Write("!", 1, nullptr), S_OK);
  STATSTG st;
  EXPECT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, 11u);
  EXPECT_EQ(st.pwcsName, nullptr);
  EXPECT_EQ(st.grfMode, 0x12u);
  ULARGE_INTEGER huge;
  huge.QuadPart = 1ull << 32;
  EXPECT_EQ(s->SetSize(huge), STG_E_INVALIDFUNCTION);
  ULARGE_INTEGER r{};
  EXPECT_EQ(s->LockRegion(r, r, LOCK_WRITE), STG_E_INVALIDFUNCTION);
  void* p = nullptr;
  EXPECT_EQ(s->QueryInterface(IID_ISequentialStream, &p), E_NOINTERFACE);
  EXPECT_EQ(s->QueryInterface(IID_IStream, &p), S_OK);
  static_cast<IStream*>(p)->Release();
  // A clone has its own seek pointer over the same bytes.
  IStream* c = nullptr;
  ASSERT_EQ(s->Clone(&c), S_OK);
  move.QuadPart = 0;
  c->Seek(move, STREAM_SEEK_SET, nullptr);
  EXPECT_EQ(c->Read(buf, 11, &n), S_OK);
  EXPECT_EQ(std::string(buf, 11), std::string("hello\0\0\0\0\0!", 11));
  c->Release();
  s->Release();
}

TEST_F(ApiTest, ChildOpensNeedExclusiveSharingAndOpenOnce) {
  IStream* s = create(u"One");
  IStream* again = nullptr;
  EXPECT_EQ(m_root->OpenStream(u"One", nullptr, kModeReadWrite, 0, &again), STG_E_ACCESSDENIED);
  EXPECT_EQ(m_root->RenameElement(u"One", u"Two"), STG_E_ACCESSDENIED);
  s->Release();
  EXPECT_EQ(m_root->OpenStream(u"One", nullptr, STGM_READ, 0, &again), STG_E_INVALIDFLAG);
  EXPECT_EQ(m_root->OpenStream(u"One", nullptr, kModeReadWrite | STGM_TRANSACTED, 0, &again),
            STG_E_INVALIDFUNCTION);
  EXPECT_EQ(m_root->OpenStream(u"One", reinterpret_cast<void*>(1), kModeReadWrite, 0, &again),
            STG_E_INVALIDPARAMETER);
  EXPECT_EQ(m_root->OpenStream(u"ONE", nullptr, kModeReadWrite, 0, &again),
            S_OK);  // names ignore case
  again->Release();
  EXPECT_EQ(m_root->CreateStream(u"one", kModeReadWrite, 0, 0, &again), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(m_root->CreateStream(nullptr, kModeReadWrite, 0, 0, &again), STG_E_INVALIDNAME);
  EXPECT_EQ(m_root->CreateStream(u"a/b", kModeReadWrite, 0, 0, &again), STG_E_INVALIDNAME);
  EXPECT_EQ(m_root->CreateStream(u"12345678901234567890123456789012", kModeReadWrite, 0, 0, &again),
            STG_E_INVALIDNAME);
  EXPECT_EQ(m_root->CreateStream(u"x", kModeReadWrite, 1, 0, &again), STG_E_INVALIDPARAMETER);
  EXPECT_EQ(m_root->CreateStream(u"x", STGM_READWRITE | STGM_SHARE_DENY_NONE, 0, 0, &again),
            STG_E_INVALIDFLAG);
  IStorage* sub = nullptr;
  EXPECT_EQ(m_root->OpenStorage(u"One", nullptr, kModeRead, nullptr, 0, &sub), STG_E_FILENOTFOUND);
  EXPECT_EQ(m_root->OpenStorage(u"Missing", nullptr, kModeRead, nullptr, 0, &sub),
            STG_E_FILENOTFOUND);
  EXPECT_EQ(m_root->CreateStorage(u"Sub", kModeReadWrite | STGM_PRIORITY, 0, 0, &sub),
            STG_E_INVALIDFLAG);
  ASSERT_EQ(m_root->CreateStorage(u"Sub", kModeReadWrite, 0, 0, &sub), S_OK);
  EXPECT_EQ(m_root->OpenStream(u"Sub", nullptr, kModeReadWrite, 0, &again), STG_E_FILENOTFOUND);
  sub->Release();
}

TEST_F(ApiTest, ReleasedOrDestroyedParentsRevertTheirChildren) {
  IStorage* sub = nullptr;
  ASSERT_EQ(m_root->CreateStorage(u"Sub", kModeReadWrite, 0, 0, &sub), S_OK);
  IStream* s = nullptr;
  ASSERT_EQ(sub->CreateStream(u"In", kModeReadWrite, 0, 0, &s), S_OK);
  sub->Release();
  EXPECT_EQ(s->Write("x", 1, nullptr), STG_E_REVERTED);
  STATSTG st;
  EXPECT_EQ(s->Stat(&st, STATFLAG_NONAME), STG_E_REVERTED);
  s->Release();

  IStream* open = create(u"Open");
  EXPECT_EQ(m_root->DestroyElement(u"Open"), S_OK);
  EXPECT_EQ(open->Write("x", 1, nullptr), STG_E_REVERTED);
  open->Release();
  EXPECT_EQ(m_root->DestroyElement(u"Open"), STG_E_FILENOTFOUND);
  // STGM_CREATE over an open stream reverts the old instance.
  IStream* a = create(u"Twice");
  IStream* b = nullptr;
  ASSERT_EQ(m_root->CreateStream(u"Twice", kModeCreate, 0, 0, &b), S_OK);
  EXPECT_EQ(a->Write("x", 1, nullptr), STG_E_REVERTED);
  a->Release();
  b->Release();
}

TEST_F(ApiTest, EnumerationWalksNameOrderAndEndsWithAZeroedEntry) {
  for (auto n : {u"Zeta", u"ab", u"B", u"CONTENTS", u"ABCDEFGHIJ", u"a1"}) create(n)->Release();
  IEnumSTATSTG* en = nullptr;
  ASSERT_EQ(m_root->EnumElements(0, nullptr, 0, &en), S_OK);
  std::vector<std::u16string> names;
  STATSTG st;
  ULONG got;
  while (en->Next(1, &st, &got) == S_OK) {
    names.push_back(st.pwcsName);
    CoTaskMemFree(st.pwcsName);
  }
  EXPECT_EQ(names,
            (std::vector<std::u16string>{u"B", u"a1", u"ab", u"Zeta", u"CONTENTS", u"ABCDEFGHIJ"}));
  std::memset(&st, 0xAB, sizeof st);
  EXPECT_EQ(en->Next(1, &st, &got), S_FALSE);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(st.pwcsName, nullptr);
  EXPECT_EQ(st.type, 0u);
  EXPECT_EQ(en->Reset(), S_OK);
  EXPECT_EQ(en->Skip(5), S_OK);
  IEnumSTATSTG* clone = nullptr;
  ASSERT_EQ(en->Clone(&clone), S_OK);
  STATSTG two[2];
  EXPECT_EQ(clone->Next(2, two, &got), S_FALSE);
  ASSERT_EQ(got, 1u);
  EXPECT_EQ(std::u16string(two[0].pwcsName), u"ABCDEFGHIJ");
  CoTaskMemFree(two[0].pwcsName);
  // The live list: an element destroyed during the walk is not returned.
  en->Reset();
  ASSERT_EQ(en->Next(1, &st, &got), S_OK);
  CoTaskMemFree(st.pwcsName);
  EXPECT_EQ(m_root->DestroyElement(u"a1"), S_OK);
  ASSERT_EQ(en->Next(1, &st, &got), S_OK);
  EXPECT_EQ(std::u16string(st.pwcsName), u"ab");
  CoTaskMemFree(st.pwcsName);
  clone->Release();
  en->Release();
}

TEST_F(ApiTest, ReadOnlyRootRefusesEveryChange) {
  m_root->Release();
  m_root = nullptr;
  IStorage* ro = nullptr;
  ASSERT_EQ(StgOpenStorage(path(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &ro),
            S_OK);
  IStream* s = nullptr;
  IStorage* sub = nullptr;
  EXPECT_EQ(ro->CreateStream(u"x", kModeReadWrite, 0, 0, &s), STG_E_ACCESSDENIED);
  EXPECT_EQ(ro->CreateStorage(u"x", kModeReadWrite, 0, 0, &sub), STG_E_ACCESSDENIED);
  EXPECT_EQ(ro->DestroyElement(u"missing"), STG_E_ACCESSDENIED);
  EXPECT_EQ(ro->RenameElement(u"a", u"b"), STG_E_ACCESSDENIED);
  EXPECT_EQ(ro->SetClass(CLSID_NULL), STG_E_ACCESSDENIED);
  EXPECT_EQ(ro->SetStateBits(1, 1), STG_E_ACCESSDENIED);
  EXPECT_EQ(ro->SetElementTimes(nullptr, nullptr, nullptr, nullptr), STG_E_ACCESSDENIED);
  EXPECT_EQ(WriteClassStg(ro, CLSID_NULL), STG_E_ACCESSDENIED);
  EXPECT_EQ(ro->Commit(0), S_OK);
  ro->Release();
}

TEST_F(ApiTest, ClassStateBitsAndStat) {
  const CLSID word = {0x00020906, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  EXPECT_EQ(WriteClassStg(m_root, word), S_OK);
  EXPECT_EQ(m_root->SetStateBits(0xF0, 0x30), S_OK);
  EXPECT_EQ(WriteClassStg(nullptr, word), E_INVALIDARG);
  CLSID got{};
  EXPECT_EQ(ReadClassStg(nullptr, &got), E_INVALIDARG);
  m_root->Release();
  ASSERT_EQ(StgOpenStorage(path(), nullptr, 0x40000, nullptr, 0, &m_root), S_OK);
  EXPECT_EQ(ReadClassStg(m_root, &got), S_OK);
  EXPECT_TRUE(IsEqualCLSID(got, word));
  STATSTG st;
  ASSERT_EQ(m_root->Stat(&st, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(st.grfStateBits, 0x30u);
  EXPECT_EQ(st.grfMode, 0x40000u);
  EXPECT_EQ(st.type, DWORD(STGTY_STORAGE));
  EXPECT_EQ(std::filesystem::path(std::u16string(st.pwcsName)), std::filesystem::canonical(m_file));
  CoTaskMemFree(st.pwcsName);
  EXPECT_EQ(m_root->Stat(&st, 7), STG_E_INVALIDFLAG);
  void* p = nullptr;
  EXPECT_EQ(m_root->QueryInterface(IID_IStream, &p), E_NOINTERFACE);
}

TEST_F(ApiTest, FileLevelFunctions) {
  EXPECT_EQ(StgIsStorageFile(path()), S_OK);
  auto other = m_dir.file("plain.txt");
  std::ofstream(other) << "not a compound file";
  auto w = wide(other);
  EXPECT_EQ(StgIsStorageFile(reinterpret_cast<const WCHAR*>(w.c_str())), S_FALSE);
  IStorage* stg = nullptr;
  EXPECT_EQ(
      StgOpenStorage(reinterpret_cast<const WCHAR*>(w.c_str()), nullptr, 0x40000, nullptr, 0, &stg),
      STG_E_FILEALREADYEXISTS);
  auto empty = m_dir.file("empty.doc");
  std::ofstream(empty).flush();
  auto we = wide(empty);
  EXPECT_EQ(StgOpenStorage(reinterpret_cast<const WCHAR*>(we.c_str()), nullptr, 0x40000, nullptr, 0,
                           &stg),
            STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(std::filesystem::file_size(empty), 0u);
  auto missing = wide(m_dir.file("missing.doc"));
  EXPECT_EQ(StgIsStorageFile(reinterpret_cast<const WCHAR*>(missing.c_str())), STG_E_FILENOTFOUND);
  EXPECT_EQ(StgCreateDocfile(path(), kModeReadWrite, 0, &stg), STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(StgCreateDocfile(path(), 0x1002, 0, &stg), STG_E_INVALIDFLAG);
  EXPECT_EQ(StgOpenStorage(path(), nullptr, kModeReadWrite | STGM_CREATE, nullptr, 0, &stg),
            STG_E_INVALIDFLAG);
  void* ps = nullptr;
  EXPECT_EQ(StgOpenStorageEx(path(), 0x40000, STGFMT_FILE, 0, nullptr, nullptr, IID_IStorage, &ps),
            STG_E_INVALIDPARAMETER);
  // Version 4 through STGOPTIONS.
  auto v4 = wide(m_dir.file("v4.doc"));
  STGOPTIONS opt{1, 0, 4096, nullptr};
  ASSERT_EQ(
      StgCreateStorageEx(reinterpret_cast<const WCHAR*>(v4.c_str()), kModeCreate, STGFMT_DOCFILE, 0,
                         &opt, nullptr, IID_IStorage, reinterpret_cast<void**>(&stg)),
      S_OK);
  stg->Release();
  std::ifstream in(m_dir.file("v4.doc"), std::ios::binary);
  uint8_t head[32];
  in.read(reinterpret_cast<char*>(head), sizeof head);
  EXPECT_EQ(base::loadLE16(head + 0x1A), 4);
  EXPECT_EQ(base::loadLE16(head + 0x1E), 12);
  // No name: a scratch file that goes with the storage.
  ASSERT_EQ(StgCreateDocfile(nullptr, kModeReadWrite, 0, &stg), S_OK);
  STATSTG st;
  ASSERT_EQ(stg->Stat(&st, STATFLAG_DEFAULT), S_OK);
  std::filesystem::path scratch(std::u16string(st.pwcsName));
  CoTaskMemFree(st.pwcsName);
  EXPECT_TRUE(std::filesystem::exists(scratch));
  stg->Release();
  EXPECT_FALSE(std::filesystem::exists(scratch));
}

// A pipe, a socket or a folder named like a document is no compound file,
// and saying so must not wait for a writer that never comes.
TEST_F(ApiTest, OnlyRegularFilesAreOpenedAndNothingElseIsWaitedOn) {
  auto fifo = m_dir.file("pipe.doc");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto wf = wide(fifo);
  const WCHAR* name = reinterpret_cast<const WCHAR*>(wf.c_str());
  IStorage* stg = nullptr;
  void* out = nullptr;
  HRESULT hr = E_FAIL;
  bool quick = velmora::test::answersWithoutWaiting(fifo, [&] { hr = StgIsStorageFile(name); });
  EXPECT_TRUE(quick) << "StgIsStorageFile waited on the pipe";
  EXPECT_EQ(hr, S_FALSE);
  for (DWORD mode : {DWORD(STGM_PRIORITY), kModeRead, kModeReadWrite}) {
    SCOPED_TRACE(mode);
    HRESULT hrEx = E_FAIL;
    quick = velmora::test::answersWithoutWaiting(fifo, [&] {
      hr = StgOpenStorage(name, nullptr, mode, nullptr, 0, &stg);
      hrEx = StgOpenStorageEx(name, mode, STGFMT_ANY, 0, nullptr, nullptr, IID_IStorage, &out);
    });
    EXPECT_TRUE(quick) << "the open waited on the pipe";
    EXPECT_EQ(hr, STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(hrEx, STG_E_FILEALREADYEXISTS);
  }
  EXPECT_EQ(stg, nullptr);
  EXPECT_EQ(out, nullptr);

  auto sock = m_dir.file("sock.doc");
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.native().size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  auto ws = wide(sock);
  EXPECT_EQ(StgIsStorageFile(reinterpret_cast<const WCHAR*>(ws.c_str())), S_FALSE);
  EXPECT_EQ(StgOpenStorage(reinterpret_cast<const WCHAR*>(ws.c_str()), nullptr, 0x40000, nullptr, 0,
                           &stg),
            STG_E_FILEALREADYEXISTS);
  ::close(fd);

  auto folder = wide(m_dir.file(""));
  EXPECT_EQ(StgOpenStorage(reinterpret_cast<const WCHAR*>(folder.c_str()), nullptr, 0x40000,
                           nullptr, 0, &stg),
            STG_E_ACCESSDENIED);
  EXPECT_EQ(StgOpenStorage(reinterpret_cast<const WCHAR*>(u"/dev/null"), nullptr, 0x40000, nullptr,
                           0, &stg),
            STG_E_FILEALREADYEXISTS);
}

// A priority read of a file that another priority read holds open in this
// process shares that open's document; the file is known by its identity,
// so one renamed over the path is opened afresh, and writers stay out.
TEST_F(ApiTest, APriorityReadOfAFileHeldOpenHereSharesItsDocument) {
  ASSERT_EQ(putStream(m_root, u"S", "one"), S_OK);
  m_root->Release();
  m_root = nullptr;
  auto contents = [](IStorage* stg) {
    Tree t;
    EXPECT_EQ(readTree(stg, u"", t), S_OK);
    return t[u"S"];
  };
  IStorage* first = nullptr;
  IStorage* second = nullptr;
  ASSERT_EQ(StgOpenStorage(path(), nullptr, STGM_READ | STGM_PRIORITY, nullptr, 0, &first), S_OK);
  const uint64_t reads = ioCounters().reads;
  EXPECT_EQ(StgIsStorageFile(path()), S_OK);
  ASSERT_EQ(StgOpenStorage(path(), nullptr, STGM_READ | STGM_PRIORITY, nullptr, 0, &second), S_OK);
  EXPECT_EQ(ioCounters().reads, reads) << "neither the test nor the second open reads the file";
  first->Release();
  EXPECT_EQ(contents(second), "one") << "the shared document outlives the open it came from";
  IStorage* writer = nullptr;
  EXPECT_EQ(
      StgOpenStorage(path(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &writer),
      STG_E_LOCKVIOLATION);
  EXPECT_EQ(writer, nullptr);

  auto other = m_dir.file("other.doc");
  auto wo = wide(other);
  IStorage* made = nullptr;
  ASSERT_EQ(StgCreateDocfile(reinterpret_cast<const WCHAR*>(wo.c_str()), kModeCreate, 0, &made),
            S_OK);
  ASSERT_EQ(putStream(made, u"S", "two"), S_OK);
  made->Release();
  std::filesystem::rename(other, m_file);
  IStorage* third = nullptr;
  ASSERT_EQ(StgOpenStorage(path(), nullptr, STGM_READ | STGM_PRIORITY, nullptr, 0, &third), S_OK);
  EXPECT_EQ(contents(third), "two");
  EXPECT_EQ(contents(second), "one");
  third->Release();
  second->Release();
}

TEST_F(ApiTest, CopyToMergesAndRefusesItsOwnChild) {
  ASSERT_EQ(putStream(m_root, u"Top", "top"), S_OK);
  IStorage* sub = nullptr;
  ASSERT_EQ(m_root->CreateStorage(u"Sub", kModeReadWrite, 0, 0, &sub), S_OK);
  ASSERT_EQ(putStream(sub, u"Inner", "inner"), S_OK);
  EXPECT_EQ(m_root->CopyTo(0, nullptr, nullptr, sub), STG_E_ACCESSDENIED);
  sub->Release();
  auto other = wide(m_dir.file("copy.doc"));
  IStorage* dest = nullptr;
  ASSERT_EQ(StgCreateDocfile(reinterpret_cast<const WCHAR*>(other.c_str()), kModeCreate, 0, &dest),
            S_OK);
  ASSERT_EQ(putStream(dest, u"Kept", "kept"), S_OK);
  ASSERT_EQ(putStream(dest, u"Top", "old"), S_OK);
  EXPECT_EQ(m_root->CopyTo(0, nullptr, nullptr, dest), S_OK);
  Tree t;
  ASSERT_EQ(readTree(dest, u"", t), S_OK);
  EXPECT_EQ(
      t,
      (Tree{{u"Kept", "kept"}, {u"Top", "top"}, {u"Sub", kStorageMark}, {u"Sub/Inner", "inner"}}));
  dest->Release();
}

}  // namespace
}  // namespace velmora::cfb::test

namespace velmora::cfb::test {
namespace {

TEST_F(ApiTest, MoveElementToAndElementTimes) {
  ASSERT_EQ(putStream(m_root, u"Src", "source"), S_OK);
  IStorage* dest = nullptr;
  ASSERT_EQ(m_root->CreateStorage(u"Dest", kModeReadWrite, 0, 0, &dest), S_OK);
  EXPECT_EQ(m_root->MoveElementTo(u"Src", dest, u"Copied", STGMOVE_COPY), S_OK);
  EXPECT_EQ(m_root->MoveElementTo(u"Src", dest, u"Moved", STGMOVE_MOVE), S_OK);
  EXPECT_EQ(m_root->MoveElementTo(u"Src", dest, u"Again", STGMOVE_MOVE), STG_E_FILENOTFOUND);
  EXPECT_EQ(m_root->MoveElementTo(u"Dest", dest, u"x", STGMOVE_SHALLOWCOPY), STG_E_INVALIDFLAG);
  Tree t;
  ASSERT_EQ(readTree(dest, u"", t), S_OK);
  EXPECT_EQ(t, (Tree{{u"Copied", "source"}, {u"Moved", "source"}}));
  dest->Release();
  FILETIME c{1, 2}, m{3, 4};
  EXPECT_EQ(m_root->SetElementTimes(u"Dest", &c, nullptr, &m), S_OK);
  EXPECT_EQ(m_root->SetElementTimes(u"Missing", &c, nullptr, &m), STG_E_FILENOTFOUND);
  IEnumSTATSTG* en = nullptr;
  ASSERT_EQ(m_root->EnumElements(0, nullptr, 0, &en), S_OK);
  STATSTG st;
  ULONG got;
  ASSERT_EQ(en->Next(1, &st, &got), S_OK);
  EXPECT_EQ(std::u16string(st.pwcsName), u"Dest");
  EXPECT_EQ(st.ctime.dwLowDateTime, 1u);
  EXPECT_EQ(st.mtime.dwHighDateTime, 4u);
  EXPECT_EQ(st.grfMode, 0u);
  CoTaskMemFree(st.pwcsName);
  en->Release();
}

}  // namespace
}  // namespace velmora::cfb::test
