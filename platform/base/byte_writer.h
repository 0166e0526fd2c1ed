// Appends little-endian fields to a byte buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/little_endian.h"

namespace velmora::base {

class ByteWriter {
 public:
  explicit ByteWriter(std::vector<uint8_t>& out) : m_out(out) {}

  size_t position() const { return m_out.size(); }
  void u8(uint8_t v) { m_out.push_back(v); }
  void u16(uint16_t v) { put(v, 2); }
  void u32(uint32_t v) { put(v, 4); }
  void u64(uint64_t v) { put(v, 8); }
  void bytes(std::span<const uint8_t> b) { m_out.insert(m_out.end(), b.begin(), b.end()); }
  void zeros(size_t n) { m_out.insert(m_out.end(), n, 0); }
  // Pads with zero bytes to a multiple of `unit`.
  void align(size_t unit) {
    while (m_out.size() % unit) m_out.push_back(0);
  }
  // Overwrites a 32-bit field written earlier (a size or offset known later).
  void patch32(size_t at, uint32_t v) { storeLE32(&m_out[at], v); }

 private:
  void put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) m_out.push_back(uint8_t(v >> (8 * i)));
  }
  std::vector<uint8_t>& m_out;
};

}  // namespace velmora::base
