#include "tests/support/property_doc.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace velmora::test {

PropertyValue byId(PROPID id, const PROPVARIANT& value) { return {id, u"", value}; }
PropertyValue byName(std::u16string name, const PROPVARIANT& value) {
  return {0, std::move(name), value};
}

void writeDocument(const std::filesystem::path& path, const std::vector<PropertySet>& sets,
                   size_t payload) {
  std::u16string wpath = path.u16string();
  IStorage* root = nullptr;
  HRESULT hr = StgCreateDocfile(wpath.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                0, &root);
  ASSERT_EQ(S_OK, hr) << "StgCreateDocfile " << path;
  if (payload) {
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, root->CreateStream(u"WordDocument",
                                       STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                       &stream));
    std::vector<uint8_t> bytes(payload);
    for (size_t i = 0; i < payload; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    ULONG written = 0;
    EXPECT_EQ(S_OK, stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written));
    stream->Release();
  }
  IPropertySetStorage* setStorage = nullptr;
  ASSERT_EQ(S_OK,
            root->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(&setStorage)));
  for (const PropertySet& set : sets) {
    IPropertyStorage* props = nullptr;
    ASSERT_EQ(S_OK,
              setStorage->Create(set.fmtid, nullptr, set.flags,
                                 STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &props));
    if (set.codePage) {
      PROPSPEC spec = {};
      spec.ulKind = PRSPEC_PROPID;
      spec.propid = PID_CODEPAGE;
      PROPVARIANT cp = pvI2(static_cast<SHORT>(set.codePage));
      EXPECT_EQ(S_OK, props->WriteMultiple(1, &spec, &cp, PID_FIRST_USABLE));
    }
    for (const PropertyValue& pv : set.values) {
      PROPSPEC spec = {};
      if (pv.name.empty()) {
        spec.ulKind = PRSPEC_PROPID;
        spec.propid = pv.id;
      } else {
        spec.ulKind = PRSPEC_LPWSTR;
        spec.lpwstr = const_cast<LPOLESTR>(pv.name.c_str());
      }
      EXPECT_EQ(S_OK, props->WriteMultiple(1, &spec, &pv.value, PID_FIRST_USABLE));
    }
    EXPECT_EQ(S_OK, props->Commit(STGC_DEFAULT));
    props->Release();
  }
  setStorage->Release();
  EXPECT_EQ(S_OK, root->Commit(STGC_DEFAULT));
  root->Release();
}

std::vector<uint8_t> readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace velmora::test
