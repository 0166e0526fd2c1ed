// The "\1Ole" codec and the standard link object: what OleLoad gives for
// each kind of storage, what a link reports, and that SetSourceMoniker plus
// OleSave rewrite "\1Ole" and the class stamp and nothing else.
#include <gtest/gtest.h>

#include <ole2.h>

#include <cstring>

#include "base/byte_writer.h"
#include "link/moniker.h"
#include "link/ole_stream.h"
#include "tests/support/link_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::link {
namespace {

using Bytes = std::vector<uint8_t>;
using test::kStdOleLinkClass;

Bytes monikerBytes(IMoniker* m) {
  auto parsed = monikerOf(m);
  EXPECT_TRUE(parsed);
  m->Release();
  return parsed ? monikerStreamBytes(*parsed.value()) : Bytes();
}

// A link's "\1Ole" with the given monikers (absent when empty).
Bytes linkStream(const Bytes& relative, const Bytes& absolute, uint32_t flags = 9) {
  OleStream s;
  s.flags = flags;
  s.hasRelative = !relative.empty();
  s.relative = relative;
  s.hasAbsolute = !absolute.empty();
  s.absolute = absolute;
  s.clsid = {0x20830, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  s.tail = defaultOleTail();
  s.tail[12] = 0x5A;  // a LocalUpdateTime byte that a save must keep
  return encodeOleStream(s);
}

TEST(OleStreamTest, ParsesWhatItEncodesAndRefusesDamage) {
  Bytes absolute = monikerBytes(test::fileMoniker(u"C:\\d\\a.xls"));
  Bytes relative = monikerBytes(test::fileMoniker(u"..\\a.xls"));
  Bytes good = linkStream(relative, absolute);
  auto parsed = parseOleStream(good);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(absolute, parsed->absolute);
  EXPECT_EQ(relative, parsed->relative);
  EXPECT_EQ(good, encodeOleStream(*parsed));
  // Size fields count themselves.
  EXPECT_EQ(relative.size() + 4, base::loadLE32(&good[20]));

  // An embedding with a reserved moniker: the header and the rest, as found.
  Bytes embedded = {1, 0, 0, 2, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  base::ByteWriter(embedded).u32(uint32_t(absolute.size() + 4));
  embedded.insert(embedded.end(), absolute.begin(), absolute.end());
  auto emb = parseOleStream(embedded);
  ASSERT_TRUE(emb);
  EXPECT_FALSE(emb->isLink());
  EXPECT_EQ(embedded, encodeOleStream(*emb));

  auto damaged = [&](size_t at, uint32_t value) {
    Bytes b = good;
    base::storeLE32(&b[at], value);
    return b;
  };
  size_t indicator = 24 + absolute.size() + 4 + relative.size();
  struct Case {
    const char* label;
    Bytes bytes;
    HRESULT code;
  } cases[] = {
      {"version", damaged(0, 0x02000002), DV_E_CLIPFORMAT},
      {"Reserved1", damaged(12, 1), DV_E_CLIPFORMAT},
      {"reserved moniker past the end", damaged(16, 0x10000), STG_E_READFAULT},
      {"a size below its own four bytes", damaged(20, 3), STG_E_READFAULT},
      {"relative moniker past the end", damaged(20, 0xFFFFFFFF), STG_E_READFAULT},
      {"ClsidIndicator", damaged(indicator, 0), E_FAIL},
      {"display name past the end", damaged(indicator + 20, 0x7FFFFFFF), STG_E_READFAULT},
      {"no update times", Bytes(good.begin(), good.end() - 1), STG_E_READFAULT},
      {"header only", Bytes(good.begin(), good.begin() + 10), STG_E_READFAULT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto r = parseOleStream(c.bytes);
    ASSERT_FALSE(r);
    EXPECT_EQ(c.code, r.error().code);
  }
}

class LinkObjectTest : public ::testing::Test {
 protected:
  // A storage "obj" in a new document with class `clsid` and, unless
  // `ole` is null, that "\1Ole".
  void makeObject(const CLSID& clsid, const Bytes* ole) {
    test::PoolObject desc;
    desc.name = u"obj";
    desc.clsid = clsid;
    desc.writeOle = ole != nullptr;
    if (ole) desc.oleBytes = *ole;
    test::writeLinkDocument(m_path, {desc}, false, true);
  }
  IStorage* openObject(DWORD mode) {
    IStorage* root = nullptr;
    EXPECT_EQ(S_OK,
              StgOpenStorage(test::widePath(m_path).c_str(), nullptr, mode, nullptr, 0, &root));
    IStorage* obj = nullptr;
    if (root) {
      EXPECT_EQ(S_OK, root->OpenStorage(u"obj", nullptr, mode, nullptr, 0, &obj));
      m_root = root;
    }
    return obj;
  }
  void TearDown() override {
    if (m_root) m_root->Release();
  }
  HRESULT load(IOleLink** link) {
    IStorage* obj = openObject(STGM_READ | STGM_SHARE_EXCLUSIVE);
    HRESULT hr = OleLoad(obj, IID_IOleLink, nullptr, reinterpret_cast<void**>(link));
    obj->Release();
    return hr;
  }

  test::TempDir m_dir;
  std::filesystem::path m_path = m_dir.file("links.doc");
  IStorage* m_root = nullptr;
};

TEST_F(LinkObjectTest, OleLoadGivesALinkOnlyForTheLinkClassWithAReadableStream) {
  Bytes absolute = monikerBytes(test::fileMoniker(u"C:\\d\\a.xls"));
  Bytes good = linkStream({}, absolute);
  Bytes embeddingFlags = linkStream({}, absolute, 8);
  Bytes badVersion = good;
  badVersion[3] = 3;
  const CLSID other = test::kEmbeddingClass;
  struct Case {
    const char* label;
    CLSID clsid;
    const Bytes* ole;
    HRESULT code;
  } cases[] = {
      {"a link", kStdOleLinkClass, &good, S_OK},
      {"an embedding", other, &good, E_NOINTERFACE},
      {"a storage without a class", CLSID_NULL, &good, REGDB_E_CLASSNOTREG},
      {"a link without \\1Ole", kStdOleLinkClass, nullptr, STG_E_FILENOTFOUND},
      {"a link whose stream says embedding", kStdOleLinkClass, &embeddingFlags, DV_E_CLIPFORMAT},
      {"a link with a damaged stream", kStdOleLinkClass, &badVersion, DV_E_CLIPFORMAT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    makeObject(c.clsid, c.ole);
    IOleLink* link = reinterpret_cast<IOleLink*>(1);
    EXPECT_EQ(c.code, load(&link));
    if (c.code == S_OK) {
      ASSERT_NE(nullptr, link);
      IPersistStorage* persist = nullptr;
      EXPECT_EQ(S_OK,
                link->QueryInterface(IID_IPersistStorage, reinterpret_cast<void**>(&persist)));
      CLSID clsid{};
      EXPECT_EQ(S_OK, persist->GetClassID(&clsid));
      EXPECT_EQ(kStdOleLinkClass, clsid);
      persist->Release();
      link->Release();
    } else {
      EXPECT_EQ(nullptr, link);
    }
    m_root->Release();
    m_root = nullptr;
  }
}

TEST_F(LinkObjectTest, ReportsTheAbsoluteMonikerAndNothingWithoutOne) {
  Bytes relative = monikerBytes(test::fileMoniker(u"..\\rel.xls"));
  Bytes absolute = monikerBytes(test::compositeOf(test::fileMoniker(u"C:\\abs\\book.xls"),
                                                  test::itemMoniker(u"!", u"Sheet1")));
  struct Case {
    const char* label;
    Bytes ole;
    HRESULT code;
    std::u16string name;
  } cases[] = {
      {"both monikers", linkStream(relative, absolute), S_OK, u"C:\\abs\\book.xls!Sheet1"},
      {"relative only", linkStream(relative, {}), E_FAIL, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    makeObject(kStdOleLinkClass, &c.ole);
    IOleLink* link = nullptr;
    ASSERT_EQ(S_OK, load(&link));
    LPOLESTR name = reinterpret_cast<LPOLESTR>(1);
    EXPECT_EQ(c.code, link->GetSourceDisplayName(&name));
    EXPECT_EQ(c.name, name ? std::u16string(name) : u"");
    CoTaskMemFree(name);
    DWORD update = 0;
    EXPECT_EQ(S_OK, link->GetUpdateOptions(&update));
    EXPECT_EQ(DWORD(OLEUPDATE_ALWAYS), update);
    link->Release();
    m_root->Release();
    m_root = nullptr;
  }
}

TEST_F(LinkObjectTest, SaveRewritesTheStreamAndTheClassAndKeepsEverythingElse) {
  // A long old source, so the new stream is shorter and must be truncated.
  Bytes relative = monikerBytes(test::fileMoniker(u"..\\a-rather-long-relative-name.xls"));
  Bytes absolute = monikerBytes(
      test::compositeOf(test::fileMoniker(u"C:\\a rather long folder name\\another one\\book.xls"),
                        test::itemMoniker(u"!", u"Sheet1!R1C1:R20C20")));
  Bytes old = linkStream(relative, absolute);
  makeObject(kStdOleLinkClass, &old);
  test::Snapshot before = test::snapshot(m_path);

  IStorage* obj = openObject(STGM_READWRITE | STGM_SHARE_EXCLUSIVE);
  IOleLink* link = nullptr;
  ASSERT_EQ(S_OK, OleLoad(obj, IID_IOleLink, nullptr, reinterpret_cast<void**>(&link)));
  IMoniker* moniker = test::fileMoniker(u"D:\\новое\\b.xls");
  ASSERT_EQ(S_OK, link->SetSourceMoniker(moniker, CLSID_NULL));
  moniker->Release();
  IPersistStorage* persist = nullptr;
  ASSERT_EQ(S_OK, link->QueryInterface(IID_IPersistStorage, reinterpret_cast<void**>(&persist)));
  EXPECT_EQ(S_OK, persist->IsDirty());
  EXPECT_EQ(S_OK, OleSave(persist, obj, TRUE));
  persist->Release();
  link->Release();
  obj->Release();
  m_root->Release();
  m_root = nullptr;

  test::Snapshot after = test::snapshot(m_path);
  ASSERT_EQ(before.streams.size(), after.streams.size());
  for (const auto& [path, bytes] : before.streams) {
    if (path == u"obj/\1Ole") continue;
    EXPECT_EQ(bytes, after.streams[path]) << "stream changed";
  }
  EXPECT_EQ(before.classes, after.classes);
  auto saved = parseOleStream(after.streams[u"obj/\1Ole"]);
  ASSERT_TRUE(saved);
  auto original = parseOleStream(old);
  // The relative moniker is dropped; the source class (CLSID_NULL given),
  // flags, update option and every byte after the class stay.
  EXPECT_FALSE(saved->hasRelative);
  EXPECT_EQ(original->clsid, saved->clsid);
  EXPECT_EQ(original->flags, saved->flags);
  EXPECT_EQ(original->updateOption, saved->updateOption);
  EXPECT_EQ(original->tail, saved->tail);
  EXPECT_LT(after.streams[u"obj/\1Ole"].size(), old.size());

  IOleLink* reloaded = nullptr;
  ASSERT_EQ(S_OK, load(&reloaded));
  LPOLESTR name = nullptr;
  EXPECT_EQ(S_OK, reloaded->GetSourceDisplayName(&name));
  EXPECT_EQ(u"D:\\новое\\b.xls", std::u16string(name));
  CoTaskMemFree(name);
  reloaded->Release();
}

// A file moniker of `cAnti` steps before `path`: its display name is
// 3 * cAnti + the path's length.
Bytes steppedFileMoniker(uint16_t cAnti, const char* path) {
  Bytes out = {0x03, 0x03, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  base::ByteWriter w(out);
  w.u16(cAnti);
  w.u32(uint32_t(std::strlen(path) + 1));
  w.bytes({reinterpret_cast<const uint8_t*>(path), std::strlen(path) + 1});
  w.u16(0xFFFF);
  w.u16(0xDEAD);
  w.zeros(16);
  w.u32(0);
  w.u32(0);
  return out;
}

// A link whose source's name would pass the bound is unreadable: OleLoad
// refuses it, and SetSourceMoniker will not take such a source.
TEST_F(LinkObjectTest, SourcesPastTheNameBoundAreRefused) {
  Bytes atBound = linkStream({}, steppedFileMoniker(21845, "a"));
  makeObject(kStdOleLinkClass, &atBound);
  IOleLink* link = nullptr;
  ASSERT_EQ(S_OK, load(&link));
  LPOLESTR name = nullptr;
  EXPECT_EQ(S_OK, link->GetSourceDisplayName(&name));
  EXPECT_EQ(kMaxDisplayName, std::u16string(name).size());
  CoTaskMemFree(name);

  auto past = parseMonikerBytes(steppedFileMoniker(21845, "ab"));
  ASSERT_TRUE(past);
  IMoniker* moniker = makeMonikerObject(past.value());
  EXPECT_EQ(kNameTooLong, link->SetSourceMoniker(moniker, CLSID_NULL));
  moniker->Release();
  IPersistStorage* persist = nullptr;
  ASSERT_EQ(S_OK, link->QueryInterface(IID_IPersistStorage, reinterpret_cast<void**>(&persist)));
  EXPECT_EQ(S_FALSE, persist->IsDirty()) << "the link keeps its source";
  persist->Release();
  link->Release();
  m_root->Release();
  m_root = nullptr;

  Bytes pastBound = linkStream({}, steppedFileMoniker(21845, "ab"));
  makeObject(kStdOleLinkClass, &pastBound);
  link = reinterpret_cast<IOleLink*>(1);
  EXPECT_EQ(kNameTooLong, load(&link));
  EXPECT_EQ(nullptr, link);
}

}  // namespace
}  // namespace velmora::link
