// The property-set codec on streams built byte by byte: what it refuses, what
// real producers write that it must tolerate, and that every value type and
// every unknown byte survives a rewrite.
#include "propset/codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include <cstring>

#include "propset/stream_name.h"
#include "tests/propset/set_builder.h"

namespace velmora::propset {
namespace {

using test::ascii;
using test::Bytes;
using test::cat;
using test::i2;
using test::lpstr;
using test::section;
using test::stream;
using test::typed;
using test::u32;

const GUID kDocSummary = {
    0xD5CDD502, 0x2E9C, 0x101B, {0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE}};
const GUID kUserDefined = {
    0xD5CDD505, 0x2E9C, 0x101B, {0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE}};
const GUID kSummary = {
    0xF29F85E0, 0x4FF9, 0x1068, {0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9}};

Bytes simpleSet() {
  return stream(
      {{kSummary, section({{1, i2(1252)}, {2, lpstr(ascii(std::string("Hi\0\0", 4)))}})}});
}

// --- Damage that must be refused -------------------------------------------

struct Damage {
  const char* name;
  size_t at;   // byte to overwrite, or SIZE_MAX to truncate
  Bytes with;  // new bytes at `at`, or the length to keep
  size_t keep = 0;
};

class PropsetCodecHeaderTest : public ::testing::TestWithParam<Damage> {};

TEST_P(PropsetCodecHeaderTest, RefusesDamagedHeader) {
  Bytes b = simpleSet();
  const Damage& d = GetParam();
  if (d.at == SIZE_MAX)
    b.resize(d.keep);
  else
    std::copy(d.with.begin(), d.with.end(), b.begin() + d.at);
  auto r = parsePropertySet(b);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.code(), STG_E_INVALIDHEADER) << r.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, PropsetCodecHeaderTest,
    ::testing::Values(Damage{"Empty", SIZE_MAX, {}, 0}, Damage{"ShortHeader", SIZE_MAX, {}, 27},
                      Damage{"NoSectionEntry", SIZE_MAX, {}, 40},
                      Damage{"ByteOrder", 0, {0xFF, 0xFE}}, Damage{"ZeroByteOrder", 0, {0, 0}},
                      Damage{"Version2", 2, {2, 0}}, Damage{"NoSections", 24, {0, 0, 0, 0}},
                      Damage{"ThreeSections", 24, {3, 0, 0, 0}},
                      Damage{"SectionPastEnd", 44, {0xF0, 0, 0, 0}},
                      Damage{"SectionInHeader", 44, {0x10, 0, 0, 0}},
                      Damage{"SectionOffsetHuge", 44, {0xFF, 0xFF, 0xFF, 0xFF}},
                      Damage{"TableCountHuge", 52, {0xFF, 0xFF, 0xFF, 0x0F}},
                      Damage{"TableRunsPastEnd", 52, {9, 0, 0, 0}}),
    [](const auto& info) { return info.param.name; });

TEST(PropsetCodecHeaderTest, RefusesAllZeroStream) {
  // Both property streams of a workbook written by a Java library are 4096
  // zero bytes.
  Bytes zeros(4096, 0);
  EXPECT_EQ(parsePropertySet(zeros).code(), STG_E_INVALIDHEADER);
}

// --- Tolerated oddities ------------------------------------------------------

TEST(PropsetCodecToleranceTest, ReadsUnsortedTableGapsAndShortSize) {
  // Offsets out of order, 16 unused bytes after the table, stale bytes after
  // the section, and a Size shorter than the stream.
  Bytes sec = section({{2, lpstr(ascii(std::string("abc\0", 4))), 48}, {1, i2(1200)}});
  Bytes stale = {0xDE, 0xAD, 0xBE, 0xEF};
  Bytes b = cat({stream({{kSummary, sec}}), stale, Bytes(100, 0)});
  auto r = parsePropertySet(b);
  ASSERT_TRUE(r.ok()) << r.error().message;
  const Section& s = r->sections.at(0);
  ASSERT_EQ(s.properties.size(), 2u);
  EXPECT_EQ(s.properties[0].id, 2u);
  EXPECT_EQ(s.codePage(), 1200);
  size_t used = 0;
  auto v = decodeValue(s.find(2)->bytes, 1200, &used);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v->bytes, ascii(std::string("abc\0", 4)));
}

