// The "\1Ole" stream (OLEStream, [MS-OLEDS] 2.3.3) as the link object
// reads and writes it. Size fields count themselves (+4). Everything the
// link object does not change is kept as found: the reserved moniker, the
// class, and every byte after the class (display name, times, anything a
// newer writer appended), so a save rewrites only the monikers.
#pragma once
#include <objbase.h>

#include <cstdint>
#include <span>
#include <vector>

#include "base/result.h"

namespace velmora::link {

inline constexpr uint32_t kOleStreamVersion = 0x02000001;
inline constexpr uint32_t kOleFlagLink = 0x00000001;

struct OleStream {
  uint32_t flags = kOleFlagLink;
  uint32_t updateOption = 1;  // OLEUPDATE_ALWAYS
  bool hasReservedMoniker = false;
  std::vector<uint8_t> reservedMoniker;  // MONIKERSTREAM bytes, kept opaque
  // A link's monikers as MONIKERSTREAM bytes.
  bool hasRelative = false, hasAbsolute = false;
  std::vector<uint8_t> relative;
  std::vector<uint8_t> absolute;
  CLSID clsid{};              // the link source's class
  std::vector<uint8_t> tail;  // from ReservedDisplayName to the end, as found
  bool isLink() const { return (flags & kOleFlagLink) != 0; }
};

// Parses a whole "\1Ole" stream. DV_E_CLIPFORMAT for a wrong Version or
// Reserved1, E_FAIL for a ClsidIndicator other than -1, STG_E_READFAULT for a
// stream that ends early or a size field that runs past its end. An
// embedding's stream (Flags bit 0 clear) yields its header only.
[[nodiscard]] base::Result<OleStream> parseOleStream(std::span<const uint8_t> bytes);
std::vector<uint8_t> encodeOleStream(const OleStream& s);

// The tail a new link writes: an empty display name, Reserved2 -1 and three
// zero times.
std::vector<uint8_t> defaultOleTail();

}  // namespace velmora::link
