#include <sys/stat.h>

#include <functional>

#include "tests/navigator/navigator_fixture.h"
#include "tests/support/fifo_watch.h"

namespace velmora::test {
namespace {

class OperationTableTest : public NavigatorTest {};

TEST_F(OperationTableTest, IdentityThroughBothInterfaces) {
  auto nav = open(m_dir.file("x.doc"));
  ICompDocFile* file = nullptr;
  ASSERT_EQ(S_OK, nav->QueryInterface(IID_ICompDocFile, reinterpret_cast<void**>(&file)));
  IUnknown* unk = nullptr;
  ASSERT_EQ(S_OK, nav->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)));
  EXPECT_EQ(static_cast<IUnknown*>(file), unk);
  IVltFileNavigator* back = nullptr;
  ASSERT_EQ(S_OK, file->QueryInterface(IID_IVltFileNavigator, reinterpret_cast<void**>(&back)));
  EXPECT_EQ(nav, back);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, nav->QueryInterface(IID_IStorage, &none));
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ(E_POINTER, nav->QueryInterface(IID_IUnknown, nullptr));
  EXPECT_EQ(5u, nav->AddRef()) << "one count for the object through every interface";
  nav->Release();
  file->Release();
  unk->Release();
  back->Release();
}

TEST_F(OperationTableTest, RefusedAndIgnoredOperations) {
  auto nav = open(m_dir.file("x.doc"));
  int p = 0;
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall05(nullptr));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall05(&p));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall06(nullptr, 0, 0, 0, 0));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall07(0, 0, nullptr, &p));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall07(0, 0, &p, nullptr));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall07(0, 0, &p, &p));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall08(0, 0, nullptr, nullptr));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall11(&p, nullptr));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall11(&p, &p));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall12(0, 0, nullptr));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall13(0, &p, nullptr, 0, 0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall13(0, &p, &p, 0, 0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall14(0, 0, 0, 0, 0, 0));
  EXPECT_EQ(E_POINTER, nav->UnsupportedCall16(nullptr));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall17(0, 0, 0, 0, 0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall18(0));
  EXPECT_EQ(S_OK, nav->IgnoredCall19(0, 0));
  EXPECT_EQ(S_OK, nav->IgnoredCall20(0, 0, 0, 0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall21(0));
  EXPECT_EQ(E_NOTIMPL, nav->UnsupportedCall22(0, 0, 0, 0, 0));
  EXPECT_EQ(0, p);
}

TEST_F(OperationTableTest, AFifoNamedLikeADocumentAnswersEveryOperationAtOnce) {
  auto fifo = m_dir.file("pipe.doc");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  BSTR list = SysAllocString(u"Summary");
  struct Op {
    const char* name;
    std::function<void(IVltFileNavigator*)> run;
  } ops[] = {
      {"ReadAttributes",
       [](IVltFileNavigator* nav) {
         AttributeRecords records{{u"Summary", u"Title"}};
         EXPECT_EQ(S_OK, nav->ReadAttributes(0, 0, 0, records.size(), records.data()));
         EXPECT_EQ(0, records[0].bHandled);
       }},
      {"AttribGetFirst",
       [&](IVltFileNavigator* nav) {
         AttributeRecords records{{u"Summary", u"Title"}};
         (void)compDoc(nav)->AttribGetFirst(records.size(), records.data(), list);
         EXPECT_EQ(0, records[0].bHandled);
       }},
      {"WriteAttributes",
       [](IVltFileNavigator* nav) {
         AttributeRecords records;
         auto& r = records.add(u"Summary", u"Title");
         r.oValue.vt = VT_BSTR;
         r.oValue.bstrVal = SysAllocString(u"x");
         (void)nav->WriteAttributes(0, 0, 0, records.size(), records.data(), 0);
         EXPECT_EQ(0, records[0].bHandled);
       }},
      {"AttribSetFirst",
       [&](IVltFileNavigator* nav) {
         AttributeRecords records;
         auto& r = records.add(nullptr, u"Title");
         r.oValue.vt = VT_BSTR;
         r.oValue.bstrVal = SysAllocString(u"x");
         (void)compDoc(nav)->AttribSetFirst(records.size(), records.data(), list);
         EXPECT_EQ(0, records[0].bHandled);
       }},
      {"GetReferences",
       [](IVltFileNavigator* nav) {
         LONG count = 0;
         VltReference* refs = nullptr;
         EXPECT_EQ(S_FALSE, nav->GetReferences(0, &count, &refs));
         EXPECT_EQ(nullptr, refs);
       }},
      {"UpdateReferences",
       [](IVltFileNavigator* nav) {
         VltReference r = {};
         r.bsFileName = SysAllocString(u"a.doc");
         r.bsFullPath = SysAllocString(u"C:\\b\\a.doc");
         EXPECT_EQ(S_FALSE, nav->UpdateReferences(0, 1, &r));
         SysFreeString(r.bsFileName);
         SysFreeString(r.bsFullPath);
       }},
      {"CloseFile", [](IVltFileNavigator* nav) { (void)nav->CloseFile(); }},
  };
  for (auto& op : ops) {
    SCOPED_TRACE(op.name);
    auto nav = open(fifo);
    EXPECT_TRUE(answersWithoutWaiting(fifo, [&] { op.run(nav); }))
        << op.name << " waited on the FIFO";
  }
  SysFreeString(list);
}

}  // namespace
}  // namespace velmora::test
