// RegisterTypeLib and UnRegisterTypeLib write and remove the keys Windows
// keeps for a type library:
//
//   TypeLib\{libid}\{major}.{minor}            = help string (else the name)
//   TypeLib\{libid}\{major}.{minor}\{lcid}\win32 = the library's path
//   TypeLib\{libid}\{major}.{minor}\FLAGS      = the library flags, decimal
//   TypeLib\{libid}\{major}.{minor}\HELPDIR    = the help folder
//
// Versions and locales are written in hexadecimal, as Windows does. Only
// dispinterfaces and interfaces marked dual or oleautomation get an
// Interface\{iid} key (marshalled by the automation marshaler); plain vtable
// interfaces such as a plug-in's own are left to their own proxies.
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "registry/registry.h"
#include "text/text.h"

namespace velmora::oleauto {
namespace {

// {00020424-0000-0000-C000-000000000046}, the automation marshaler for
// vtable interfaces; dispinterfaces use {00020420-...}.
constexpr GUID kPSOAInterface = {0x00020424, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kPSDispatch = {0x00020420, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::u16string guidText(REFGUID g) {
  WCHAR buf[40];
  StringFromGUID2(g, buf, 40);
  return buf;
}

std::u16string ascii(const char* s) { return text::utf16FromUtf8(s); }

std::u16string hexText(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", v);
  return ascii(buf);
}

std::u16string versionText(WORD major, WORD minor) {
  return hexText(major) + u"." + hexText(minor);
}

const char16_t* syskindName(SYSKIND k) {
  switch (k) {
    case SYS_WIN16: return u"win16";
    case SYS_WIN32: return u"win32";
    case SYS_MAC: return u"mac";
    case SYS_WIN64: return u"win64";
  }
  return nullptr;
}

// Creates `path` under HKCR and sets its default value, or its value `name`.
LSTATUS setString(const std::u16string& path, const char16_t* name, const std::u16string& value) {
  HKEY hKey = nullptr;
  LSTATUS s = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &hKey, nullptr);
  if (s != ERROR_SUCCESS) return s;
  s = RegSetValueExW(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(hKey);
  return s;
}

// Whether the key at `path` has sub-keys (with `localeOnly`, sub-keys other
// than FLAGS and HELPDIR: the locale keys under a version key). A missing key
// has none; any other failure is returned, since answering "none" to a
// failed look would delete keys other registrations still use.
LSTATUS hasSubKeys(const std::u16string& path, bool localeOnly, bool& found) {
  found = false;
  HKEY hKey = nullptr;
  LSTATUS s = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &hKey);
  if (s == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (s != ERROR_SUCCESS) return s;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD cch = 256;
    s = RegEnumKeyExW(hKey, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (s == ERROR_NO_MORE_ITEMS) {
      s = ERROR_SUCCESS;
      break;
    }
    if (s != ERROR_SUCCESS && s != ERROR_MORE_DATA) break;
    if (!localeOnly || s == ERROR_MORE_DATA ||
        (lstrcmpiW(name, u"FLAGS") != 0 && lstrcmpiW(name, u"HELPDIR") != 0)) {
      found = true;
      s = ERROR_SUCCESS;
      break;
    }
  }
  RegCloseKey(hKey);
  return s;
}

bool registersInterface(const TYPEATTR& attr) {
  return attr.typekind == TKIND_DISPATCH ||
         (attr.typekind == TKIND_INTERFACE &&
          (attr.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)));
}

// Calls `each` with the attributes and name of every interface of `lib` that
// registration gives an Interface key.
template <typename Each>
LSTATUS forEachRegisteredInterface(ITypeLib* lib, Each&& each) {
  UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info))) continue;
    TYPEATTR* attr = nullptr;
    LSTATUS s = ERROR_SUCCESS;
    if (SUCCEEDED(info->GetTypeAttr(&attr))) {
      if (registersInterface(*attr)) {
        BSTR name = nullptr;
        info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
        s = each(*attr, std::u16string(name ? name : u""));
        SysFreeString(name);
      }
      info->ReleaseTypeAttr(attr);
    }
    info->Release();
    if (s != ERROR_SUCCESS) return s;
  }
  return ERROR_SUCCESS;
}

// The code for a registry call that failed: a memory failure stays one.
HRESULT registryFailure(LSTATUS s) {
  return s == ERROR_OUTOFMEMORY || s == ERROR_NOT_ENOUGH_MEMORY ? E_OUTOFMEMORY
                                                                : TYPE_E_REGISTRYACCESS;
}

}  // namespace
}  // namespace velmora::oleauto

using namespace velmora::oleauto;

