// The MSFT type-library reader. Layout: a 0x54-byte header, an optional
// help-DLL string offset, one offset per type description, then a directory
// of fifteen segments (type infos, imported types, import files, references,
// GUID hash, GUIDs, name hash, names, strings, type descriptions, ...). Every
// offset read from the file is checked against its segment or the file.
#include "typelib/type_library.h"

#include "base/byte_reader.h"
#include "text/text.h"

namespace velmora::oleauto {
namespace {

constexpr uint32_t kSignature = 0x5446534D;  // "MSFT"
constexpr size_t kHeaderSize = 0x54;
constexpr size_t kTypeInfoSize = 0x64;
constexpr uint32_t kHelpDllFlag = 0x100;
constexpr int kSegments = 15;

enum Segment {
  kTypeInfoTab,
  kImpInfo,
  kImpFiles,
  kRefTab,
  kGuidHashTab,
  kGuidTab,
  kNameHashTab,
  kNameTab,
  kStringTab,
  kTypeDescTab,
};

struct Seg {
  uint32_t offset = 0;
  uint32_t length = 0;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : m_bytes(bytes), m_in(bytes) {}

  base::Result<TypeLibraryData> read() {
    if (m_bytes.size() < kHeaderSize || m_in.u32() != kSignature)
      return base::makeError(TYPE_E_UNSUPFORMAT, "no MSFT type library signature");
    m_in.seek(0x08);
    int32_t posGuid = m_in.i32();
    TypeLibraryData lib;
    lib.lcid = m_in.u32();
    m_in.u32();  // lcid2
    uint32_t varFlags = m_in.u32();
    uint32_t version = m_in.u32();
    lib.flags = static_cast<WORD>(m_in.u32());
    int32_t typeCount = m_in.i32();
    int32_t helpString = m_in.i32();
    m_in.seek(0x38);
    int32_t nameOffset = m_in.i32();
    int32_t helpFile = m_in.i32();
    m_in.seek(0x50);
    int32_t importCount = m_in.i32();
    if (varFlags & kHelpDllFlag) m_in.u32();
    if (typeCount < 0 || static_cast<size_t>(typeCount) > m_bytes.size() / kTypeInfoSize)
      return bad("type count %d does not fit the file", typeCount);
    m_in.skip(static_cast<size_t>(typeCount) * 4);
    for (Seg& seg : m_segs) {
      seg.offset = m_in.u32();
      seg.length = m_in.u32();
      m_in.skip(8);
      if (seg.offset == 0xFFFFFFFF) seg = Seg{};
      if (seg.offset > m_bytes.size() || seg.length > m_bytes.size() - seg.offset)
        return bad("a segment runs past the end of the file");
    }
    if (!m_in.ok()) return bad("the header is truncated");

    if ((varFlags & 0xF) > SYS_WIN64) return bad("system kind %u is unknown", varFlags & 0xF);
    lib.syskind = static_cast<SYSKIND>(varFlags & 0xF);
    lib.majorVersion = static_cast<WORD>(version);
    lib.minorVersion = static_cast<WORD>(version >> 16);
    lib.libid = guidAt(posGuid);
    lib.name = nameAt(nameOffset);
    lib.helpString = stringAt(helpString);
    lib.helpFile = stringAt(helpFile);
    for (int32_t i = 0; i < typeCount && m_ok; ++i) lib.types.push_back(typeInfo(i));
    (void)importCount;
    lib.imports = std::move(m_imports);
    if (!m_ok) return bad("%s", m_why.c_str());
    return lib;
  }

 private:
  template <typename... Args>
  base::Error bad(const char* fmt, Args... args) {
    return base::makeError(TYPE_E_INVDATAREAD, fmt, args...);
  }
  void fail(const char* why) {
    if (m_ok) m_why = why;
    m_ok = false;
  }

  // A reader positioned at `offset` within segment `s`, or failed.
  base::ByteReader at(Segment s, int64_t offset, size_t need) {
    const Seg& seg = m_segs[s];
    if (offset < 0 || static_cast<uint64_t>(offset) + need > seg.length) {
      fail("an offset points outside its table");
      return base::ByteReader();
    }
    base::ByteReader r(m_bytes.subspan(seg.offset, seg.length));
    r.seek(static_cast<size_t>(offset));
    return r;
  }
  base::ByteReader atFile(int64_t offset, size_t need) {
    if (offset < 0 || static_cast<uint64_t>(offset) + need > m_bytes.size()) {
      fail("a record lies outside the file");
      return base::ByteReader();
    }
    base::ByteReader r(m_bytes);
    r.seek(static_cast<size_t>(offset));
    return r;
  }

  static std::u16string decode(std::span<const uint8_t> bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (uint8_t b : bytes) out += text::decode1252(b);
    return out;
  }

