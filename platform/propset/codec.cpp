// The property-set codec; see codec.h. Layouts follow [MS-OLEPS] 2.2 to
// 2.21, with the tolerances that real producers need ([MS-OSHARED] 2.3.3.1
// for Office's unaligned string vectors).
#include "propset/codec.h"

#include <algorithm>
#include <limits>

#include "base/byte_reader.h"
#include "base/byte_writer.h"
#include "base/little_endian.h"
#include "base/value_sizes.h"

namespace velmora::propset {

using base::ByteReader;
using base::ByteWriter;
using base::makeError;

namespace {

// The bytes a section's values may keep beyond twice the section's own: the
// reader's bound on shared values, which the writer leaves room for.
constexpr size_t kKeptSlack = 4096;

constexpr size_t align4(size_t n) { return (n + 3) & ~size_t(3); }

// Bytes of one element of a fixed-size type inside a vector or array, or 0
// for types whose elements carry their own length.
constexpr size_t elementSize(VARTYPE vt) { return base::fixedValueSize(vt); }

// Types a simple set can hold as a plain value (table 4.1).
bool isScalarType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_BSTR:
    case VT_LPSTR:
    case VT_LPWSTR:
    case VT_BLOB:
    case VT_BLOB_OBJECT:
    case VT_CF: return true;
    default: return elementSize(vt) != 0;
  }
}

// [MS-OLEPS] 2.14: element types of VT_VECTOR.
bool vectorAllowed(VARTYPE t) {
  switch (t) {
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_ERROR:
    case VT_BOOL:
    case VT_VARIANT:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_LPSTR:
    case VT_LPWSTR:
    case VT_FILETIME:
    case VT_CF:
    case VT_CLSID: return true;
    default: return false;
  }
}

// [MS-OLEPS] 2.14: element types of VT_ARRAY.
bool arrayAllowed(VARTYPE t) {
  switch (t) {
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_ERROR:
    case VT_BOOL:
    case VT_VARIANT:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_INT:
    case VT_UINT: return true;
    default: return false;
  }
}

// How the strings inside a vector are laid out. [MS-OLEPS] pads every
// element to 4; Office's TitlesOfParts and HeadingPairs leave them unpadded
// ([MS-OSHARED] 2.3.3.1.5), and which one a vector uses shows only in its
// bytes, so the decoder tries the strict aligned reading first.
enum class Layout { AlignedStrict, Unaligned, AlignedLenient };

class Decoder {
 public:
  // A measuring decoder only checks the layout and finds the value's end;
  // it keeps no element, so checking a value costs no memory.
  explicit Decoder(std::span<const uint8_t> bytes, bool measure = false)
      : m_r(bytes), m_measure(measure) {}

  ByteReader& reader() { return m_r; }
  // Bytes walked, counting every layout tried.
  size_t work() const { return m_work + m_r.position(); }

  bool typed(Value& v, Layout layout, int depth) {
    VARTYPE vt = m_r.u16();
    m_r.u16();  // Padding: nonzero was never seen; accepting it is the tolerant reading.
    if (!m_r.ok()) return false;
    v.vt = vt;
    if (vt & VT_VECTOR) {
      VARTYPE t = vt & VT_TYPEMASK;
      if ((vt & ~(VT_VECTOR | VT_TYPEMASK)) || !vectorAllowedForRead(t, depth)) return false;
      return vector(v, t, layout, depth);
    }
    if (vt & VT_ARRAY) {
      VARTYPE t = vt & VT_TYPEMASK;
      if ((vt & ~(VT_ARRAY | VT_TYPEMASK)) || !arrayAllowed(t) || depth > 0) return false;
      return array(v, t, depth);
    }
    if (!isScalarType(vt)) return false;
    // A value's own trailing padding is not part of it: Office places the
    // next value right after an unpadded one, so the bytes there are not ours.
    if (!element(v, vt, depth == 0 ? Layout::Unaligned : layout)) return false;
    // Fixed-size values occupy at least 4 bytes after the header.
    size_t fixed = elementSize(vt);
    if (fixed && fixed < 4) m_r.skip(std::min<size_t>(4 - fixed, m_r.remaining()));
    return m_r.ok();
  }

 private:
  static bool vectorAllowedForRead(VARTYPE t, int depth) {
    // A VT_VARIANT element may not itself be a vector ([MS-OLEPS] 2.14).
    return depth == 0 && vectorAllowed(t);
  }

