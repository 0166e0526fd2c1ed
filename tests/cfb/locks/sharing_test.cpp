// Sharing between openers, across processes (fork) and within one process:
// every pair of the modes the plug-in uses, as the holder and as the next
// opener.
#include <sys/wait.h>
#include <unistd.h>

#include "tests/cfb/cfb_test_util.h"
#include "tests/support/modes.h"

namespace velmora::cfb::test {
namespace {

constexpr DWORD kPriority = STGM_PRIORITY, kWrite = kModeReadWrite, kRead = kModeRead;

HRESULT openRoot(const std::filesystem::path& p, DWORD mode, IStorage** out) {
  return StgOpenStorageEx(reinterpret_cast<const WCHAR*>(wide(p).c_str()), mode, STGFMT_DOCFILE, 0,
                          nullptr, nullptr, IID_IStorage, reinterpret_cast<void**>(out));
}

// Opens `p` with `mode` in a child process and returns its HRESULT.
HRESULT openInChild(const std::filesystem::path& p, DWORD mode) {
  int fds[2];
  if (pipe(fds) != 0) return E_FAIL;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    IStorage* stg = nullptr;
    HRESULT hr = openRoot(p, mode, &stg);
    if (stg) stg->Release();
    ssize_t w = write(fds[1], &hr, sizeof hr);
    (void)w;
    _exit(0);
  }
  close(fds[1]);
  HRESULT hr = E_FAIL;
  ssize_t r = read(fds[0], &hr, sizeof hr);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return r == sizeof hr ? hr : E_FAIL;
}

struct Case {
  DWORD holder, opener;
  HRESULT expected;
};

class SharingPair : public ::testing::TestWithParam<std::tuple<Case, bool>> {
 protected:
  void SetUp() override {
    m_file = m_dir.file("shared.doc");
    IStorage* stg = nullptr;
    ASSERT_EQ(StgCreateDocfile(reinterpret_cast<const WCHAR*>(wide(m_file).c_str()), kModeCreate, 0,
                               &stg),
              S_OK);
    ASSERT_EQ(putStream(stg, u"Data", "payload"), S_OK);
    stg->Release();
  }
  velmora::test::TempDir m_dir;
  std::filesystem::path m_file;
};

TEST_P(SharingPair, SecondOpenMeetsTheHoldersMode) {
  auto [c, otherProcess] = GetParam();
  IStorage* holder = nullptr;
  ASSERT_EQ(openRoot(m_file, c.holder, &holder), S_OK);
  IStorage* second = nullptr;
  HRESULT hr = otherProcess ? openInChild(m_file, c.opener) : openRoot(m_file, c.opener, &second);
  EXPECT_EQ(hr, c.expected) << std::hex << "holder 0x" << c.holder << " opener 0x" << c.opener;
  if (second) second->Release();
  holder->Release();
  // Once the holder is gone, the same open succeeds.
  hr = otherProcess ? openInChild(m_file, c.opener) : openRoot(m_file, c.opener, &second);
  EXPECT_EQ(hr, S_OK);
  if (!otherProcess && second) second->Release();
}

const Case kCases[] = {
    {kPriority, kPriority, S_OK},
    {kPriority, kWrite, STG_E_LOCKVIOLATION},
    {kPriority, kRead, STG_E_SHAREVIOLATION},
    {kWrite, kPriority, STG_E_SHAREVIOLATION},
    {kWrite, kWrite, STG_E_SHAREVIOLATION},
    {kWrite, kRead, STG_E_SHAREVIOLATION},
    {kRead, kPriority, STG_E_SHAREVIOLATION},
    {kRead, kWrite, STG_E_SHAREVIOLATION},
    {kRead, kRead, STG_E_SHAREVIOLATION},
    {kModeReadDenyWrite, kModeReadDenyWrite, S_OK},  // two readers that deny only writers
    {kModeReadDenyWrite, kWrite, STG_E_SHAREVIOLATION},
};

INSTANTIATE_TEST_SUITE_P(PluginModes, SharingPair,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()));

TEST(SharingRules, ReadOnlyFileAndInvalidModes) {
  velmora::test::TempDir dir;
  auto file = dir.file("ro.doc");
  IStorage* stg = nullptr;
  ASSERT_EQ(
      StgCreateDocfile(reinterpret_cast<const WCHAR*>(wide(file).c_str()), kModeCreate, 0, &stg),
      S_OK);
  stg->Release();
  std::filesystem::permissions(file, std::filesystem::perms::owner_read);
  EXPECT_EQ(openRoot(file, kWrite, &stg), STG_E_ACCESSDENIED);
  EXPECT_EQ(openRoot(file, kPriority, &stg), S_OK);
  stg->Release();
  // A plain direct read that denies nothing is not a valid root mode.
  EXPECT_EQ(openRoot(file, 0x0, &stg), STG_E_INVALIDFLAG);
  EXPECT_EQ(openRoot(file, 0x40002, &stg), STG_E_INVALIDFLAG);
  EXPECT_EQ(openRoot(dir.file("missing.doc"), kPriority, &stg), STG_E_FILENOTFOUND);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.doc")));
}

TEST(SharingRules, EnumeratorKeepsTheFileOpen) {
  velmora::test::TempDir dir;
  auto file = dir.file("e.doc");
  IStorage* stg = nullptr;
  ASSERT_EQ(
      StgCreateDocfile(reinterpret_cast<const WCHAR*>(wide(file).c_str()), kModeCreate, 0, &stg),
      S_OK);
  stg->Release();
  ASSERT_EQ(openRoot(file, kRead, &stg), S_OK);
  IEnumSTATSTG* en = nullptr;
  ASSERT_EQ(stg->EnumElements(0, nullptr, 0, &en), S_OK);
  stg->Release();
  EXPECT_EQ(openInChild(file, kRead), STG_E_SHAREVIOLATION);
  en->Release();
  EXPECT_EQ(openInChild(file, kRead), S_OK);
}

}  // namespace
}  // namespace velmora::cfb::test
