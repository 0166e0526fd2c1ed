// A navigator over a document made for the test, and attribute records that
// free what they own.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/comp_doc_formats.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {

class AttributeRecords {
 public:
  AttributeRecords() = default;
  AttributeRecords(std::initializer_list<std::pair<const char16_t*, const char16_t*>> blockNames) {
    for (auto& [block, name] : blockNames) add(block, name);
  }
  ~AttributeRecords() {
    for (auto& r : m_records) {
      SysFreeString(r.bsBlock);
      SysFreeString(r.bsName);
      VariantClear(&r.oValue);
    }
  }
  VltAttribute& add(const char16_t* block, const char16_t* name) {
    VltAttribute r = {};
    r.bsBlock = block ? SysAllocString(block) : nullptr;
    r.bsName = name ? SysAllocString(name) : nullptr;
    VariantInit(&r.oValue);
    m_records.push_back(r);
    return m_records.back();
  }
  VltAttribute* data() { return m_records.data(); }
  LONG size() const { return static_cast<LONG>(m_records.size()); }
  VltAttribute& operator[](size_t i) { return m_records[i]; }
  std::vector<LONG> handled() const {
    std::vector<LONG> out;
    for (auto& r : m_records) out.push_back(r.bHandled);
    return out;
  }

 private:
  std::vector<VltAttribute> m_records;
};

inline std::u16string bstrText(const VARIANT& v) {
  if (v.vt != VT_BSTR) return u"<not a BSTR>";
  return v.bstrVal ? std::u16string(v.bstrVal, SysStringLen(v.bstrVal)) : u"<null>";
}

// A navigator from the format descriptor, released at the end of the test.
class NavigatorTest : public ::testing::Test {
 protected:
  IVltFileNavigator* open(const std::filesystem::path& path) {
    IVltFileFormat* formats = nullptr;
    EXPECT_EQ(S_OK, CCompDocFormats::CreateInstance(IID_IVltFileFormat,
                                                    reinterpret_cast<void**>(&formats)));
    IVltFileNavigator* nav = nullptr;
    std::u16string wpath = path.u16string();
    EXPECT_EQ(S_OK, formats->CreateNavigator(wpath.c_str(), 0, &nav));
    formats->Release();
    m_navigators.push_back(nav);
    return nav;
  }
  ICompDocFile* compDoc(IVltFileNavigator* nav) {
    ICompDocFile* file = nullptr;
    EXPECT_EQ(S_OK, nav->QueryInterface(IID_ICompDocFile, reinterpret_cast<void**>(&file)));
    file->Release();  // the navigator keeps the object alive
    return file;
  }
  void TearDown() override {
    for (auto* nav : m_navigators) nav->Release();
  }

  TempDir m_dir;
  std::vector<IVltFileNavigator*> m_navigators;
};

}  // namespace velmora::test
