// Little-endian loads and stores: every multi-byte field of the compound
// file and property-set formats is little-endian, whatever the host order.
#pragma once
#include <cstdint>
#include <cstring>

namespace velmora::base {

inline uint16_t loadLE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t loadLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t loadLE64(const uint8_t* p) {
  return uint64_t(loadLE32(p)) | (uint64_t(loadLE32(p + 4)) << 32);
}
inline void storeLE16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void storeLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void storeLE64(uint8_t* p, uint64_t v) {
  storeLE32(p, uint32_t(v));
  storeLE32(p + 4, uint32_t(v >> 32));
}

}  // namespace velmora::base
