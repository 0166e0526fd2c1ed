// Numbers read from text, and the exact decimal arithmetic that integer,
// currency and DECIMAL targets need. Text follows VarParseNumFromStr with the
// flags the Var*FromStr functions pass (NUMPRS_STD) for en-US; values are kept
// as decimal digits so that "0.1" becomes exactly 1000 in a currency.
#include "oleauto/conversions.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace velmora::oleauto {
namespace {

bool isSpace(OLECHAR c) { return c == u' ' || (c >= 0x09 && c <= 0x0D) || c == 0xA0 || c == 0x3000; }
bool isDigit(OLECHAR c) { return c >= u'0' && c <= u'9'; }

int digitOf(OLECHAR c, int base) {
  int d = -1;
  if (c >= u'0' && c <= u'9') d = c - u'0';
  if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
  if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
  return d >= 0 && d < base ? d : -1;
}

void normalize(DecimalNumber& n) {
  size_t lead = 0;
  while (lead < n.digits.size() && n.digits[lead] == '0') ++lead;
  n.digits.erase(0, lead);
  while (!n.digits.empty() && n.digits.back() == '0') {
    n.digits.pop_back();
    ++n.exponent;
  }
  if (n.digits.empty()) n.exponent = 0;
}

// The decimal digits of `v`; none for zero.
std::string digitsOrEmpty(unsigned __int128 v) {
  std::string out;
  while (v) {
    out.insert(out.begin(), char('0' + int(v % 10)));
    v /= 10;
  }
  return out;
}

constexpr unsigned __int128 kMax96 = ((unsigned __int128)1 << 96) - 1;

}  // namespace

bool parseNumber(const OLECHAR* s, size_t n, DecimalNumber& out) {
  out = DecimalNumber{};
  size_t i = 0;
  while (i < n && isSpace(s[i])) ++i;
  if (i + 1 < n && s[i] == u'&') {
    const OLECHAR kind = s[i + 1];
    const int base = (kind == u'h' || kind == u'H') ? 16 : (kind == u'o' || kind == u'O') ? 8 : 0;
    if (!base) return false;
    i += 2;
    unsigned __int128 value = 0;
    size_t count = 0;
    for (int d; i < n && (d = digitOf(s[i], base)) >= 0; ++i, ++count) {
      value = value * unsigned(base) + unsigned(d);
      if (value > kMax96) return false;
    }
    while (i < n && isSpace(s[i])) ++i;
    if (!count || i != n) return false;
    out.digits = digitsOrEmpty(value);
    normalize(out);
    return true;
  }
  bool parens = false;
  if (i < n && s[i] == u'(') {
    parens = true;
    ++i;
  }
  bool currency = false;
  auto takeCurrency = [&] {
    if (!currency && i < n && s[i] == u'$') {
      currency = true;
      ++i;
    }
  };
  takeCurrency();
  bool signSeen = false;
  if (i < n && (s[i] == u'+' || s[i] == u'-')) {
    out.negative = s[i] == u'-';
    signSeen = true;
    ++i;
  }
  takeCurrency();
  size_t mantissaDigits = 0;
  int64_t fractionDigits = 0;
  while (i < n) {
    if (isDigit(s[i])) {
      out.digits.push_back(char(s[i]));
      ++mantissaDigits;
    } else if (s[i] == u',' && mantissaDigits && i + 1 < n && isDigit(s[i + 1])) {
      // grouping separator between digits
    } else {
      break;
    }
    ++i;
  }
  if (i < n && s[i] == u'.') {
    ++i;
    while (i < n && isDigit(s[i])) {
      out.digits.push_back(char(s[i++]));
      ++mantissaDigits;
      ++fractionDigits;
    }
  }
  if (!mantissaDigits) return false;
  int64_t exponent = 0;
  if (i < n && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
    ++i;
    bool negativeExponent = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) negativeExponent = s[i++] == u'-';
    if (i >= n || !isDigit(s[i])) return false;
    while (i < n && isDigit(s[i])) {
      if (exponent < 100000) exponent = exponent * 10 + (s[i] - u'0');
      ++i;
    }
    if (negativeExponent) exponent = -exponent;
  }
  while (i < n && isSpace(s[i])) ++i;
  if (!signSeen && !parens && i < n && (s[i] == u'+' || s[i] == u'-')) {
    out.negative = s[i] == u'-';
    ++i;
    while (i < n && isSpace(s[i])) ++i;
  }
  if (parens) {
    if (signSeen || i >= n || s[i] != u')') return false;
    out.negative = true;
    ++i;
    while (i < n && isSpace(s[i])) ++i;
  }
  if (i != n) return false;
  out.exponent = exponent - fractionDigits;
  normalize(out);
  return true;
}

