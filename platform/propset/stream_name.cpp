// FMTID <-> element names; see stream_name.h.
#include "propset/stream_name.h"

#include <array>

#include "propset/codec.h"

namespace velmora::propset {
namespace {

constexpr char16_t kAlphabet[] = u"abcdefghijklmnopqrstuvwxyz012345";
constexpr size_t kGroups = 26;

struct SpecialName {
  GUID fmtid;
  const char16_t* name;
};

// FMTID_UserDefinedProperties maps to the document-summary stream as well;
// the reverse mapping gives the document-summary FMTID, so it comes second.
const SpecialName kSpecial[] = {
    {{0xF29F85E0, 0x4FF9, 0x1068, {0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9}},
     u"\005SummaryInformation"},
    {{0xD5CDD502, 0x2E9C, 0x101B, {0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE}},
     u"\005DocumentSummaryInformation"},
    {{0xD5CDD505, 0x2E9C, 0x101B, {0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE}},
     u"\005DocumentSummaryInformation"},
    {{0x56616F00, 0xC154, 0x11CE, {0x85, 0x53, 0x00, 0xAA, 0x00, 0xA1, 0xF9, 0x5B}},
     u"\005GlobalInfo"},
    {{0x56616400, 0xC154, 0x11CE, {0x85, 0x53, 0x00, 0xAA, 0x00, 0xA1, 0xF9, 0x5B}},
     u"\005ImageContents"},
    {{0x56616500, 0xC154, 0x11CE, {0x85, 0x53, 0x00, 0xAA, 0x00, 0xA1, 0xF9, 0x5B}},
     u"\005ImageInfo"},
};

char16_t foldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }

bool equalsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  return true;
}

}  // namespace

std::u16string streamNameFor(REFFMTID fmtid) {
  for (const auto& s : kSpecial)
    if (IsEqualGUID(s.fmtid, fmtid)) return s.name;
  auto bytes = guidToBytes(fmtid);
  // The GUID's bytes as one little-endian number in two halves, taken five
  // bits at a time (the last group has two bits above the GUID, which are
  // clear).
  uint64_t lo = 0, hi = 0;
  for (size_t b = 8; b-- > 0;) {
    lo = lo << 8 | bytes[b];
    hi = hi << 8 | bytes[b + 8];
  }
  std::u16string name(kGroups + 1, u'\005');
  for (size_t i = 0; i < kGroups; ++i) {
    const size_t bit = 5 * i;
    const uint64_t group = bit >= 64  ? hi >> (bit - 64)
                           : bit > 59 ? lo >> bit | hi << (64 - bit)
                                      : lo >> bit;
    char16_t c = kAlphabet[group & 31];
    // Windows upper-cases the letters whose group starts a byte ([MS-OLEPS]
    // <8>); the comparison is case-insensitive either way.
    if (bit % 8 == 0 && c >= u'a' && c <= u'z') c = char16_t(c - 32);
    name[i + 1] = c;
  }
  return name;
}

std::optional<FMTID> fmtidForStreamName(std::u16string_view name) {
  for (const auto& s : kSpecial)
    if (equalsIgnoringCase(name, s.name)) return s.fmtid;
  if (name.size() != kGroups + 1 || name[0] != u'\005') return std::nullopt;
  std::array<uint8_t, 16> bytes{};
  for (size_t i = 0; i < kGroups; ++i) {
    char16_t c = foldAscii(name[i + 1]);
    unsigned v;
    if (c >= u'a' && c <= u'z')
      v = c - u'a';
    else if (c >= u'0' && c <= u'5')
      v = 26 + (c - u'0');
    else
      return std::nullopt;
    for (size_t k = 0; k < 5; ++k) {
      size_t b = 5 * i + k;
      if (!((v >> k) & 1)) continue;
      if (b >= 128) return std::nullopt;  // the two bits above the GUID must be clear
      bytes[b / 8] |= uint8_t(1u << (b % 8));
    }
  }
  return guidFromBytes(bytes);
}

}  // namespace velmora::propset