  // One element without a type header; `layout` rules the padding of
  // variable-length elements.
  bool element(Value& v, VARTYPE vt, Layout layout) {
    v.vt = vt;
    size_t fixed = elementSize(vt);
    if (fixed) {
      auto b = m_r.bytes(fixed);
      if (!m_r.ok()) return false;
      if (fixed == 16) {
        std::copy(b.begin(), b.end(), v.fixed.begin());
      } else {
        uint64_t x = 0;
        for (size_t i = 0; i < fixed; ++i) x |= uint64_t(b[i]) << (8 * i);
        v.scalar = x;
      }
      return true;
    }
    size_t start = m_r.position();
    switch (vt) {
      case VT_EMPTY:
      case VT_NULL: return true;
      case VT_LPSTR:
      case VT_BSTR:
      case VT_BLOB:
      case VT_BLOB_OBJECT: {
        uint32_t n = m_r.u32();
        auto b = m_r.bytes(n);
        if (!m_r.ok()) return false;
        if (!m_measure) v.bytes.assign(b.begin(), b.end());
        break;
      }
      case VT_LPWSTR: {
        uint32_t n = m_r.u32();
        if (n > m_r.remaining() / 2) return m_r.fail();
        auto b = m_r.bytes(size_t(n) * 2);
        if (!m_r.ok()) return false;
        if (m_measure) break;
        v.text.resize(n);
        for (uint32_t i = 0; i < n; ++i) v.text[i] = char16_t(base::loadLE16(&b[2 * size_t(i)]));
        break;
      }
      case VT_CF: {
        uint32_t n = m_r.u32();
        if (n < 4) return m_r.fail();
        v.clipFormat = m_r.i32();
        auto b = m_r.bytes(n - 4);
        if (!m_r.ok()) return false;
        if (!m_measure) v.bytes.assign(b.begin(), b.end());
        break;
      }
      default: return false;
    }
    if (layout == Layout::Unaligned) return true;
    return pad(start, layout);
  }

  // Skips the padding after a variable-length element begun at `start`.
  bool pad(size_t start, Layout layout) {
    size_t n = align4(m_r.position() - start) - (m_r.position() - start);
    if (n > m_r.remaining()) return layout == Layout::AlignedLenient;
    auto b = m_r.bytes(n);
    if (layout == Layout::AlignedStrict)
      for (uint8_t x : b)
        if (x) return m_r.fail();
    return true;
  }

  bool vector(Value& v, VARTYPE t, Layout outer, int depth) {
    uint32_t count = m_r.u32();
    if (!m_r.ok()) return false;
    size_t fixed = elementSize(t);
    if (fixed) {
      if (count > m_r.remaining() / fixed) return m_r.fail();
      auto b = m_r.bytes(size_t(count) * fixed);
      if (!m_measure) v.bytes.assign(b.begin(), b.end());
      return m_r.ok();
    }
    // Every variable element holds at least a 4-byte count or type.
    if (count > m_r.remaining() / 4) return m_r.fail();
    size_t start = m_r.position();
    const Layout tries[] = {Layout::AlignedStrict, Layout::Unaligned, Layout::AlignedLenient};
    for (Layout layout : tries) {
      if (outer != Layout::AlignedStrict && layout != outer) continue;
      Decoder attempt(*this, start);
      bool ok = attempt.elements(v, t, count, layout, depth);
      m_work += attempt.work() - start;
      if (ok) {
        m_r = attempt.m_r;
        m_work -= m_r.position() - start;  // the successful walk is counted by position()
        return true;
      }
    }
    return m_r.fail();
  }

  bool elements(Value& v, VARTYPE t, uint32_t count, Layout layout, int depth) {
    v.elements.clear();
    if (!m_measure) v.elements.reserve(count);
    Value e;
    for (uint32_t i = 0; i < count; ++i) {
      e = Value();
      bool ok = t == VT_VARIANT ? typed(e, layout, depth + 1) : element(e, t, layout);
      if (!ok || !m_r.ok()) return false;
      if (!m_measure) v.elements.push_back(std::move(e));
    }
    return true;
  }

  bool array(Value& v, VARTYPE t, int depth) {
    uint32_t headerType = m_r.u32();
    uint32_t dims = m_r.u32();
    if (!m_r.ok() || headerType != t || dims < 1 || dims > 31) return m_r.fail();
    uint64_t total = 1;
    for (uint32_t i = 0; i < dims; ++i) {
      uint32_t size = m_r.u32();
      int32_t lower = m_r.i32();
      if (!m_r.ok()) return false;
      v.dimensions.emplace_back(size, lower);
      total *= size;
      // Keeps the product from overflowing; the element count is checked
      // against the bytes below.
      if (total > (uint64_t(1) << 32)) return m_r.fail();
    }
    size_t fixed = elementSize(t);
    if (fixed) {
      if (total > m_r.remaining() / fixed) return m_r.fail();
      auto b = m_r.bytes(size_t(total) * fixed);
      if (!m_measure) v.bytes.assign(b.begin(), b.end());
      return m_r.ok();
    }
    if (total > m_r.remaining() / 4) return m_r.fail();
    return elements(v, t, uint32_t(total), Layout::AlignedLenient, depth);
  }

  // A copy positioned at `pos`, to try one layout without losing the other.
  Decoder(const Decoder& other, size_t pos) : m_r(other.m_r), m_measure(other.m_measure) {
    m_r.seek(pos);
  }

