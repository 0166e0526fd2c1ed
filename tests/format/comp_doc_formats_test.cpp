#include "format/comp_doc_formats.h"

#include <gtest/gtest.h>

#include "module/module.h"

namespace {

class FormatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CCompDocFormats::CreateInstance(IID_IVltFileFormat,
                                                    reinterpret_cast<void**>(&m_formats)));
  }
  void TearDown() override { m_formats->Release(); }
  LONG flags(const char16_t* ext) {
    LONG f = -1;
    EXPECT_EQ(S_OK, m_formats->GetExtensionFlags(ext, &f));
    return f;
  }
  IVltFileFormat* m_formats = nullptr;
};

TEST_F(FormatsTest, ExtensionFlags) {
  EXPECT_EQ(9, flags(u"doc"));
  EXPECT_EQ(9, flags(u"DOC"));
  EXPECT_EQ(9, flags(u"Xls"));
  EXPECT_EQ(8, flags(u"ppt"));
  EXPECT_EQ(8, flags(u"docx"));
  EXPECT_EQ(8, flags(u".doc"));
  EXPECT_EQ(8, flags(u"do"));
  EXPECT_EQ(8, flags(u""));
  EXPECT_EQ(8, flags(nullptr));
  EXPECT_EQ(E_POINTER, m_formats->GetExtensionFlags(u"doc", nullptr));
}

TEST_F(FormatsTest, FormatInfoTexts) {
  BSTR company = nullptr, description = nullptr, list = nullptr;
  ASSERT_EQ(S_OK, m_formats->GetFormatInfo(&company, &description, &list));
  EXPECT_EQ(std::u16string(u"Fennmark"), company);
  EXPECT_EQ(std::u16string(u"Compound document plugin"), description);
  EXPECT_EQ(std::u16string(u"doc,xls,ppt,pub,dot,vsd,mpp"), list);
  SysFreeString(company);
  SysFreeString(description);
  SysFreeString(list);
  BSTR untouched = reinterpret_cast<BSTR>(0x1);
  EXPECT_EQ(E_POINTER, m_formats->GetFormatInfo(&untouched, nullptr, &untouched));
  EXPECT_EQ(reinterpret_cast<BSTR>(0x1), untouched) << "nothing allocated";
}

TEST_F(FormatsTest, IdentityAndMarshaler) {
  IUnknown* unk = nullptr;
  ASSERT_EQ(S_OK, m_formats->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)));
  ICompDocFormats* own = nullptr;
  ASSERT_EQ(S_OK, m_formats->QueryInterface(IID_ICompDocFormats, reinterpret_cast<void**>(&own)));
  EXPECT_EQ(static_cast<IUnknown*>(own), unk);
  IMarshal* marshal = nullptr;
  ASSERT_EQ(S_OK, m_formats->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)));
  IUnknown* back = nullptr;
  ASSERT_EQ(S_OK, marshal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)));
  EXPECT_EQ(unk, back) << "the marshaler answers for the descriptor's identity";
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, m_formats->QueryInterface(IID_IStorage, &none));
  EXPECT_EQ(nullptr, none);
  for (IUnknown* p : {unk, static_cast<IUnknown*>(own), static_cast<IUnknown*>(marshal), back})
    p->Release();
}

TEST_F(FormatsTest, CreateNavigatorDoesNotLookAtThePath) {
  IVltFileNavigator* nav = nullptr;
  EXPECT_EQ(S_OK, m_formats->CreateNavigator(u"/no/such/file.xyz", 0, &nav));
  ASSERT_NE(nullptr, nav);
  nav->Release();
  EXPECT_EQ(E_POINTER, m_formats->CreateNavigator(u"a.doc", 0, nullptr));
}

TEST_F(FormatsTest, UnsupportedCallsOnlyTestTheirOutPointer) {
  int sentinel = 7;
  EXPECT_EQ(E_NOTIMPL, m_formats->UnsupportedCallA(1, 2, 3, 4, &sentinel));
  EXPECT_EQ(E_POINTER, m_formats->UnsupportedCallA(1, 2, 3, 4, nullptr));
  EXPECT_EQ(E_NOTIMPL, m_formats->UnsupportedCallB(1, &sentinel));
  EXPECT_EQ(E_POINTER, m_formats->UnsupportedCallB(1, nullptr));
  EXPECT_EQ(7, sentinel);
}

}  // namespace
