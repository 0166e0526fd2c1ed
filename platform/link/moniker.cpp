// System monikers: bounded parsing of their persisted forms, display names
// (IMoniker::GetDisplayName, "Implementation-specific Notes"), and the
// builders behind CreateFileMoniker and its kin.
#include "link/moniker.h"

#include <windows.h>

#include <cstring>

#include "base/byte_writer.h"

namespace velmora::link {

namespace {

Error truncated(const char* what) {
  return DAMAGE(STG_E_READFAULT, Link, base::where(), "%s runs past the end of its moniker stream",
                what);
}

GUID readGuid(base::ByteReader& r) {
  GUID g{};
  g.Data1 = r.u32();
  g.Data2 = r.u16();
  g.Data3 = r.u16();
  auto d4 = r.bytes(8);
  if (!d4.empty()) std::memcpy(g.Data4, d4.data(), 8);
  return g;
}

void writeGuid(base::ByteWriter& w, const GUID& g) {
  w.u32(g.Data1);
  w.u16(g.Data2);
  w.u16(g.Data3);
  w.bytes(std::span<const uint8_t>(g.Data4, 8));
}

std::u16string fromAnsi(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<LPCCH>(bytes.data()), int(bytes.size()),
                              nullptr, 0);
  std::u16string out(size_t(n > 0 ? n : 0), u'\0');
  if (n > 0)
    MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<LPCCH>(bytes.data()), int(bytes.size()),
                        out.data(), n);
  return out;
}

// The ANSI form of `text` and whether it is exact.
std::string toAnsi(std::u16string_view text, bool* lossy) {
  *lossy = false;
  if (text.empty()) return {};
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), int(text.size()), nullptr,
                              0, nullptr, &usedDefault);
  std::string out(size_t(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), int(text.size()), out.data(), n,
                        nullptr, &usedDefault);
  *lossy = usedDefault || n <= 0 ||
           fromAnsi({reinterpret_cast<const uint8_t*>(out.data()), out.size()}) != text;
  return out;
}

std::u16string utf16(std::span<const uint8_t> bytes, bool stopAtNul) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t c = char16_t(base::loadLE16(&bytes[i]));
    if (stopAtNul && c == 0) break;
    out.push_back(c);
  }
  return out;
}

// The UTF-16 units of `bytes` before the first NUL (or all of them).
size_t utf16Length(std::span<const uint8_t> bytes) {
  size_t units = 0;
  while (units * 2 + 1 < bytes.size() && base::loadLE16(&bytes[units * 2]) != 0) ++units;
  return units;
}

Error pathTooLong(size_t length) {
  return DAMAGE(E_FAIL, Link, base::where(), "file moniker path of %zu characters exceeds %zu",
                length, kMaxPath);
}

// An item moniker's counted block: ANSI text to the first NUL, then an
// optional UTF-16 form that wins when present ([MS-OSHARED] 2.3.7.5).
std::u16string itemText(std::span<const uint8_t> block) {
  size_t nul = 0;
  while (nul < block.size() && block[nul] != 0) ++nul;
  std::u16string wide = utf16(block.subspan(std::min(nul + 1, block.size())), true);
  return wide.empty() ? fromAnsi(block.first(nul)) : wide;
}