  ByteReader m_r;
  bool m_measure = false;
  size_t m_work = 0;  // bytes walked by layouts that were given up
};

// Where a value stored at the start of `bytes` ends, without keeping it:
// its stored length when it parses, nothing when it does not. `work` grows
// by the bytes walked.
std::optional<size_t> measureValue(std::span<const uint8_t> bytes, size_t& work) {
  if (bytes.size() < 4 || !isKnownType(base::loadLE16(bytes.data()))) return std::nullopt;
  Decoder d(bytes, true);
  Value v;
  bool ok = d.typed(v, Layout::AlignedStrict, 0) && d.reader().ok();
  work += d.work();
  if (!ok) return std::nullopt;
  return d.reader().position();
}

}  // namespace

bool isKnownType(VARTYPE vt) {
  if (vt & VT_VECTOR) return !(vt & ~(VT_VECTOR | VT_TYPEMASK)) && vectorAllowed(vt & VT_TYPEMASK);
  if (vt & VT_ARRAY) return !(vt & ~(VT_ARRAY | VT_TYPEMASK)) && arrayAllowed(vt & VT_TYPEMASK);
  return isScalarType(vt);
}

bool needsVersion1(VARTYPE vt) {
  if (vt & VT_ARRAY) return true;
  VARTYPE t = vt & VT_TYPEMASK;
  // VT_DECIMAL is a version-1 type for the Windows serializer (Win32
  // "Property Set Serialization"); writing version 1 is the safe side.
  return t == VT_I1 || t == VT_INT || t == VT_UINT || t == VT_DECIMAL;
}

Result<Value> decodeValue(std::span<const uint8_t> bytes, uint16_t, size_t* consumed) {
  if (consumed) *consumed = 0;
  if (bytes.size() < 4)
    return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(0),
                  "typed value shorter than its header");
  VARTYPE vt = base::loadLE16(bytes.data());
  if (!isKnownType(vt))
    return makeError(STG_E_INVALIDPARAMETER, "type 0x%04x is not a simple property type", vt);
  Decoder d(bytes);
  Value v;
  if (!d.typed(v, Layout::AlignedStrict, 0) || !d.reader().ok())
    return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::where(),
                  "value of type 0x%04x runs past its %zu bytes", vt, bytes.size());
  if (consumed) *consumed = d.reader().position();
  return v;
}

namespace {

class Encoder {
 public:
  explicit Encoder(std::vector<uint8_t>& out) : m_w(out) {}

  Result<void> typed(const Value& v, int depth) {
    VARTYPE vt = v.vt;
    m_w.u16(vt);
    m_w.u16(0);
    if (vt & VT_VECTOR) {
      VARTYPE t = vt & VT_TYPEMASK;
      if ((vt & ~(VT_VECTOR | VT_TYPEMASK)) || !vectorAllowed(t) || depth > 0)
        return bad("a vector of type 0x%04x cannot be stored", vt);
      return vector(v, t, depth);
    }
    if (vt & VT_ARRAY) {
      VARTYPE t = vt & VT_TYPEMASK;
      if ((vt & ~(VT_ARRAY | VT_TYPEMASK)) || !arrayAllowed(t) || depth > 0)
        return bad("an array of type 0x%04x cannot be stored", vt);
      return array(v, t, depth);
    }
    if (!isScalarType(vt) ||
        (depth > 0 && (vt == VT_EMPTY || vt == VT_NULL || vt == VT_BLOB || vt == VT_BLOB_OBJECT)))
      return bad("type 0x%04x cannot be stored here", vt);
    auto r = element(v, vt);
    m_w.align(4);
    return r;
  }

 private:
  // Every message takes the offending type as its one argument.
  static base::Error bad(const char* fmt, VARTYPE vt) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    return makeError(STG_E_INVALIDPARAMETER, fmt, unsigned(vt));
#pragma GCC diagnostic pop
  }

  void alignFrom(size_t start) {
    while ((m_w.position() - start) % 4) m_w.u8(0);
  }

  Result<void> element(const Value& v, VARTYPE vt) {
    size_t fixed = elementSize(vt);
    if (fixed == 16) {
      m_w.bytes(v.fixed);
      return {};
    }
    if (fixed) {
      for (size_t i = 0; i < fixed; ++i) m_w.u8(uint8_t(v.scalar >> (8 * i)));
      return {};
    }
    size_t start = m_w.position();
    switch (vt) {
      case VT_EMPTY:
      case VT_NULL: return {};
      case VT_LPSTR:
      case VT_BSTR:
      case VT_BLOB:
      case VT_BLOB_OBJECT:
        m_w.u32(uint32_t(v.bytes.size()));
        m_w.bytes(v.bytes);
        break;
      case VT_LPWSTR:
        m_w.u32(uint32_t(v.text.size()));
        for (char16_t c : v.text) m_w.u16(c);
        break;
      case VT_CF:
        m_w.u32(uint32_t(v.bytes.size() + 4));
        m_w.u32(uint32_t(v.clipFormat));
        m_w.bytes(v.bytes);
        break;
      default: return bad("type 0x%04x cannot be stored", vt);
    }
    alignFrom(start);
    return {};
  }

