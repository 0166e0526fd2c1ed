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

bool isSpace(OLECHAR c) {
  return c == u' ' || (c >= 0x09 && c <= 0x0D) || c == 0xA0 || c == 0x3000;
}
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

// The text being read and how far.
struct Cursor {
  const OLECHAR* s;
  size_t n;
  size_t i = 0;

  bool more() const { return i < n; }
  bool at(OLECHAR c) const { return i < n && s[i] == c; }
  bool atSign() const { return at(u'+') || at(u'-'); }
  bool atDigit() const { return i < n && isDigit(s[i]); }
  void skipSpaces() {
    while (i < n && isSpace(s[i])) ++i;
  }
};

// "&h1F" or "&o17" to the end of the text: a whole number of at most 96 bits.
bool readRadixNumber(Cursor& c, DecimalNumber& out) {
  const OLECHAR kind = c.s[c.i + 1];
  const int base = (kind == u'h' || kind == u'H') ? 16 : (kind == u'o' || kind == u'O') ? 8 : 0;
  if (!base) return false;
  c.i += 2;
  unsigned __int128 value = 0;
  size_t count = 0;
  for (int d; c.more() && (d = digitOf(c.s[c.i], base)) >= 0; ++c.i, ++count) {
    value = value * unsigned(base) + unsigned(d);
    if (value > kMax96) return false;
  }
  c.skipSpaces();
  if (!count || c.more()) return false;
  out.digits = digitsOrEmpty(value);
  normalize(out);
  return true;
}

// The digits, with grouping commas between them and a decimal point; how
// many stand after the point, or -1 when there are no digits.
int64_t readMantissa(Cursor& c, DecimalNumber& out) {
  size_t digits = 0;
  for (; c.more(); ++c.i) {
    if (c.atDigit()) {
      out.digits.push_back(char(c.s[c.i]));
      ++digits;
    } else if (!(c.at(u',') && digits && c.i + 1 < c.n && isDigit(c.s[c.i + 1]))) {
      break;  // a comma counts only between digits, as grouping
    }
  }
  int64_t fraction = 0;
  if (c.at(u'.')) {
    for (++c.i; c.atDigit(); ++c.i, ++fraction, ++digits) out.digits.push_back(char(c.s[c.i]));
  }
  return digits ? fraction : -1;
}

// "e", "E", "d" or "D", a sign and digits; 0 without them. False for a
// marker without digits.
bool readExponent(Cursor& c, int64_t& exponent) {
  exponent = 0;
  if (!(c.at(u'e') || c.at(u'E') || c.at(u'd') || c.at(u'D'))) return true;
  ++c.i;
  bool negative = false;
  if (c.atSign()) negative = c.s[c.i++] == u'-';
  if (!c.atDigit()) return false;
  for (; c.atDigit(); ++c.i) {
    if (exponent < 100000) exponent = exponent * 10 + (c.s[c.i] - u'0');
  }
  if (negative) exponent = -exponent;
  return true;
}

}  // namespace

bool parseNumber(const OLECHAR* s, size_t n, DecimalNumber& out) {
  out = DecimalNumber{};
  Cursor c{s, n};
  c.skipSpaces();
  if (c.i + 1 < n && c.at(u'&')) return readRadixNumber(c, out);
  // Leading: "(" for a negative amount, "$", a sign, "$" again.
  const bool parens = c.at(u'(');
  if (parens) ++c.i;
  bool currency = false;
  auto takeCurrency = [&] {
    if (!currency && c.at(u'$')) {
      currency = true;
      ++c.i;
    }
  };
  takeCurrency();
  const bool signSeen = c.atSign();
  if (signSeen) out.negative = c.s[c.i++] == u'-';
  takeCurrency();

  const int64_t fractionDigits = readMantissa(c, out);
  int64_t exponent = 0;
  if (fractionDigits < 0 || !readExponent(c, exponent)) return false;

  // Trailing: a sign when none led, or the ")" that closes a "(".
  c.skipSpaces();
  if (!signSeen && !parens && c.atSign()) {
    out.negative = c.s[c.i++] == u'-';
    c.skipSpaces();
  }
  if (parens) {
    if (signSeen || !c.at(u')')) return false;
    out.negative = true;
    ++c.i;
    c.skipSpaces();
  }
  if (c.more()) return false;
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
  const std::string text =
      (number.negative ? "-" : "") + number.digits + "e" + std::to_string(number.exponent);
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
