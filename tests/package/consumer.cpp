// A host built against the installed package: it loads the installed plug-in
// and asks its format descriptor for the extension list.
#include <dlfcn.h>

#include <cstdio>

#include "host/vlt_interfaces.h"
#include "module/velmora_lib.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW);
  if (!lib) return std::fprintf(stderr, "%s\n", dlerror()), 1;
  auto get =
      reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, LPVOID*)>(dlsym(lib, "DllGetClassObject"));
  IClassFactory* factory = nullptr;
  if (!get ||
      FAILED(get(CLSID_CompDocFormats, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
    return 1;
  IVltFileFormat* formats = nullptr;
  HRESULT hr =
      factory->CreateInstance(nullptr, IID_IVltFileFormat, reinterpret_cast<void**>(&formats));
  factory->Release();
  if (FAILED(hr)) return 1;
  BSTR company = nullptr, description = nullptr, extensions = nullptr;
  formats->GetFormatInfo(&company, &description, &extensions);
  char text[256] = {};
  WideCharToMultiByte(CP_UTF8, 0, extensions, -1, text, sizeof text, nullptr, nullptr);
  std::printf("%s\n", text);
  SysFreeString(company);
  SysFreeString(description);
  SysFreeString(extensions);
  formats->Release();
  return 0;
}