Result<void> parseFile(base::ByteReader& r, MonikerNode& m) {
  m.cAnti = r.u16();
  uint32_t ansiLength = r.u32();
  if (!r.ok()) return truncated("file moniker header");
  if (ansiLength > r.remaining()) return truncated("file moniker path");
  auto ansi = r.bytes(ansiLength);
  size_t nul = 0;
  while (nul < ansi.size() && ansi[nul] != 0) ++nul;
  r.u16();  // endServer
  uint16_t version = r.u16();
  r.skip(16);
  r.u32();  // reserved2: observed 0 or the number of extents; not checked
  uint32_t cbUnicode = r.u32();
  if (!r.ok()) return truncated("file moniker fields");
  if (version != 0xDEAD)
    return DAMAGE(E_FAIL, Link, base::where(), "file moniker version 0x%04X is not 0xDEAD",
                  version);
  // Bytes bound the characters they decode to, so the path is measured
  // before it is decoded.
  if (nul > kMaxPath) return pathTooLong(nul);
  m.path = fromAnsi(ansi.first(nul));
  if (cbUnicode == 0) return {};
  if (cbUnicode > r.remaining()) return truncated("file moniker extents");
  // The Unicode part is a list of extents (key 3 the UTF-16 path, key 5
  // link-tracking data); walk them by their counts and take key 3.
  base::ByteReader extents = r.sub(cbUnicode);
  while (!extents.atEnd()) {
    uint32_t cb = extents.u32();
    uint16_t key = extents.u16();
    if (!extents.ok() || cb > extents.remaining()) return truncated("file moniker extent");
    auto body = extents.bytes(cb);
    // A display name ends at its first NUL, so the path does too.
    if (key != 3) continue;
    if (size_t units = utf16Length(body); units > kMaxPath) return pathTooLong(units);
    m.path = utf16(body, true);
  }
  return {};
}

Result<void> parseItem(base::ByteReader& r, MonikerNode& m) {
  for (std::u16string* text : {&m.delimiter, &m.item}) {
    uint32_t length = r.u32();
    if (!r.ok() || length > r.remaining()) return truncated("item moniker text");
    *text = itemText(r.bytes(length));
  }
  return {};
}

Result<void> parseUrl(base::ByteReader& r, MonikerNode& m) {
  uint32_t length = r.u32();
  if (!r.ok() || length > r.remaining()) return truncated("URL moniker");
  auto body = r.bytes(length);
  size_t urlBytes = length;
  // The +24 form ends with the serialisation GUID, a version and flags.
  if (length >= 24) {
    base::ByteReader tail(body.subspan(length - 24));
    if (readGuid(tail) == kUrlSerialGuid) urlBytes = length - 24;
  }
  m.url = utf16(body.first(urlBytes), true);
  return {};
}

void appendPart(std::vector<MonikerPtr>& parts, MonikerPtr p) {
  if (p->kind == MonikerKind::Composite) {
    parts.insert(parts.end(), p->parts.begin(), p->parts.end());
  } else {
    parts.push_back(std::move(p));
  }
}

MonikerPtr finish(MonikerNode m) { return std::make_shared<const MonikerNode>(std::move(m)); }

}  // namespace

const CLSID& classOf(MonikerKind kind) {
  switch (kind) {
    case MonikerKind::File: return kFileMonikerClass;
    case MonikerKind::Item: return kItemMonikerClass;
    case MonikerKind::Anti: return kAntiMonikerClass;
    case MonikerKind::Composite: return kCompositeMonikerClass;
    case MonikerKind::Url: return kUrlMonikerClass;
  }
  return kFileMonikerClass;
}