EXTERN_C HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath,
                                        LPCOLESTR szHelpDir) {
  if (!ptlib || !szFullPath) return E_INVALIDARG;
  TLIBATTR* attr = nullptr;
  if (HRESULT hr = ptlib->GetLibAttr(&attr); FAILED(hr)) return hr;
  TLIBATTR lib = *attr;
  ptlib->ReleaseTLibAttr(attr);
  const char16_t* sys = syskindName(lib.syskind);
  if (!sys) return TYPE_E_INVALIDSTATE;
  try {
    BSTR name = nullptr, doc = nullptr;
    HRESULT hrDoc = ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    // Freed however the description's copy ends.
    struct Strings {
      BSTR& a;
      BSTR& b;
      ~Strings() {
        SysFreeString(a);
        SysFreeString(b);
      }
    } held{name, doc};
    // A description lost for want of memory would be registered as empty.
    if (hrDoc == E_OUTOFMEMORY) return hrDoc;
    std::u16string description = doc && *doc ? doc : (name ? name : u"");

    std::u16string libid = guidText(lib.guid);
    std::u16string version = versionText(lib.wMajorVerNum, lib.wMinorVerNum);
    std::u16string key = u"TypeLib\\" + libid + u"\\" + version;
    velmora::registry::Transaction transaction;
    LSTATUS s = transaction.status();
    if (!s) s = setString(key, nullptr, description);
    if (!s) s = setString(key + u"\\" + hexText(lib.lcid) + u"\\" + sys, nullptr, szFullPath);
    if (!s) s = setString(key + u"\\FLAGS", nullptr, ascii(std::to_string(lib.wLibFlags).c_str()));
    if (!s) s = setString(key + u"\\HELPDIR", nullptr, szHelpDir ? szHelpDir : u"");
    if (!s)
      s = forEachRegisteredInterface(ptlib, [&](const TYPEATTR& type, const std::u16string& n) {
        std::u16string ikey = u"Interface\\" + guidText(type.guid);
        std::u16string proxy =
            guidText(type.typekind == TKIND_DISPATCH ? kPSDispatch : kPSOAInterface);
        LSTATUS r = setString(ikey, nullptr, n);
        if (!r) r = setString(ikey + u"\\ProxyStubClsid", nullptr, proxy);
        if (!r) r = setString(ikey + u"\\ProxyStubClsid32", nullptr, proxy);
        if (!r) r = setString(ikey + u"\\TypeLib", nullptr, libid);
        if (!r) r = setString(ikey + u"\\TypeLib", u"Version", version);
        return r;
      });
    LSTATUS c = transaction.commit();
    return s ? registryFailure(s) : c ? registryFailure(c) : S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

EXTERN_C HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                          SYSKIND syskind) {
  const char16_t* sys = syskindName(syskind);
  if (!sys) return E_INVALIDARG;
  try {
    std::u16string libid = guidText(libID);
    std::u16string libKey = u"TypeLib\\" + libid;
    std::u16string key = libKey + u"\\" + versionText(wVerMajor, wVerMinor);
    std::u16string localeKey = key + u"\\" + hexText(lcid);
    std::u16string pathKey = localeKey + u"\\" + sys;

    velmora::registry::Transaction transaction;
    if (LSTATUS t = transaction.status()) return registryFailure(t);
    HKEY hKey = nullptr;
    if (LSTATUS o = RegOpenKeyExW(HKEY_CLASSES_ROOT, pathKey.c_str(), 0, KEY_READ, &hKey))
      return registryFailure(o);
    WCHAR path[4 * MAX_PATH] = {};
    DWORD size = sizeof path - sizeof(WCHAR);
    LSTATUS s =
        RegQueryValueExW(hKey, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(hKey);

    // The interfaces to remove are read from the library the key names;
    // when it is gone, only its TypeLib keys can be removed.
    if (s != ERROR_SUCCESS && registryFailure(s) == E_OUTOFMEMORY) return E_OUTOFMEMORY;
    ITypeLib* lib = nullptr;
    HRESULT hrLoad = s == ERROR_SUCCESS ? LoadTypeLib(path, &lib) : E_FAIL;
    // Its interfaces could not be listed for want of memory: removing only
    // the TypeLib keys would strand them.
    if (hrLoad == E_OUTOFMEMORY) return hrLoad;
    if (SUCCEEDED(hrLoad)) {
      s = forEachRegisteredInterface(lib, [&](const TYPEATTR& type, const std::u16string&) {
        LSTATUS r =
            RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"Interface\\" + guidText(type.guid)).c_str());
        return r == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : r;
      });
      lib->Release();
      if (s) return registryFailure(s);
    }
    s = RegDeleteTreeW(HKEY_CLASSES_ROOT, pathKey.c_str());
    bool found = false;
    if (!s && !(s = hasSubKeys(localeKey, false, found)) && !found)
      s = RegDeleteKeyW(HKEY_CLASSES_ROOT, localeKey.c_str());
    if (!s && !(s = hasSubKeys(key, true, found)) && !found)
      s = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (!s && !(s = hasSubKeys(libKey, false, found)) && !found)
      s = RegDeleteKeyW(HKEY_CLASSES_ROOT, libKey.c_str());
    LSTATUS c = transaction.commit();
    return s ? registryFailure(s) : c ? registryFailure(c) : S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
