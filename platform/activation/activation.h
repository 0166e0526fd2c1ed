// The activation room: loaded libraries and their resources, and the classes
// the platform itself serves. Activation (CoGetClassObject, CoCreateInstance)
// reads HKEY_CLASSES_ROOT\CLSID\{id}\InprocServer32, loads that library and
// asks its DllGetClassObject; CoFreeUnusedLibraries unloads the libraries
// whose DllCanUnloadNow answers S_OK.
#pragma once
#include <objbase.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"

namespace velmora::activation {

// One entry of a library's resource directory. A Linux library built by this
// project exports an array of these named `velmora_resources`, ended by an
// entry whose type is null: the stand-in for a PE file's resource section.
struct ResourceEntry {
  const char16_t* type;  // "REGISTRY", "TYPELIB", ...
  uint32_t id;
  const uint8_t* data;
  uint64_t size;
};

inline constexpr const char* kResourceDirectorySymbol = "velmora_resources";

// A copy of resource `type`/`id` of the library at `modulePath`. Fails with
// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) when the library does not load,
// ERROR_RESOURCE_TYPE_NOT_FOUND / ERROR_RESOURCE_NAME_NOT_FOUND when it has
// no such resource.
base::Result<std::vector<uint8_t>> loadResource(const std::u16string& modulePath,
                                                std::u16string_view type, uint32_t id);

// A class the platform serves without registry entries, as the system's own
// classes are always available on Windows.
using BuiltinClassFactory = HRESULT (*)(REFIID riid, void** ppv);
void registerBuiltinClass(const CLSID& clsid, BuiltinClassFactory factory);

}  // namespace velmora::activation