Result<MonikerPtr> parseMonikerStream(base::ByteReader& r, int depth) {
  if (depth > kMaxNesting)
    return DAMAGE(E_FAIL, Link, base::where(), "composite monikers nested more than %d deep",
                  kMaxNesting);
  CLSID clsid = readGuid(r);
  if (!r.ok()) return truncated("moniker class id");
  MonikerNode m;
  size_t start = r.position();
  if (clsid == kFileMonikerClass) {
    m.kind = MonikerKind::File;
    auto done = parseFile(r, m);
    if (!done) return done.error();
  } else if (clsid == kItemMonikerClass) {
    m.kind = MonikerKind::Item;
    auto done = parseItem(r, m);
    if (!done) return done.error();
  } else if (clsid == kAntiMonikerClass) {
    m.kind = MonikerKind::Anti;
    m.antiCount = r.u32();
    if (!r.ok()) return truncated("anti moniker");
    if (m.antiCount > kMaxAntiCount)
      return DAMAGE(E_FAIL, Link, base::where(), "anti moniker count %u exceeds %u", m.antiCount,
                    kMaxAntiCount);
  } else if (clsid == kCompositeMonikerClass) {
    m.kind = MonikerKind::Composite;
    uint32_t count = r.u32();
    if (!r.ok()) return truncated("composite moniker count");
    // Every component takes at least its 16-byte class id, so a count the
    // remaining bytes cannot hold is refused before anything is reserved.
    if (count > r.remaining() / 16)
      return DAMAGE(STG_E_READFAULT, Link, base::where(),
                    "composite moniker of %u components in %zu bytes", count, r.remaining());
    for (uint32_t i = 0; i < count; ++i) {
      auto part = parseMonikerStream(r, depth + 1);
      if (!part) return part.error();
      appendPart(m.parts, std::move(part.value()));
    }
  } else if (clsid == kUrlMonikerClass) {
    m.kind = MonikerKind::Url;
    auto done = parseUrl(r, m);
    if (!done) return done.error();
  } else {
    return base::makeError(REGDB_E_CLASSNOTREG, "moniker class {%08X-...} is not a system moniker",
                           clsid.Data1);
  }
  auto data = std::span<const uint8_t>();
  size_t end = r.position();
  r.seek(start);
  data = r.bytes(end - start);
  m.data.assign(data.begin(), data.end());
  return finish(std::move(m));
}

Result<MonikerPtr> parseMonikerBytes(std::span<const uint8_t> bytes) {
  base::ByteReader r(bytes);
  return parseMonikerStream(r);
}

std::vector<uint8_t> monikerStreamBytes(const MonikerNode& m) {
  std::vector<uint8_t> out;
  out.reserve(16 + m.data.size());
  base::ByteWriter w(out);
  writeGuid(w, classOf(m.kind));
  w.bytes(m.data);
  return out;
}

namespace {

// Adds `m`'s display name length to `total`; false once it passes the bound.
bool addNameLength(const MonikerNode& m, size_t& total) {
  auto add = [&](uint64_t n) {
    if (n > kMaxDisplayName - total) return false;
    total += size_t(n);
    return true;
  };
  switch (m.kind) {
    case MonikerKind::File: {
      uint64_t steps = m.cAnti ? 3 * uint64_t(m.cAnti) - 1 : 0;
      if (m.cAnti && !m.path.empty() && m.path[0] != u'\\') ++steps;
      return add(steps) && add(m.path.size());
    }
    case MonikerKind::Item: return add(m.delimiter.size()) && add(m.item.size());
    case MonikerKind::Anti: return add(3 * uint64_t(m.antiCount));
    case MonikerKind::Composite:
      for (const auto& p : m.parts)
        if (!addNameLength(*p, total)) return false;
      return true;
    case MonikerKind::Url: return add(m.url.size());
  }
  return true;
}

void appendName(const MonikerNode& m, std::u16string& out) {
  switch (m.kind) {
    case MonikerKind::File:
      // Anti steps as "..\" each, with exactly one backslash before the path.
      for (uint16_t i = 0; i < m.cAnti; ++i) out += i ? u"\\.." : u"..";
      if (m.cAnti && !m.path.empty() && m.path[0] != u'\\') out += u'\\';
      out += m.path;
      return;
    case MonikerKind::Item:
      out += m.delimiter;
      out += m.item;
      return;
    case MonikerKind::Anti:
      for (uint32_t i = 0; i < m.antiCount; ++i) out += u"\\..";
      return;
    case MonikerKind::Composite:
      for (const auto& p : m.parts) appendName(*p, out);
      return;
    case MonikerKind::Url: out += m.url; return;
  }
}

}  // namespace

Result<size_t> displayNameLength(const MonikerNode& m) {
  size_t total = 0;
  if (!addNameLength(m, total))
    return base::makeError(kNameTooLong, "a display name past %zu characters", kMaxDisplayName);
  return total;
}

Result<std::u16string> displayName(const MonikerNode& m) {
  auto length = displayNameLength(m);
  if (!length) return length.error();
  std::u16string out;
  out.reserve(*length);
  appendName(m, out);
  return out;
}