TEST(PropsetCodecToleranceTest, BadValueMakesOnlyThatPropertyUnreadable) {
  // pid 3 claims a string of 0x1000 bytes; pid 4 after it is sound.
  Bytes badString = typed(VT_LPSTR, u32(0x1000));
  Bytes sec = section({{1, i2(1252)}, {3, badString}, {4, typed(VT_I4, u32(7))}});
  auto r = parsePropertySet(stream({{kSummary, sec}}));
  ASSERT_TRUE(r.ok()) << r.error().message;
  const Section& s = r->sections[0];
  EXPECT_FALSE(s.find(3)->readable);
  EXPECT_TRUE(s.find(4)->readable);
  // The damaged value keeps its bytes for the rewrite.
  EXPECT_EQ(s.find(3)->bytes, badString);
}

TEST(PropsetCodecToleranceTest, MissingCodePageFallsBackToAnsi) {
  auto r = parsePropertySet(
      stream({{kSummary, section({{2, lpstr(ascii(std::string("x\0\0\0", 4)))}})}}));
  ASSERT_TRUE(r.ok());
  EXPECT_FALSE(r->sections[0].codePage().has_value());
  EXPECT_EQ(r->sections[0].effectiveCodePage(), 1252);
}

TEST(PropsetCodecToleranceTest, ReadsOfficeUnalignedStringVectors) {
  // TitlesOfParts and HeadingPairs as Word writes them: string elements
  // without padding, the next property at an odd offset.
  Bytes titles = typed(VT_VECTOR | VT_LPSTR, cat({u32(1), u32(1), {0}}));
  Bytes headings =
      typed(VT_VECTOR | VT_VARIANT,
            cat({u32(2), lpstr(ascii(std::string("Title\0", 6))), typed(VT_I4, u32(1))}));
  Bytes sec = section({{1, i2(1252)}, {13, titles}, {12, headings}});
  auto r = parsePropertySet(stream({{kDocSummary, sec}}));
  ASSERT_TRUE(r.ok()) << r.error().message;
  const Section& s = r->sections[0];
  size_t used = 0;
  auto t = decodeValue(s.find(13)->bytes, 1252, &used);
  ASSERT_TRUE(t.ok()) << t.error().message;
  ASSERT_EQ(t->elements.size(), 1u);
  EXPECT_EQ(t->elements[0].bytes, Bytes{0});
  auto h = decodeValue(s.find(12)->bytes, 1252, &used);
  ASSERT_TRUE(h.ok()) << h.error().message;
  ASSERT_EQ(h->elements.size(), 2u);
  EXPECT_EQ(h->elements[0].bytes, ascii(std::string("Title\0", 6)));
  EXPECT_EQ(h->elements[1].vt, VT_I4);
  EXPECT_EQ(h->elements[1].scalar, 1u);
  // Unchanged, the section is written back exactly as read.
  EXPECT_EQ(serializePropertySet(*r), stream({{kDocSummary, sec}}));
}

TEST(PropsetCodecToleranceTest, ReadsVisioPaddingWithStaleBytes) {
  // Visio counts stale bytes after the NUL inside the element size.
  Bytes v = typed(VT_VECTOR | VT_LPSTR, cat({u32(2),
                                             u32(8),
                                             ascii(std::string("Page-1\0c", 8)),
                                             u32(5),
                                             ascii(std::string("Tr\0\x30\0", 5)),
                                             {0, 0, 0}}));
  size_t used = 0;
  auto r = decodeValue(v, 1252, &used);
  ASSERT_TRUE(r.ok()) << r.error().message;
  ASSERT_EQ(r->elements.size(), 2u);
  EXPECT_EQ(used, v.size());
}

