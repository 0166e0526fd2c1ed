// A hostile set the reader admits (unreadable values sharing bytes in two
// sections at one offset) takes a write: the rewrite is stored, reads back
// with the new value, and keeps every other property.
#include <objbase.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

constexpr DWORD kRW = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
const char16_t kStream[] =
    u"\x05"
    "DocumentSummaryInformation";

std::vector<uint8_t> streamBytes(IStorage* root) {
  IStream* s = nullptr;
  EXPECT_EQ(root->OpenStream(kStream, nullptr, kRW, 0, &s), S_OK);
  std::vector<uint8_t> out(1 << 16);
  ULONG n = 0;
  if (s) s->Read(out.data(), ULONG(out.size()), &n);
  if (s) s->Release();
  out.resize(n);
  return out;
}

TEST(WriteReadbackTest, ASetWithUnreadableValuesSharingBytesIsRewrittenAndReadsBack) {
  std::ifstream in(VELMORA_SOURCE_DIR
                   "/fuzz/regressions/propset_codec_fuzz/unreadable-values-sharing-bytes",
                   std::ios::binary);
  std::vector<uint8_t> set((std::istreambuf_iterator<char>(in)), {});
  ASSERT_FALSE(set.empty());
  velmora::test::TempDir dir;
  std::u16string path = dir.file("hostile.doc").u16string();
  IStorage* root = nullptr;
  ASSERT_EQ(StgCreateDocfile(path.c_str(), STGM_CREATE | kRW, 0, &root), S_OK);
  IStream* s = nullptr;
  ASSERT_EQ(root->CreateStream(kStream, STGM_CREATE | kRW, 0, 0, &s), S_OK);
  ASSERT_EQ(s->Write(set.data(), ULONG(set.size()), nullptr), S_OK);
  s->Release();

  IPropertySetStorage* sets = nullptr;
  ASSERT_EQ(root->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(&sets)), S_OK);
  IPropertyStorage* props = nullptr;
  ASSERT_EQ(sets->Open(FMTID_DocSummaryInformation, kRW, &props), S_OK);
  PROPSPEC spec = {};
  spec.ulKind = PRSPEC_PROPID;
  spec.propid = 15;  // Company
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  value.pszVal = const_cast<char*>("Velmora");
  EXPECT_EQ(props->WriteMultiple(1, &spec, &value, PID_FIRST_USABLE), S_OK);
  EXPECT_EQ(props->Commit(STGC_DEFAULT), S_OK);
  props->Release();
  EXPECT_NE(streamBytes(root), set);

  ASSERT_EQ(sets->Open(FMTID_DocSummaryInformation, STGM_READ | STGM_SHARE_EXCLUSIVE, &props),
            S_OK);
  PROPVARIANT back;
  PropVariantInit(&back);
  ASSERT_EQ(props->ReadMultiple(1, &spec, &back), S_OK);
  ASSERT_EQ(back.vt, VT_LPSTR);
  EXPECT_STREQ(back.pszVal, "Velmora");
  PropVariantClear(&back);
  // The unreadable values are still there, under every id that had one.
  IEnumSTATPROPSTG* all = nullptr;
  ASSERT_EQ(props->Enum(&all), S_OK);
  STATPROPSTG stat;
  int count = 0;
  while (all->Next(1, &stat, nullptr) == S_OK) {
    CoTaskMemFree(stat.lpwstrName);
    ++count;
  }
  all->Release();
  EXPECT_EQ(count, 8) << "seven found properties and the company";
  props->Release();
  sets->Release();
  root->Release();
}

}  // namespace
