// The table-driven code pages: decoding straight from the generated tables,
// encoding through an inverse built once per page on first use.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "text/code_page_tables.h"
#include "text/text.h"
#include "text/unicode_tables.h"

namespace velmora::text {

struct TableCodePage {
  const tables::SingleByteTable* sbcs = nullptr;
  const tables::DoubleByteTable* dbcs = nullptr;
  // unit -> code, 0 for none; built on first use. Not call_once: running
  // out of memory there would unwind through the C library's once frame.
  mutable std::mutex building;
  mutable std::atomic<const uint16_t*> built{nullptr};
  mutable std::unique_ptr<uint16_t[]> encoding;

  bool isLead(uint8_t b) const { return dbcs && b >= 0x80 && dbcs->leadRows[b - 0x80] != 0; }

  // The unit `code` decodes to, or kNoMapping.
  char16_t decode(uint16_t code) const {
    if (code < 0x80) return char16_t(code);
    if (code <= 0xFF) return sbcs ? sbcs->upper[code - 0x80] : dbcs->singles[code - 0x80];
    if (!dbcs) return tables::kNoMapping;
    const uint8_t lead = uint8_t(code >> 8);
    const uint8_t trail = uint8_t(code);
    if (!isLead(lead) || trail < dbcs->trailFirst || trail > dbcs->trailLast)
      return tables::kNoMapping;
    const size_t width = size_t(dbcs->trailLast - dbcs->trailFirst + 1);
    return dbcs->rows[(dbcs->leadRows[lead - 0x80] - 1) * width + (trail - dbcs->trailFirst)];
  }

  const uint16_t* inverse() const {
    if (const uint16_t* table = built.load(std::memory_order_acquire)) return table;
    std::lock_guard<std::mutex> lock(building);
    if (const uint16_t* table = built.load(std::memory_order_relaxed)) return table;
    encoding.reset(new uint16_t[0x10000]());
    auto add = [&](uint16_t code) {
      const char16_t unit = decode(code);
      if (unit >= 0x80 && unit != tables::kNoMapping && !encoding[unit]) encoding[unit] = code;
    };
    // Byte order, singles first: where two codes decode to one character
    // the first encodes it, as the tables' overrides assume.
    for (uint16_t b = 0x80; b <= 0xFF; ++b) add(b);
    if (dbcs) {
      for (uint16_t lead = 0x80; lead <= 0xFF; ++lead) {
        if (!isLead(uint8_t(lead))) continue;
        for (uint16_t t = dbcs->trailFirst; t <= dbcs->trailLast; ++t) add(uint16_t(lead << 8 | t));
      }
    }
    const auto* o = sbcs ? sbcs->overrides : dbcs->overrides;
    const size_t n = sbcs ? sbcs->overrideCount : dbcs->overrideCount;
    for (size_t i = 0; i < n; ++i) encoding[o[i].unit] = o[i].code;
    built.store(encoding.get(), std::memory_order_release);
    return encoding.get();
  }

  TableEncoded encode(char16_t unit) const {
    if (unit < 0x80) return {unit, CodePageFit::RoundTrip};
    uint16_t code = inverse()[unit];
    if (!code && sbcs && sbcs->windows && unit >= 0xFF01 && unit <= 0xFF5E) {
      code = uint16_t(unit - 0xFF01 + 0x21);  // every ANSI page best-fits fullwidth ASCII
    }
    if (!code) return {0, CodePageFit::None};
    return {code, decode(code) == unit ? CodePageFit::RoundTrip : CodePageFit::BestFit};
  }
};

namespace {

struct Registry {
  std::unique_ptr<TableCodePage[]> pages;
  size_t count = 0;