  Result<void> packed(const Value& v, VARTYPE t, size_t count) {
    size_t fixed = elementSize(t);
    if (v.bytes.size() != count * fixed)
      return bad("packed elements of type 0x%04x do not match their count", t);
    m_w.bytes(v.bytes);
    return {};
  }

  Result<void> vector(const Value& v, VARTYPE t, int depth) {
    size_t fixed = elementSize(t);
    size_t count = fixed ? v.bytes.size() / fixed : v.elements.size();
    m_w.u32(uint32_t(count));
    if (fixed) {
      auto r = packed(v, t, count);
      m_w.align(4);
      return r;
    }
    return elements(v, t, depth);
  }

  Result<void> elements(const Value& v, VARTYPE t, int depth) {
    for (const Value& e : v.elements) {
      if (t == VT_VARIANT) {
        if (e.vt == VT_VARIANT) return bad("a variant element cannot hold type 0x%04x", e.vt);
        auto r = typed(e, depth + 1);
        if (!r) return r;
      } else {
        if (e.vt != t) return bad("an element does not have the vector's type 0x%04x", t);
        auto r = element(e, t);
        if (!r) return r;
      }
    }
    m_w.align(4);
    return {};
  }

  Result<void> array(const Value& v, VARTYPE t, int depth) {
    if (v.dimensions.empty() || v.dimensions.size() > 31)
      return bad("an array of type 0x%04x needs 1 to 31 dimensions", t);
    m_w.u32(t);
    m_w.u32(uint32_t(v.dimensions.size()));
    uint64_t total = 1;
    for (auto [size, lower] : v.dimensions) {
      m_w.u32(size);
      m_w.u32(uint32_t(lower));
      total *= size;
      if (total > kMaxSetSize) return bad("an array of type 0x%04x is too large", t);
    }
    size_t fixed = elementSize(t);
    if (fixed) {
      auto r = packed(v, t, size_t(total));
      m_w.align(4);
      return r;
    }
    if (v.elements.size() != total)
      return bad("the elements of an array of type 0x%04x do not match its dimensions", t);
    return elements(v, t, depth);
  }

  ByteWriter m_w;
};

}  // namespace

Result<std::vector<uint8_t>> encodeValue(const Value& value, uint16_t) {
  std::vector<uint8_t> out;
  Encoder e(out);
  auto r = e.typed(value, 0);
  if (!r) return r.error();
  return out;
}

Result<std::vector<DictionaryEntry>> decodeDictionary(std::span<const uint8_t> bytes,
                                                      uint16_t codePage, size_t* consumed) {
  if (consumed) *consumed = 0;
  ByteReader r(bytes);
  uint32_t n = r.u32();
  if (!r.ok() || n > r.remaining() / 8)
    return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(0),
                  "dictionary count runs past the section");
  size_t unit = codePage == kCodePageUnicode ? 2 : 1;
  std::vector<DictionaryEntry> entries;
  entries.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    size_t entryStart = r.position();
    DictionaryEntry e;
    e.id = r.u32();
    uint32_t length = r.u32();
    if (!r.ok() || length > r.remaining() / unit)
      return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(entryStart),
                    "dictionary entry runs past the section");
    auto name = r.bytes(length * unit);
    e.name.assign(name.begin(), name.end());
    // [MS-OLEPS] 2.16: Unicode entries are padded to 4; 8-bit ones are not.
    if (unit == 2) {
      size_t padding = align4(r.position() - entryStart) - (r.position() - entryStart);
      r.skip(std::min(padding, r.remaining()));
    }
    entries.push_back(std::move(e));
  }
  if (consumed) *consumed = r.position();
  return entries;
}

std::vector<uint8_t> encodeDictionary(const std::vector<DictionaryEntry>& entries,
                                      uint16_t codePage) {
  std::vector<uint8_t> out;
  ByteWriter w(out);
  size_t unit = codePage == kCodePageUnicode ? 2 : 1;
  w.u32(uint32_t(entries.size()));
  for (const auto& e : entries) {
    w.u32(e.id);
    w.u32(uint32_t(e.name.size() / unit));
    w.bytes(std::span(e.name.data(), e.name.size() / unit * unit));
    if (unit == 2) w.align(4);
  }
  w.align(4);
  return out;
}

std::array<uint8_t, 16> guidToBytes(REFGUID g) {
  std::array<uint8_t, 16> b{};
  base::storeLE32(&b[0], g.Data1);
  base::storeLE16(&b[4], g.Data2);
  base::storeLE16(&b[6], g.Data3);
  std::copy(std::begin(g.Data4), std::end(g.Data4), &b[8]);
  return b;
}

