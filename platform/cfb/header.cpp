// Header decoding: what [MS-CFB] makes
// structural (byte order, version and shift pairs, mini shift) is refused;
// what producers get wrong and readers accept (minor version, reserved
// bytes, the cutoff field, FREESECT as "no DIFAT") is tolerated.
#include "cfb/header.h"

#include <cstring>

#include "base/byte_reader.h"
#include "base/little_endian.h"

namespace velmora::cfb {

namespace {
constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
}

bool hasSignature(std::span<const uint8_t> bytes) {
  return bytes.size() >= 8 && std::memcmp(bytes.data(), kSignature, 8) == 0;
}

uint64_t sectorCount(uint64_t fileSize, uint32_t sectorSize) {
  if (fileSize <= sectorSize) return 0;
  return (fileSize - sectorSize + sectorSize - 1) / sectorSize;
}

Result<Header> decodeHeader(std::span<const uint8_t> bytes, uint64_t fileSize) {
  if (fileSize < kHeaderSize || bytes.size() < kHeaderSize || !hasSignature(bytes))
    return base::makeError(STG_E_FILEALREADYEXISTS, "not a compound file (no signature)");
  base::ByteReader r(bytes.first(kHeaderSize));
  r.seek(header_field::kMinorVersion);
  Header h;
  h.minorVersion = r.u16();
  h.majorVersion = r.u16();
  uint16_t byteOrder = r.u16();
  h.sectorShift = r.u16();
  uint16_t miniShift = r.u16();
  r.skip(6);
  h.numDirSectors = r.u32();
  h.numFatSectors = r.u32();
  h.firstDirSector = r.u32();
  h.transactionSignature = r.u32();
  r.u32();  // mini stream cutoff: always 4096, whatever the field says
  h.firstMiniFatSector = r.u32();
  h.numMiniFatSectors = r.u32();
  h.firstDifatSector = r.u32();
  h.numDifatSectors = r.u32();
  for (auto& d : h.difat) d = r.u32();
  if (!r.ok()) return DAMAGE(STG_E_INVALIDHEADER, Header, where(), "header shorter than 512 bytes");

  if (byteOrder != 0xFFFE)
    return DAMAGE(STG_E_INVALIDHEADER, Header, atOffset(header_field::kByteOrder),
                  "byte order mark 0x%04X, expected 0xFFFE", byteOrder);
  if (!((h.majorVersion == 3 && h.sectorShift == 9) ||
        (h.majorVersion == 4 && h.sectorShift == 12)))
    return DAMAGE(STG_E_INVALIDHEADER, Header, atOffset(header_field::kMajorVersion),
                  "major version %u with sector shift %u", h.majorVersion, h.sectorShift);
  if (miniShift != 6)
    return DAMAGE(STG_E_INVALIDHEADER, Header, atOffset(header_field::kMiniSectorShift),
                  "mini sector shift %u, expected 6", miniShift);
  if (h.majorVersion == 3) h.numDirSectors = 0;

  const uint32_t S = h.sectorSize();
  if (fileSize < S)
    return DAMAGE(STG_E_INVALIDHEADER, Header, where(),
                  "file of %llu bytes is shorter than a %u-byte header",
                  (unsigned long long)fileSize, S);
  const uint64_t nsect = sectorCount(fileSize, S);
  if (nsect < 2)
    return DAMAGE(STG_E_INVALIDHEADER, Header, where(),
                  "file of %llu bytes has no room for a FAT and a directory",
                  (unsigned long long)fileSize);
  if (nsect > uint64_t(kMaxRegSect) + 1)
    return DAMAGE(STG_E_INVALIDHEADER, Header, where(),
                  "file of %llu bytes exceeds the sector numbering", (unsigned long long)fileSize);
  if (h.majorVersion == 3 && fileSize > 0x80000000ull)
    return base::makeError(STG_E_DOCFILETOOLARGE, "version 3 file of %llu bytes exceeds 2 GB",
                           (unsigned long long)fileSize);
  if (h.numFatSectors > nsect || h.numDifatSectors > nsect || h.numMiniFatSectors > nsect ||
      h.numDirSectors > nsect)
    return DAMAGE(STG_E_INVALIDHEADER, Header, atOffset(header_field::kNumDirSectors),
                  "header counts (FAT %u, DIFAT %u, mini FAT %u, directory %u) exceed "
                  "the file's %llu sectors",
                  h.numFatSectors, h.numDifatSectors, h.numMiniFatSectors, h.numDirSectors,
                  (unsigned long long)nsect);
  // Some writers put FREESECT in "start of chain" fields that mean "none".
  if (h.firstDifatSector == kFreeSect) h.firstDifatSector = kEndOfChain;
  if (h.firstMiniFatSector == kFreeSect) h.firstMiniFatSector = kEndOfChain;
  return h;
}

std::array<uint8_t, kHeaderSize> encodeHeader(const Header& h) {
  std::array<uint8_t, kHeaderSize> out{};
  using base::storeLE16;
  using base::storeLE32;
  namespace at = header_field;
  std::memcpy(&out[at::kSignature], kSignature, 8);
  storeLE16(&out[at::kMinorVersion], 0x3E);
  storeLE16(&out[at::kMajorVersion], h.majorVersion);
  storeLE16(&out[at::kByteOrder], 0xFFFE);
  storeLE16(&out[at::kSectorShift], h.sectorShift);
  storeLE16(&out[at::kMiniSectorShift], 6);
  storeLE32(&out[at::kNumDirSectors], h.majorVersion == 4 ? h.numDirSectors : 0);
  storeLE32(&out[at::kNumFatSectors], h.numFatSectors);
  storeLE32(&out[at::kFirstDirSector], h.firstDirSector);
  storeLE32(&out[at::kTransactionSignature], 0);
  storeLE32(&out[at::kMiniStreamCutoff], uint32_t(kMiniStreamCutoff));
  storeLE32(&out[at::kFirstMiniFatSector], h.firstMiniFatSector);
  storeLE32(&out[at::kNumMiniFatSectors], h.numMiniFatSectors);
  storeLE32(&out[at::kFirstDifatSector], h.firstDifatSector);
  storeLE32(&out[at::kNumDifatSectors], h.numDifatSectors);
  for (uint32_t i = 0; i < kHeaderDifatEntries; ++i)
    storeLE32(&out[at::kDifat + 4 * i], h.difat[i]);
  return out;
}

}  // namespace velmora::cfb