  GUID guidAt(int32_t offset) {
    GUID g{};
    if (offset < 0) return g;
    auto r = at(kGuidTab, offset, 16);
    if (!r.ok()) return g;
    g.Data1 = r.u32();
    g.Data2 = r.u16();
    g.Data3 = r.u16();
    for (auto& b : g.Data4) b = r.u8();
    return g;
  }

  // Name table entries: hreftype, next hash, length in the low byte, text.
  std::u16string nameAt(int32_t offset) {
    if (offset < 0) return {};
    auto r = at(kNameTab, offset, 12);
    if (!r.ok()) return {};
    r.skip(8);
    size_t length = r.u32() & 0xFF;
    auto text = r.bytes(length);
    if (!r.ok()) fail("a name runs past the name table");
    return decode(text);
  }

  // String table entries: a 16-bit length, then the text.
  std::u16string stringAt(int32_t offset) {
    if (offset < 0) return {};
    auto r = at(kStringTab, offset, 2);
    if (!r.ok()) return {};
    size_t length = r.u16();
    auto text = r.bytes(length);
    if (!r.ok()) fail("a string runs past the string table");
    return decode(text);
  }

  // A data type: negative values carry a base VARTYPE in the low word, others
  // are offsets of 8-byte entries in the type description table.
  TlbType typeOf(int32_t dataType) {
    TlbType t;
    for (int depth = 0; depth < 16; ++depth) {
      if (dataType < 0) {
        t.chain.push_back(static_cast<VARTYPE>(dataType & VT_TYPEMASK));
        return t;
      }
      auto r = at(kTypeDescTab, dataType, 8);
      if (!r.ok()) return t;
      VARTYPE vt = static_cast<VARTYPE>(r.u16() & VT_TYPEMASK);
      r.u16();
      int32_t next = r.i32();
      t.chain.push_back(vt);
      if (vt == VT_USERDEFINED) {
        t.href = static_cast<HREFTYPE>(next);
        noteReference(t.href);
        return t;
      }
      if (vt != VT_PTR && vt != VT_SAFEARRAY) return t;
      // The pointed-to type: a base type in the low word when the high word
      // is negative, else another entry.
      dataType = next < 0 ? static_cast<int32_t>(0x80000000u | (next & 0xFFFF)) : next;
    }
    fail("a type description chain does not end");
    return t;
  }

  // References whose low bits are 01 name an entry of the imported-type table.
  void noteReference(HREFTYPE href) {
    if ((href & 3) != 1) return;
    for (auto& imp : m_imports)
      if (imp.href == href) return;
    auto r = at(kImpInfo, href & ~3u, 12);
    if (!r.ok()) return;
    TlbImport imp;
    imp.href = href;
    uint32_t flags = r.u32();
    int32_t file = r.i32();
    int32_t guidOrIndex = r.i32();
    imp.byGuid = (flags & 0x10000) != 0;
    if (imp.byGuid)
      imp.guid = guidAt(guidOrIndex);
    else
      imp.index = guidOrIndex;
    auto f = at(kImpFiles, file, 14);
    if (!f.ok()) return;
    imp.libid = guidAt(f.i32());
    imp.lcid = f.u32();
    uint32_t version = f.u32();
    imp.majorVersion = static_cast<WORD>(version);
    imp.minorVersion = static_cast<WORD>(version >> 16);
    size_t length = f.u16() >> 2;
    auto text = f.bytes(length);
    if (!f.ok()) fail("an import file name runs past its table");
    imp.file = decode(text);
    m_imports.push_back(std::move(imp));
  }

  TlbTypeInfo typeInfo(int32_t index) {
    TlbTypeInfo t;
    auto r = at(kTypeInfoTab, static_cast<int64_t>(index) * kTypeInfoSize, kTypeInfoSize);
    if (!r.ok()) return t;
    uint32_t kind = r.u32();
    int32_t memOffset = r.i32();
    r.skip(0x10);
    uint32_t elements = r.u32();
    r.skip(0x10);
    int32_t posGuid = r.i32();
    t.flags = static_cast<WORD>(r.u32());
    int32_t nameOffset = r.i32();
    uint32_t version = r.u32();
    int32_t docString = r.i32();
    r.skip(0x0C);
    uint16_t implCount = r.u16();
    t.cbSizeVft = r.u16();
    t.size = r.u32();
    int32_t dataType1 = r.i32();

    if ((kind & 0xF) >= TKIND_MAX) fail("a type kind is out of range");
    t.kind = static_cast<TYPEKIND>(kind & 0xF);
    t.guid = guidAt(posGuid);
    t.name = nameAt(nameOffset);
    t.helpString = stringAt(docString);
    t.majorVersion = static_cast<WORD>(version);
    t.minorVersion = static_cast<WORD>(version >> 16);
    t.cVars = static_cast<WORD>(elements >> 16);

    if (t.kind == TKIND_COCLASS) {
      // A chain of reference records: type, flags, custom data, next.
      int32_t ref = dataType1;
      for (uint16_t i = 0; i < implCount && ref >= 0 && m_ok; ++i) {
        auto rr = at(kRefTab, ref, 16);
        if (!rr.ok()) break;
        TlbImplType impl;
        impl.href = rr.u32();
        impl.flags = rr.i32();
        rr.u32();
        ref = rr.i32();
        noteReference(impl.href);
        t.implTypes.push_back(impl);
      }
    } else if ((t.kind == TKIND_INTERFACE || t.kind == TKIND_DISPATCH) && implCount > 0) {
      t.implTypes.push_back({static_cast<HREFTYPE>(dataType1), 0});
      noteReference(static_cast<HREFTYPE>(dataType1));
    }
    readFuncs(t, memOffset, elements & 0xFFFF, elements >> 16);
    return t;
  }