GUID guidFromBytes(std::span<const uint8_t, 16> b) {
  GUID g;
  g.Data1 = base::loadLE32(&b[0]);
  g.Data2 = base::loadLE16(&b[4]);
  g.Data3 = base::loadLE16(&b[6]);
  std::copy(&b[8], &b[16], g.Data4);
  return g;
}

const Property* Section::find(PROPID id) const {
  for (const auto& p : properties)
    if (p.id == id) return &p;
  return nullptr;
}

Property* Section::find(PROPID id) {
  return const_cast<Property*>(static_cast<const Section*>(this)->find(id));
}

std::optional<uint16_t> Section::codePage() const {
  const Property* p = find(PID_CODEPAGE);
  if (!p || !p->readable || p->bytes.size() < 6) return std::nullopt;
  if (p->vt != VT_I2 && p->vt != VT_UI2) return std::nullopt;
  return base::loadLE16(&p->bytes[4]);
}

bool Section::caseSensitive() const {
  const Property* p = find(PID_BEHAVIOR);
  return p && p->readable && p->vt == VT_UI4 && p->bytes.size() >= 8 &&
         base::loadLE32(&p->bytes[4]) == 1;
}

Section* PropertySet::find(REFFMTID fmtid) {
  for (auto& s : sections)
    if (IsEqualGUID(s.fmtid, fmtid)) return &s;
  return nullptr;
}

const Section* PropertySet::find(REFFMTID fmtid) const {
  return const_cast<PropertySet*>(this)->find(fmtid);
}

namespace {

struct SectionBounds {
  size_t start;
  size_t softEnd;  // where this section's own bytes end, as far as can be told
};

// A section's working tables, kept per thread: a batch parses a few sections
// a document, each of which would otherwise allocate them all anew.
struct SectionTables {
  struct Entry {
    PROPID id;
    uint32_t offset;  // from the section start
  };
  // An offset with the table entry that first uses it.
  struct Use {
    uint32_t offset;
    uint32_t first;  // table index
  };
  static constexpr uint32_t kUnmeasured = UINT32_MAX;
  std::vector<Entry> table;
  std::vector<Use> uses;          // by offset, then by entry
  std::vector<uint32_t> byId;     // entries by id, then by position
  std::vector<uint32_t> usedAt;   // the length found for each entry
  std::vector<uint8_t> repeated;  // an id met before: the entry is skipped
  std::vector<uint8_t> readable;  // per entry, once measured

  void reset(uint32_t count) {
    table.resize(count);
    uses.resize(count);
    byId.resize(count);
    usedAt.assign(count, kUnmeasured);
    repeated.assign(count, 0);
    readable.assign(count, 1);
  }
  // A hostile section's tables are not kept past its parse.
  void releaseIfLarge() {
    if (table.capacity() > 4096) *this = SectionTables();
  }
};
thread_local SectionTables t_sectionTables;

// Reads one section: the table, the code page, then each value measured in
// the room up to the next offset, under limits on the bytes walked and kept
// in proportion to the section's own.
class SectionParser {
 public:
  // With `stored` (the stream's own bytes, whose view `stream` is) the
  // properties view their values there; otherwise each copies its own.
  SectionParser(std::span<const uint8_t> stream, SectionBounds bounds, bool keepOriginal,
                const std::shared_ptr<const uint8_t[]>* stored, SectionTables& tables)
      : m_stream(stream),
        m_start(bounds.start),
        m_boundsEnd(bounds.softEnd),
        m_hardEnd(stream.size() - bounds.start),  // room to the end of the stream
        m_keepOriginal(keepOriginal),
        m_stored(stored),
        m_t(tables) {}

  Result<Section> run() {
    TRY(readTable());
    orderOffsets();
    markRepeated();
    m_cp = codePage();
    Section section;
    section.properties.reserve(m_count);
    m_withinSize = m_sizeSound;
    for (uint32_t i = 0; i < m_count; ++i) TRY(readEntry(i, section));
    // Values that share or overlap bytes are kept only as properties: the
    // section is written anew, one value each, so that it reads back under
    // the same limits wherever it lands.
    if (size_t(m_count) * 12 > m_size || m_kept > m_size) m_withinSize = false;
    section.properties.shrink_to_fit();
    // A large table goes before the section's bytes are copied.
    m_t.releaseIfLarge();
    if (m_withinSize && m_keepOriginal)
      section.original.emplace(m_stream.begin() + m_start, m_stream.begin() + m_start + m_size);
    if (m_stored) section.stored = *m_stored;
    return section;
  }

 private:
  using Entry = SectionTables::Entry;
  using Use = SectionTables::Use;

