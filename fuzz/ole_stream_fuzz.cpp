// "\1Ole" parsing as the link object loads it: any bytes either parse or
// are refused; what parses re-encodes to the same bytes, and a link's
// monikers either parse or are refused without a crash.
#include <cstdint>
#include <cstdlib>

#include "link/moniker.h"
#include "link/ole_stream.h"

using namespace velmora::link;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto s = parseOleStream({data, size});
  if (!s) return 0;
  std::vector<uint8_t> bytes = encodeOleStream(*s);
  if (bytes != std::vector<uint8_t>(data, data + size)) std::abort();
  if (s->hasAbsolute) {
    auto m = parseMonikerBytes(s->absolute);
    if (m) {
      auto name = displayName(*m.value());
      if (name && name->size() > kMaxDisplayName) std::abort();
    }
  }
  if (s->hasRelative) (void)parseMonikerBytes(s->relative);
  return 0;
}
