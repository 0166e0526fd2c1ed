// The comparison behind lstrcmpiW and lstrcmpW: CompareStringEx for en-US
// with NORM_IGNORECASE or without flags, reduced to what the platform needs
// to reproduce.
//
// Each text is decomposed canonically (NFD) and split into elements: a base
// character with the combining marks that follow it. Texts are then compared
// level by level, as Windows' sort keys are:
//   1. base characters, case folded (symbols < digits < letters, then by
//      folded code point);
//   2. accents (the marks of each element);
//   3. case (lower before upper), skipped under NORM_IGNORECASE;
//   4. hyphen-minus and apostrophe, which a word sort sets aside so that
//      "co-op" sorts next to "coop" yet after it.
// So canonically equivalent texts ("A" U+0301 and U+00C1) are equal, and texts
// that differ in anything but case are not. Characters Windows gives no weight
// (soft hyphen, zero-width joiners) are not ignored here; we have no Windows
// observation of them and prefer a visible difference. The primary order is a
// coarse model of Windows' sort tables: it agrees with them on ASCII letters
// and digits and on the relative order of symbols, digits and letters, not on
// the position of every symbol.
#include "text/text.h"
#include "text/unicode_tables.h"

#include <algorithm>
#include <array>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace velmora::text {
namespace {

uint8_t rangeValue(const tables::CodeRange* ranges, size_t count, char32_t cp) {
  const auto* last = ranges + count;
  const auto* it = std::upper_bound(
      ranges, last, cp, [](char32_t c, const tables::CodeRange& r) { return c < r.first; });
  if (it == ranges) return 0;
  --it;
  return cp <= it->last ? it->value : 0;
}

uint8_t combiningClass(char32_t cp) {
  return rangeValue(tables::kCombiningClasses, tables::kCombiningClassCount, cp);
}

enum SortClass : uint8_t { kSymbol = 0, kDigit = 1, kLetter = 2, kMark = 3 };

uint8_t sortClass(char32_t cp) {
  return rangeValue(tables::kSortClasses, tables::kSortClassCount, cp);
}

// Code points of a UTF-16 text; a lone surrogate stands for itself.
std::u32string codePoints(const char16_t* s, size_t n) {
  std::u32string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(c);
  }
  return out;
}

std::u32string normalizeNfd(const std::u32string& in) {
  std::u32string out;
  out.reserve(in.size());
  for (char32_t c : in) {
    char32_t parts[8];
    const size_t n = decomposeCanonical(c, parts, 8);
    if (n == 0) {
      out.push_back(c);
    } else {
      out.append(parts, n);
    }
  }
  // Canonical ordering: marks of a run with non-zero classes sort by class,
  // stably, so the order of marks of different classes does not matter.
  size_t i = 0;
  while (i < out.size()) {
    if (combiningClass(out[i]) == 0) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < out.size() && combiningClass(out[j]) != 0) ++j;
    std::stable_sort(out.begin() + i, out.begin() + j,
                     [](char32_t a, char32_t b) { return combiningClass(a) < combiningClass(b); });
    i = j;
  }
  return out;
}

struct SortKey {
  std::vector<uint64_t> primary;
  std::vector<std::u32string> accents;  // [0]: marks before the first base character
  std::vector<uint8_t> upper;
  std::vector<std::pair<size_t, char32_t>> special;
};

SortKey sortKey(const char16_t* s, size_t n) {
  SortKey key;
  key.accents.emplace_back();
  for (char32_t c : normalizeNfd(codePoints(s, n))) {
    if (c == U'-' || c == U'\'') {
      key.special.emplace_back(key.primary.size(), c);
      continue;
    }
    const char32_t folded = foldCase(c);
    const uint8_t cls = sortClass(folded);
    if (cls == kMark) {
      key.accents.back().push_back(c);
      continue;
    }
    key.primary.push_back((uint64_t(cls) << 32) | folded);
    key.accents.emplace_back();
    key.upper.push_back(folded != c ? 1 : 0);
  }
  return key;
}

template <typename T>
int compareRanges(const T& a, const T& b) {
  if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end())) return -1;
  if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end())) return 1;
  return 0;
}

