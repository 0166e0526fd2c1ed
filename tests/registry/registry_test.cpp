// The registry's API answers as Windows' does, and its transactions survive a
// crash: a process that dies mid-change leaves the keys from before it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/registry/registry.h"
#include "tests/support/registry_dump.h"

namespace velmora::test {
namespace {

LSTATUS create(HKEY parent, const char16_t* path, HKEY* out, DWORD* disposition = nullptr) {
  return RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, out, disposition);
}

LSTATUS setText(HKEY hKey, const char16_t* name, const std::u16string& text) {
  return RegSetValueExW(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * 2));
}

class RegistryApiTest : public ::testing::Test {
 protected:
  ScratchRegistry m_registry;
};

TEST_F(RegistryApiTest, KeysAndValuesAnswerWithWindowsCodes) {
  HKEY a = nullptr, again = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, create(HKEY_CLASSES_ROOT, u"Alpha\\Beta\\Gamma", &a, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  // Names compare without regard to case and keep the case they were made with.
  ASSERT_EQ(ERROR_SUCCESS, create(HKEY_CLASSES_ROOT, u"ALPHA\\beta\\gamma", &again, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  EXPECT_EQ("\nAlpha\nAlpha\\Beta\nAlpha\\Beta\\Gamma\n", dumpRegistry());

  ASSERT_EQ(ERROR_SUCCESS, setText(a, nullptr, u"default"));
  ASSERT_EQ(ERROR_SUCCESS, setText(a, u"Named", u"first"));
  ASSERT_EQ(ERROR_SUCCESS, setText(again, u"NAMED", u"second"));  // same value, new case
  WCHAR buf[32];
  DWORD type = 0, size = 4;
  EXPECT_EQ(ERROR_MORE_DATA,
            RegQueryValueExW(a, u"named", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size));
  EXPECT_EQ(14u, size) << "the size needed, terminator included";
  size = sizeof buf;
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryValueExW(a, u"named", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size));
  EXPECT_EQ(std::u16string(u"second"), buf);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExW(a, u"Missing", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(a, u"Missing"));

  HKEY h = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Alpha\\Nope", 0, KEY_READ, &h));
  EXPECT_EQ(nullptr, h);
  EXPECT_EQ(ERROR_BAD_PATHNAME, create(HKEY_CLASSES_ROOT, u"\\Lead", &h));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(nullptr, u"Alpha", 0, KEY_READ, &h));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Alpha", 0, KEY_READ, &h));

  // Enumeration is in name order and ends with ERROR_NO_MORE_ITEMS.
  HKEY beta = nullptr, tmp = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, u"alpha\\beta", 0, KEY_READ, &beta));
  ASSERT_EQ(ERROR_SUCCESS, create(beta, u"apple", &tmp));
  RegCloseKey(tmp);
  WCHAR name[8];
  DWORD cch = 8;
  ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(beta, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::u16string(u"apple"), name);
  cch = 3;
  EXPECT_EQ(ERROR_MORE_DATA,
            RegEnumKeyExW(beta, 1, name, &cch, nullptr, nullptr, nullptr, nullptr));
  cch = 8;
  EXPECT_EQ(ERROR_NO_MORE_ITEMS,
            RegEnumKeyExW(beta, 2, name, &cch, nullptr, nullptr, nullptr, nullptr));

  // RegDeleteKey removes leaves only; RegDeleteTree takes the sub-keys too,
  // and a handle to a deleted key says so.
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Alpha\\Beta"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Alpha\\Beta"));
  EXPECT_EQ(ERROR_KEY_DELETED, setText(a, nullptr, u"late"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Alpha\\Beta"));
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Alpha"));
  EXPECT_EQ("\n", dumpRegistry());
  for (HKEY k : {a, again, beta}) EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(k));
}

TEST_F(RegistryApiTest, ChangesAreSharedThroughTheDatabaseFile) {
  HKEY h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, create(HKEY_CLASSES_ROOT, u"Shared", &h));
  ASSERT_EQ(ERROR_SUCCESS, setText(h, nullptr, u"kept"));
  RegCloseKey(h);
  registry::closeDatabase();  // the next call opens the file again, as another process would
  EXPECT_EQ("\nShared\nShared\\@=kept\n", dumpRegistry());
}

TEST(RegistryLocationTest, EnvironmentThenXdgDataHomeThenHome) {
  const char* saved[3] = {std::getenv("VELMORA_REGISTRY"), std::getenv("XDG_DATA_HOME"),
                          std::getenv("HOME")};
  std::string keep[3];
  for (int i = 0; i < 3; ++i) keep[i] = saved[i] ? saved[i] : "";
  setenv("VELMORA_REGISTRY", "/tmp/explicit.db", 1);
  EXPECT_EQ("/tmp/explicit.db", registry::location().string());
  unsetenv("VELMORA_REGISTRY");
  setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ("/data/velmora/registry.db", registry::location().string());
  setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ("/home/u/.local/share/velmora/registry.db", registry::location().string());
  const char* names[3] = {"VELMORA_REGISTRY", "XDG_DATA_HOME", "HOME"};
  for (int i = 0; i < 3; ++i) {
    if (saved[i])
      setenv(names[i], keep[i].c_str(), 1);
    else
      unsetenv(names[i]);
  }
}

// A child process writes inside a transaction and dies at every point of it;
// the parent must then see exactly the keys from before.
TEST_F(RegistryApiTest, CrashInsideATransactionLeavesTheOldKeys) {
  HKEY h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, create(HKEY_CLASSES_ROOT, u"Old", &h));
  ASSERT_EQ(ERROR_SUCCESS, setText(h, nullptr, u"before"));
  RegCloseKey(h);
  const std::string before = dumpRegistry();
  for (int cut = 0; cut < 6; ++cut) {
    registry::closeDatabase();  // an SQLite connection must not cross fork()
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      registry::setWriteFaultHook([cut](int ordinal) -> LONG {
        if (ordinal == cut) _exit(0);
        return ERROR_SUCCESS;
      });
      registry::Transaction transaction;
      HKEY k = nullptr;
      RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Old");
      create(HKEY_CLASSES_ROOT, u"New\\Deep", &k);
      setText(k, nullptr, u"after");
      setText(k, u"More", u"after");
      RegCloseKey(k);
      _exit(transaction.commit() == ERROR_SUCCESS ? 3 : 4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) {
      EXPECT_EQ(5, cut) << "the change has five writes; only a cut after them commits";
      EXPECT_EQ("\nNew\nNew\\Deep\nNew\\Deep\\@=after\nNew\\Deep\\More=after\n", dumpRegistry());
    } else {
      EXPECT_EQ(before, dumpRegistry()) << "crash before write " << cut;
    }
  }
}

}  // namespace
}  // namespace velmora::test
