// The compound file's vocabulary: sector and stream ids, the special FAT
// values and the fixed sizes of [MS-CFB] 2.1-2.2, and the one helper through
// which every room reports a damaged file.
#pragma once
#include <winerror.h>

#include <cstdint>

#include "base/result.h"

namespace velmora::cfb {

using base::Error;
using base::Result;

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

// Reports damage found in the file: STG_E_DOCFILECORRUPT with the source
// line, so a fuzz report names the check that fired.
#define CFB_CORRUPT(fmt, ...)                                                          \
  ::velmora::base::makeError(STG_E_DOCFILECORRUPT, "%s:%d: " fmt, __FILE_NAME__, __LINE__ \
                             __VA_OPT__(, ) __VA_ARGS__)

// Propagates the error of a Result-returning expression.
#define CFB_TRY(expr)                         \
  do {                                        \
    auto cfbTryResult_ = (expr);              \
    if (!cfbTryResult_) return cfbTryResult_.error(); \
  } while (0)

// Binds the value of a Result-returning expression or propagates its error.
#define CFB_ASSIGN(var, expr)                 \
  auto var##Result_ = (expr);                 \
  if (!var##Result_) return var##Result_.error(); \
  auto var = std::move(var##Result_.value())
