// The thread's error information: what a failed platform call leaves, what
// a component sets, and how GetErrorInfo hands either out once.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>
#include <thread>

#include "base/result.h"

namespace velmora::test {
namespace {

std::u16string description(IErrorInfo* info) {
  BSTR text = nullptr;
  EXPECT_EQ(S_OK, info->GetDescription(&text));
  std::u16string out = text ? std::u16string(text, SysStringLen(text)) : u"";
  SysFreeString(text);
  return out;
}

void drain() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) info->Release();
}

TEST(ErrorInfo, AFailedCallsReasonIsHandedOutOnceAsTheDescription) {
  drain();
  IErrorInfo* info = reinterpret_cast<IErrorInfo*>(1);
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &info));
  EXPECT_EQ(nullptr, info);

  base::Error e =
      DAMAGE(STG_E_DOCFILECORRUPT, Directory, base::ofEntry(3).inSector(2, "directory").at(0x5180),
             "directory entry %u has type %u", 3u, 255u);
  EXPECT_EQ(STG_E_DOCFILECORRUPT, base::report(e)) << "the code passes through unchanged";
  ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
  EXPECT_EQ(u"directory entry 3 has type 255 (directory sector 2, offset 0x5180)",
            description(info));
  info->Release();
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &info)) << "taken once, then gone";
}

// Every maker of an Error formats its message alike: whole up to 511 bytes,
// cut there past that, and a failed call's inner reason after the cut.
TEST(ErrorMessages, EveryMakerKeepsUpTo511BytesAndCutsALongerMessageThere) {
  drain();
  (void)base::takeReason();
  const std::string fits(511, 'a');
  const std::string longer(700, 'b');
  for (const std::string& text : {fits, longer}) {
    const std::string kept = text.substr(0, 511);
    EXPECT_EQ(kept, base::makeError(E_FAIL, "%s", text.c_str()).message);
    EXPECT_EQ(kept, DAMAGE(STG_E_DOCFILECORRUPT, Chain, base::where(), "%s", text.c_str()).message);
    EXPECT_EQ(kept, base::failedCall(E_FAIL, "%s", text.c_str()).message);
  }
  base::report(base::makeError(E_FAIL, "the inner reason"));
  EXPECT_EQ(std::string(511, 'b') + ": the inner reason",
            base::failedCall(E_FAIL, "%s", longer.c_str()).message);
  drain();
}

TEST(ErrorInfo, WhatAComponentSetsReplacesThePlatformsReasonAndBack) {
  drain();
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(S_OK, CreateErrorInfo(&create));
  ASSERT_EQ(S_OK, create->SetDescription(const_cast<LPOLESTR>(u"the set cannot be read")));
  ASSERT_EQ(S_OK, create->SetSource(const_cast<LPOLESTR>(u"Velmora")));
  IErrorInfo* mine = nullptr;
  ASSERT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&mine)));
  create->Release();

  base::report(base::makeError(E_FAIL, "an earlier failure"));
  ASSERT_EQ(S_OK, SetErrorInfo(0, mine));
  IErrorInfo* got = nullptr;
  ASSERT_EQ(S_OK, GetErrorInfo(0, &got));
  EXPECT_EQ(mine, got) << "the object set is the one handed out";
  EXPECT_EQ(u"the set cannot be read", description(got));
  BSTR source = nullptr;
  EXPECT_EQ(S_OK, got->GetSource(&source));
  EXPECT_EQ(u"Velmora", std::u16string(source));
  SysFreeString(source);
  got->Release();

  ASSERT_EQ(S_OK, SetErrorInfo(0, mine));
  base::report(base::makeError(E_FAIL, "a later failure"));
  ASSERT_EQ(S_OK, GetErrorInfo(0, &got));
  EXPECT_EQ(u"a later failure", description(got)) << "the later failure's reason wins";
  got->Release();

  ASSERT_EQ(S_OK, SetErrorInfo(0, mine));
  ASSERT_EQ(S_OK, SetErrorInfo(0, nullptr));
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &got)) << "NULL clears";
  mine->Release();

  EXPECT_EQ(E_INVALIDARG, SetErrorInfo(1, nullptr));
  EXPECT_EQ(E_INVALIDARG, GetErrorInfo(1, &got));
  EXPECT_EQ(E_INVALIDARG, GetErrorInfo(0, nullptr));
}

// A call that fails with a plain code leaves no reason, so the host never
// reads an older failure's reason as this one's; one that fails inside a
// call that left a reason keeps that reason.
TEST(ErrorInfo, AFailureWithoutAReasonClearsAnOlderOne) {
  drain();
  base::report(base::makeError(E_FAIL, "an older failure"));
  EXPECT_EQ(E_INVALIDARG, base::atBoundary([] { return E_INVALIDARG; }));
  IErrorInfo* info = nullptr;
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &info));

  EXPECT_EQ(STG_E_DOCFILECORRUPT, base::atBoundary([] {
              return base::report(base::makeError(STG_E_DOCFILECORRUPT, "the inner call's reason"));
            }));
  ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
  EXPECT_EQ(u"the inner call's reason", description(info));
  info->Release();

  base::report(base::makeError(E_FAIL, "kept past a success"));
  EXPECT_EQ(S_OK, base::atBoundary([] { return S_OK; }));
  ASSERT_EQ(S_OK, GetErrorInfo(0, &info)) << "a success leaves the thread's information alone";
  info->Release();
}

TEST(ErrorInfo, EachThreadKeepsItsOwn) {
  drain();
  std::thread([] { base::report(base::makeError(E_FAIL, "elsewhere")); }).join();
  IErrorInfo* info = nullptr;
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &info));
}

}  // namespace
}  // namespace velmora::test
