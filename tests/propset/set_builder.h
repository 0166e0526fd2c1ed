// Builds property-set streams field by field for codec tests, so that a test
// can lay out exactly the oddity it probes (unaligned values, gaps, unsorted
// tables, stale bytes).
#pragma once
#include <propidl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::test {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline void putGuid(Bytes& b, const GUID& g) {
  put32(b, g.Data1);
  put16(b, g.Data2);
  put16(b, g.Data3);
  b.insert(b.end(), g.Data4, g.Data4 + 8);
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes typed(uint16_t vt, const Bytes& value) {
  Bytes b;
  put16(b, vt);
  put16(b, 0);
  b.insert(b.end(), value.begin(), value.end());
  return b;
}
inline Bytes u32(uint32_t v) {
  Bytes b;
  put32(b, v);
  return b;
}
inline Bytes i2(int16_t v) { return typed(VT_I2, {uint8_t(v), uint8_t(uint16_t(v) >> 8), 0, 0}); }
// VT_LPSTR with the count as given (the caller decides on NUL and padding).
inline Bytes lpstr(const Bytes& chars) {
  return typed(VT_LPSTR, cat({u32(uint32_t(chars.size())), chars}));
}

struct RawProperty {
  PROPID id;
  Bytes bytes;
  // When nonzero, the value is placed at this section offset (gaps allowed);
  // otherwise right after the previous value, unpadded.
  uint32_t at = 0;
};

// One section: Size, count, table in the given order, values as laid out.
inline Bytes section(const std::vector<RawProperty>& props, int64_t sizeOverride = -1) {
  Bytes b(8 + 8 * props.size(), 0);
  Bytes values;
  std::vector<uint32_t> offsets;
  for (const auto& p : props) {
    size_t off = b.size() + values.size();
    if (p.at) {
      if (p.at > off) values.resize(values.size() + (p.at - off), 0);
      off = p.at;
    }
    offsets.push_back(uint32_t(off));
    values.insert(values.end(), p.bytes.begin(), p.bytes.end());
  }
  b.insert(b.end(), values.begin(), values.end());
  auto store = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
  };
  store(0, sizeOverride >= 0 ? uint32_t(sizeOverride) : uint32_t(b.size()));
  store(4, uint32_t(props.size()));
  for (size_t i = 0; i < props.size(); ++i) {
    store(8 + 8 * i, props[i].id);
    store(12 + 8 * i, offsets[i]);
  }
  return b;
}

// A stream with the given sections, each starting where the previous ends
// (padded to 4).
inline Bytes stream(const std::vector<std::pair<GUID, Bytes>>& sections, uint16_t version = 0,
                    const GUID& clsid = GUID{}) {
  Bytes b;
  put16(b, 0xFFFE);
  put16(b, version);
  put32(b, 0x0002000A);
  putGuid(b, clsid);
  put32(b, uint32_t(sections.size()));
  size_t offset = 28 + 20 * sections.size();
  for (const auto& [fmtid, bytes] : sections) {
    putGuid(b, fmtid);
    put32(b, uint32_t(offset));
    offset += (bytes.size() + 3) & ~size_t(3);
  }
  for (const auto& [fmtid, bytes] : sections) {
    b.insert(b.end(), bytes.begin(), bytes.end());
    while (b.size() % 4) b.push_back(0);
  }
  return b;
}

}  // namespace velmora::test
