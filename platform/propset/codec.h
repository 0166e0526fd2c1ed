// The property-set codec: the bytes of a property-set stream ([MS-OLEPS]
// 2.21) to an in-memory set and back, and typed values to and from their
// serialized form. Pure functions over bytes; no I/O, no allocation through
// the component allocator, no code-page conversion (strings and names stay
// in the bytes of the set's code page; property_value and property_storage
// convert them).
//
// What it guarantees: every count, size and offset read from a stream is
// checked against the bytes that hold it; a stream whose header or section
// table is unsound is refused with STG_E_INVALIDHEADER; a single value that
// cannot be parsed only makes that property unreadable. Every property keeps
// the bytes it was stored with, so properties the layer does not understand
// (unknown types, Office's unaligned vectors, damaged values) and sections it
// did not change are written back byte for byte.
#pragma once
#include <propidl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"

namespace velmora::propset {

using base::Result;

inline constexpr uint16_t kCodePageUnicode = 1200;
inline constexpr uint16_t kCodePageUtf8 = 65001;
inline constexpr uint16_t kCodePageAnsi = 1252;
inline constexpr uint16_t kByteOrderMark = 0xFFFE;
// The stream header up to NumPropertySets, and one FMTID/offset pair.
inline constexpr size_t kStreamHeaderSize = 28;
inline constexpr size_t kSectionEntrySize = 20;
// Windows XP SP3 and later refuse to grow a set past 2 MiB ([MS-OLEPS] <4>).
inline constexpr size_t kMaxSetSize = 2 * 1024 * 1024;
// More properties than any writer stores in a section; a table that claims
// more is damaged, so parsing stays bounded whatever the stream says.
inline constexpr uint32_t kMaxSectionProperties = 1u << 18;

// A decoded typed value. Strings are kept as stored: `bytes` holds the
// characters of a CodePageString (in the set's code page; UTF-16LE when that
// is 1200), `text` the code units of a UnicodeString, both with whatever
// terminators and padding the stored count covered.
struct Value {
  VARTYPE vt = VT_EMPTY;
  // Integers, VT_BOOL, VT_ERROR, and the bit patterns of VT_R4, VT_R8, VT_CY,
  // VT_DATE and VT_FILETIME (low word first).
  uint64_t scalar = 0;
  // VT_CLSID (packet form) and VT_DECIMAL (the 16 stored bytes).
  std::array<uint8_t, 16> fixed{};
  // VT_LPSTR, VT_BSTR characters; VT_BLOB, VT_BLOB_OBJECT bytes; VT_CF data
  // after the format tag.
  std::vector<uint8_t> bytes;
  std::u16string text;
  int32_t clipFormat = 0;
  // Elements of a vector or array; each carries its scalar type (for
  // VT_VARIANT elements, the type stored with the element).
  std::vector<Value> elements;
  // VT_ARRAY: {element count, lower bound} per dimension.
  std::vector<std::pair<uint32_t, int32_t>> dimensions;

  bool operator==(const Value&) const = default;
};

// Whether `vt` is a type the codec understands in a simple set.
bool isKnownType(VARTYPE vt);
// Whether a set holding `vt` must be version 1 ([MS-OLEPS] 2.2, 2.21).
bool needsVersion1(VARTYPE vt);

// Decodes one TypedPropertyValue from the start of `bytes`. Returns the value
// and, in `consumed`, the bytes it occupies as stored (without any padding the
// writer left after it beyond what its own layout requires). Fails with
// STG_E_INVALIDPARAMETER for a type it does not understand and
// STG_E_INVALIDHEADER when the value runs past `bytes` or is malformed.
Result<Value> decodeValue(std::span<const uint8_t> bytes, uint16_t codePage, size_t* consumed);

// Encodes `value` as a TypedPropertyValue, padded to 4 with zero bytes, every
// string with its NUL counted and its padding not counted ([MS-OLEPS] 2.5).
// Fails with STG_E_INVALIDPARAMETER for a type that cannot be stored in a
// simple set or a vector/array of a type that cannot form one.
Result<std::vector<uint8_t>> encodeValue(const Value& value, uint16_t codePage);

// One property as stored: its id and the bytes of its TypedPropertyValue (or
// of the dictionary, for id 0), exactly as read. `readable` is false for a
// value the codec could not parse; its bytes run to the next value.
struct Property {
  PROPID id = 0;
  VARTYPE vt = VT_EMPTY;
  bool readable = true;
  // A copy of its own, or in a set parsed only to be read, a view of the
  // stream as read, which the section keeps alive (no copy a value: most
  // of a Summary stream is often a thumbnail no reader asks for).
  class Bytes {
   public:
    Bytes() = default;
    Bytes(std::vector<uint8_t> own) : m_own(std::move(own)) {}  // NOLINT: a copy is the usual kind
    Bytes& operator=(std::vector<uint8_t>&& own) {
      m_own = std::move(own);
      m_view = {};
      m_isView = false;
      return *this;
    }
    template <typename It>
    void assign(It first, It last) {
      *this = std::vector<uint8_t>(first, last);
    }
    void view(std::span<const uint8_t> stored) {
      m_own.clear();
      m_view = stored;
      m_isView = true;
    }
    std::span<const uint8_t> span() const { return m_isView ? m_view : std::span(m_own); }
    const uint8_t* data() const { return span().data(); }
    size_t size() const { return span().size(); }
    bool empty() const { return size() == 0; }
    std::span<const uint8_t>::iterator begin() const { return span().begin(); }
    std::span<const uint8_t>::iterator end() const { return span().end(); }
    const uint8_t& operator[](size_t i) const { return span()[i]; }
    friend bool operator==(const Bytes& a, const Bytes& b) {
      return std::ranges::equal(a.span(), b.span());
    }

