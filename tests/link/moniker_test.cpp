// System monikers: persisted forms written as Windows writes them, display
// names, round trips through IPersistStream, and hostile moniker streams
// refused whole without a crash or an allocation the input cannot back.
#include <gtest/gtest.h>

#include <ole2.h>
#include <urlmon.h>

#include <functional>

#include "base/byte_writer.h"
#include "link/moniker.h"

namespace velmora::link {
namespace {

using Bytes = std::vector<uint8_t>;

struct Released {
  void operator()(IUnknown* p) const {
    if (p) p->Release();
  }
};
using MonikerHandle = std::unique_ptr<IMoniker, Released>;

MonikerHandle fileMk(const char16_t* path) {
  IMoniker* m = nullptr;
  EXPECT_EQ(S_OK, CreateFileMoniker(path, &m));
  return MonikerHandle(m);
}

std::u16string display(IMoniker* m) {
  LPOLESTR name = nullptr;
  EXPECT_EQ(S_OK, m->GetDisplayName(nullptr, nullptr, &name));
  std::u16string out = name ? name : u"";
  CoTaskMemFree(name);
  return out;
}

// Saves through OleSaveToStream and loads back through OleLoadFromStream.
MonikerHandle roundTrip(IMoniker* m, Bytes* saved) {
  std::vector<uint8_t>* bytes = nullptr;
  IStream* stream = makeMemoryStream(&bytes);
  IPersistStream* persist = nullptr;
  EXPECT_EQ(S_OK, m->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist)));
  EXPECT_EQ(S_OK, OleSaveToStream(persist, stream));
  persist->Release();
  *saved = *bytes;
  uint8_t trailer[3] = {7, 7, 7};
  stream->Write(trailer, 3, nullptr);  // the next field must not be swallowed
  LARGE_INTEGER zero{};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  IMoniker* loaded = nullptr;
  EXPECT_EQ(S_OK, OleLoadFromStream(stream, IID_IMoniker, reinterpret_cast<void**>(&loaded)));
  ULARGE_INTEGER pos{};
  stream->Seek(zero, STREAM_SEEK_CUR, &pos);
  EXPECT_EQ(saved->size(), pos.QuadPart) << "the load must stop at the moniker's end";
  stream->Release();
  return MonikerHandle(loaded);
}

struct DisplayCase {
  const char* label;
  std::function<MonikerHandle()> make;
  std::u16string expected;
  DWORD mksys;
};

