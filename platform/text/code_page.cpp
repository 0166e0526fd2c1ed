// MultiByteToWideChar, WideCharToMultiByte, GetACP and GetOEMCP. CP_ACP and
// CP_THREAD_ACP are 1252 in the layer's fixed en-US environment, CP_OEMCP is
// 437 and CP_MACCP 10000; besides 1252 and CP_UTF8 the table code pages of
// code_page_table.cpp are known. Argument checks, the -1 length convention
// (terminator converted and counted), the size query (destination size 0)
// and the last-error codes follow Windows ([W] Wine
// dlls/kernel32/tests/codepage.c, which runs against Windows).
#include "text/text.h"

#include <new>

namespace velmora::text {
namespace {

enum class CodePage { Windows1252, Utf8, Table, Unsupported };

struct Resolved {
  CodePage kind;
  const TableCodePage* table = nullptr;
};

Resolved resolve(UINT codePage) {
  switch (codePage) {
    case CP_ACP:
    case CP_THREAD_ACP:
    case kAnsiCodePage: return {CodePage::Windows1252};
    case CP_UTF8: return {CodePage::Utf8};
    case CP_OEMCP: codePage = kOemCodePage; break;
    case CP_MACCP: codePage = kMacCodePage; break;
    default: break;
  }
  // CP_UTF7 and the rest have no table here; Windows gives the same error
  // for a code page it does not have.
  const TableCodePage* table = tableCodePage(codePage);
  return table ? Resolved{CodePage::Table, table} : Resolved{CodePage::Unsupported};
}

int fail(DWORD error) {
  SetLastError(error);
  return 0;
}

constexpr DWORD kMbFlags = MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
constexpr DWORD kWcFlags8Bit =
    WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;

// Writes up to `capacity` units; returns the count the whole input needs.
size_t widen1252(const uint8_t* in, size_t length, bool composite, char16_t* out, size_t capacity,
                 bool& overflow) {
  size_t units = 0;
  auto put = [&](char16_t u) {
    if (units < capacity) {
      out[units] = u;
    } else {
      overflow = true;
    }
    ++units;
  };
  for (size_t i = 0; i < length; ++i) {
    const char16_t unit = decode1252(in[i]);
    char32_t parts[4];
    const size_t n = composite ? decomposeCanonical(unit, parts, 4) : 0;
    if (n == 0) {
      put(unit);
    } else {
      for (size_t k = 0; k < n; ++k) put(char16_t(parts[k]));
    }
  }
  return units;
}

size_t narrow1252(const char16_t* in, size_t length, DWORD flags, uint8_t defaultByte, uint8_t* out,
                  size_t capacity, bool& overflow, bool& usedDefault) {
  size_t bytes = 0;
  auto put = [&](uint8_t b) {
    if (bytes < capacity) {
      out[bytes] = b;
    } else {
      overflow = true;
    }
    ++bytes;
  };
  auto putMapped = [&](char16_t unit) {
    Encoded1252 e = encode1252(unit);
    if (e.kind == Fit1252::BestFit && (flags & WC_NO_BEST_FIT_CHARS)) e.kind = Fit1252::None;
    // A substitute equal to the code page's own default character counts as
    // "default used" unless it is that character itself: U+FF1F best-fits to
    // "?" and Windows reports it as a default, and a caller's default
    // replaces it.
    if (e.kind == Fit1252::BestFit && e.byte == '?') e.kind = Fit1252::None;
    if (e.kind == Fit1252::None) {
      usedDefault = true;
      put(defaultByte);
    } else {
      put(e.byte);
    }
  };
  for (size_t i = 0; i < length; ++i) {
    const char16_t unit = in[i];
    if ((flags & WC_COMPOSITECHECK) && i + 1 < length && isCombiningMark(in[i + 1])) {
      const char16_t composed = compose1252(unit, in[i + 1]);
      if (composed) {
        putMapped(composed);
        ++i;
        continue;
      }
      putMapped(unit);
      ++i;
      if (flags & WC_DISCARDNS) continue;
      if (flags & WC_DEFAULTCHAR) {
        usedDefault = true;
        put(defaultByte);
        continue;
      }
      putMapped(in[i]);  // WC_SEPCHARS, the default
      continue;
    }
    putMapped(unit);
  }
  return bytes;
}

}  // namespace
}  // namespace velmora::text

using namespace velmora::text;

EXTERN_C UINT WINAPI GetACP(void) { return kAnsiCodePage; }

EXTERN_C UINT WINAPI GetOEMCP(void) { return kOemCodePage; }

