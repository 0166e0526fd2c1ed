// How a root storage answers IID_IPropertySetStorage. The property-set room
// sits above the compound-file engine, so it registers its factory here when
// the platform loads, and the engine asks through this seam.
#pragma once
#include <propidl.h>

namespace velmora::cfb {

using PropertySetFactory = HRESULT (*)(IStorage* root, IPropertySetStorage** out);

// Installs the factory; the property-set room calls it once at load.
void setPropertySetFactory(PropertySetFactory factory);

// The installed factory, or null when the property-set room is not linked;
// the engine then answers E_NOINTERFACE.
PropertySetFactory propertySetFactory();

}  // namespace velmora::cfb
