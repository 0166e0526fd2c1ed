// The text room: code page 1252, the table code pages and UTF-8, UTF-16 helpers, the collation
// behind lstrcmpiW/lstrcmpW, and the C runtime's wide parsers. The layer's
// locale is fixed: en-US, ANSI code page 1252 (CP_ACP and CP_THREAD_ACP),
// OEM code page 437, Mac code page 10000. Everything here works on UTF-16
// code units (char16_t), never on Linux's 32-bit wchar_t, and never on
// glibc's locale tables.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::text {

constexpr UINT kAnsiCodePage = 1252;
constexpr UINT kOemCodePage = 437;
constexpr UINT kMacCodePage = 10000;
constexpr char16_t kReplacementCharacter = 0xFFFD;

// ---- Code page 1252 ----

// The UTF-16 unit a byte of 1252 decodes to. Every byte decodes: the five bytes
// 1252 leaves undefined (81, 8D, 8F, 90, 9D) give the C1 controls of the same
// value, as Windows' table does.
char16_t decode1252(uint8_t byte);

enum class Fit1252 {
  RoundTrip,  // the byte decodes back to the same unit
  BestFit,    // a look-alike byte (bestfit1252.txt WCTABLE)
  None,       // no mapping; the default character applies
};

struct Encoded1252 {
  uint8_t byte;  // meaningful unless kind is None
  Fit1252 kind;
};

// The byte 1252's table gives for `unit`, and how it was found.
Encoded1252 encode1252(char16_t unit);

// The precomposed character of 1252's repertoire that `base` followed by the
// combining mark `mark` composes to, or 0 (WC_COMPOSITECHECK).
char16_t compose1252(char16_t base, char16_t mark);

// ---- Table code pages ----
// The other single- and double-byte pages (874, 1250-1258 less 1252, the OEM
// pages 437, 850, 852 and 866, the Mac pages 10000, 10006, 10007, 10029,
// 10079 and 10081, the double-byte pages 932, 936, 949 and 950 and the Mac
// East Asian pages 10001, 10002, 10003 and 10008), decoded from the tables
// of make_code_page_tables.py.

using CodePageFit = Fit1252;

struct TableCodePage;

// The page's table, or null when the platform does not know the page.
const TableCodePage* tableCodePage(UINT codePage);

bool isDoubleByte(const TableCodePage& page);
bool isLeadByte(const TableCodePage& page, uint8_t byte);

// What one code (a byte, or lead << 8 | trail) decodes to; 0xFFFF for none.
char16_t decodeTableCode(const TableCodePage& page, uint16_t code);

struct TableEncoded {
  uint16_t code;  // meaningful unless kind is None
  CodePageFit kind;
};

TableEncoded encodeTableUnit(const TableCodePage& page, char16_t unit);

struct TableDecoded {
  size_t units = 0;
  bool invalid = false;  // a byte or pair the page does not define, or a lone lead byte
  bool overflow = false;
};

// Bytes to UTF-16; undecodable input gives the page's Unicode default
// character. With `composite`, precomposed characters are split (MB_COMPOSITE).
TableDecoded decodeTable(const TableCodePage& page, const uint8_t* in, size_t length,
                         bool composite, char16_t* out, size_t capacity);

struct TableNarrowed {
  size_t bytes = 0;
  bool usedDefault = false;
  bool overflow = false;  // never half of a double-byte character is written
};

// UTF-16 to bytes under the WideCharToMultiByte flags; `defaultCode` is the
// default character (one byte, or two for a double-byte one).
TableNarrowed encodeTable(const TableCodePage& page, const char16_t* in, size_t length, DWORD flags,
                          uint16_t defaultCode, uint8_t* out, size_t capacity);

// ---- UTF-8 ----

struct Utf8Decoded {
  size_t units = 0;       // UTF-16 units the whole input needs
  bool invalid = false;   // some byte was not part of a well-formed sequence
  bool overflow = false;  // `out` was too small; what fitted was written
};

// Decodes UTF-8 as Windows Vista and later do: every ill-formed unit becomes
// one U+FFFD (the unit boundaries of [W] rtlstr.c utf8_to_unicode), and
// supplementary characters become surrogate pairs. Writes at most `capacity`
// units to `out` (which may be null when capacity is 0), never half a pair.
Utf8Decoded decodeUtf8(const uint8_t* in, size_t length, char16_t* out, size_t capacity);

struct Utf8Encoded {
  size_t bytes = 0;
  bool invalid = false;  // a lone surrogate was met (encoded as EF BF BD)
  bool overflow = false;
};

// Encodes UTF-16 as UTF-8; lone surrogates become U+FFFD. Never writes part of a
// character's bytes when the rest does not fit.
Utf8Encoded encodeUtf8(const char16_t* in, size_t length, uint8_t* out, size_t capacity);

// UTF-8 text to UTF-16 and back, for the platform's own use (tests, tools, the
// engine's diagnostics). Ill-formed input is replaced, never refused.
std::u16string utf16FromUtf8(const std::string& utf8);
std::string utf8FromUtf16(const std::u16string& utf16);

// ---- UTF-16 ----

// Length up to the first U+0000; null counts as empty.
size_t lengthOf(const char16_t* text);

// ---- Collation ----

// Compares two texts the way CompareStringEx does for en-US, to the extent the
// platform models it: canonically equivalent texts are equal; case is ignored
// with `ignoreCase` (Unicode simple case folding) and otherwise weighs after
// letters and accents (lower before upper); hyphen-minus and apostrophe weigh
// only after everything else (word sort); symbols sort before digits, digits
// before letters. Returns -1, 0 or 1.
int compareText(const char16_t* a, size_t aLength, const char16_t* b, size_t bLength,
                bool ignoreCase);

// compareText without its fast path for ASCII texts, so tests can hold the
// two against each other.
int compareTextGeneral(const char16_t* a, size_t aLength, const char16_t* b, size_t bLength,
                       bool ignoreCase);

// Unicode simple case folding of one code point.
char32_t foldCase(char32_t cp);

// The full canonical decomposition of `cp` (Hangul syllables included) into
// `out`; returns its length, or 0 when `cp` does not decompose or `capacity`
// is too small.
size_t decomposeCanonical(char32_t cp, char32_t* out, size_t capacity);

// A combining mark (general category M): it weighs as an accent of the
// character before it.
bool isCombiningMark(char32_t cp);

// ---- C runtime ----

// The white space that _wtoi, _wtol and _wtof skip.
bool isCrtSpace(char16_t unit);

}  // namespace velmora::text