// The last resort when memory runs out: code units, case folded for ASCII.
int compareUnits(const char16_t* a, size_t an, const char16_t* b, size_t bn, bool ignoreCase) {
  for (size_t i = 0; i < an && i < bn; ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (ignoreCase) {
      if (x >= 'A' && x <= 'Z') x = char16_t(x + 32);
      if (y >= 'A' && y <= 'Z') y = char16_t(y + 32);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  return an == bn ? 0 : (an < bn ? -1 : 1);
}

// The same comparison for texts of ASCII only, without allocation: NFD and
// accents are no-ops there, so only the primary weights, case and the
// set-aside hyphens and apostrophes remain. Attribute lookups compare short
// ASCII names thousands of times per document; most differ in their first
// letter, which decides at once.
bool isSetAside(char16_t c) { return c == u'-' || c == u'\''; }

char16_t foldAscii(char16_t c) { return (c >= 'A' && c <= 'Z') ? char16_t(c + 32) : c; }

// Sort classes of the ASCII characters, made once when the library loads.
const std::array<uint8_t, 128> kAsciiClasses = [] {
  std::array<uint8_t, 128> table{};
  for (char32_t c = 0; c < 128; ++c) table[c] = sortClass(foldCase(c));
  return table;
}();

inline uint64_t asciiPrimary(char16_t folded) {
  return (uint64_t(kAsciiClasses[folded]) << 32) | folded;
}

bool allAscii(const char16_t* s, size_t from, size_t n) {
  for (size_t i = from; i < n; ++i)
    if (s[i] >= 0x80) return false;
  return true;
}

// The k-th set-aside character of a text and its primary position, or false.
bool setAside(const char16_t* s, size_t n, size_t k, std::pair<size_t, char16_t>& out) {
  size_t primaries = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!isSetAside(s[i])) {
      ++primaries;
    } else if (k-- == 0) {
      out = {primaries, s[i]};
      return true;
    }
  }
  return false;
}

// compareAscii's first pass: the letters' primary weights in order, the
// set-aside characters skipped. 0 leaves i and j where a text ran out.
inline int comparePrimariesAscii(const char16_t* a, size_t an, const char16_t* b, size_t bn,
                                 size_t& i, size_t& j) {
  for (;;) {
    while (i < an && isSetAside(a[i])) ++i;
    while (j < bn && isSetAside(b[j])) ++j;
    if (i == an || j == bn) return 0;
    if (a[i] >= 0x80 || b[j] >= 0x80) return -2;
    uint64_t x = asciiPrimary(foldAscii(a[i])), y = asciiPrimary(foldAscii(b[j]));
    if (x != y) return x < y ? -1 : 1;
    ++i;
    ++j;
  }
}

// Lower case sorts before upper case, position by position.
inline int compareCasesAscii(const char16_t* a, size_t an, const char16_t* b, size_t bn) {
  size_t p = 0, q = 0;
  for (;;) {
    while (p < an && isSetAside(a[p])) ++p;
    while (q < bn && isSetAside(b[q])) ++q;
    if (p == an || q == bn) return 0;
    int x = foldAscii(a[p]) != a[p], y = foldAscii(b[q]) != b[q];
    if (x != y) return x < y ? -1 : 1;
    ++p;
    ++q;
  }
}

// The set-aside characters decide last: by where they stand, then by what
// they are.
inline int compareSetAsideAscii(const char16_t* a, size_t an, const char16_t* b, size_t bn) {
  for (size_t k = 0;; ++k) {
    std::pair<size_t, char16_t> x, y;
    bool hx = setAside(a, an, k, x), hy = setAside(b, bn, k, y);
    if (!hx || !hy) return hx == hy ? 0 : (hx ? 1 : -1);
    if (x != y) return x < y ? -1 : 1;
  }
}

// -2 when the texts need the general comparison.
int compareAscii(const char16_t* a, size_t an, const char16_t* b, size_t bn, bool ignoreCase) {
  size_t i = 0, j = 0;
  if (int order = comparePrimariesAscii(a, an, b, bn, i, j)) return order;
  // What is left may hold marks that weigh as accents, not as letters.
  if (!allAscii(a, i, an) || !allAscii(b, j, bn)) return -2;
  if (i < an) return 1;
  if (j < bn) return -1;
  if (!ignoreCase) {
    if (int order = compareCasesAscii(a, an, b, bn)) return order;
  }
  return compareSetAsideAscii(a, an, b, bn);
}