  Registry()
      : pages(new TableCodePage[tables::kSingleByteTableCount + tables::kDoubleByteTableCount]) {
    for (size_t i = 0; i < tables::kSingleByteTableCount; ++i)
      pages[count++].sbcs = &tables::kSingleByteTables[i];
    for (size_t i = 0; i < tables::kDoubleByteTableCount; ++i)
      pages[count++].dbcs = &tables::kDoubleByteTables[i];
  }
};

const Registry& registry() {
  static const Registry r;
  return r;
}

uint16_t codePageOf(const TableCodePage& p) { return p.sbcs ? p.sbcs->codePage : p.dbcs->codePage; }

// The precomposed form of base + mark, when there is one.
char16_t composeCanonical(char16_t base, char16_t mark) {
  for (size_t i = 0; i < tables::kDecompositionCount; ++i) {
    const tables::Decomposition& d = tables::kDecompositions[i];
    if (d.length != 2 || d.from > 0xFFFF) continue;
    const char32_t* parts = tables::kDecompositionPool + d.offset;
    if (parts[0] == base && parts[1] == mark) return char16_t(d.from);
  }
  return 0;
}

}  // namespace

const TableCodePage* tableCodePage(UINT codePage) {
  const Registry& r = registry();
  for (size_t i = 0; i < r.count; ++i) {
    if (codePageOf(r.pages[i]) == codePage) return &r.pages[i];
  }
  return nullptr;
}

bool isDoubleByte(const TableCodePage& page) { return page.dbcs != nullptr; }

bool isLeadByte(const TableCodePage& page, uint8_t byte) { return page.isLead(byte); }

char16_t decodeTableCode(const TableCodePage& page, uint16_t code) { return page.decode(code); }

TableEncoded encodeTableUnit(const TableCodePage& page, char16_t unit) { return page.encode(unit); }

TableDecoded decodeTable(const TableCodePage& page, const uint8_t* in, size_t length,
                         bool composite, char16_t* out, size_t capacity) {
  TableDecoded r;
  auto put = [&](char16_t u) {
    char32_t parts[4];
    const size_t n = composite ? decomposeCanonical(u, parts, 4) : 0;
    for (size_t k = 0; k < (n ? n : 1); ++k) {
      if (r.units < capacity) {
        out[r.units] = n ? char16_t(parts[k]) : u;
      } else {
        r.overflow = true;
      }
      ++r.units;
    }
  };
  const char16_t fallback = page.dbcs ? page.dbcs->unicodeDefault : char16_t('?');
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = in[i];
    uint16_t code = b;
    if (page.isLead(b)) {
      const uint8_t next = i + 1 < length ? in[i + 1] : 0;
      if (next >= page.dbcs->trailFirst && next <= page.dbcs->trailLast) {
        code = uint16_t(b << 8 | next);
        ++i;
      } else {
        // A lead byte at the end or before a byte that cannot trail it
        // stands alone; the byte after it is read on its own.
        r.invalid = true;
        put(fallback);
        continue;
      }
    }
    const char16_t u = page.decode(code);
    if (u == tables::kNoMapping) {
      r.invalid = true;
      put(fallback);
    } else {
      put(u);
    }
  }
  return r;
}

TableNarrowed encodeTable(const TableCodePage& page, const char16_t* in, size_t length, DWORD flags,
                          uint16_t defaultCode, uint8_t* out, size_t capacity) {
  TableNarrowed r;
  auto put = [&](uint16_t code) {
    const size_t n = code > 0xFF ? 2 : 1;
    if (!r.overflow && r.bytes + n <= capacity) {
      if (n == 2) out[r.bytes] = uint8_t(code >> 8);
      out[r.bytes + n - 1] = uint8_t(code);
    } else {
      r.overflow = true;
    }
    r.bytes += n;
  };
  auto putDefault = [&] {
    r.usedDefault = true;
    put(defaultCode);
  };
  auto putMapped = [&](char16_t unit) {
    TableEncoded e = page.encode(unit);
    if (e.kind == CodePageFit::BestFit && (flags & WC_NO_BEST_FIT_CHARS))
      e.kind = CodePageFit::None;
    // A best fit to "?" is the default character in all but name (U+FF1F).
    if (e.kind == CodePageFit::BestFit && e.code == '?') e.kind = CodePageFit::None;
    if (e.kind == CodePageFit::None) {
      putDefault();
    } else {
      put(e.code);
    }
  };
  for (size_t i = 0; i < length; ++i) {
    const char16_t unit = in[i];
    if ((flags & WC_COMPOSITECHECK) && i + 1 < length && isCombiningMark(in[i + 1])) {
      const char16_t composed = composeCanonical(unit, in[i + 1]);
      if (composed && page.encode(composed).kind == CodePageFit::RoundTrip) {
        putMapped(composed);
        ++i;
        continue;
      }
      putMapped(unit);
      ++i;
      if (flags & WC_DISCARDNS) continue;
      if (flags & WC_DEFAULTCHAR) {
        putDefault();
        continue;
      }
      putMapped(in[i]);
      continue;
    }
    putMapped(unit);
  }
  return r;
}

}  // namespace velmora::text
