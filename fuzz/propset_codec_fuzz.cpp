// Property-set parsing: any bytes either parse or are refused with an
// HRESULT; what parses re-serializes, parses again, and keeps its shape
// (sections, ids, unchanged bytes); every readable value decodes and
// re-encodes to the same value, and goes to a PROPVARIANT and back as
// ReadMultiple and WriteMultiple take it; every dictionary name decodes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "propset/codec.h"
#include "propset/property_value.h"

using namespace velmora::propset;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto set = parsePropertySet({data, size});
  // A set parsed only to be read views the stream instead of copying its
  // values; it must read as the copy does, and be refused alike.
  {
    auto stored = std::make_shared_for_overwrite<uint8_t[]>(size);
    if (size) std::memcpy(stored.get(), data, size);
    auto viewed = parsePropertySetViewing(stored, size);
    if (bool(viewed) != bool(set)) std::abort();
    if (set) {
      if (viewed->sections.size() != set->sections.size()) std::abort();
      for (size_t i = 0; i < set->sections.size(); ++i) {
        const auto& a = set->sections[i].properties;
        const auto& b = viewed->sections[i].properties;
        if (a.size() != b.size()) std::abort();
        for (size_t j = 0; j < a.size(); ++j)
          if (a[j].id != b[j].id || a[j].readable != b[j].readable || !(a[j].bytes == b[j].bytes))
            std::abort();
      }
    }
  }
  if (!set) return 0;
  for (auto& section : set->sections) {
    uint16_t cp = section.effectiveCodePage();
    for (const auto& p : section.properties) {
      if (p.id == PID_DICTIONARY || !p.readable) continue;
      size_t used = 0;
      auto v = decodeValue(p.bytes, cp, &used);
      if (!v) std::abort();  // readable means decodable
      auto again = encodeValue(*v, cp);
      // Values decoded leniently may not be storable (a VT_EMPTY inside a
      // variant vector, say); a storable one must decode to itself.
      if (!again) continue;
      size_t used2 = 0;
      auto back = decodeValue(*again, cp, &used2);
      if (!back || !(*back == *v)) std::abort();
      PROPVARIANT pv;
      if (toPropVariant(*v, cp, &pv)) {
        auto stored = fromPropVariant(pv, cp);
        if (stored) (void)encodeValue(*stored, cp);
        PropVariantClear(&pv);
      }
    }
    for (const auto& e : section.dictionary) {
      auto name = decodeName(e.name, cp);
      (void)encodeName(name, cp);
    }
  }
  auto bytes = serializePropertySet(*set);
  auto reparsed = parsePropertySet(bytes);
  if (!reparsed || reparsed->sections.size() != set->sections.size()) std::abort();
  // Rewrite every section from its properties, as a changed set is written.
  for (auto& section : set->sections) section.original.reset();
  auto rewritten = serializePropertySet(*set);
  auto parsed = parsePropertySet(rewritten);
  if (!parsed) std::abort();
  for (size_t i = 0; i < set->sections.size(); ++i) {
    const auto& a = set->sections[i];
    const auto& b = parsed->sections[i];
    size_t kept = 0;
    for (const auto& p : a.properties)
      if (!p.bytes.empty()) ++kept;
    if (b.properties.size() != kept) std::abort();
    for (const auto& p : a.properties) {
      if (p.bytes.empty() || p.id == PID_DICTIONARY) continue;
      const Property* q = b.find(p.id);
      if (!q || q->bytes.size() < p.bytes.size() ||
          !std::equal(p.bytes.begin(), p.bytes.end(), q->bytes.begin()))
        std::abort();
    }
  }
  return 0;
}