namespace {

int widen(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
          int cchWideChar) {
  if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 ||
      (!lpWideCharStr && cchWideChar != 0)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const Resolved page = resolve(CodePage);
  if (page.kind == CodePage::Unsupported) return fail(ERROR_INVALID_PARAMETER);
  // Any negative length means "up to and including the terminator".
  const size_t length = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
  const auto* in = reinterpret_cast<const uint8_t*>(lpMultiByteStr);
  char16_t* out = cchWideChar ? lpWideCharStr : nullptr;
  const size_t capacity = size_t(cchWideChar);

  if (page.kind == CodePage::Utf8) {
    if (dwFlags & ~DWORD(MB_ERR_INVALID_CHARS)) return fail(ERROR_INVALID_FLAGS);
    const Utf8Decoded r = decodeUtf8(in, length, out, capacity);
    // Windows fails a size query too, and leaves the replaced text in a
    // buffer that was given.
    if (r.invalid && (dwFlags & MB_ERR_INVALID_CHARS)) return fail(ERROR_NO_UNICODE_TRANSLATION);
    if (out && r.overflow) return fail(ERROR_INSUFFICIENT_BUFFER);
    return int(r.units);
  }

  if ((dwFlags & ~kMbFlags) || ((dwFlags & MB_PRECOMPOSED) && (dwFlags & MB_COMPOSITE))) {
    return fail(ERROR_INVALID_FLAGS);
  }
  if (page.kind == CodePage::Table) {
    // MB_USEGLYPHCHARS: the OEM pages' glyphs for control bytes are not
    // tabulated, so the flag changes nothing.
    const TableDecoded r =
        decodeTable(*page.table, in, length, (dwFlags & MB_COMPOSITE) != 0, out, capacity);
    if (r.invalid && (dwFlags & MB_ERR_INVALID_CHARS)) return fail(ERROR_NO_UNICODE_TRANSLATION);
    if (out && r.overflow) return fail(ERROR_INSUFFICIENT_BUFFER);
    return int(r.units);
  }
  // Every byte of 1252 is defined, so MB_ERR_INVALID_CHARS never fires, and
  // 1252 has no glyph table, so MB_USEGLYPHCHARS changes nothing.
  bool overflow = false;
  const size_t units =
      widen1252(in, length, (dwFlags & MB_COMPOSITE) != 0, out, capacity, overflow);
  if (out && overflow) return fail(ERROR_INSUFFICIENT_BUFFER);
  return int(units);
}

int narrowUtf8(DWORD dwFlags, LPCWCH in, size_t length, uint8_t* out, size_t capacity,
               LPBOOL lpUsedDefaultChar) {
  if (dwFlags & ~DWORD(WC_ERR_INVALID_CHARS)) return fail(ERROR_INVALID_FLAGS);
  // Windows 10 version 1709 and later accept a default character and a
  // "used" flag for UTF-8 and ignore them: UTF-8 never substitutes one.
  if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
  const Utf8Encoded r = encodeUtf8(in, length, out, capacity);
  if (r.invalid && (dwFlags & WC_ERR_INVALID_CHARS)) return fail(ERROR_NO_UNICODE_TRANSLATION);
  if (out && r.overflow) return fail(ERROR_INSUFFICIENT_BUFFER);
  return int(r.bytes);
}

int narrowTable(const TableCodePage& table, DWORD dwFlags, LPCWCH in, size_t length, uint8_t* out,
                size_t capacity, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  // A caller's default character that starts with a lead byte is that
  // double-byte character.
  uint16_t defaultCode = '?';
  if (lpDefaultChar) {
    const auto* d = reinterpret_cast<const uint8_t*>(lpDefaultChar);
    defaultCode = isLeadByte(table, d[0]) && d[1] ? uint16_t(d[0] << 8 | d[1]) : d[0];
  }
  const TableNarrowed r = encodeTable(table, in, length, dwFlags, defaultCode, out, capacity);
  if (lpUsedDefaultChar) *lpUsedDefaultChar = r.usedDefault ? TRUE : FALSE;
  if (out && r.overflow) return fail(ERROR_INSUFFICIENT_BUFFER);
  return int(r.bytes);
}

int narrowTo1252(DWORD dwFlags, LPCWCH in, size_t length, uint8_t* out, size_t capacity,
                 LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  const uint8_t defaultByte = lpDefaultChar ? uint8_t(*lpDefaultChar) : uint8_t('?');
  bool overflow = false;
  bool usedDefault = false;
  const size_t bytes =
      narrow1252(in, length, dwFlags, defaultByte, out, capacity, overflow, usedDefault);
  if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
  if (out && overflow) return fail(ERROR_INSUFFICIENT_BUFFER);
  return int(bytes);
}

int narrow(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
           LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 ||
      (!lpMultiByteStr && cbMultiByte != 0) ||
      (lpMultiByteStr && static_cast<const void*>(lpWideCharStr) == lpMultiByteStr)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const Resolved page = resolve(CodePage);
  if (page.kind == CodePage::Unsupported) return fail(ERROR_INVALID_PARAMETER);
  const size_t length = cchWideChar < 0 ? lengthOf(lpWideCharStr) + 1 : size_t(cchWideChar);
  auto* out = reinterpret_cast<uint8_t*>(cbMultiByte ? lpMultiByteStr : nullptr);
  const size_t capacity = size_t(cbMultiByte);

  if (page.kind == CodePage::Utf8)
    return narrowUtf8(dwFlags, lpWideCharStr, length, out, capacity, lpUsedDefaultChar);
  if (dwFlags & ~kWcFlags8Bit) return fail(ERROR_INVALID_FLAGS);
  if (page.kind == CodePage::Table)
    return narrowTable(*page.table, dwFlags, lpWideCharStr, length, out, capacity, lpDefaultChar,
                       lpUsedDefaultChar);
  return narrowTo1252(dwFlags, lpWideCharStr, length, out, capacity, lpDefaultChar,
                      lpUsedDefaultChar);
}

}  // namespace

// A table page's inverse is built on its first use; when memory for it runs
// out the call fails as Windows' do, and the next call tries again.
EXTERN_C int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                        int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
  try {
    return widen(CodePage, dwFlags, lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

EXTERN_C int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                                        int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                        LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  try {
    return narrow(CodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte,
                  lpDefaultChar, lpUsedDefaultChar);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}