// --- Dictionaries -----------------------------------------------------------

struct DictionaryCase {
  const char* name;
  uint16_t codePage;
  Bytes bytes;  // as a producer wrote it
  std::vector<std::pair<PROPID, Bytes>> entries;
};

class PropsetCodecDictionaryTest : public ::testing::TestWithParam<DictionaryCase> {};

TEST_P(PropsetCodecDictionaryTest, DecodesAndReencodes) {
  const auto& c = GetParam();
  size_t used = 0;
  auto d = decodeDictionary(c.bytes, c.codePage, &used);
  ASSERT_TRUE(d.ok()) << d.error().message;
  ASSERT_EQ(d->size(), c.entries.size());
  for (size_t i = 0; i < c.entries.size(); ++i) {
    EXPECT_EQ((*d)[i].id, c.entries[i].first);
    EXPECT_EQ((*d)[i].name, c.entries[i].second);
  }
  // Our encoding pads the end; for an already padded input it is identical.
  Bytes again = encodeDictionary(*d, c.codePage);
  EXPECT_EQ(again.size() % 4, 0u);
  EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.begin() + used, again.begin()));
  size_t used2 = 0;
  auto d2 = decodeDictionary(again, c.codePage, &used2);
  ASSERT_TRUE(d2.ok());
  EXPECT_EQ(used2, used);
}

Bytes utf16(const std::u16string& s) {
  Bytes b;
  for (char16_t c : s) test::put16(b, c);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, PropsetCodecDictionaryTest,
    ::testing::Values(
        // Excel's unpadded ANSI dictionary.
        DictionaryCase{
            "Ansi1252",
            1252,
            cat({u32(2), u32(2), u32(13), ascii(std::string("MyCustomDate\0", 13)), u32(3), u32(2),
                 ascii(std::string("\xe9\0", 2))}),
            {{2, ascii(std::string("MyCustomDate\0", 13))}, {3, ascii(std::string("\xe9\0", 2))}}},
        DictionaryCase{"Utf8",
                       65001,
                       cat({u32(1), u32(5), u32(4), ascii(std::string("\xc3\xa9t\0", 4))}),
                       {{5, ascii(std::string("\xc3\xa9t\0", 4))}}},
        // winUnicodeDictionary.doc: each entry padded to 4.
        DictionaryCase{
            "Unicode1200",
            1200,
            cat({u32(2),
                 u32(2),
                 u32(2),
                 utf16(std::u16string(u"A\0", 2)),
                 u32(3),
                 u32(3),
                 utf16(std::u16string(u"AB\0", 3)),
                 {0, 0}}),
            {{2, utf16(std::u16string(u"A\0", 2))}, {3, utf16(std::u16string(u"AB\0", 3))}}}),
    [](const auto& info) { return info.param.name; });

TEST(PropsetCodecDictionaryTest, RefusesEntryRunningPastSection) {
  Bytes b = cat({u32(1), u32(2), u32(0x7FFFFFFF), ascii("ab")});
  size_t used = 0;
  EXPECT_EQ(decodeDictionary(b, 1252, &used).code(), STG_E_INVALIDHEADER);
  EXPECT_EQ(decodeDictionary(u32(0x10000000), 1252, &used).code(), STG_E_INVALIDHEADER);
}

// --- Every value type round trips ----------------------------------------------

