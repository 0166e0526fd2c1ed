// Builds compound documents with property sets through the platform's public
// API, for tests of the code above it. Every call fails the current test
// (ADD_FAILURE) rather than returning an error.
#pragma once
#include <windows.h>
#include <ole2.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/values.h"

namespace velmora::test {

// One property to write: by id, or by name when `name` is not empty.
struct PropertyValue {
  PROPID id = 0;
  std::u16string name;
  PROPVARIANT value;
};

PropertyValue byId(PROPID id, const PROPVARIANT& value);
PropertyValue byName(std::u16string name, const PROPVARIANT& value);

struct PropertySet {
  FMTID fmtid;
  DWORD flags = PROPSETFLAG_DEFAULT;  // PROPSETFLAG_ANSI for a code-page-1252 set
  std::vector<PropertyValue> values;
  // Writes PID_CODEPAGE after creation when non-zero (e.g. 65001).
  USHORT codePage = 0;
};

// Writes a new compound document at `path` holding `sets` and, if given, a
// stream "WordDocument" of `payload` bytes.
void writeDocument(const std::filesystem::path& path, const std::vector<PropertySet>& sets,
                   size_t payload = 0);

// The raw bytes of a file.
std::vector<uint8_t> readFileBytes(const std::filesystem::path& path);

}  // namespace velmora::test
