// The platform's C entry points that allocate behind the caller's back (a
// code page's inverse table built on first use, a number's text copied to
// be parsed): with each allocation failing in turn, each call fails the way
// its Windows counterpart reports memory running out, and no exception
// leaves it. A C host has nothing to catch one with.
#include <gtest/gtest.h>

#include <cerrno>
#include <new>
#include <string>

#include "tests/alloc/alloc_hook.h"
#include "windows.h"

namespace velmora::test {
namespace {

// Runs `call` once with the `n`th allocation failing; the text of an escaped
// exception, or "".
template <typename F>
std::string armedRun(long n, F&& call) {
  alloc::arm(n);
  std::string escaped;
  try {
    call();
  } catch (const std::exception& e) {
    escaped = std::string("an exception escaped: ") + e.what();
  } catch (...) {
    escaped = "an exception escaped";
  }
  alloc::disarm();
  return escaped;
}

TEST(PlatformAllocFaultTest, TextConversionOnAPagesFirstUseReportsMemoryAndRecovers) {
  // Each page's inverse is built once per process, so each page is met with
  // its first allocation failing, then used cleanly.
  const std::u16string text = u"Ab\u00e9\u4e2d";
  int struck = 0;
  for (UINT page : {932u, 936u, 949u, 950u, 10001u, 10008u, 437u, 850u, 1250u, 1251u}) {
    char out[32];
    int n = 0;
    DWORD error = 0;
    std::string escaped = armedRun(1, [&] {
      SetLastError(0);
      n = WideCharToMultiByte(page, 0, text.c_str(), int(text.size()), out, sizeof out, nullptr,
                              nullptr);
      error = GetLastError();
    });
    ASSERT_EQ("", escaped) << "code page " << page;
    if (alloc::struck()) {
      ++struck;
      EXPECT_EQ(0, n) << "code page " << page << " reported a conversion it could not make";
      EXPECT_EQ(DWORD(ERROR_NOT_ENOUGH_MEMORY), error) << "code page " << page;
    }
    int again = WideCharToMultiByte(page, 0, text.c_str(), int(text.size()), out, sizeof out,
                                    nullptr, nullptr);
    EXPECT_GT(again, 0) << "code page " << page << " stayed broken after memory came back";
  }
  EXPECT_GT(struck, 0) << "no page allocated on its first use: the sweep tested nothing";
}

TEST(PlatformAllocFaultTest, WideNumberParsingReportsMemoryAsNoNumber) {
  // Long enough that the copy of its text cannot sit in a short string.
  const std::u16string number = u"  -12345678901234567890123456789012345678901234567890.25e-40";
  errno = 0;
  const double expected = _wtof(reinterpret_cast<const WCHAR*>(number.c_str()));
  ASSERT_NE(0.0, expected);
  alloc::arm(0);
  _wtof(reinterpret_cast<const WCHAR*>(number.c_str()));
  const long total = alloc::disarm();
  ASSERT_GT(total, 0) << "parsing no longer allocates; this sweep tests nothing";
  for (long n = 1; n <= total; ++n) {
    double value = -1;
    int error = 0;
    std::string escaped = armedRun(n, [&] {
      errno = 0;
      value = _wtof(reinterpret_cast<const WCHAR*>(number.c_str()));
      error = errno;
    });
    ASSERT_EQ("", escaped) << "allocation " << n << " of " << total;
    if (value != expected) {
      EXPECT_EQ(0.0, value) << "allocation " << n;
      EXPECT_EQ(ENOMEM, error) << "allocation " << n << ": a wrong number without a reason";
    }
  }
}

}  // namespace
}  // namespace velmora::test
