// A link save that fails part-way through a relink: this test program
// interposes the platform's OleSave and makes its third call fail as a full
// disk would. UpdateReferences must stop at once with E_FAIL, the two links
// saved before stay rewritten in the file, the others keep their sources,
// and the document stays readable.
#include <dlfcn.h>

#include <ole2.h>

#include "tests/navigator/navigator_fixture.h"
#include "tests/support/link_doc.h"

namespace {

int g_failAt = 0;  // 1-based; 0: no failure
int g_calls = 0;

}  // namespace

extern "C" HRESULT WINAPI OleSave(LPPERSISTSTORAGE pPS, LPSTORAGE pStg, BOOL fSameAsLoad) {
  using Fn = HRESULT (*)(LPPERSISTSTORAGE, LPSTORAGE, BOOL);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "OleSave"));
  if (g_failAt && ++g_calls == g_failAt) return STG_E_MEDIUMFULL;
  return real(pPS, pStg, fSameAsLoad);
}

namespace velmora::test {
namespace {

class LinkSaveFaultTest : public NavigatorTest {};

std::vector<std::u16string> sources(IVltFileNavigator* nav) {
  LONG count = 0;
  VltReference* records = nullptr;
  EXPECT_EQ(S_OK, nav->GetReferences(0, &count, &records));
  std::vector<std::u16string> out;
  for (LONG i = 0; i < count; ++i) {
    out.emplace_back(records[i].bsFullPath, SysStringLen(records[i].bsFullPath));
    SysFreeString(records[i].bsFullPath);
    SysFreeString(records[i].bsFileName);
  }
  CoTaskMemFree(records);
  return out;
}

TEST_F(LinkSaveFaultTest, AFailedThirdSaveStopsAtOnceAndKeepsTheFirstTwo) {
  for (bool spreadsheet : {false, true}) {
    SCOPED_TRACE(spreadsheet ? "spreadsheet" : "word processor");
    auto path = m_dir.file(spreadsheet ? "four.xls" : "four.doc");
    std::vector<PoolObject> objects;
    for (char16_t n = u'1'; n <= u'4'; ++n) {
      std::u16string name =
          spreadsheet ? std::u16string(u"LNK0000000") + n : std::u16string(u"_") + n;
      objects.push_back(linkTo(name, fileMoniker(u"C:\\old\\src.xls")));
    }
    writeLinkDocument(path, std::move(objects), spreadsheet);

    VltReference record = {};
    record.bsFileName = SysAllocString(u"src.xls");
    record.bsFullPath = SysAllocString(u"D:\\moved\\src.xls");
    g_calls = 0;
    g_failAt = 3;
    EXPECT_EQ(E_FAIL, open(path)->UpdateReferences(0, 1, &record));
    EXPECT_EQ(3, g_calls) << "no save after the failed one";
    g_failAt = 0;
    SysFreeString(record.bsFileName);
    SysFreeString(record.bsFullPath);

    EXPECT_EQ((std::vector<std::u16string>{u"D:\\moved\\src.xls", u"D:\\moved\\src.xls",
                                           u"C:\\old\\src.xls", u"C:\\old\\src.xls"}),
              sources(open(path)));
  }
}

}  // namespace
}  // namespace velmora::test
