// BSTR allocation: the length prefix in bytes, the terminator, embedded NULs,
// odd byte lengths and null BSTRs.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

namespace {

DWORD prefixOf(BSTR b) {
  DWORD prefix;
  std::memcpy(&prefix, reinterpret_cast<const BYTE*>(b) - sizeof prefix, sizeof prefix);
  return prefix;
}

TEST(BstrAllocTest, SysAllocStringStopsAtTheFirstNul) {
  BSTR b = SysAllocString(u"Test");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(prefixOf(b), 8u);
  EXPECT_EQ(SysStringLen(b), 4u);
  EXPECT_EQ(SysStringByteLen(b), 8u);
  EXPECT_EQ(b[4], 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % sizeof(void*), 0u);
  SysFreeString(b);
  const WCHAR embedded[] = {u'a', 0, u'b', 0};
  b = SysAllocString(embedded);
  EXPECT_EQ(SysStringLen(b), 1u);
  SysFreeString(b);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
}

TEST(BstrAllocTest, SysAllocStringLenKeepsEmbeddedNuls) {
  BSTR b = SysAllocStringLen(u"a\0b", 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(SysStringByteLen(b), 6u);
  EXPECT_EQ(b[0], u'a');
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[2], u'b');
  EXPECT_EQ(b[3], 0);
  SysFreeString(b);
}

TEST(BstrAllocTest, NullSourceWithZeroLengthIsANonNullEmptyString) {
  BSTR b = SysAllocStringLen(nullptr, 0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 0u);
  EXPECT_EQ(b[0], 0);
  SysFreeString(b);
  b = SysAllocStringByteLen(nullptr, 0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringByteLen(b), 0u);
  SysFreeString(b);
}

TEST(BstrAllocTest, NullSourceLeavesRoomAndTerminates) {
  BSTR b = SysAllocStringLen(nullptr, 5);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(b[5], 0);
  for (int i = 0; i < 5; ++i) b[i] = u'x';  // the text is writable
  SysFreeString(b);
}

class BstrByteLenTest : public ::testing::TestWithParam<UINT> {};

TEST_P(BstrByteLenTest, KeepsTheExactByteLengthAndTerminatesTwice) {
  const UINT len = GetParam();
  const char source[] = "abcdefghijklmnop";
  BSTR b = SysAllocStringByteLen(source, len);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringByteLen(b), len);
  EXPECT_EQ(SysStringLen(b), len / 2);
  const auto* bytes = reinterpret_cast<const BYTE*>(b);
  EXPECT_EQ(std::memcmp(bytes, source, len), 0);
  EXPECT_EQ(bytes[len], 0);        // a zero byte right after the data
  EXPECT_EQ(b[(len + 1) / 2], 0);  // and a whole NUL WCHAR at ceil(len / 2)
  SysFreeString(b);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BstrByteLenTest, ::testing::Values(0u, 1u, 2u, 3u, 4u, 5u, 16u));

TEST(BstrByteLenTest, AbcGivesLengthOne) {
  BSTR b = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringLen(b), 1u);
  EXPECT_EQ(SysStringByteLen(b), 3u);
  SysFreeString(b);
}

TEST(BstrByteLenTest, RefusesHugeLengths) {
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
}

TEST(BstrNullTest, NullIsAValidEmptyString) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(BstrReAllocTest, ReplacesTheText) {
  BSTR b = SysAllocString(u"old text");
  ASSERT_TRUE(SysReAllocString(&b, u"new"));
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(std::u16string(b, 3), u"new");
  // From inside itself.
  ASSERT_TRUE(SysReAllocString(&b, b + 1));
  EXPECT_EQ(std::u16string(b, SysStringLen(b)), u"ew");
  ASSERT_TRUE(SysReAllocString(&b, nullptr));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 0u);
  SysFreeString(b);
  BSTR none = nullptr;
  ASSERT_TRUE(SysReAllocString(&none, u"x"));
  EXPECT_EQ(SysStringLen(none), 1u);
  SysFreeString(none);
  EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

}  // namespace
