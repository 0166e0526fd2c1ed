// The 512-byte file header ([MS-CFB] 2.2): decoding with the checks a
// reader needs, and encoding for the commit point.
#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "cfb/format.h"

namespace velmora::cfb {

// Where each header field lies: the codec's layout, named once for it, the
// checker and the tests that patch a header in place.
namespace header_field {
inline constexpr uint32_t kSignature = 0x00;
inline constexpr uint32_t kMinorVersion = 0x18;
inline constexpr uint32_t kMajorVersion = 0x1A;
inline constexpr uint32_t kByteOrder = 0x1C;
inline constexpr uint32_t kSectorShift = 0x1E;
inline constexpr uint32_t kMiniSectorShift = 0x20;
inline constexpr uint32_t kNumDirSectors = 0x28;
inline constexpr uint32_t kNumFatSectors = 0x2C;
inline constexpr uint32_t kFirstDirSector = 0x30;
inline constexpr uint32_t kTransactionSignature = 0x34;
inline constexpr uint32_t kMiniStreamCutoff = 0x38;
inline constexpr uint32_t kFirstMiniFatSector = 0x3C;
inline constexpr uint32_t kNumMiniFatSectors = 0x40;
inline constexpr uint32_t kFirstDifatSector = 0x44;
inline constexpr uint32_t kNumDifatSectors = 0x48;
inline constexpr uint32_t kDifat = 0x4C;  // kHeaderDifatEntries sector ids, 4 bytes each
}  // namespace header_field

struct Header {
  uint16_t minorVersion = 0x3E;                     // 0x18
  uint16_t majorVersion = 3;                        // 0x1A
  uint16_t sectorShift = 9;                         // 0x1E
  uint32_t numDirSectors = 0;                       // 0x28, version 4 only
  uint32_t numFatSectors = 0;                       // 0x2C
  SectorId firstDirSector = kEndOfChain;            // 0x30
  uint32_t transactionSignature = 0;                // 0x34
  SectorId firstMiniFatSector = kEndOfChain;        // 0x3C
  uint32_t numMiniFatSectors = 0;                   // 0x40
  SectorId firstDifatSector = kEndOfChain;          // 0x44
  uint32_t numDifatSectors = 0;                     // 0x48
  std::array<SectorId, kHeaderDifatEntries> difat;  // 0x4C

  Header() { difat.fill(kFreeSect); }
  uint32_t sectorSize() const { return 1u << sectorShift; }
  uint32_t entriesPerSector() const { return sectorSize() / 4; }
};

// Decodes and checks the header of a file of `fileSize` bytes. A bad
// signature (or a file shorter than 512 bytes) gives STG_E_FILEALREADYEXISTS,
// as Windows answers for a file that is not a compound file; any other header
// fault STG_E_INVALIDHEADER.
[[nodiscard]] Result<Header> decodeHeader(std::span<const uint8_t> bytes, uint64_t fileSize);

std::array<uint8_t, kHeaderSize> encodeHeader(const Header& h);

// True when `bytes` starts with the compound-file signature.
bool hasSignature(std::span<const uint8_t> bytes);

// Sectors in a file of `fileSize` bytes; a short final sector counts.
uint64_t sectorCount(uint64_t fileSize, uint32_t sectorSize);

}  // namespace velmora::cfb