Value scalar(VARTYPE vt, uint64_t x) {
  Value v;
  v.vt = vt;
  v.scalar = x;
  return v;
}
Value chars(VARTYPE vt, Bytes b) {
  Value v;
  v.vt = vt;
  v.bytes = std::move(b);
  return v;
}
Value wide(std::u16string s) {
  Value v;
  v.vt = VT_LPWSTR;
  v.text = std::move(s);
  return v;
}
Value fixed16(VARTYPE vt) {
  Value v;
  v.vt = vt;
  for (int i = 0; i < 16; ++i) v.fixed[i] = uint8_t(i * 7 + 1);
  if (vt == VT_DECIMAL) v.fixed[0] = v.fixed[1] = 0;
  return v;
}
Value vec(VARTYPE t, std::vector<Value> e) {
  Value v;
  v.vt = VT_VECTOR | t;
  v.elements = std::move(e);
  return v;
}
Value packedVec(VARTYPE vt, Bytes b) {
  Value v;
  v.vt = vt;
  v.bytes = std::move(b);
  return v;
}
Value clip() {
  Value v;
  v.vt = VT_CF;
  v.clipFormat = -1;
  v.bytes = {3, 0, 0, 0, 8, 0, 1};
  return v;
}
Value array2d() {
  Value v;
  v.vt = VT_ARRAY | VT_I2;
  v.dimensions = {{2, 0}, {3, 1}};
  v.bytes = Bytes(12, 0x11);
  return v;
}
Value variantArray() {
  Value v;
  v.vt = VT_ARRAY | VT_VARIANT;
  v.dimensions = {{2, 0}};
  v.elements = {scalar(VT_I4, 5), chars(VT_BSTR, ascii(std::string("x\0", 2)))};
  return v;
}

struct ValueCase {
  const char* name;
  Value value;
  size_t size;  // encoded size, padding included
};

class PropsetCodecValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(PropsetCodecValueTest, RoundTripsThroughBytesAndSet) {
  const auto& c = GetParam();
  auto bytes = encodeValue(c.value, 1252);
  ASSERT_TRUE(bytes.ok()) << bytes.error().message;
  EXPECT_EQ(bytes->size(), c.size);
  size_t used = 0;
  auto back = decodeValue(*bytes, 1252, &used);
  ASSERT_TRUE(back.ok()) << back.error().message;
  EXPECT_TRUE(*back == c.value);
  EXPECT_LE(used, bytes->size());
  EXPECT_GT(used + 4, bytes->size());

  // In a set next to a code page, the value reads back after serialization.
  PropertySet set;
  Section s;
  s.fmtid = kUserDefined;
  s.properties.push_back({1, VT_I2, true, *encodeValue(scalar(VT_I2, 1252), 1252)});
  s.properties.push_back({7, c.value.vt, true, *bytes});
  set.sections.push_back(s);
  Bytes out = serializePropertySet(set);
  auto parsed = parsePropertySet(out);
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  const Property* p = parsed->sections[0].find(7);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->readable);
  auto again = decodeValue(p->bytes, 1252, &used);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(*again == c.value);
  EXPECT_EQ(parsed->version, needsVersion1(c.value.vt) ? 1 : 0);
  EXPECT_EQ(serializePropertySet(*parsed), out);
}

