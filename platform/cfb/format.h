// The compound file's vocabulary: sector and stream ids, the special FAT
// values and the fixed sizes of [MS-CFB] 2.1-2.2. Damage is reported with
// base's DAMAGE, as STG_E_DOCFILECORRUPT unless the header is at fault.
#pragma once
#include <winerror.h>

#include <cstdint>

#include "base/result.h"

namespace velmora::cfb {

using base::atOffset;
using base::Error;
using base::inSector;
using base::ofEntry;
using base::Result;
using base::where;

using SectorId = uint32_t;
using StreamId = uint32_t;

inline constexpr SectorId kMaxRegSect = 0xFFFFFFFA;
inline constexpr SectorId kDifSect = 0xFFFFFFFC;
inline constexpr SectorId kFatSect = 0xFFFFFFFD;
inline constexpr SectorId kEndOfChain = 0xFFFFFFFE;
inline constexpr SectorId kFreeSect = 0xFFFFFFFF;
inline constexpr StreamId kMaxRegSid = 0xFFFFFFFA;
inline constexpr StreamId kNoStream = 0xFFFFFFFF;

inline constexpr uint32_t kHeaderSize = 512;
inline constexpr uint32_t kDirEntrySize = 128;
inline constexpr uint32_t kMiniSectorSize = 64;
inline constexpr uint64_t kMiniStreamCutoff = 4096;
inline constexpr uint32_t kHeaderDifatEntries = 109;
inline constexpr uint32_t kMaxNameChars = 31;
// A version 3 file keeps below the range-lock sector ([MS-CFB] 2.8).
inline constexpr uint64_t kV3MaxFileSize = 0x7FFFFE00;
inline constexpr uint64_t kV3MaxStreamSize = 0x80000000;
// The byte range Windows reserves for its locks; its sector never holds data.
inline constexpr uint64_t kRangeLockOffset = 0x7FFFFF00;

// File offset of sector `id` for sectors of 2^shift bytes ([MS-CFB] 2.1).
inline uint64_t sectorOffset(SectorId id, uint32_t shift) { return (uint64_t(id) + 1) << shift; }

inline bool isRegularSector(uint32_t v) { return v <= kMaxRegSect; }

}  // namespace velmora::cfb

// Older names of base's TRY and ASSIGN, kept while code in flight still uses them.
#define CFB_TRY(expr) TRY(expr)
#define CFB_ASSIGN(var, expr) ASSIGN(var, expr)