  Result<void> readTable() {
    ByteReader r(m_stream);
    r.seek(m_start);
    m_size = r.u32();
    m_count = r.u32();
    if (!r.ok() || m_count > r.remaining() / 8)
      return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(m_start),
                    "section table runs past the stream");
    m_tableEnd = 8 + size_t(m_count) * 8;
    // A section Size that covers its table and lies in the stream bounds the
    // section; many Office streams are longer than their sections, and some
    // writers' Size is short of the next section, so the stream decides
    // otherwise.
    m_sizeSound = m_size >= m_tableEnd && m_size <= m_hardEnd;
    m_softEnd = m_sizeSound ? m_size : std::max(m_boundsEnd - m_start, m_tableEnd);
    // Every property needs its 8 table bytes and a value of at least 4 more
    // (a type and its padding): a table claiming more entries than the
    // stream holds is forged, and would cost memory out of proportion.
    if (m_count > kMaxSectionProperties || size_t(m_count) * 12 > m_hardEnd)
      return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(m_start),
                    "section claims more properties than its bytes can hold");
    m_t.reset(m_count);
    for (auto& e : m_t.table) {
      e.id = r.u32();
      e.offset = r.u32();
    }
    // Limits in proportion to the section's bytes: bytes walked while
    // checking values (each value is tried in up to three layouts, twice,
    // and a value that fails in its room is read on to the stream's end),
    // and bytes kept (overlapping values may share some).
    m_workLimit = 8 * m_hardEnd + 4096;
    m_keptLimit = 2 * m_hardEnd + kKeptSlack;
    return {};
  }

  // Offsets in order, each with the table entry that first uses it: the room
  // of a value runs to the next offset, and a value several entries share is
  // checked once.
  void orderOffsets() {
    for (uint32_t i = 0; i < m_count; ++i) m_t.uses[i] = {m_t.table[i].offset, i};
    std::sort(m_t.uses.begin(), m_t.uses.end(), [](const Use& a, const Use& b) {
      return a.offset != b.offset ? a.offset < b.offset : a.first < b.first;
    });
  }

  // [MS-OLEPS] 1.3.2: ids are unique; a repeated id keeps its first value.
  void markRepeated() {
    for (uint32_t i = 0; i < m_count; ++i) m_t.byId[i] = i;
    const auto& table = m_t.table;
    std::sort(m_t.byId.begin(), m_t.byId.end(), [&](uint32_t a, uint32_t b) {
      return table[a].id != table[b].id ? table[a].id < table[b].id : a < b;
    });
    for (size_t i = 1; i < m_count; ++i)
      if (table[m_t.byId[i]].id == table[m_t.byId[i - 1]].id) m_t.repeated[m_t.byId[i]] = 1;
  }

  // The code page rules the dictionary and strings, so it is read first.
  uint16_t codePage() const {
    for (const Entry& e : m_t.table) {
      if (e.id != PID_CODEPAGE || size_t(e.offset) + 8 > m_hardEnd) continue;
      const uint8_t* p = &m_stream[m_start + e.offset];
      VARTYPE vt = base::loadLE16(p);
      if (vt == VT_I2 || vt == VT_UI2) return base::loadLE16(p + 4);
      break;
    }
    return kCodePageAnsi;
  }

  const Use* useOf(uint32_t off) const {
    return &*std::lower_bound(m_t.uses.begin(), m_t.uses.end(), off,
                              [](const Use& u, uint32_t o) { return u.offset < o; });
  }
  size_t sharersOf(uint32_t off) const {
    auto from = std::lower_bound(m_t.uses.begin(), m_t.uses.end(), off,
                                 [](const Use& u, uint32_t o) { return u.offset < o; });
    auto to = std::upper_bound(m_t.uses.begin(), m_t.uses.end(), off,
                               [](uint32_t o, const Use& u) { return o < u.offset; });
    return size_t(to - from);
  }
  // Where the value at `off` must end: the next offset, or the section's end.
  size_t nextOffset(size_t off) const {
    auto it = std::upper_bound(m_t.uses.begin(), m_t.uses.end(), off,
                               [](size_t o, const Use& u) { return o < u.offset; });
    size_t limit = it == m_t.uses.end() ? m_softEnd : it->offset;
    return std::max(limit, off);
  }

  // The length of the value `e` starts, and whether it reads.
  void measure(uint32_t i, const Entry& e, std::span<const uint8_t> rest, Property& prop,
               Section& section, size_t& used) {
    if (e.id == PID_DICTIONARY) {
      auto dict = decodeDictionary(rest, m_cp, &used);
      m_work += used;
      if (dict) {
        section.dictionary = std::move(dict.value());
      } else {
        section.dictionaryReadable = false;
        prop.readable = false;
      }
      return;
    }
    if (rest.size() >= 2) prop.vt = base::loadLE16(rest.data());
    const uint32_t first = useOf(e.offset)->first;
    if (first != i && m_t.usedAt[first] != SectionTables::kUnmeasured &&
        m_t.table[first].id != PID_DICTIONARY) {
      used = m_t.usedAt[first];
      prop.readable = m_t.readable[first] != 0;
      return;
    }
    // Read within the room to the next value first, so that a vector's
    // layout is judged on its own bytes; a value that overlaps its
    // successor is still read from the stream.
    size_t room = nextOffset(e.offset) - e.offset;
    std::optional<size_t> end;
    if (room > 0 && room < rest.size()) end = measureValue(rest.first(room), m_work);
    if (!end) end = measureValue(rest, m_work);
    prop.readable = end.has_value();
    used = end.value_or(0);
  }

  Result<void> readEntry(uint32_t i, Section& section) {
    const Entry& e = m_t.table[i];
    if (m_t.repeated[i]) return {};
    if (e.offset < m_tableEnd || e.offset >= m_hardEnd) {
      // A value outside the stream (or inside the table) has no bytes to
      // keep; it is read as absent.
      m_withinSize = false;
      return {};
    }
    auto rest = m_stream.subspan(m_start + e.offset, m_hardEnd - e.offset);
    Property prop;
    prop.id = e.id;
    size_t used = 0;
    measure(i, e, rest, prop, section, used);
    const size_t room = std::min(nextOffset(e.offset) - e.offset, rest.size());
    if (!prop.readable) used = room;
    used = std::min(used, rest.size());
    // A value read on past its room is kept again by every entry that
    // shares it. When all of them together would pass the bound on kept
    // bytes, it is kept as its room's bytes, unreadable: where it stops
    // parsing depends on the bytes that happen to follow it, which a rewrite
    // changes, and the set stays readable either way.
    if (prop.readable && used > room && e.id != PID_DICTIONARY) {
      if (m_kept + sharersOf(e.offset) * used > m_keptLimit) {
        prop.readable = false;
        used = room;
      }
    }
    m_t.usedAt[i] = uint32_t(used);
    m_t.readable[i] = prop.readable;
    m_kept += used;
    if (m_work > m_workLimit || m_kept > m_keptLimit)
      return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(m_start),
                    "section values overlap beyond what any writer stores");
    if (e.offset + used > m_softEnd) m_withinSize = false;
    if (m_stored) {
      prop.bytes.view(rest.first(used));
    } else {
      prop.bytes.assign(rest.begin(), rest.begin() + std::ptrdiff_t(used));
    }
    section.properties.push_back(std::move(prop));
    return {};
  }

  std::span<const uint8_t> m_stream;
  const size_t m_start;
  const size_t m_boundsEnd;
  const size_t m_hardEnd;
  const bool m_keepOriginal;
  const std::shared_ptr<const uint8_t[]>* const m_stored;
  SectionTables& m_t;
  uint32_t m_size = 0;
  uint32_t m_count = 0;
  size_t m_tableEnd = 0;
  bool m_sizeSound = false;
  size_t m_softEnd = 0;
  bool m_withinSize = false;
  uint16_t m_cp = kCodePageAnsi;
  size_t m_workLimit = 0, m_keptLimit = 0;
  size_t m_work = 0, m_kept = 0;
};