// compareAscii for zero-terminated texts, deciding at the first differing
// letter without measuring either text first.
int compareAsciiTerminated(const char16_t* a, const char16_t* b, bool ignoreCase) {
  const char16_t* p = a;
  const char16_t* q = b;
  bool setAsideSeen = false;
  for (;;) {
    while (*p && isSetAside(*p)) ++p, setAsideSeen = true;
    while (*q && isSetAside(*q)) ++q, setAsideSeen = true;
    if (!*p || !*q) break;
    if (*p >= 0x80 || *q >= 0x80) return -2;
    if (*p != *q) {
      uint64_t x = asciiPrimary(foldAscii(*p)), y = asciiPrimary(foldAscii(*q));
      if (x != y) return x < y ? -1 : 1;
    }
    ++p;
    ++q;
  }
  if (!*p && !*q && !setAsideSeen && ignoreCase) return 0;
  // One text goes on: a letter left in it makes it the greater, unless a
  // mark (not ASCII) follows that the general comparison must weigh.
  const char16_t* rest = *p ? p : q;
  bool letterLeft = false;
  for (const char16_t* r = rest; *r; ++r) {
    if (*r >= 0x80) return -2;
    letterLeft |= !isSetAside(*r);
  }
  if (letterLeft) return *p ? 1 : -1;
  size_t an = size_t(p - a), bn = size_t(q - b);
  while (a[an]) ++an;
  while (b[bn]) ++bn;
  return compareAscii(a, an, b, bn, ignoreCase);
}

}  // namespace

char32_t foldCase(char32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  const auto* first = tables::kCaseFolds;
  const auto* last = first + tables::kCaseFoldCount;
  const auto* it = std::lower_bound(
      first, last, cp, [](const tables::CaseFold& f, char32_t c) { return f.from < c; });
  return it != last && it->from == cp ? it->to : cp;
}

size_t decomposeCanonical(char32_t cp, char32_t* out, size_t capacity) {
  // Hangul syllables decompose by the formula of Unicode 3.12.
  constexpr char32_t kSBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
  constexpr char32_t kTCount = 28, kNCount = 588, kSCount = 11172;
  if (cp >= kSBase && cp < kSBase + kSCount) {
    const char32_t s = cp - kSBase;
    const size_t n = s % kTCount ? 3 : 2;
    if (capacity < n) return 0;
    out[0] = kLBase + s / kNCount;
    out[1] = kVBase + (s % kNCount) / kTCount;
    if (n == 3) out[2] = kTBase + s % kTCount;
    return n;
  }
  if (cp < 0xC0) return 0;
  const auto* first = tables::kDecompositions;
  const auto* last = first + tables::kDecompositionCount;
  const auto* it = std::lower_bound(
      first, last, cp, [](const tables::Decomposition& d, char32_t c) { return d.from < c; });
  if (it == last || it->from != cp || it->length > capacity) return 0;
  std::copy_n(tables::kDecompositionPool + it->offset, it->length, out);
  return it->length;
}

bool isCombiningMark(char32_t cp) { return cp >= 0x300 && sortClass(cp) == kMark; }

int compareText(const char16_t* a, size_t aLength, const char16_t* b, size_t bLength,
                bool ignoreCase) {
  int fast = compareAscii(a, aLength, b, bLength, ignoreCase);
  if (fast != -2) return fast;
  return compareTextGeneral(a, aLength, b, bLength, ignoreCase);
}

int compareTextGeneral(const char16_t* a, size_t aLength, const char16_t* b, size_t bLength,
                       bool ignoreCase) {
  try {
    const SortKey x = sortKey(a, aLength);
    const SortKey y = sortKey(b, bLength);
    if (int r = compareRanges(x.primary, y.primary)) return r;
    if (int r = compareRanges(x.accents, y.accents)) return r;
    if (!ignoreCase) {
      if (int r = compareRanges(x.upper, y.upper)) return r;
    }
    return compareRanges(x.special, y.special);
  } catch (const std::bad_alloc&) {
    return compareUnits(a, aLength, b, bLength, ignoreCase);
  }
}

}  // namespace velmora::text

using velmora::text::compareText;
using velmora::text::lengthOf;

// Both null: equal; a null pointer sorts before every text, "" included (as
// lstrcmpA does on Windows; Wine's lstrcmpiW agrees).
EXTERN_C int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1);
  int fast = velmora::text::compareAsciiTerminated(lpString1, lpString2, true);
  if (fast != -2) return fast;
  return compareText(lpString1, lengthOf(lpString1), lpString2, lengthOf(lpString2), true);
}

EXTERN_C int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1);
  int fast = velmora::text::compareAsciiTerminated(lpString1, lpString2, false);
  if (fast != -2) return fast;
  return compareText(lpString1, lengthOf(lpString1), lpString2, lengthOf(lpString2), false);
}

EXTERN_C int WINAPI lstrlenW(LPCWSTR lpString) { return int(lengthOf(lpString)); }
