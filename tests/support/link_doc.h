// Builds documents with OLE link objects through the platform's public API:
// monikers from CreateFileMoniker and its kin, persisted with
// OleSaveToStream into "\1Ole" streams of storages the engine creates.
// Every call fails the current test (ADD_FAILURE) rather than returning an
// error.
#pragma once
#include <windows.h>
#include <ole2.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace velmora::test {

// {00000300-0000-0000-C000-000000000046}
inline constexpr CLSID kStdOleLinkClass = {0x300, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// A word-processor document's class, for embeddings.
inline constexpr CLSID kEmbeddingClass = {0x20906, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Monikers, owned by the caller; compositeOf takes over both of its parts.
IMoniker* fileMoniker(const char16_t* path);
IMoniker* itemMoniker(const char16_t* delimiter, const char16_t* item);
IMoniker* antiMoniker();
IMoniker* urlMoniker(const char16_t* url);
IMoniker* compositeOf(IMoniker* left, IMoniker* right);

// One element of the container: a link (class CLSID_StdOleLink, "\1Ole"
// framing `relative` and `absolute`), an embedding (another class, the
// 20-byte embedded "\1Ole"), or `oleBytes` written as "\1Ole" verbatim.
struct PoolObject {
  std::u16string name;
  CLSID clsid = kStdOleLinkClass;
  IMoniker* relative = nullptr;  // taken over
  IMoniker* absolute = nullptr;  // taken over
  std::vector<uint8_t> oleBytes;
  bool writeOle = true;
  bool asStream = false;  // a stream of that name instead of a storage
};

PoolObject linkTo(std::u16string name, IMoniker* absolute, IMoniker* relative = nullptr);
PoolObject embedding(std::u16string name);

// A document at `path`: a "WordDocument" (or "Workbook" for `spreadsheet`)
// stream, then the objects, in "ObjectPool" unless `spreadsheet` or
// `noPool`.
void writeLinkDocument(const std::filesystem::path& path, std::vector<PoolObject> objects,
                       bool spreadsheet = false, bool noPool = false);

// Adds the objects to an existing document: into its "ObjectPool" (made
// when missing), or into the root for `spreadsheet`.
void addObjects(const std::filesystem::path& path, std::vector<PoolObject> objects,
                bool spreadsheet = false);

// Every stream's bytes and every storage's class, by "/"-joined path.
struct Snapshot {
  std::map<std::u16string, std::vector<uint8_t>> streams;
  std::map<std::u16string, CLSID> classes;
};
Snapshot snapshot(const std::filesystem::path& path);

// The bytes of the stream at `elements` (storage names, then the stream).
std::vector<uint8_t> readElement(const std::filesystem::path& path,
                                 const std::vector<std::u16string>& elements);
// Replaces that stream's bytes.
void writeElement(const std::filesystem::path& path, const std::vector<std::u16string>& elements,
                  const std::vector<uint8_t>& bytes);

}  // namespace velmora::test