Result<Section> parseSection(std::span<const uint8_t> stream, SectionBounds bounds,
                             bool keepOriginal, const std::shared_ptr<const uint8_t[]>* stored) {
  return SectionParser(stream, bounds, keepOriginal, stored, t_sectionTables).run();
}

Result<PropertySet> parseSet(std::span<const uint8_t> bytes, bool keepOriginal,
                             const std::shared_ptr<const uint8_t[]>* stored) {
  ByteReader r(bytes);
  if (bytes.size() < kStreamHeaderSize)
    return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(0),
                  "property-set stream shorter than its header");
  uint16_t order = r.u16();
  if (order != kByteOrderMark)
    return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(0),
                  "byte order 0x%04X, not 0xFFFE", order);
  PropertySet set;
  set.version = r.u16();
  if (set.version > 1)
    return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(2), "version %u, above 1",
                  set.version);
  set.osVersion = r.u32();
  auto clsid = r.bytes(16);
  set.clsid = guidFromBytes(std::span<const uint8_t, 16>(clsid.data(), 16));
  uint32_t n = r.u32();
  if (n < 1 || n > 2)
    return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(24),
                  "section count %u, not 1 or 2", n);
  if (bytes.size() < kStreamHeaderSize + n * kSectionEntrySize)
    return DAMAGE(STG_E_INVALIDHEADER, PropertySet, base::atByte(kStreamHeaderSize),
                  "section list runs past the stream");
  std::vector<std::pair<FMTID, size_t>> list;
  for (uint32_t i = 0; i < n; ++i) {
    auto f = r.bytes(16);
    FMTID fmtid = guidFromBytes(std::span<const uint8_t, 16>(f.data(), 16));
    size_t offset = r.u32();
    if (offset < kStreamHeaderSize + n * kSectionEntrySize || offset > bytes.size() - 8)
      return DAMAGE(
          STG_E_INVALIDHEADER, PropertySet, base::atByte(kStreamHeaderSize + size_t(i) * 20 + 16),
          "section offset %zu lies outside the stream of %zu bytes", offset, bytes.size());
    list.emplace_back(fmtid, offset);
  }
  for (uint32_t i = 0; i < n; ++i) {
    // A later section, if any, ends this one's unknown bytes.
    size_t softEnd = bytes.size();
    for (uint32_t j = 0; j < n; ++j)
      if (list[j].second > list[i].second) softEnd = std::min(softEnd, list[j].second);
    auto section = parseSection(bytes, {list[i].second, softEnd}, keepOriginal, stored);
    if (!section) return section.error();
    section->fmtid = list[i].first;
    set.sections.push_back(std::move(section.value()));
  }
  return set;
}

}  // namespace