   private:
    std::vector<uint8_t> m_own;
    std::span<const uint8_t> m_view;
    bool m_isView = false;
  } bytes;
};

// A dictionary entry: the id and the name's stored characters (bytes of the
// set's code page, UTF-16LE for 1200), terminator included as stored.
struct DictionaryEntry {
  PROPID id = 0;
  std::vector<uint8_t> name;
};

struct Section {
  FMTID fmtid{};
  // Stored order; id 0, when present, is the dictionary.
  std::vector<Property> properties;
  // The parsed dictionary; meaningful when `dictionaryReadable`.
  std::vector<DictionaryEntry> dictionary;
  bool dictionaryReadable = true;
  // The section's bytes as read, kept while it is unchanged so that writing
  // the stream reproduces them exactly. Cleared by any change.
  std::optional<std::vector<uint8_t>> original;
  // The stream as read, when the properties view it rather than copy it.
  std::shared_ptr<const uint8_t[]> stored;

  const Property* find(PROPID id) const;
  Property* find(PROPID id);
  bool hasDictionary() const { return find(PID_DICTIONARY) != nullptr; }
  // The code page property when it is a readable VT_I2 (or VT_UI2), read as
  // an unsigned 16-bit value.
  std::optional<uint16_t> codePage() const;
  // The code page strings are stored in: the property, or the system ANSI
  // code page when the set has none (Win32 "Reserved Property Identifiers").
  uint16_t effectiveCodePage() const { return codePage().value_or(kCodePageAnsi); }
  // Behavior = 1 makes names case-sensitive ([MS-OLEPS] 2.18.4).
  bool caseSensitive() const;
};

struct PropertySet {
  uint16_t version = 0;
  uint32_t osVersion = 0x0002000A;
  CLSID clsid{};
  std::vector<Section> sections;

  Section* find(REFFMTID fmtid);
  const Section* find(REFFMTID fmtid) const;
};

// Parses a property-set stream. Fails with STG_E_INVALIDHEADER when the
// header or a section table is unsound (size, byte order, version,
// section count, section bounds); tolerates what real producers write
// (unsorted or unaligned offsets, gaps, stale or trailing bytes, a section
// Size that disagrees with the stream, a missing code page, an unpadded
// dictionary).
// Without `keepOriginal` no section keeps its bytes as read (`original`),
// which only a writer of the stream needs.
Result<PropertySet> parsePropertySet(std::span<const uint8_t> bytes, bool keepOriginal = true);
// For a set only read: the properties view `stored` (the stream's `size`
// bytes, kept alive by each section) instead of copying their values.
Result<PropertySet> parsePropertySetViewing(const std::shared_ptr<const uint8_t[]>& stored,
                                            size_t size);

// Serializes a set: unchanged sections as read, changed ones with their
// values in stored order, each padded to 4 and its Size counting the padding.
// The version is raised to 1 when a section needs it.
std::vector<uint8_t> serializePropertySet(const PropertySet& set);

// Encodes a dictionary in a section's code page: unpadded entries for 8-bit
// code pages, entries padded to 4 for 1200, the whole padded to 4.
std::vector<uint8_t> encodeDictionary(const std::vector<DictionaryEntry>& entries,
                                      uint16_t codePage);

// Parses a dictionary at the start of `bytes`; `consumed` receives its
// length as stored (unpadded end for 8-bit code pages).
Result<std::vector<DictionaryEntry>> decodeDictionary(std::span<const uint8_t> bytes,
                                                      uint16_t codePage, size_t* consumed);

// Packet form of a GUID ([MS-OLEPS] 2.12) and back.
std::array<uint8_t, 16> guidToBytes(REFGUID guid);
GUID guidFromBytes(std::span<const uint8_t, 16> bytes);

}  // namespace velmora::propset