  // The member block: its length, the function records, then per member its
  // id, its name offset and its record offset.
  void readFuncs(TlbTypeInfo& t, int32_t memOffset, uint32_t funcCount, uint32_t varCount) {
    if (funcCount == 0) return;
    auto head = atFile(memOffset, 4);
    if (!head.ok()) return;
    uint32_t infoLength = head.u32();
    uint64_t members = funcCount + varCount;
    auto block = atFile(memOffset, 4 + static_cast<size_t>(infoLength) + members * 12);
    if (!block.ok()) return;
    size_t tables = static_cast<size_t>(memOffset) + 4 + infoLength;
    size_t record = static_cast<size_t>(memOffset) + 4;
    for (uint32_t i = 0; i < funcCount && m_ok; ++i) {
      auto ids = atFile(static_cast<int64_t>(tables + uint64_t(i) * 4), 4);
      auto names = atFile(static_cast<int64_t>(tables + (members + i) * 4), 4);
      auto rec = atFile(static_cast<int64_t>(record), 24);
      if (!rec.ok() || !ids.ok() || !names.ok()) return;
      TlbFunc f;
      f.memid = ids.i32();
      f.name = nameAt(names.i32());
      uint32_t info = rec.u32();
      size_t recordSize = info & 0xFFFF;
      if (recordSize < 24 || record + recordSize > tables)
        return fail("a function record is too short or too long");
      f.result = typeOf(rec.i32());
      f.flags = static_cast<WORD>(rec.u32());
      f.oVft = rec.i16();
      rec.u16();
      uint32_t fkccic = rec.u32();
      uint16_t argCount = rec.u16();
      rec.u16();
      f.funckind = static_cast<FUNCKIND>(fkccic & 7);
      f.invkind = static_cast<INVOKEKIND>((fkccic >> 3) & 0xF);
      f.callconv = static_cast<CALLCONV>((fkccic >> 8) & 0xF);
      size_t params = static_cast<size_t>(argCount) * 12;
      size_t defaults = (fkccic & 0x1000) ? static_cast<size_t>(argCount) * 4 : 0;
      if (24 + params + defaults > recordSize)
        return fail("a function's parameters overrun its record");
      size_t optional = (recordSize - 24 - params - defaults) / 4;
      if (optional >= 2) {
        rec.u32();  // help context
        f.helpString = stringAt(rec.i32());
      }
      auto p = atFile(static_cast<int64_t>(record + recordSize - params), params);
      for (uint16_t a = 0; a < argCount && p.ok(); ++a) {
        TlbParam param;
        param.type = typeOf(p.i32());
        param.name = nameAt(p.i32());
        param.flags = static_cast<USHORT>(p.u32());
        f.params.push_back(std::move(param));
      }
      t.funcs.push_back(std::move(f));
      record += recordSize;
    }
  }

  std::span<const uint8_t> m_bytes;
  base::ByteReader m_in;
  Seg m_segs[kSegments];
  std::vector<TlbImport> m_imports;
  bool m_ok = true;
  std::string m_why;
};

}  // namespace

int TypeLibraryData::localIndex(HREFTYPE href) const {
  if (href & 3) return -1;
  size_t index = href / kTypeInfoSize;
  return index < types.size() ? static_cast<int>(index) : -1;
}

const TlbImport* TypeLibraryData::import(HREFTYPE href) const {
  for (auto& imp : imports)
    if (imp.href == href) return &imp;
  return nullptr;
}

base::Result<TypeLibraryData> parseTypeLibrary(std::span<const uint8_t> bytes) {
  return Reader(bytes).read();
}

}  // namespace velmora::oleauto
