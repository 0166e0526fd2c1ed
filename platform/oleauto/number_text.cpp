// Numbers, currency, decimals to text, as VarBstrFromI4/UI8/R4/R8/Cy/Dec write
// them for en-US ([W] Wine oleaut32 tests/vartype.c test_VarBstrFromR4,
// test_VarBstrFromR8, test_VarBstrFromCy, test_VarBstrFromDec).
#include "oleauto/conversions.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace velmora::oleauto {
namespace {

std::u16string ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string decimalDigits(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string out;
  while (v) {
    out.insert(out.begin(), char('0' + int(v % 10)));
    v /= 10;
  }
  return out;
}

// `digits` (no sign) with a decimal point `scale` places from the right,
// fractional trailing zeros and a bare point removed.
std::string placePoint(std::string digits, int scale) {
  if (scale <= 0) return digits;
  if (int(digits.size()) <= scale) digits.insert(0, size_t(scale + 1) - digits.size(), '0');
  std::string whole = digits.substr(0, digits.size() - size_t(scale));
  std::string fraction = digits.substr(digits.size() - size_t(scale));
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  return fraction.empty() ? whole : whole + "." + fraction;
}

// The first n significant digits of `magnitude` (> 0), trailing zeros
// dropped, and the decimal exponent of the first. 17 significant digits,
// correctly rounded by the C library, are rounded again to n digits with ties
// away from zero: glibc alone would round exact ties to even, and Windows
// gives 654322.25f as "654322.3".
std::string significantDigits(double magnitude, int n, int& exponent) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.16e", magnitude);
  std::string digits;
  const char* p = buf;
  for (; *p && *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9') digits.push_back(*p);
  }
  exponent = std::atoi(p + 1);
  if (digits[size_t(n)] >= '5') {
    int i = n - 1;
    while (i >= 0 && digits[size_t(i)] == '9') digits[size_t(i--)] = '0';
    if (i < 0) {
      digits.insert(digits.begin(), '1');
      ++exponent;
    } else {
      ++digits[size_t(i)];
    }
  }
  digits.resize(size_t(n));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  return digits;
}

// "123.45", "0.00123": the digits around a decimal point.
std::string positionalText(const std::string& digits, int exponent) {
  if (exponent < 0) return "0." + std::string(size_t(-exponent - 1), '0') + digits;
  std::string whole = digits.substr(0, std::min(size_t(exponent + 1), digits.size()));
  whole.append(size_t(exponent + 1) - whole.size(), '0');
  const std::string fraction =
      digits.size() > size_t(exponent + 1) ? digits.substr(size_t(exponent + 1)) : "";
  return fraction.empty() ? whole : whole + "." + fraction;
}

// "1.2345E+20", "5E-07".
std::string scientificText(const std::string& digits, int exponent) {
  std::string text = digits.substr(0, 1);
  if (digits.size() > 1) text += "." + digits.substr(1);
  char exp[16];
  std::snprintf(exp, sizeof exp, "E%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  return text + exp;
}

}  // namespace

std::u16string integerText(int64_t value) {
  const bool negative = value < 0;
  const uint64_t magnitude = negative ? 0 - uint64_t(value) : uint64_t(value);
  return (negative ? u"-" : u"") + ascii(decimalDigits(magnitude));
}

std::u16string unsignedText(uint64_t value) { return ascii(decimalDigits(value)); }

std::u16string realText(double value, int n) {
  // No Windows observation of these; Wine writes them so.
  if (std::isnan(value)) return u"NAN";
  if (std::isinf(value)) return value < 0 ? u"-INF" : u"INF";
  if (value == 0.0) return u"0";  // -0.0 too
  const bool negative = value < 0;
  int exponent = 0;
  const std::string digits = significantDigits(std::fabs(value), n, exponent);
  const int kept = int(digits.size());
  bool positional = exponent >= -4 && exponent < n;
  // Small numbers whose digits fit in n places after the point are written
  // out in full after all: 5.6789E-11 is "0.000000000056789" for VT_R8.
  if (!positional && exponent < 0 && -exponent + std::max(kept - 2, 0) < n) positional = true;
  const std::string text =
      positional ? positionalText(digits, exponent) : scientificText(digits, exponent);
  return (negative ? u"-" : u"") + ascii(text);
}

std::u16string currencyText(CY value) {
  const bool negative = value.int64 < 0;
  const uint64_t magnitude = negative ? 0 - uint64_t(value.int64) : uint64_t(value.int64);
  return (negative ? u"-" : u"") + ascii(placePoint(decimalDigits(magnitude), 4));
}

bool decimalText(const DECIMAL& value, std::u16string& out) {
  if (value.scale > 28 || (value.sign & 0x7F)) return false;
  const unsigned __int128 mantissa = (unsigned __int128)(value.Hi32) << 64 | value.Lo64;
  const bool negative = (value.sign & 0x80) && mantissa != 0;
  out = (negative ? u"-" : u"") + ascii(placePoint(decimalDigits(mantissa), value.scale));
  return true;
}

}  // namespace velmora::oleauto