INSTANTIATE_TEST_SUITE_P(
    Types, PropsetCodecValueTest,
    ::testing::Values(
        ValueCase{"Empty", scalar(VT_EMPTY, 0), 4}, ValueCase{"Null", scalar(VT_NULL, 0), 4},
        ValueCase{"I1", scalar(VT_I1, 0x80), 8}, ValueCase{"UI1", scalar(VT_UI1, 0xFF), 8},
        ValueCase{"I2", scalar(VT_I2, 0xFDE9), 8}, ValueCase{"UI2", scalar(VT_UI2, 7), 8},
        ValueCase{"I4", scalar(VT_I4, 0xFFFFFFFF), 8}, ValueCase{"UI4", scalar(VT_UI4, 1), 8},
        ValueCase{"Int", scalar(VT_INT, 3), 8}, ValueCase{"Uint", scalar(VT_UINT, 3), 8},
        ValueCase{"I8", scalar(VT_I8, 0x8000000000000001), 12},
        ValueCase{"UI8", scalar(VT_UI8, 42), 12}, ValueCase{"R4", scalar(VT_R4, 0x3F800000), 8},
        ValueCase{"R8", scalar(VT_R8, 0x3FF0000000000000), 12},
        ValueCase{"Cy", scalar(VT_CY, 12345), 12},
        ValueCase{"Date", scalar(VT_DATE, 0x40E0000000000000), 12},
        ValueCase{"Bool", scalar(VT_BOOL, 0xFFFF), 8},
        ValueCase{"Error", scalar(VT_ERROR, 0x80030002), 8},
        ValueCase{"Filetime", scalar(VT_FILETIME, 0x01CBA86CE7423000), 12},
        ValueCase{"Decimal", fixed16(VT_DECIMAL), 20}, ValueCase{"Clsid", fixed16(VT_CLSID), 20},
        ValueCase{"LpstrEmpty", chars(VT_LPSTR, {}), 8},
        ValueCase{"LpstrPadded", chars(VT_LPSTR, ascii(std::string("abcde\0", 6))), 16},
        ValueCase{"LpstrAligned", chars(VT_LPSTR, ascii(std::string("abc\0", 4))), 12},
        ValueCase{"Bstr", chars(VT_BSTR, ascii(std::string("a\0b\0", 4))), 12},
        ValueCase{"LpwstrOdd", wide(std::u16string(u"X\0", 2)), 12},
        ValueCase{"LpwstrEven", wide(std::u16string(u"\0", 1)), 12},
        ValueCase{"Blob", chars(VT_BLOB, {1, 2, 3, 4, 5}), 16},
        ValueCase{"BlobObject", chars(VT_BLOB_OBJECT, {}), 8}, ValueCase{"Cf", clip(), 20},
        ValueCase{"VectorI2", packedVec(VT_VECTOR | VT_I2, {1, 0, 2, 0, 3, 0}), 16},
        ValueCase{"VectorUI1", packedVec(VT_VECTOR | VT_UI1, {1}), 12},
        ValueCase{"VectorBool", packedVec(VT_VECTOR | VT_BOOL, {0xFF, 0xFF}), 12},
        ValueCase{"VectorFiletime", packedVec(VT_VECTOR | VT_FILETIME, Bytes(16, 9)), 24},
        ValueCase{"VectorClsid", packedVec(VT_VECTOR | VT_CLSID, Bytes(32, 3)), 40},
        ValueCase{"VectorI1", packedVec(VT_VECTOR | VT_I1, {0x80, 1, 2}), 12},
        ValueCase{"VectorLpstr",
                  vec(VT_LPSTR, {chars(VT_LPSTR, ascii(std::string("a\0", 2))),
                                 chars(VT_LPSTR, ascii(std::string("bcd\0", 4)))}),
                  4 + 4 + 8 + 8},
        ValueCase{"VectorLpwstr", vec(VT_LPWSTR, {wide(std::u16string(u"Sheet1\0", 7))}),
                  4 + 4 + 20},
        ValueCase{"VectorBstr", vec(VT_BSTR, {chars(VT_BSTR, {})}), 12},
        ValueCase{"VectorCf", vec(VT_CF, {clip(), clip()}), 8 + 32},
        ValueCase{
            "VectorVariant",
            vec(VT_VARIANT, {chars(VT_LPSTR, ascii(std::string("Title\0", 6))), scalar(VT_I4, 1),
                             scalar(VT_I2, 5), wide(std::u16string(u"w\0", 2))}),
            8 + 16 + 8 + 8 + 12},
        ValueCase{"ArrayI2", array2d(), 4 + 4 + 4 + 16 + 12},
        ValueCase{"ArrayVariant", variantArray(), 4 + 8 + 8 + 8 + 12}),
    [](const auto& info) { return info.param.name; });

