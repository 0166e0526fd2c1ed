// The system monikers as persisted data ([MS-OSHARED] 2.3.7, [MS-OLEDS]
// 2.3.3.1): file (with its Unicode extent list and anti count), item, anti,
// generic composite and URL. Parsing is bounded: every length is checked
// against the bytes that remain before anything is allocated, composites
// nest at most kMaxNesting deep, and a moniker that fails a bound is refused
// whole. A parsed moniker keeps its persisted bytes, so saving it again
// writes exactly what was read.
#pragma once
#include <objbase.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/byte_reader.h"
#include "base/result.h"

namespace velmora::link {

using base::Error;
using base::Result;

enum class MonikerKind { File, Item, Anti, Composite, Url };

inline constexpr int kMaxNesting = 32;
inline constexpr uint32_t kMaxAntiCount = 1048576;  // [MS-OSHARED] 2.3.7.4
inline constexpr uint32_t kMaxAnsiPath = 32767;     // [MS-OSHARED] 2.3.7.8
// The longest file path in characters (Windows' own limit), and the longest
// display name: monikers whose name would be longer are refused as they are
// read or made, so no name past these is ever built.
inline constexpr size_t kMaxPath = 32767;
inline constexpr size_t kMaxDisplayName = 65536;
// What a name past kMaxDisplayName gives.
inline const HRESULT kNameTooLong = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);

// The system moniker classes ([MS-OLEDS] 2.3.3.1, [MS-OSHARED] 2.3.7.2).
inline constexpr CLSID kFileMonikerClass = {0x303, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr CLSID kItemMonikerClass = {0x304, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr CLSID kAntiMonikerClass = {0x305, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr CLSID kCompositeMonikerClass = {0x309, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr CLSID kUrlMonikerClass = {
    0x79EAC9E0, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
// The serialisation marker of a URL moniker's +24 form.
inline constexpr GUID kUrlSerialGuid = {
    0xF4815879, 0x1D3B, 0x487F, {0xAF, 0x2C, 0x82, 0x5D, 0xC4, 0x85, 0x27, 0x63}};

struct MonikerNode {
  MonikerKind kind = MonikerKind::File;
  std::vector<uint8_t> data;  // the persisted form after the class id
  // File: the anti count and the path (the key-3 UTF-16 path when present,
  // else the ANSI path decoded in the ANSI code page).
  uint16_t cAnti = 0;
  std::u16string path;
  // Item.
  std::u16string delimiter, item;
  // Anti.
  uint32_t antiCount = 0;
  // Composite: its components, nested composites flattened.
  std::vector<std::shared_ptr<const MonikerNode>> parts;
  // URL.
  std::u16string url;
};
using MonikerPtr = std::shared_ptr<const MonikerNode>;

const CLSID& classOf(MonikerKind kind);

// A MONIKERSTREAM: class id, then that class's data. STG_E_READFAULT for a
// length past the end, REGDB_E_CLASSNOTREG for a class that is not a system
// moniker, E_FAIL for a bound that is exceeded (nesting, anti count, a path
// past kMaxPath) or a field that must hold a fixed value.
[[nodiscard]] Result<MonikerPtr> parseMonikerStream(base::ByteReader& r, int depth = 0);
// Parses the whole of `bytes` as one MONIKERSTREAM; trailing bytes are allowed.
[[nodiscard]] Result<MonikerPtr> parseMonikerBytes(std::span<const uint8_t> bytes);
// The class id and data: the bytes parseMonikerStream reads.
std::vector<uint8_t> monikerStreamBytes(const MonikerNode& m);

// IMoniker::GetDisplayName for each system moniker (with no moniker to
// the left). A name past kMaxDisplayName is kNameTooLong, found by its
// length before any of it is built.
[[nodiscard]] Result<std::u16string> displayName(const MonikerNode& m);
// The display name's length, or kNameTooLong as soon as it passes
// kMaxDisplayName.
[[nodiscard]] Result<size_t> displayNameLength(const MonikerNode& m);

// Builders with the layouts Windows was seen to write. A file moniker
// always carries its key-3 UTF-16 path; cAnti counts leading "..\" steps.
[[nodiscard]] Result<MonikerPtr> makeFileMoniker(std::u16string_view path);
MonikerPtr makeItemMoniker(std::u16string_view delimiter, std::u16string_view item);
MonikerPtr makeAntiMoniker(uint32_t count);
MonikerPtr makeComposite(std::vector<MonikerPtr> parts);
MonikerPtr makeUrlMoniker(std::u16string_view url);

// A COM face over a moniker (IMoniker, IPersistStream, IPersist), with one
// reference held by the caller.
IMoniker* makeMonikerObject(MonikerPtr m);
// The moniker behind any IMoniker: ours directly, another through its
// IPersistStream form. Fails as parseMonikerStream does.
[[nodiscard]] Result<MonikerPtr> monikerOf(IMoniker* pmk);

// Reads the rest of `stream`, at most `cap` bytes (E_OUTOFMEMORY past it).
[[nodiscard]] Result<std::vector<uint8_t>> readRest(IStream* stream, size_t cap);
// A growable in-memory IStream; `bytes` points at its contents while it lives.
IStream* makeMemoryStream(std::vector<uint8_t>** bytes);

}  // namespace velmora::link