Result<MonikerPtr> makeFileMoniker(std::u16string_view path) {
  // Measured first, so the anti steps counted below fit their 16 bits too.
  if (path.size() > kMaxPath)
    return base::makeError(MK_E_SYNTAX, "a path of %zu characters does not fit a file moniker",
                           path.size());
  MonikerNode m;
  m.kind = MonikerKind::File;
  while (path.substr(0, 3) == u"..\\" || path == u"..") {
    ++m.cAnti;
    path.remove_prefix(std::min<size_t>(3, path.size()));
  }
  m.path = std::u16string(path);
  bool lossy = false;
  std::string ansi = toAnsi(path, &lossy);
  if (ansi.size() + 1 > kMaxAnsiPath)
    return base::makeError(MK_E_SYNTAX, "a path of %zu ANSI bytes does not fit a file moniker",
                           ansi.size());
  uint16_t endServer = 0xFFFF;
  if (path.substr(0, 2) == u"\\\\") {
    size_t sep = path.find(u'\\', 2);
    endServer =
        uint16_t(std::min<size_t>(sep == std::u16string_view::npos ? path.size() : sep, 0xFFFE));
  }
  base::ByteWriter w(m.data);
  w.u16(m.cAnti);
  w.u32(uint32_t(ansi.size() + 1));
  w.bytes({reinterpret_cast<const uint8_t*>(ansi.data()), ansi.size()});
  w.u8(0);
  w.u16(endServer);
  w.u16(0xDEAD);
  w.zeros(16);
  w.u32(0);
  // Windows writes the key-3 path even for ASCII paths; it is required when
  // the ANSI form is lossy.
  uint32_t pathBytes = uint32_t(path.size() * 2);
  w.u32(6 + pathBytes);
  w.u32(pathBytes);
  w.u16(3);
  for (char16_t c : path) w.u16(c);
  return finish(std::move(m));
}

MonikerPtr makeItemMoniker(std::u16string_view delimiter, std::u16string_view item) {
  MonikerNode m;
  m.kind = MonikerKind::Item;
  m.delimiter = std::u16string(delimiter);
  m.item = std::u16string(item);
  base::ByteWriter w(m.data);
  for (std::u16string_view text : {delimiter, item}) {
    bool lossy = false;
    std::string ansi = toAnsi(text, &lossy);
    uint32_t length = uint32_t(ansi.size() + 1 + (lossy ? text.size() * 2 : 0));
    w.u32(length);
    w.bytes({reinterpret_cast<const uint8_t*>(ansi.data()), ansi.size()});
    w.u8(0);
    if (lossy)
      for (char16_t c : text) w.u16(c);
  }
  return finish(std::move(m));
}

MonikerPtr makeAntiMoniker(uint32_t count) {
  MonikerNode m;
  m.kind = MonikerKind::Anti;
  m.antiCount = count;
  base::ByteWriter w(m.data);
  w.u32(count);
  return finish(std::move(m));
}

MonikerPtr makeComposite(std::vector<MonikerPtr> parts) {
  MonikerNode m;
  m.kind = MonikerKind::Composite;
  for (auto& p : parts) appendPart(m.parts, std::move(p));
  base::ByteWriter w(m.data);
  w.u32(uint32_t(m.parts.size()));
  for (const auto& p : m.parts) w.bytes(monikerStreamBytes(*p));
  return finish(std::move(m));
}

MonikerPtr makeUrlMoniker(std::u16string_view url) {
  MonikerNode m;
  m.kind = MonikerKind::Url;
  m.url = std::u16string(url);
  base::ByteWriter w(m.data);
  w.u32(uint32_t((url.size() + 1) * 2 + 24));
  for (char16_t c : url) w.u16(c);
  w.u16(0);
  writeGuid(w, kUrlSerialGuid);
  w.u32(0);
  w.u32(0);
  return finish(std::move(m));
}

}  // namespace velmora::link