TEST(PropsetCodecValueTest, RefusesTypesASimpleSetCannotHold) {
  for (VARTYPE vt :
       {VARTYPE(VT_STREAM), VARTYPE(VT_STORAGE), VARTYPE(VT_VERSIONED_STREAM), VARTYPE(VT_DISPATCH),
        VARTYPE(VT_UNKNOWN), VARTYPE(VT_VECTOR | VT_BLOB), VARTYPE(VT_VECTOR | VT_DECIMAL),
        VARTYPE(VT_ARRAY | VT_LPSTR), VARTYPE(VT_BYREF | VT_I4), VARTYPE(0x0FFF)}) {
    Value v;
    v.vt = vt;
    EXPECT_EQ(encodeValue(v, 1252).code(), STG_E_INVALIDPARAMETER) << vt;
  }
  // A vector element whose type disagrees with the vector's.
  EXPECT_EQ(encodeValue(vec(VT_LPSTR, {wide(u"x")}), 1252).code(), STG_E_INVALIDPARAMETER);
  // Nested variants and vectors inside variants.
  EXPECT_EQ(encodeValue(vec(VT_VARIANT, {vec(VT_LPSTR, {})}), 1252).code(), STG_E_INVALIDPARAMETER);
}

TEST(PropsetCodecValueTest, RefusesCountsBeyondTheBytes) {
  size_t used = 0;
  for (Bytes b :
       {typed(VT_VECTOR | VT_I4, u32(0x40000000)), typed(VT_VECTOR | VT_LPSTR, u32(0xFFFFFFFF)),
        typed(VT_LPWSTR, u32(0x80000000)), typed(VT_CF, u32(2)),
        typed(VT_ARRAY | VT_I4,
              cat({u32(VT_I4), u32(2), u32(0x10000), u32(0), u32(0x10000), u32(0)})),
        typed(VT_ARRAY | VT_I4, cat({u32(VT_I4), u32(32)})),
        typed(VT_VECTOR | VT_VARIANT, cat({u32(1), typed(VT_VECTOR | VT_I4, u32(0))}))}) {
    EXPECT_FALSE(decodeValue(b, 1252, &used).ok());
  }
}

// --- Rewrites keep what they did not change --------------------------------------

