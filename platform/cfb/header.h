// The 512-byte file header ([MS-CFB] 2.2): decoding with the checks a
// reader needs, and encoding for the commit point.
#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "cfb/format.h"

namespace velmora::cfb {

struct Header {
  uint16_t minorVersion = 0x3E;          // 0x18
  uint16_t majorVersion = 3;             // 0x1A
  uint16_t sectorShift = 9;              // 0x1E
  uint32_t numDirSectors = 0;            // 0x28, version 4 only
  uint32_t numFatSectors = 0;            // 0x2C
  SectorId firstDirSector = kEndOfChain; // 0x30
  uint32_t transactionSignature = 0;     // 0x34
  SectorId firstMiniFatSector = kEndOfChain;  // 0x3C
  uint32_t numMiniFatSectors = 0;        // 0x40
  SectorId firstDifatSector = kEndOfChain;    // 0x44
  uint32_t numDifatSectors = 0;          // 0x48
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
