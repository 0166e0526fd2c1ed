#include "values/narrow_code_page.h"

#include <gtest/gtest.h>

namespace {

PROPVARIANT codePage(VARTYPE vt, SHORT value) {
  PROPVARIANT pv;
  PropVariantInit(&pv);
  pv.vt = vt;
  pv.iVal = value;
  return pv;
}

TEST(NarrowCodePageTest, TheDeclaredCodePageWhenThePlatformKnowsIt) {
  const std::pair<SHORT, UINT> cases[] = {
      {SHORT(1251), 1251u},         {SHORT(10000), 10000u},       {SHORT(932), 932u},
      {SHORT(-535), UINT(CP_UTF8)},  // 65001 as the signed field holds it
      {SHORT(1252), UINT(CP_ACP)},   // the ANSI code page itself
      {SHORT(1200), UINT(CP_ACP)},   // UTF-16 sets give VT_LPSTR in the ANSI code page
      {SHORT(0), UINT(CP_ACP)},     {SHORT(1), UINT(CP_ACP)},     {SHORT(-536), UINT(CP_ACP)},
      {SHORT(12345), UINT(CP_ACP)}, {SHORT(20127), UINT(CP_ACP)},
  };
  for (const auto& [stored, expected] : cases) {
    PROPVARIANT pv = codePage(VT_I2, stored);
    EXPECT_EQ(expected, NarrowCodePageOf(&pv)) << stored;
  }
  PROPVARIANT wrongType = codePage(VT_UI4, 1251);
  EXPECT_EQ(UINT(CP_ACP), NarrowCodePageOf(&wrongType));
  EXPECT_EQ(UINT(CP_ACP), NarrowCodePageOf(nullptr)) << "a set without a code page";
}

}  // namespace