Result<PropertySet> parsePropertySet(std::span<const uint8_t> bytes, bool keepOriginal) {
  return parseSet(bytes, keepOriginal, nullptr);
}

Result<PropertySet> parsePropertySetViewing(const std::shared_ptr<const uint8_t[]>& stored,
                                            size_t size) {
  return parseSet(std::span(stored.get(), size), false, &stored);
}

namespace {

void encodeSection(const Section& section, std::vector<uint8_t>& out) {
  size_t start = out.size();
  if (section.original) {
    out.insert(out.end(), section.original->begin(), section.original->end());
    while ((out.size() - start) % 4) out.push_back(0);
    return;
  }
  const uint16_t cp = section.effectiveCodePage();
  std::vector<const Property*> props;
  for (const auto& p : section.properties)
    if (!p.bytes.empty()) props.push_back(&p);
  // The values first, each padded to 4, and each entry's place among them.
  // Unreadable values that were found sharing bytes are written once, at one
  // offset, as they were found. Written one each, every copy would be
  // measured again when read back, each failing only after walking on
  // towards the stream's end, and the reader's work limit refuses that.
  std::vector<uint8_t> values;
  ByteWriter v(values);
  std::vector<uint32_t> at(props.size());
  std::vector<std::pair<const Property*, uint32_t>> unreadableAt;
  size_t kept = 0;  // what a reader keeps: every entry's value, a shared one each time
  for (size_t i = 0; i < props.size(); ++i) {
    const Property& p = *props[i];
    const bool unreadable = !p.readable && p.id != PID_DICTIONARY;
    if (unreadable) {
      auto same = std::find_if(unreadableAt.begin(), unreadableAt.end(),
                               [&](const auto& u) { return u.first->bytes == p.bytes; });
      if (same != unreadableAt.end()) {
        at[i] = same->second;
        kept += (p.bytes.size() + 3) & ~size_t(3);  // its room runs to the next value
        continue;
      }
      unreadableAt.emplace_back(&p, uint32_t(values.size()));
    }
    at[i] = uint32_t(values.size());
    if (p.id == PID_DICTIONARY && section.dictionaryReadable)
      v.bytes(encodeDictionary(section.dictionary, cp));
    else
      v.bytes(p.bytes);
    const size_t written = values.size() - at[i];
    while (values.size() % 4) v.u8(0);
    kept += unreadable ? values.size() - at[i] : written;
  }
  // Readers hold every entry to a value of at least 4 bytes (a table that
  // claims more entries than its bytes can hold is forged), and what they
  // keep to twice the section's bytes and 4 KiB more (shared values amplify
  // memory). Values written once for several entries leave that room as
  // zeros between the table and the values, where no value's room takes it
  // in.
  const size_t tableEnd = 8 + 8 * props.size();
  size_t size = std::max(tableEnd + values.size(), 8 + 12 * props.size());
  if (kept > 2 * size + kKeptSlack)
    size += ((kept - kKeptSlack - 2 * size + 1) / 2 + 3) & ~size_t(3);
  const size_t gap = size - tableEnd - values.size();
  ByteWriter w(out);
  w.u32(uint32_t(size));
  w.u32(uint32_t(props.size()));
  for (size_t i = 0; i < props.size(); ++i) {
    w.u32(props[i]->id);
    w.u32(uint32_t(tableEnd + gap + at[i]));
  }
  w.zeros(gap);
  w.bytes(values);
}

}  // namespace

std::vector<uint8_t> serializePropertySet(const PropertySet& set) {
  uint16_t version = set.version;
  for (const auto& s : set.sections) {
    if (s.find(PID_BEHAVIOR)) version = 1;
    for (const auto& p : s.properties)
      if (p.id != PID_DICTIONARY && p.readable && needsVersion1(p.vt)) version = 1;
  }
  std::vector<uint8_t> out;
  ByteWriter w(out);
  w.u16(kByteOrderMark);
  w.u16(version);
  w.u32(set.osVersion);
  w.bytes(guidToBytes(set.clsid));
  w.u32(uint32_t(set.sections.size()));
  size_t list = w.position();
  for (const auto& s : set.sections) {
    w.bytes(guidToBytes(s.fmtid));
    w.u32(0);
  }
  for (size_t i = 0; i < set.sections.size(); ++i) {
    w.patch32(list + i * kSectionEntrySize + 16, uint32_t(w.position()));
    encodeSection(set.sections[i], out);
  }
  return out;
}

}  // namespace velmora::propset
