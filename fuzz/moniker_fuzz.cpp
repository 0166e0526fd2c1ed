// Moniker parsing: any bytes either parse or are refused with an HRESULT;
// what parses keeps its bytes (saving it writes exactly what was read),
// parses again to the same display name (or is refused the same way for a
// name past the bound), and comes through the COM face
// (OleLoadFromStream, GetDisplayName) unchanged.
#include <ole2.h>

#include <cstdint>
#include <cstdlib>

#include "link/moniker.h"

using namespace velmora::link;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto m = parseMonikerBytes({data, size});
  if (!m) return 0;
  std::vector<uint8_t> bytes = monikerStreamBytes(*m.value());
  if (bytes.size() > size || !std::equal(bytes.begin(), bytes.end(), data)) std::abort();
  auto again = parseMonikerBytes(bytes);
  if (!again) std::abort();
  // A name is whole and within the bound, or refused both times alike.
  auto name = displayName(*m.value());
  auto nameAgain = displayName(*again.value());
  if (name.code() != nameAgain.code() || (name && *name != *nameAgain)) std::abort();
  if (name && name->size() > kMaxDisplayName) std::abort();
  std::vector<uint8_t>* buffer = nullptr;
  IStream* stream = makeMemoryStream(&buffer);
  *buffer = bytes;
  IMoniker* loaded = nullptr;
  if (OleLoadFromStream(stream, IID_IMoniker, reinterpret_cast<void**>(&loaded)) != S_OK)
    std::abort();
  LPOLESTR shown = nullptr;
  HRESULT hr = loaded->GetDisplayName(nullptr, nullptr, &shown);
  if (hr != name.code() || (name ? *name != shown : shown != nullptr)) std::abort();
  CoTaskMemFree(shown);
  loaded->Release();
  stream->Release();
  return 0;
}
