// A bounded reader over bytes that came from a file. Every read checks the
// bounds; a read past the end sets the failed state and yields zeroes, so a
// parser can read a whole structure and test ok() once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/little_endian.h"

namespace velmora::base {

class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

  bool ok() const { return m_ok; }
  size_t size() const { return m_bytes.size(); }
  size_t position() const { return m_pos; }
  size_t remaining() const { return m_pos <= m_bytes.size() ? m_bytes.size() - m_pos : 0; }
  bool atEnd() const { return remaining() == 0; }

  // Moves to `pos`; a position past the end fails the reader.
  bool seek(size_t pos) {
    if (pos > m_bytes.size()) return fail();
    m_pos = pos;
    return true;
  }
  bool skip(size_t n) { return n <= remaining() ? (m_pos += n, true) : fail(); }

  uint8_t u8() { return take(1) ? m_bytes[m_pos - 1] : 0; }
  uint16_t u16() { return take(2) ? loadLE16(&m_bytes[m_pos - 2]) : 0; }
  uint32_t u32() { return take(4) ? loadLE32(&m_bytes[m_pos - 4]) : 0; }
  uint64_t u64() { return take(8) ? loadLE64(&m_bytes[m_pos - 8]) : 0; }
  int16_t i16() { return int16_t(u16()); }
  int32_t i32() { return int32_t(u32()); }

  // The next `n` bytes, or an empty span (and the failed state) when fewer
  // remain.
  std::span<const uint8_t> bytes(size_t n) {
    if (!take(n)) return {};
    return m_bytes.subspan(m_pos - n, n);
  }

  // A reader over `n` bytes from the current position, which moves past them.
  ByteReader sub(size_t n) {
    auto b = bytes(n);
    ByteReader r(b);
    if (!m_ok) r.m_ok = false;
    return r;
  }

  bool fail() {
    m_ok = false;
    return false;
  }

 private:
  bool take(size_t n) {
    if (!m_ok || n > remaining()) return fail();
    m_pos += n;
    return true;
  }

  std::span<const uint8_t> m_bytes;
  size_t m_pos = 0;
  bool m_ok = true;
};

}  // namespace velmora::base
