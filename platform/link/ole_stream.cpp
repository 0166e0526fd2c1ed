// "\1Ole": bounded reading and writing of the OLEStream structure.
#include "link/ole_stream.h"

#include <cstring>

#include "base/byte_reader.h"
#include "base/byte_writer.h"

namespace velmora::link {

namespace {

base::Error pastTheEnd(const char* what) {
  return DAMAGE(STG_E_READFAULT, Link, base::where(), "\\1Ole %s runs past the end of the stream",
                what);
}

// A size-prefixed MONIKERSTREAM; the size counts its own four bytes.
base::Result<void> readFramed(base::ByteReader& r, const char* what, std::vector<uint8_t>* out,
                              bool* present) {
  uint32_t size = r.u32();
  if (!r.ok()) return pastTheEnd(what);
  *present = size != 0;
  if (size == 0) return {};
  if (size < 4)
    return DAMAGE(STG_E_READFAULT, Link, base::where(), "\\1Ole %s size %u is below 4", what, size);
  if (size - 4 > r.remaining()) return pastTheEnd(what);
  auto bytes = r.bytes(size - 4);
  out->assign(bytes.begin(), bytes.end());
  return {};
}

void writeFramed(base::ByteWriter& w, const std::vector<uint8_t>& bytes, bool present) {
  if (!present) {
    w.u32(0);
    return;
  }
  w.u32(uint32_t(bytes.size() + 4));
  w.bytes(bytes);
}

}  // namespace

base::Result<OleStream> parseOleStream(std::span<const uint8_t> bytes) {
  base::ByteReader r(bytes);
  OleStream s;
  uint32_t version = r.u32();
  s.flags = r.u32();
  s.updateOption = r.u32();
  uint32_t reserved1 = r.u32();
  if (!r.ok()) return pastTheEnd("header");
  if (version != kOleStreamVersion)
    return DAMAGE(DV_E_CLIPFORMAT, Link, base::where(), "\\1Ole version 0x%08X", version);
  if (reserved1 != 0)
    return DAMAGE(DV_E_CLIPFORMAT, Link, base::where(), "\\1Ole Reserved1 0x%08X", reserved1);
  if (auto done = readFramed(r, "reserved moniker", &s.reservedMoniker, &s.hasReservedMoniker);
      !done)
    return done.error();
  if (!s.isLink()) {
    auto rest = r.bytes(r.remaining());
    s.tail.assign(rest.begin(), rest.end());
    return s;
  }
  if (auto done = readFramed(r, "relative moniker", &s.relative, &s.hasRelative); !done)
    return done.error();
  if (auto done = readFramed(r, "absolute moniker", &s.absolute, &s.hasAbsolute); !done)
    return done.error();
  uint32_t indicator = r.u32();
  if (!r.ok()) return pastTheEnd("ClsidIndicator");
  if (indicator != 0xFFFFFFFF)
    return DAMAGE(E_FAIL, Link, base::where(), "\\1Ole ClsidIndicator 0x%08X is not -1", indicator);
  s.clsid.Data1 = r.u32();
  s.clsid.Data2 = r.u16();
  s.clsid.Data3 = r.u16();
  auto d4 = r.bytes(8);
  if (!r.ok()) return pastTheEnd("Clsid");
  std::memcpy(s.clsid.Data4, d4.data(), 8);
  // ReservedDisplayName, Reserved2 and three FILETIMEs must all be there.
  size_t tailStart = r.position();
  uint32_t nameBytes = r.u32();
  if (!r.ok() || nameBytes > r.remaining()) return pastTheEnd("ReservedDisplayName");
  r.skip(nameBytes);
  r.skip(4 + 3 * 8);
  if (!r.ok()) return pastTheEnd("update times");
  r.seek(tailStart);
  auto rest = r.bytes(r.remaining());
  s.tail.assign(rest.begin(), rest.end());
  return s;
}

std::vector<uint8_t> encodeOleStream(const OleStream& s) {
  std::vector<uint8_t> out;
  out.reserve(40 + s.reservedMoniker.size() + s.relative.size() + s.absolute.size() +
              s.tail.size());
  base::ByteWriter w(out);
  w.u32(kOleStreamVersion);
  w.u32(s.flags);
  w.u32(s.updateOption);
  w.u32(0);
  writeFramed(w, s.reservedMoniker, s.hasReservedMoniker);
  if (!s.isLink()) {
    w.bytes(s.tail);
    return out;
  }
  writeFramed(w, s.relative, s.hasRelative);
  writeFramed(w, s.absolute, s.hasAbsolute);
  w.u32(0xFFFFFFFF);
  w.u32(s.clsid.Data1);
  w.u16(s.clsid.Data2);
  w.u16(s.clsid.Data3);
  w.bytes(std::span<const uint8_t>(s.clsid.Data4, 8));
  w.bytes(s.tail);
  return out;
}

std::vector<uint8_t> defaultOleTail() {
  std::vector<uint8_t> out;
  base::ByteWriter w(out);
  w.u32(0);
  w.u32(0xFFFFFFFF);
  w.zeros(24);
  return out;
}

}  // namespace velmora::link
