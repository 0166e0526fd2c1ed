// The oleauto room's value conversions behind VariantChangeTypeEx, for the
// layer's fixed en-US locale: numbers, currency, decimals, booleans and dates
// to text (the text Windows produces, digit for digit), text to numbers and to
// dates (VarDateFromStr's parse), and the exact decimal arithmetic that
// integer, currency and DECIMAL targets need.
#pragma once
#include <oleauto.h>

#include <cstdint>
#include <string>

namespace velmora::oleauto {

// ---- To text ----

std::u16string integerText(int64_t value);
std::u16string unsignedText(uint64_t value);

// VT_R8 (15 significant digits) and VT_R4 (7, the float widened) as
// VarBstrFromR8/R4 write them: "%G"-like, ties rounded away from zero, small
// numbers positional when their digits fit, no negative zero.
std::u16string realText(double value, int significantDigits);

// The exact value with at most 4 decimals, trailing zeros and a bare point
// removed ("1.5", "-0.0009", "922337203685477.5807").
std::u16string currencyText(CY value);

// The exact value, trailing fractional zeros removed ("0.0000000001"); false
// for a DECIMAL that is not valid (scale above 28, stray sign bits).
bool decimalText(const DECIMAL& value, std::u16string& out);

// VT_DATE in en-US: "M/d/yyyy", "h:mm:ss AM", or both; the date alone at
// midnight, the time alone for day 0. E_INVALIDARG outside the DATE range.
// `flags` may hold VARIANT_USE_NLS (date and time always written together).
HRESULT dateText(DATE value, USHORT flags, std::u16string& out);

// ---- From text ----

// A number as VarParseNumFromStr reads it for en-US: white space, "$", a
// leading or trailing sign or parentheses, "," grouping, "." point, an
// exponent (e, E, d, D), or "&H" / "&O" integers. Kept exactly, as decimal
// digits and a power of ten.
struct DecimalNumber {
  bool negative = false;
  std::string digits;    // no leading zeros; empty for zero
  int64_t exponent = 0;  // value = digits * 10^exponent
};

bool parseNumber(const OLECHAR* text, size_t length, DecimalNumber& out);

// VarDateFromStr for en-US: DISP_E_TYPEMISMATCH for text
// that is not a date or time.
HRESULT parseDate(const OLECHAR* text, size_t length, DATE& out);

// ---- Exact arithmetic ----

// `number` times 10^scale rounded to an integer, ties to even (banker's
// rounding, as the Var*From* functions round); false when the magnitude does
// not fit `limit`.
bool scaledInteger(const DecimalNumber& number, int scale, unsigned __int128 limit, bool& negative,
                   unsigned __int128& magnitude);

double toDouble(const DecimalNumber& number);

// The DecimalNumber of a double, to 15 significant digits (how Windows
// carries doubles into DECIMAL and currency from text-like paths).
DecimalNumber fromDouble(double value, int significantDigits);

DecimalNumber fromDecimal(const DECIMAL& value);

// A DECIMAL holding `number`, scale reduced (rounding ties to even) until the
// mantissa fits 96 bits; false when even scale 0 does not fit.
bool toDecimal(const DecimalNumber& number, DECIMAL& out);

}  // namespace velmora::oleauto
