// Moniker parsing: any bytes either parse or are refused with an HRESULT;
// what parses keeps its bytes (saving it writes exactly what was read),
// parses again to the same display name, and comes through the COM face
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
  std::u16string name = displayName(*m.value());
  if (displayName(*again.value()) != name) std::abort();
  std::vector<uint8_t>* buffer = nullptr;
  IStream* stream = makeMemoryStream(&buffer);
  *buffer = bytes;
  IMoniker* loaded = nullptr;
  if (OleLoadFromStream(stream, IID_IMoniker, reinterpret_cast<void**>(&loaded)) != S_OK)
    std::abort();
  LPOLESTR shown = nullptr;
  if (loaded->GetDisplayName(nullptr, nullptr, &shown) != S_OK || name != shown) std::abort();
  CoTaskMemFree(shown);
  loaded->Release();
  stream->Release();
  return 0;
}
