#include "cfb/property_set_hook.h"

#include <atomic>

namespace velmora::cfb {

static std::atomic<PropertySetFactory> g_factory{nullptr};

void setPropertySetFactory(PropertySetFactory factory) { g_factory.store(factory); }

PropertySetFactory propertySetFactory() { return g_factory.load(); }

}  // namespace velmora::cfb