bool scaledInteger(const DecimalNumber& number, int scale, unsigned __int128 limit, bool& negative,
                   unsigned __int128& magnitude) {
  negative = number.negative;
  magnitude = 0;
  if (number.digits.empty()) return true;
  const int64_t shift = number.exponent + scale;
  const int64_t length = int64_t(number.digits.size());
  const int64_t wholeLength = length + shift;
  if (wholeLength > 38) return false;
  for (int64_t k = 0; k < wholeLength; ++k) {
    const int d = k < length ? number.digits[size_t(k)] - '0' : 0;
    magnitude = magnitude * 10 + unsigned(d);
  }
  if (shift < 0 && wholeLength >= 0) {
    // Round the dropped fraction half to even.
    const size_t first = size_t(wholeLength);
    const char next = number.digits[first];
    bool up = next > '5';
    if (next == '5') {
      const bool more = number.digits.find_first_not_of('0', first + 1) != std::string::npos;
      up = more || (magnitude & 1);
    }
    if (up) ++magnitude;
  } else if (wholeLength < 0) {
    magnitude = 0;  // well below one half
  }
  return magnitude <= limit;
}

double toDouble(const DecimalNumber& number) {
  if (number.digits.empty()) return 0.0;
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
  const std::string text = (number.negative ? "-" : "") + number.digits + "e" +
                           std::to_string(number.exponent);
  return strtod_l(text.c_str(), nullptr, cLocale);
}

DecimalNumber fromDouble(double value, int significantDigits) {
  DecimalNumber out;
  if (value == 0.0 || !std::isfinite(value)) return out;
  out.negative = value < 0;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*e", significantDigits - 1, std::fabs(value));
  const char* p = buf;
  for (; *p && *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9') out.digits.push_back(*p);
  }
  out.exponent = std::atoi(p + 1) - (significantDigits - 1);
  normalize(out);
  return out;
}

DecimalNumber fromDecimal(const DECIMAL& value) {
  DecimalNumber out;
  const unsigned __int128 mantissa = (unsigned __int128)(value.Hi32) << 64 | value.Lo64;
  out.digits = digitsOrEmpty(mantissa);
  out.exponent = -int64_t(value.scale);
  out.negative = (value.sign & 0x80) != 0;
  normalize(out);
  return out;
}

bool toDecimal(const DecimalNumber& number, DECIMAL& out) {
  out = DECIMAL{};
  if (number.digits.empty()) return true;
  int scale = int(std::min<int64_t>(28, std::max<int64_t>(0, -number.exponent)));
  bool negative = false;
  unsigned __int128 magnitude = 0;
  while (!scaledInteger(number, scale, kMax96, negative, magnitude)) {
    if (scale == 0) return false;
    --scale;
  }
  // Trailing zeros the rounding left behind go too.
  while (scale > 0 && magnitude % 10 == 0) {
    magnitude /= 10;
    --scale;
  }
  out.scale = BYTE(scale);
  out.sign = negative && magnitude ? 0x80 : 0;
  out.Hi32 = ULONG(magnitude >> 64);
  out.Lo64 = ULONGLONG(magnitude);
  return true;
}

}  // namespace velmora::oleauto