TEST(PropsetCodecRewriteTest, KeepsUnknownTypesExtraSectionsAndClassOnRewrite) {
  const GUID clsid = {0x12345678, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
  Bytes unknown = {0x99, 0x00, 0x00, 0x00, 1, 2, 3, 4, 5, 6, 7};  // type 0x99, 7 bytes
  Bytes nonSimple = typed(VT_STREAM, cat({u32(7), ascii(std::string("prop10\0", 7))}));
  Bytes sec0 =
      section({{1, i2(1252)}, {0x99, unknown}, {3, typed(VT_I4, u32(5))}, {10, nonSimple, 0x48}});
  Bytes sec1 = section({{1, i2(65001)}, {2, lpstr(ascii(std::string("x\0\0\0", 4)))}});
  Bytes original = stream({{kDocSummary, sec0}, {kUserDefined, sec1}}, 0, clsid);
  auto r = parsePropertySet(original);
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(r->clsid, clsid);
  EXPECT_FALSE(r->sections[0].find(0x99)->readable);

  // Change pid 3 in section 0 and drop the section's original image.
  Section& s0 = r->sections[0];
  s0.original.reset();
  s0.find(3)->bytes = *encodeValue(scalar(VT_I4, 6), 1252);
  Bytes out = serializePropertySet(*r);
  auto again = parsePropertySet(out);
  ASSERT_TRUE(again.ok()) << again.error().message;
  EXPECT_EQ(again->clsid, clsid);
  ASSERT_EQ(again->sections.size(), 2u);
  const Section& a0 = again->sections[0];
  ASSERT_EQ(a0.properties.size(), 4u);
  EXPECT_EQ(a0.properties[1].id, 0x99u);
  // Unknown bytes run to the next value, so the 7 bytes plus the padding
  // the builder left come back.
  ASSERT_GE(a0.find(0x99)->bytes.size(), unknown.size());
  EXPECT_TRUE(std::equal(unknown.begin(), unknown.end(), a0.find(0x99)->bytes.begin()));
  ASSERT_GE(a0.find(10)->bytes.size(), nonSimple.size());
  EXPECT_TRUE(std::equal(nonSimple.begin(), nonSimple.end(), a0.find(10)->bytes.begin()));
  EXPECT_EQ(again->sections[1].original, r->sections[1].original);
  EXPECT_EQ(again->sections[1].fmtid, kUserDefined);
}

// --- Stream names ---------------------------------------------------------------

struct NameCase {
  GUID fmtid;
  const char16_t* name;
};

class PropsetStreamNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(PropsetStreamNameTest, MapsBothWays) {
  const auto& c = GetParam();
  EXPECT_EQ(streamNameFor(c.fmtid), c.name);
  auto back = fmtidForStreamName(c.name);
  ASSERT_TRUE(back.has_value());
  if (!IsEqualGUID(c.fmtid, kUserDefined)) {
    EXPECT_EQ(*back, c.fmtid);
  }
  // Case does not matter on the way back.
  std::u16string upper = c.name;
  for (auto& ch : upper)
    if (ch >= u'a' && ch <= u'z') ch = char16_t(ch - 32);
  ASSERT_TRUE(fmtidForStreamName(upper).has_value());
  EXPECT_EQ(*fmtidForStreamName(upper), *back);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, PropsetStreamNameTest,
    ::testing::Values(
        NameCase{kSummary, u"\005SummaryInformation"},
        NameCase{kDocSummary, u"\005DocumentSummaryInformation"},
        NameCase{kUserDefined, u"\005DocumentSummaryInformation"},
        NameCase{{0x0000013A, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}},
                 u"\0050jaaaaaaAaaaaadaAaaaaaaaGc"},
        NameCase{{0xCC024FA2, 0x6EB5, 0x11CE, {0x8A, 0xA2, 0x08, 0x00, 0x36, 0x01, 0xE9, 0x88}},
                 u"\005C3teagxwOttdbfkuIaamtae3Ie"},
        NameCase{{0x64440492, 0x4C8B, 0x11D1, {0x8B, 0x70, 0x08, 0x00, 0x36, 0xB1, 0x1A, 0x03}},
                 u"\005SebiesnrMkudrfcoIaamtykdDa"},
        NameCase{{0x32853F0F, 0x3444, 0x11D1, {0x9E, 0x93, 0x00, 0x60, 0xB0, 0x3C, 0x1C, 0xA6}},
                 u"\005PypkizqiUjudbposAayal4qdGf"},
        NameCase{{0x0885CA11, 0xAC04, 0x11D3, {0x95, 0xA5, 0x00, 0xA0, 0xC9, 0xB6, 0xE3, 0x7A}},
                 u"\005RqslieqaM3udrkwuAaitm1o20d"}));

// Every bit of a GUID lands in its name: names made for random GUIDs read
// back as the same GUIDs.
TEST(PropsetStreamNameTest, RandomGuidsMapBothWays) {
  std::mt19937_64 random(20261210);
  for (int n = 0; n < 2000; ++n) {
    GUID g;
    const uint64_t a = random(), b = random();
    std::memcpy(&g, &a, 8);
    std::memcpy(reinterpret_cast<uint8_t*>(&g) + 8, &b, 8);
    auto back = fmtidForStreamName(streamNameFor(g));
    ASSERT_TRUE(back.has_value());
    ASSERT_TRUE(IsEqualGUID(*back, g)) << n;
  }
}

TEST(PropsetStreamNameTest, RefusesNamesThatAreNotPropertySets) {
  for (std::u16string name : {std::u16string(u"SummaryInformation"), std::u16string(u"\005abc"),
                              std::u16string(u"\0050jaaaaaaAaaaaadaAaaaaaaaG!"),
                              std::u16string(u"\0050jaaaaaaAaaaaadaAaaaaaaaGi"),  // bit 128 set
                              std::u16string(u"\0050jaaaaaaAaaaaadaAaaaaaaaGcx")})
    EXPECT_FALSE(fmtidForStreamName(name).has_value());
}

}  // namespace
}  // namespace velmora::propset
