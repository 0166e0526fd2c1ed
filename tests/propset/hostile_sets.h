// Property-set streams forged to cost a parser time or memory out of all
// proportion to their size: shared for the bounded-parsing tests and the
// benchmark that reports their figures.
#pragma once
#include <propidl.h>

#include <string>
#include <vector>

#include "tests/propset/set_builder.h"

namespace velmora::test {

struct HostileSet {
  std::string name;
  Bytes stream;
};

// A section whose `count` entries (ids from 2) all point at the value
// `value`, placed right after the table, with `room` bytes after it.
inline Bytes sharedValueSection(uint32_t count, const Bytes& value, size_t room) {
  Bytes b;
  put32(b, 0);
  put32(b, count);
  uint32_t at = 8 + 8 * count;
  for (uint32_t i = 0; i < count; ++i) {
    put32(b, 2 + i);
    put32(b, at);
  }
  b.insert(b.end(), value.begin(), value.end());
  b.resize(b.size() + room, 0);
  for (int i = 0; i < 4; ++i) b[i] = uint8_t(b.size() >> (8 * i));
  return b;
}

inline std::vector<HostileSet> hostileSets() {
  const GUID fmtid = FMTID_SummaryInformation;
  std::vector<HostileSet> out;
  // 4,000 entries at one unreadable value (a string longer than the stream)
  // in about 1 MB: a copy of the tail per entry would cost gigabytes.
  out.push_back(
      {"entries_share_an_unreadable_value",
       stream({{fmtid, sharedValueSection(4000, typed(VT_LPSTR, u32(0x7FFFFFFF)), 1000000)}})});
  // 80,000 entries, distinct ids, in 640 KB: each entry a property record.
  out.push_back({"table_of_80000_entries",
                 stream({{fmtid, sharedValueSection(80000, typed(VT_I4, u32(7)), 0)}})});
  // Entries 16 bytes apart inside one region whose every word reads as the
  // start of a string vector too long for the stream: each value, checked
  // alone, walks to the end of the stream before it fails.
  {
    const uint32_t count = 60000;
    Bytes b;
    put32(b, 0);
    put32(b, count);
    uint32_t first = 8 + 8 * count;
    for (uint32_t i = 0; i < count; ++i) {
      put32(b, 2 + i);
      put32(b, first + 16 * i);
    }
    while (b.size() < first + 16 * size_t(count) + 4096) put32(b, VT_VECTOR | VT_LPSTR);
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(b.size() >> (8 * i));
    out.push_back({"overlapping_vectors", stream({{fmtid, b}})});
  }
  // A vector of 200,000 variants in 1.6 MB: checking it must not build them.
  {
    Bytes elements;
    for (int i = 0; i < 200000; ++i) {
      Bytes e = typed(VT_I4, u32(uint32_t(i)));
      elements.insert(elements.end(), e.begin(), e.end());
    }
    Bytes value = typed(VT_VECTOR | VT_VARIANT, cat({u32(200000), elements}));
    out.push_back(
        {"vector_of_200000_variants", stream({{fmtid, sharedValueSection(1, value, 0)}})});
  }
  return out;
}

}  // namespace velmora::test
