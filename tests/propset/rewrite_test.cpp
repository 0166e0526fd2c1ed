// Rewriting a corpus set through the engine with one property changed keeps
// everything else: the other section byte for byte, the class id, the order
// of sections and properties, and the bytes of every property not touched
// (unknown types and Office's unaligned vectors included).
#include <objbase.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "propset/codec.h"
#include "propset/stream_name.h"
#include "tests/support/temp_dir.h"

namespace velmora::propset {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> corpusFiles() {
  std::vector<std::string> names;
  fs::path dir = test::corpusDir();
  if (!dir.empty())
    for (const auto& e : fs::directory_iterator(dir / "documents"))
      if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  if (names.empty()) names.push_back("");
  return names;
}

// The property-set streams of the root, by name, with their bytes.
std::vector<std::pair<std::u16string, std::vector<uint8_t>>> propertyStreams(IStorage* root) {
  std::vector<std::pair<std::u16string, std::vector<uint8_t>>> out;
  IEnumSTATSTG* e = nullptr;
  if (FAILED(root->EnumElements(0, nullptr, 0, &e))) return out;
  STATSTG st;
  while (e->Next(1, &st, nullptr) == S_OK) {
    std::u16string name = st.pwcsName;
    CoTaskMemFree(st.pwcsName);
    if (st.type != STGTY_STREAM || name.empty() || name[0] != u'\005') continue;
    IStream* s = nullptr;
    if (FAILED(root->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &s)))
      continue;
    std::vector<uint8_t> bytes(size_t(st.cbSize.QuadPart));
    ULONG got = 0;
    s->Read(bytes.data(), ULONG(bytes.size()), &got);
    bytes.resize(got);
    s->Release();
    out.emplace_back(name, std::move(bytes));
  }
  e->Release();
  return out;
}

class PropsetRewriteTest : public ::testing::TestWithParam<std::string> {};

TEST_P(PropsetRewriteTest, OneChangeKeepsEverythingElse) {
  if (GetParam().empty()) GTEST_SKIP() << "the document corpus is not present";
  test::TempDir dir;
  fs::path copy = dir.file("doc");
  fs::copy_file(test::corpusDir() / "documents" / GetParam(), copy);
  // The corpus is read-only; its copy must not be.
  fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  const auto path = test::widePath(copy);

  IStorage* root = nullptr;
  HRESULT hr = StgOpenStorageEx(path.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_ANY, 0,
                                nullptr, nullptr, IID_IStorage, reinterpret_cast<void**>(&root));
  if (hr == STG_E_FILEALREADYEXISTS) GTEST_SKIP() << "not a compound file";
  ASSERT_EQ(hr, S_OK);
  auto before = propertyStreams(root);
  IPropertySetStorage* pss = nullptr;
  ASSERT_EQ(StgCreatePropSetStg(root, 0, &pss), S_OK);

  struct Change {
    std::u16string stream;
    FMTID fmtid;
    PROPID id;
  };
  std::vector<Change> changes;
  for (const auto& [name, bytes] : before) {
    auto set = parsePropertySet(bytes);
    auto named = fmtidForStreamName(name);
    if (!set || !named) continue;
    // In the pair, change the user-defined section when there is one, so that
    // the document summary must survive untouched.
    FMTID fmtid = set->find(FMTID_UserDefinedProperties) ? FMTID_UserDefinedProperties : *named;
    const Section* sec = set->find(fmtid);
    if (!sec) continue;
    PROPID id = 0x7F000001;  // a new property, unless an integer can change in place
    LONG value = 12345;
    for (const auto& p : sec->properties)
      if (p.readable && p.vt == VT_I4 && p.id > 1 && p.id < PID_MIN_READONLY) {
        id = p.id;
        value = LONG(p.bytes[4] | (p.bytes[5] << 8)) + 1;
        break;
      }
    IPropertyStorage* ps = nullptr;
    ASSERT_EQ(pss->Open(fmtid, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &ps), S_OK);
    PROPSPEC request;
    request.ulKind = PRSPEC_PROPID;
    request.propid = id;
    PROPVARIANT v;
    PropVariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    ASSERT_EQ(ps->WriteMultiple(1, &request, &v, PID_FIRST_USABLE), S_OK);
    ASSERT_EQ(ps->Commit(STGC_DEFAULT), S_OK);
    ps->Release();
    changes.push_back({name, fmtid, id});
  }
  pss->Release();
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  root->Release();

  ASSERT_EQ(StgOpenStorageEx(path.c_str(), STGM_READ | STGM_SHARE_EXCLUSIVE, STGFMT_ANY, 0, nullptr,
                             nullptr, IID_IStorage, reinterpret_cast<void**>(&root)),
            S_OK);
  auto after = propertyStreams(root);
  root->Release();
  ASSERT_EQ(after.size(), before.size());
  for (const Change& c : changes) {
    auto find = [&](auto& list) {
      return std::find_if(list.begin(), list.end(), [&](auto& x) { return x.first == c.stream; });
    };
    auto a = parsePropertySet(find(before)->second);
    auto b = parsePropertySet(find(after)->second);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a->clsid, b->clsid);
    EXPECT_EQ(a->osVersion, b->osVersion);
    ASSERT_EQ(a->sections.size(), b->sections.size());
    for (size_t i = 0; i < a->sections.size(); ++i) {
      const Section& x = a->sections[i];
      const Section& y = b->sections[i];
      EXPECT_EQ(x.fmtid, y.fmtid);
      if (!IsEqualGUID(x.fmtid, c.fmtid)) {
        EXPECT_EQ(x.original, y.original) << "the other section changed";
        continue;
      }
      // Same properties in the same order, the new one (if any) last.
      size_t k = 0;
      for (const auto& p : x.properties) {
        if (p.bytes.empty()) continue;
        ASSERT_LT(k, y.properties.size());
        const Property& q = y.properties[k++];
        EXPECT_EQ(p.id, q.id);
        if (p.id == c.id) continue;
        if (p.id == PID_DICTIONARY) {
          ASSERT_EQ(x.dictionary.size(), y.dictionary.size());
          for (size_t d = 0; d < x.dictionary.size(); ++d) {
            EXPECT_EQ(x.dictionary[d].id, y.dictionary[d].id);
            EXPECT_EQ(x.dictionary[d].name, y.dictionary[d].name);
          }
          continue;
        }
        // Bytes as read; a value whose extent ran to the next one may gain
        // the zero padding the rewrite adds.
        ASSERT_GE(q.bytes.size(), p.bytes.size()) << p.id;
        EXPECT_TRUE(std::equal(p.bytes.begin(), p.bytes.end(), q.bytes.begin())) << p.id;
      }
      const Property* changed = y.find(c.id);
      ASSERT_NE(changed, nullptr);
      EXPECT_EQ(changed->vt, VT_I4);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Documents, PropsetRewriteTest, ::testing::ValuesIn(corpusFiles()),
                         [](const auto& info) {
                           std::string n = info.param.empty() ? "NoCorpus" : info.param;
                           for (auto& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
}  // namespace velmora::propset
