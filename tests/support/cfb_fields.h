// The fields of a compound file's header and of a directory entry, where
// the engine lays them out and how wide they are, for tests that read or
// damage a file image in place. A field written past the image, or a value
// too wide for its field, is the test's own fault and throws.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "cfb/directory.h"
#include "cfb/header.h"

namespace velmora::test {

// A field of the header: its offset in the file and its width in bytes.
struct HeaderField {
  uint32_t at;
  uint32_t width;
};

// A field of a directory entry: its offset in the entry and its width.
struct EntryField {
  uint32_t at;
  uint32_t width;
};

namespace header {
inline constexpr HeaderField kMinorVersion{cfb::header_field::kMinorVersion, 2};
inline constexpr HeaderField kMajorVersion{cfb::header_field::kMajorVersion, 2};
inline constexpr HeaderField kByteOrder{cfb::header_field::kByteOrder, 2};
inline constexpr HeaderField kSectorShift{cfb::header_field::kSectorShift, 2};
inline constexpr HeaderField kMiniSectorShift{cfb::header_field::kMiniSectorShift, 2};
inline constexpr HeaderField kNumDirSectors{cfb::header_field::kNumDirSectors, 4};
inline constexpr HeaderField kNumFatSectors{cfb::header_field::kNumFatSectors, 4};
inline constexpr HeaderField kFirstDirSector{cfb::header_field::kFirstDirSector, 4};
inline constexpr HeaderField kMiniStreamCutoff{cfb::header_field::kMiniStreamCutoff, 4};
inline constexpr HeaderField kFirstMiniFatSector{cfb::header_field::kFirstMiniFatSector, 4};
inline constexpr HeaderField kNumMiniFatSectors{cfb::header_field::kNumMiniFatSectors, 4};
inline constexpr HeaderField kFirstDifatSector{cfb::header_field::kFirstDifatSector, 4};
inline constexpr HeaderField kNumDifatSectors{cfb::header_field::kNumDifatSectors, 4};
// Slot `i` of the DIFAT the header holds: the id of the i-th FAT sector.
constexpr HeaderField difat(uint32_t i) { return {cfb::header_field::kDifat + 4 * i, 4}; }
}  // namespace header

namespace entry {
inline constexpr EntryField kNameLength{cfb::entry_field::kNameLength, 2};
inline constexpr EntryField kType{cfb::entry_field::kType, 1};
inline constexpr EntryField kColor{cfb::entry_field::kColor, 1};
inline constexpr EntryField kLeft{cfb::entry_field::kLeft, 4};
inline constexpr EntryField kRight{cfb::entry_field::kRight, 4};
inline constexpr EntryField kChild{cfb::entry_field::kChild, 4};
// The first byte of the class id.
inline constexpr EntryField kClsidFirstByte{cfb::entry_field::kClsid, 1};
inline constexpr EntryField kStateBits{cfb::entry_field::kStateBits, 4};
inline constexpr EntryField kStart{cfb::entry_field::kStart, 4};
// The size as version 3 reads it, and the high word it must ignore.
inline constexpr EntryField kSizeLow{cfb::entry_field::kSize, 4};
inline constexpr EntryField kSizeHigh{cfb::entry_field::kSize + 4, 4};
// Code unit `i` of the name.
constexpr EntryField nameUnit(uint32_t i) { return {cfb::entry_field::kName + 2 * i, 2}; }
}  // namespace entry

namespace detail {
inline void checkRoom(const std::vector<uint8_t>& image, size_t at, uint32_t width) {
  if (at > image.size() || image.size() - at < width)
    throw std::out_of_range("field at " + std::to_string(at) + " is past the image of " +
                            std::to_string(image.size()) + " bytes");
}

inline uint64_t load(const std::vector<uint8_t>& image, size_t at, uint32_t width) {
  checkRoom(image, at, width);
  uint64_t v = 0;
  for (uint32_t i = width; i-- > 0;) v = (v << 8) | image[at + i];
  return v;
}

inline void store(std::vector<uint8_t>& image, size_t at, uint32_t width, uint64_t value) {
  checkRoom(image, at, width);
  if (width < 8 && value >> (8 * width))
    throw std::invalid_argument("value " + std::to_string(value) + " does not fit a field of " +
                                std::to_string(width) + " bytes");
  for (uint32_t i = 0; i < width; ++i) image[at + i] = uint8_t(value >> (8 * i));
}
}  // namespace detail

inline uint64_t fieldValue(const std::vector<uint8_t>& image, HeaderField f) {
  return detail::load(image, f.at, f.width);
}

// `entryAt` is the file offset of the entry.
inline uint64_t fieldValue(const std::vector<uint8_t>& image, size_t entryAt, EntryField f) {
  return detail::load(image, entryAt + f.at, f.width);
}

// Overwrites a header field with `value`, little-endian.
inline void corruptField(std::vector<uint8_t>& image, HeaderField f, uint64_t value) {
  detail::store(image, f.at, f.width, value);
}

// Overwrites a field of the entry at file offset `entryAt`.
inline void corruptField(std::vector<uint8_t>& image, size_t entryAt, EntryField f,
                         uint64_t value) {
  detail::store(image, entryAt + f.at, f.width, value);
}

}  // namespace velmora::test
