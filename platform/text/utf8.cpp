// UTF-8 <-> UTF-16 as Windows converts them. Well-formed sequences follow
// Unicode's table of well-formed byte sequences. Ill-formed input is cut into
// units the way Windows Vista and later cut it (each unit becomes one U+FFFD),
// which differs from Unicode's "maximal subpart" advice in one place: a lead
// byte followed by a continuation byte outside its allowed second-byte range
// (E0 80, ED A0, F0 80, F4 90) is one unit of two bytes, not two units.
#include "text/text.h"

namespace velmora::text {
namespace {

bool isContinuation(uint8_t b) { return b >= 0x80 && b <= 0xBF; }

// Sequence length for a lead byte, and the range its second byte must lie in;
// 0 for a byte that can never start a sequence (80-C1, F5-FF).
struct Lead {
  int length;
  uint8_t secondLow;
  uint8_t secondHigh;
};

Lead leadOf(uint8_t b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};  // no encoded surrogates
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
  return {0, 0, 0};
}

class Utf16Sink {
 public:
  Utf16Sink(char16_t* out, size_t capacity, Utf8Decoded& result)
      : m_out(out), m_capacity(capacity), m_result(result) {}

  void put(char32_t cp) {
    if (cp < 0x10000) {
      if (m_result.units + 1 <= m_capacity && !m_result.overflow) {
        m_out[m_result.units] = char16_t(cp);
      } else {
        m_result.overflow = true;
      }
      m_result.units += 1;
      return;
    }
    if (m_result.units + 2 <= m_capacity && !m_result.overflow) {
      cp -= 0x10000;
      m_out[m_result.units] = char16_t(0xD800 + (cp >> 10));
      m_out[m_result.units + 1] = char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      m_result.overflow = true;
    }
    m_result.units += 2;
  }

  void putInvalid() {
    m_result.invalid = true;
    put(kReplacementCharacter);
  }

 private:
  char16_t* m_out;
  size_t m_capacity;
  Utf8Decoded& m_result;
};

}  // namespace

Utf8Decoded decodeUtf8(const uint8_t* in, size_t length, char16_t* out, size_t capacity) {
  Utf8Decoded result;
  Utf16Sink sink(out, out ? capacity : 0, result);
  size_t i = 0;
  while (i < length) {
    const uint8_t b = in[i];
    if (b < 0x80) {
      sink.put(b);
      ++i;
      continue;
    }
    const Lead lead = leadOf(b);
    if (lead.length == 0) {
      sink.putInvalid();
      ++i;
      continue;
    }
    if (i + 1 >= length || !isContinuation(in[i + 1])) {
      sink.putInvalid();  // the lead alone is the unit
      ++i;
      continue;
    }
    if (in[i + 1] < lead.secondLow || in[i + 1] > lead.secondHigh) {
      sink.putInvalid();  // Windows takes lead and second byte as one unit
      i += 2;
      continue;
    }
    char32_t cp = b & (0x7F >> lead.length);
    cp = (cp << 6) | (in[i + 1] & 0x3F);
    size_t used = 2;
    while (used < size_t(lead.length) && i + used < length && isContinuation(in[i + used])) {
      cp = (cp << 6) | (in[i + used] & 0x3F);
      ++used;
    }
    if (used < size_t(lead.length)) {
      sink.putInvalid();  // a correct but unfinished prefix is one unit
    } else {
      sink.put(cp);
    }
    i += used;
  }
  return result;
}

Utf8Encoded encodeUtf8(const char16_t* in, size_t length, uint8_t* out, size_t capacity) {
  Utf8Encoded result;
  if (!out) capacity = 0;
  auto emit = [&](const uint8_t* bytes, size_t n) {
    if (!result.overflow && result.bytes + n <= capacity) {
      for (size_t k = 0; k < n; ++k) out[result.bytes + k] = bytes[k];
    } else {
      result.overflow = true;
    }
    result.bytes += n;
  };
  for (size_t i = 0; i < length; ++i) {
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      result.invalid = true;
      cp = kReplacementCharacter;
    }
    uint8_t bytes[4];
    if (cp < 0x80) {
      bytes[0] = uint8_t(cp);
      emit(bytes, 1);
    } else if (cp < 0x800) {
      bytes[0] = uint8_t(0xC0 | (cp >> 6));
      bytes[1] = uint8_t(0x80 | (cp & 0x3F));
      emit(bytes, 2);
    } else if (cp < 0x10000) {
      bytes[0] = uint8_t(0xE0 | (cp >> 12));
      bytes[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
      bytes[2] = uint8_t(0x80 | (cp & 0x3F));
      emit(bytes, 3);
    } else {
      bytes[0] = uint8_t(0xF0 | (cp >> 18));
      bytes[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
      bytes[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
      bytes[3] = uint8_t(0x80 | (cp & 0x3F));
      emit(bytes, 4);
    }
  }
  return result;
}

std::u16string utf16FromUtf8(const std::string& utf8) {
  const auto* in = reinterpret_cast<const uint8_t*>(utf8.data());
  std::u16string out(decodeUtf8(in, utf8.size(), nullptr, 0).units, u'\0');
  decodeUtf8(in, utf8.size(), out.data(), out.size());
  return out;
}

std::string utf8FromUtf16(const std::u16string& utf16) {
  std::string out(encodeUtf8(utf16.data(), utf16.size(), nullptr, 0).bytes, '\0');
  encodeUtf8(utf16.data(), utf16.size(), reinterpret_cast<uint8_t*>(out.data()), out.size());
  return out;
}

size_t lengthOf(const char16_t* text) {
  if (!text) return 0;
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

}  // namespace velmora::text