TEST(MonikerDisplayNameTest, SystemMonikersNameTheirSourceAndSurviveARoundTrip) {
  auto composite = [](MonikerHandle a, MonikerHandle b) {
    IMoniker* m = nullptr;
    EXPECT_EQ(S_OK, CreateGenericComposite(a.get(), b.get(), &m));
    return MonikerHandle(m);
  };
  auto item = [](const char16_t* d, const char16_t* i) {
    IMoniker* m = nullptr;
    EXPECT_EQ(S_OK, CreateItemMoniker(d, i, &m));
    return MonikerHandle(m);
  };
  auto anti = [] {
    IMoniker* m = nullptr;
    EXPECT_EQ(S_OK, CreateAntiMoniker(&m));
    return MonikerHandle(m);
  };
  const DisplayCase cases[] = {
      {"drive path", [] { return fileMk(u"C:\\data\\book.xls"); }, u"C:\\data\\book.xls",
       MKSYS_FILEMONIKER},
      // Cyrillic and CJK have no Windows-1252 form: only the key-3 path holds them.
      {"unicode path", [] { return fileMk(u"C:\\Отчёты\\計画.doc"); }, u"C:\\Отчёты\\計画.doc",
       MKSYS_FILEMONIKER},
      {"UNC path", [] { return fileMk(u"\\\\server\\share\\a.doc"); }, u"\\\\server\\share\\a.doc",
       MKSYS_FILEMONIKER},
      {"relative with anti steps", [] { return fileMk(u"..\\..\\up\\a.doc"); },
       u"..\\..\\up\\a.doc", MKSYS_FILEMONIKER},
      {"item with Unicode text", [&] { return item(u"!", u"Лист1!R1C1"); }, u"!Лист1!R1C1",
       MKSYS_ITEMMONIKER},
      {"anti", [&] { return anti(); }, u"\\..", MKSYS_ANTIMONIKER},
      {"file and item",
       [&] { return composite(fileMk(u"C:\\d\\book.xls"), item(u"!", u"Sheet1!R1C1")); },
       u"C:\\d\\book.xls!Sheet1!R1C1", MKSYS_GENERICCOMPOSITE},
      {"nested composite flattens",
       [&] { return composite(composite(fileMk(u"C:\\a\\b.doc"), anti()), item(u"!", u"x")); },
       u"C:\\a\\b.doc\\..!x", MKSYS_GENERICCOMPOSITE},
      {"URL",
       [] {
         IMoniker* m = nullptr;
         EXPECT_EQ(S_OK, CreateURLMoniker(nullptr, u"https://example.com/a/b.xls", &m));
         return MonikerHandle(m);
       },
       u"https://example.com/a/b.xls", MKSYS_URLMONIKER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MonikerHandle m = c.make();
    ASSERT_TRUE(m);
    EXPECT_EQ(c.expected, display(m.get()));
    DWORD mksys = 0;
    EXPECT_EQ(S_OK, m->IsSystemMoniker(&mksys));
    EXPECT_EQ(c.mksys, mksys);
    Bytes saved;
    MonikerHandle back = roundTrip(m.get(), &saved);
    ASSERT_TRUE(back);
    EXPECT_EQ(c.expected, display(back.get()));
    EXPECT_EQ(S_OK, back->IsEqual(m.get()));
    Bytes again;
    roundTrip(back.get(), &again);
    EXPECT_EQ(saved, again) << "a loaded moniker saves the bytes it was loaded from";
  }
}

TEST(FileMonikerFormTest, WritesTheLayoutWindowsWrites) {
  auto m = monikerOf(fileMk(u"C:\\é.doc").get());
  ASSERT_TRUE(m);
  Bytes expected;
  base::ByteWriter w(expected);
  w.u16(0);  // cAnti
  w.u32(9);  // ansiLength, NUL included
  for (int c : std::initializer_list<int>{'C', ':', '\\', 0xE9, '.', 'd', 'o', 'c', 0})
    w.u8(uint8_t(c));  // Windows-1252
  w.u16(0xFFFF);       // endServer: not UNC
  w.u16(0xDEAD);
  w.zeros(16);
  w.u32(0);
  w.u32(6 + 16);  // one key-3 extent
  w.u32(16);
  w.u16(3);
  for (char16_t c : std::u16string(u"C:\\é.doc")) w.u16(c);
  EXPECT_EQ(expected, m.value()->data);

  auto unc = monikerOf(fileMk(u"\\\\srv\\share\\a.doc").get());
  ASSERT_TRUE(unc);
  // endServer counts "\\srv", without the separator after it.
  EXPECT_EQ(5u, base::loadLE16(&unc.value()->data[6 + 18]));
  EXPECT_EQ(1u, monikerOf(fileMk(u"..\\a.doc").get()).value()->cAnti);
}

// A file moniker's data as real files carry it: `ansi` alone, or extents.
Bytes fileData(uint16_t cAnti, const std::string& ansi,
               const std::vector<std::pair<uint16_t, Bytes>>& extents) {
  Bytes out;
  base::ByteWriter w(out);
  const uint8_t clsid[16] = {0x03, 0x03, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  w.bytes(clsid);
  w.u16(cAnti);
  w.u32(uint32_t(ansi.size() + 1));
  w.bytes({reinterpret_cast<const uint8_t*>(ansi.data()), ansi.size()});
  w.u8(0);
  w.u16(0xFFFF);
  w.u16(0xDEAD);
  w.zeros(16);
  w.u32(uint32_t(extents.size()));
  size_t total = 0;
  for (auto& e : extents) total += 6 + e.second.size();
  w.u32(uint32_t(total));
  for (auto& [key, body] : extents) {
    w.u32(uint32_t(body.size()));
    w.u16(key);
    w.bytes(body);
  }
  return out;
}

Bytes utf16le(std::u16string_view s) {
  Bytes out;
  for (char16_t c : s) {
    out.push_back(uint8_t(c));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
}

TEST(FileMonikerFormTest, ReadsTheFormsRealFilesCarry) {
  struct Case {
    const char* label;
    Bytes bytes;
    std::u16string display;
  };
  const Case cases[] = {
      // The relative moniker of a real link: ANSI only, the path after one
      // anti step starting with a backslash.
      {"ANSI only, anti step", fileData(1, "\\Long File Name.xls", {}), u"..\\Long File Name.xls"},
      {"anti step, bare name", fileData(1, "book.xls", {}), u"..\\book.xls"},
      // The absolute one: an 8.3 ANSI path, the long path in key 3, a
      // Shell Link in key 5 after it.
      {"short ANSI, long key 3, tracking data",
       fileData(0, "C:\\LONGFI~1\\BOOK~1.XLS",
                {{3, utf16le(u"C:\\Long Files\\Book of 2024.xls")}, {5, Bytes(76, 0x4C)}}),
       u"C:\\Long Files\\Book of 2024.xls"},
      {"tracking data first", fileData(0, "X", {{5, Bytes(3, 1)}, {3, utf16le(u"Y")}}), u"Y"},
      {"unknown key only", fileData(0, "\xC4pfel.doc", {{9, Bytes(4, 0)}}), u"Äpfel.doc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto m = parseMonikerBytes(c.bytes);
    ASSERT_TRUE(m) << m.error().message;
    auto name = displayName(*m.value());
    ASSERT_TRUE(name) << name.error().message;
    EXPECT_EQ(c.display, *name);
    EXPECT_EQ(c.bytes, monikerStreamBytes(*m.value()));
  }
}

Bytes compositeHeader(uint32_t count) {
  Bytes out = {0x09, 0x03, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  base::ByteWriter(out).u32(count);
  return out;
}

TEST(MonikerBoundsTest, RefusesHostileStreamsWhole) {
  Bytes deep;
  for (int i = 0; i < 1000000; ++i) {
    Bytes h = compositeHeader(1);
    deep.insert(deep.end(), h.begin(), h.end());
  }
  Bytes file = fileData(0, "C:\\a.doc", {{3, utf16le(u"C:\\a.doc")}});
  Bytes tooMany = compositeHeader(0xFFFFFFFF);
  tooMany.insert(tooMany.end(), file.begin(), file.end());
  Bytes ansiPastEnd = file;
  base::storeLE32(&ansiPastEnd[18], 0x7FFFFFFF);
  Bytes extentPastEnd = file;
  base::storeLE32(&extentPastEnd[file.size() - 16 - 6], 0xFFFFFFF0);
  Bytes unicodePastEnd = file;
  base::storeLE32(&unicodePastEnd[file.size() - 16 - 10], 1000);
  Bytes badVersion = file;
  badVersion[16 + 6 + 9 + 2] = 0;
  Bytes item = {0x04, 0x03, 0, 0, 0, 0, 0,   0, 0xC0, 0,    0,    0,    0,  0,
                0,    0x46, 2, 0, 0, 0, '!', 0, 0xFF, 0xFF, 0xFF, 0x0F, 'x'};
  Bytes anti = {0x05, 0x03, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46, 1, 0, 0x10, 0};
  Bytes url = {0xE0, 0xC9, 0xEA, 0x79, 0xF9, 0xBA, 0xCE, 0x11, 0x8C, 0x82, 0x00,
               0xAA, 0x00, 0x4B, 0xA9, 0x0B, 0x00, 0x00, 0x00, 0x40, 'h',  0};
  Bytes unknown(20, 0x42);
  struct Case {
    const char* label;
    const Bytes& bytes;
    HRESULT code;
  } cases[] = {
      {"a composite nested a million deep", deep, E_FAIL},
      {"a component count the stream cannot hold", tooMany, STG_E_READFAULT},
      {"an ANSI length past the end", ansiPastEnd, STG_E_READFAULT},
      {"an extent past its list", extentPastEnd, STG_E_READFAULT},
      {"an extent list past the end", unicodePastEnd, STG_E_READFAULT},
      {"a file moniker version other than 0xDEAD", badVersion, E_FAIL},
      {"an item length past the end", item, STG_E_READFAULT},
      {"an anti count above 1048576", anti, E_FAIL},
      {"a URL length past the end", url, STG_E_READFAULT},
      {"a class that is no system moniker", unknown, REGDB_E_CLASSNOTREG},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto m = parseMonikerBytes(c.bytes);
    ASSERT_FALSE(m);
    EXPECT_EQ(c.code, m.error().code) << m.error().message;
  }
  // Every cut of a valid composite is refused, none read past its end.
  Bytes whole = compositeHeader(2);
  whole.insert(whole.end(), file.begin(), file.end());
  whole.insert(whole.end(), item.begin(), item.begin() + 22);
  base::ByteWriter(whole).u32(2);
  whole.push_back('x');
  whole.push_back(0);
  ASSERT_TRUE(parseMonikerBytes(whole));
  for (size_t n = 0; n < whole.size(); ++n) {
    Bytes cut(whole.begin(), whole.begin() + n);
    EXPECT_FALSE(parseMonikerBytes(cut)) << "cut at " << n;
  }
}

Bytes antiData(uint32_t count) {
  Bytes out = {0x05, 0x03, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  base::ByteWriter(out).u32(count);
  return out;
}

// Each moniker is bounded, and so is the name built from them: a path of at
// most kMaxPath characters, a display name of at most kMaxDisplayName, the
// latter refused before any of it is built.
TEST(MonikerBoundsTest, DisplayNamesAndPathsHaveABound) {
  // cAnti 21845 gives "..\" 21845 times less one backslash, then "\a":
  // 65536 characters, exactly the bound.
  auto atBound = parseMonikerBytes(fileData(21845, "a", {}));
  ASSERT_TRUE(atBound);
  auto name = displayName(*atBound.value());
  ASSERT_TRUE(name) << name.error().message;
  EXPECT_EQ(kMaxDisplayName, name->size());
  EXPECT_EQ(u"..\\..\\", name->substr(0, 6));
  EXPECT_EQ(u"..\\a", name->substr(name->size() - 4));

  Bytes composite = compositeHeader(101);  // a file moniker and 100 anti monikers of 2^20
  Bytes file = fileData(0, "C:\\a.doc", {});
  composite.insert(composite.end(), file.begin(), file.end());
  for (int i = 0; i < 100; ++i) {
    Bytes anti = antiData(kMaxAntiCount);
    composite.insert(composite.end(), anti.begin(), anti.end());
  }
  const Bytes pastBound[] = {
      fileData(21845, "ab", {}),  // one character past
      fileData(65535, "a", {}),   // the largest anti count of a file moniker
      composite,                  // 314 million characters unbounded
      antiData(21846),            // 65538
  };
  for (const Bytes& bytes : pastBound) {
    auto m = parseMonikerBytes(bytes);
    ASSERT_TRUE(m) << "each moniker is within its own bounds";
    auto refused = displayName(*m.value());
    ASSERT_FALSE(refused);
    EXPECT_EQ(kNameTooLong, refused.error().code);
    EXPECT_EQ(kNameTooLong, displayNameLength(*m.value()).code());
    MonikerHandle object(makeMonikerObject(m.value()));
    LPOLESTR shown = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(kNameTooLong, object->GetDisplayName(nullptr, nullptr, &shown));
    EXPECT_EQ(nullptr, shown);
  }

  // Paths: 32,767 characters are read, one more is refused, in either form.
  const std::u16string longest(kMaxPath, u'p');
  auto wide = parseMonikerBytes(fileData(0, "x", {{3, utf16le(longest)}}));
  ASSERT_TRUE(wide);
  EXPECT_EQ(longest, wide.value()->path);
  EXPECT_TRUE(parseMonikerBytes(fileData(0, std::string(kMaxPath, 'p'), {})));
  // A NUL ends the path, so what follows it does not count.
  EXPECT_TRUE(parseMonikerBytes(fileData(0, "x", {{3, utf16le(longest + u'\0' + longest)}})));
  for (const Bytes& bytes : {fileData(0, "x", {{3, utf16le(longest + u'p')}}),
                             fileData(0, std::string(kMaxPath + 1, 'p'), {})}) {
    auto m = parseMonikerBytes(bytes);
    ASSERT_FALSE(m);
    EXPECT_EQ(E_FAIL, m.error().code) << m.error().message;
  }
  IMoniker* made = reinterpret_cast<IMoniker*>(1);
  EXPECT_EQ(MK_E_SYNTAX, CreateFileMoniker((longest + u"pp").c_str(), &made));
  EXPECT_EQ(nullptr, made);
}

TEST(MonikerApiTest, ArgumentsAreCheckedAsWindowsChecksThem) {
  IMoniker* m = reinterpret_cast<IMoniker*>(1);
  EXPECT_EQ(E_INVALIDARG, CreateFileMoniker(nullptr, &m));
  EXPECT_EQ(nullptr, m);
  EXPECT_EQ(E_INVALIDARG, CreateFileMoniker(u"a", nullptr));
  std::u16string huge(40000, u'a');
  EXPECT_EQ(MK_E_SYNTAX, CreateFileMoniker(huge.c_str(), &m));
  // One side of a composite alone is the composite.
  MonikerHandle f = fileMk(u"C:\\a.doc");
  IMoniker* c = nullptr;
  EXPECT_EQ(S_OK, CreateGenericComposite(f.get(), nullptr, &c));
  EXPECT_EQ(f.get(), c);
  c->Release();
  LPOLESTR name = reinterpret_cast<LPOLESTR>(1);
  EXPECT_EQ(E_POINTER, f->GetDisplayName(nullptr, nullptr, nullptr));
  EXPECT_EQ(S_OK, f->GetDisplayName(nullptr, nullptr, &name));
  CoTaskMemFree(name);
}

}  // namespace
}  // namespace velmora::link
