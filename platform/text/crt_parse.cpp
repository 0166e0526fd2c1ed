// The C runtime's wide parsers _wtoi, _wtol and _wtof, with the Windows
// widths (int and long are both 32 bits) and the Universal CRT's grammar.
// glibc's wcstol and wcstod are not used: they read 32-bit wchar_t, follow
// the process locale and accept other digit and space sets.
#include "text/text.h"

#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <new>
#include <string>

namespace velmora::text {
namespace {

// Zeros of the decimal digit runs the Universal CRT's _wchartodigit accepts:
// ASCII, Arabic-Indic, extended Arabic-Indic, Devanagari, Bengali, Gurmukhi,
// Gujarati, Oriya, Telugu, Kannada, Malayalam, Thai, Lao, Tibetan, Myanmar,
// Khmer, Mongolian and fullwidth. (Tamil is absent: its run had no zero when
// the table was made.)
constexpr char16_t kDigitZeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66,
                                    0x0AE6, 0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50,
                                    0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};

int digitValue(char16_t c) {
  for (char16_t zero : kDigitZeros) {
    if (c >= zero && c < zero + 10) return c - zero;
  }
  return -1;
}

int32_t parseLong(const char16_t* s) {
  if (!s) {
    errno = EINVAL;  // the invalid-parameter handler's result, had it returned
    return 0;
  }
  while (isCrtSpace(*s)) ++s;
  bool negative = false;
  if (*s == u'+' || *s == u'-') {
    negative = *s == u'-';
    ++s;
  }
  // Accumulate the magnitude in 64 bits and saturate: the value is clamped to
  // the nearest 32-bit limit and errno says ERANGE, as the CRT documents.
  int64_t magnitude = 0;
  bool overflow = false;
  for (int d; (d = digitValue(*s)) >= 0; ++s) {
    if (!overflow) {
      magnitude = magnitude * 10 + d;
      if (magnitude > int64_t(INT32_MAX) + 1) overflow = true;
    }
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (overflow || value > INT32_MAX || value < INT32_MIN) {
    errno = ERANGE;
    return negative ? INT32_MIN : INT32_MAX;
  }
  return int32_t(value);
}

bool matchWord(const char16_t* s, const char* word) {
  for (; *word; ++s, ++word) {
    char16_t c = *s;
    if (c >= 'A' && c <= 'Z') c = char16_t(c + 32);
    if (c != char16_t(*word)) return false;
  }
  return true;
}

bool isAsciiDigit(char16_t c) { return c >= '0' && c <= '9'; }

bool isHexDigit(char16_t c) {
  return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The longest prefix of `s` that is a number for the Universal CRT's strtod,
// as ASCII with "." as the point; empty when there is none.
std::string numberPrefix(const char16_t* s) {
  std::string out;
  if (*s == u'+' || *s == u'-') out.push_back(char(*s++));
  if (matchWord(s, "infinity")) return out + "infinity";
  if (matchWord(s, "inf")) return out + "inf";
  if (matchWord(s, "nan")) return out + "nan";
  const bool hex = s[0] == u'0' && (s[1] == u'x' || s[1] == u'X') &&
                   (isHexDigit(s[2]) || (s[2] == u'.' && isHexDigit(s[3])));
  auto isMantissaDigit = hex ? isHexDigit : isAsciiDigit;
  if (hex) {
    out += "0x";
    s += 2;
  }
  size_t digits = 0;
  while (isMantissaDigit(*s)) {
    out.push_back(char(*s++));
    ++digits;
  }
  // The runtime locale's LC_NUMERIC point: the program never leaves the "C"
  // locale, so it is ".", and "1,5" reads as 1.
  if (*s == u'.') {
    std::string fraction = ".";
    const char16_t* t = s + 1;
    while (isMantissaDigit(*t)) {
      fraction.push_back(char(*t++));
      ++digits;
    }
    if (digits == 0) return {};
    out += fraction;
    s = t;
  }
  if (digits == 0) return {};
  const char16_t marker = hex ? u'p' : u'e';
  if (*s == marker || *s == char16_t(marker - 32)) {
    const char16_t* t = s + 1;
    std::string exponent(1, char(marker));
    if (*t == u'+' || *t == u'-') exponent.push_back(char(*t++));
    if (isAsciiDigit(*t)) {
      while (isAsciiDigit(*t)) exponent.push_back(char(*t++));
      out += exponent;  // "1e" and "1e+" stop before the marker
    }
  }
  return out;
}

double parseDouble(const char16_t* s) {
  if (!s) {
    errno = EINVAL;
    return 0.0;
  }
  while (isCrtSpace(*s)) ++s;
  const std::string number = numberPrefix(s);
  if (number.empty() || number == "+" || number == "-") return 0.0;
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
  // strtod_l gives the correctly rounded value, +-HUGE_VAL with ERANGE on
  // overflow and ERANGE on underflow, as the Universal CRT does.
  return strtod_l(number.c_str(), nullptr, cLocale);
}

}  // namespace

// The runtime skips what iswspace calls space: tab, LF, VT, FF, CR and space;
// of the rest of Unicode's spaces, Wine's runtime also skips U+00A0 and
// U+3000, and so do we (no Windows observation either way).
bool isCrtSpace(char16_t unit) {
  return unit == u' ' || (unit >= 0x09 && unit <= 0x0D) || unit == 0x00A0 || unit == 0x3000;
}

}  // namespace velmora::text

EXTERN_C int _wtoi(const WCHAR* str) { return velmora::text::parseLong(str); }

EXTERN_C LONG _wtol(const WCHAR* str) { return velmora::text::parseLong(str); }

// The CRT's parsers cannot fail on memory; ours copies the number's text,
// so running out reads as no number, with errno saying why.
EXTERN_C double _wtof(const WCHAR* str) {
  try {
    return velmora::text::parseDouble(str);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return 0.0;
  }
}
