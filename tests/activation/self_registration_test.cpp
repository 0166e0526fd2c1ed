// The plug-in library registers itself, is found again by ProgID and class
// id, and describes itself through its type library, all through the
// platform as a host and an administrator's tool use it.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "module/velmora_lib.h"
#include "platform/typelib/type_library.h"
#include "platform/registry/registry.h"
#include "tests/support/registry_dump.h"

namespace velmora::test {
namespace {

const std::string kPlugin = std::string(VELMORA_BINARY_DIR) + "/Velmora.so";
const std::string kFormatsKey = "CLSID\\{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}";
const std::string kFileKey = "CLSID\\{51BA3E78-ECB2-16F4-A22E-A41505A64625}";
const std::u16string kLibKey = u"TypeLib\\{EEF90444-7203-CA1F-B072-9A3D5354BC0E}";

// The library at `path`, loaded as a registration tool loads it.
class Library {
 public:
  explicit Library(const std::string& path)
      : m_handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (m_handle) dlclose(m_handle);
  }
  bool ok() const { return m_handle != nullptr; }
  HRESULT call(const char* entry) const {
    auto fn = reinterpret_cast<HRESULT (*)()>(dlsym(m_handle, entry));
    return fn ? fn() : E_NOTIMPL;
  }
  HRESULT registerServer() const { return call("DllRegisterServer"); }
  HRESULT unregisterServer() const { return call("DllUnregisterServer"); }

 private:
  void* m_handle;
};

std::string defaultOf(const std::string& key) {
  std::string dump = dumpRegistry(std::u16string(key.begin(), key.end()));
  auto at = dump.find(key + "\\@=");
  if (at == std::string::npos) return "";
  at += key.size() + 3;
  return dump.substr(at, dump.find('\n', at) - at);
}

class SelfRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_plugin.ok()) << dlerror(); }
  ScratchRegistry m_registry;
  Library m_plugin{kPlugin};
};

TEST_F(SelfRegistrationTest, RegisteringTwiceLeavesOneSetOfKeysAndUnregisteringKeepsClsid) {
  ASSERT_EQ(S_OK, m_plugin.registerServer());
  const std::string once = dumpRegistry();
  for (const std::string& key : {kFormatsKey, kFileKey}) {
    EXPECT_NE(std::string::npos, once.find(key + "\\InprocServer32\\@=" + kPlugin + "\n")) << once;
    EXPECT_NE(std::string::npos, once.find(key + "\\InprocServer32\\ThreadingModel=Apartment\n"));
    EXPECT_NE(std::string::npos,
              once.find(key + "\\TypeLib\\@={EEF90444-7203-CA1F-B072-9A3D5354BC0E}\n"));
  }
  EXPECT_EQ("Velmora.CompDocFormats.1", defaultOf("Velmora.CompDocFormats\\CurVer"));
  EXPECT_EQ("{51BA3E78-ECB2-16F4-A22E-A41505A64625}", defaultOf("Velmora.CompDocFile.1\\CLSID"));
  EXPECT_EQ("Velmora 1.0 Type Library",
            defaultOf("TypeLib\\{EEF90444-7203-CA1F-B072-9A3D5354BC0E}\\1.0"));
  EXPECT_EQ(kPlugin, defaultOf("TypeLib\\{EEF90444-7203-CA1F-B072-9A3D5354BC0E}\\1.0\\0\\win32"));
  EXPECT_EQ("0", defaultOf("TypeLib\\{EEF90444-7203-CA1F-B072-9A3D5354BC0E}\\1.0\\FLAGS"));
  EXPECT_EQ(std::string(VELMORA_BINARY_DIR),
            defaultOf("TypeLib\\{EEF90444-7203-CA1F-B072-9A3D5354BC0E}\\1.0\\HELPDIR"));
  EXPECT_EQ(std::string::npos, once.find("Interface")) << "neither interface is dual or automation";

  // Values another tool wrote under a class-id key are gone after the next
  // registration, which otherwise writes the same keys again.
  HKEY h = nullptr;
  std::u16string extra = u"CLSID\\{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}\\InprocServer32";
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, extra.c_str(), 0, KEY_WRITE, &h));
  const char16_t stale[] = u"Both";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"ThreadingModel", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(stale), sizeof stale));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, u"Foreign", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(stale), sizeof stale));
  RegCloseKey(h);
  ASSERT_EQ(S_OK, m_plugin.registerServer());
  EXPECT_EQ(once, dumpRegistry());

  // Unregistering removes both ProgIDs of both classes and both class-id
  // keys, and keeps HKEY_CLASSES_ROOT\CLSID.
  ASSERT_EQ(S_OK, m_plugin.unregisterServer());
  std::string after = dumpRegistry();
  EXPECT_EQ(std::string::npos, after.find("Velmora")) << after;
  EXPECT_EQ(std::string::npos, after.find("{0D8708AD")) << after;
  EXPECT_EQ(std::string::npos, after.find("{51BA3E78")) << after;
  EXPECT_EQ(std::string::npos, after.find("{EEF90444")) << after;
  EXPECT_NE(std::string::npos, after.find("\nCLSID\n")) << after;
}

TEST_F(SelfRegistrationTest, RegisteringFromANewPathRewritesInprocServer32) {
  ASSERT_EQ(S_OK, m_plugin.registerServer());
  TempDir moved;
  std::string copy = (moved.path() / "Velmora.so").string();
  std::filesystem::copy_file(kPlugin, copy);
  {
    Library second(copy);
    ASSERT_TRUE(second.ok()) << dlerror();
    ASSERT_EQ(S_OK, second.registerServer());
  }
  EXPECT_EQ(copy, defaultOf(kFormatsKey + "\\InprocServer32"));
  EXPECT_EQ(copy, defaultOf(kFileKey + "\\InprocServer32"));
  EXPECT_EQ(copy, defaultOf("TypeLib\\{EEF90444-7203-CA1F-B072-9A3D5354BC0E}\\1.0\\0\\win32"));
  EXPECT_EQ(std::string::npos, dumpRegistry().find(kPlugin + "\n"));

  // The host finds the moved library through the registry alone, and the
  // library is unloaded once nothing of it is alive.
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"Velmora.CompDocFile.1", &clsid));
  EXPECT_TRUE(IsEqualCLSID(CLSID_CompDocFile, clsid));
  ICompDocFile* file = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ICompDocFile,
                                   reinterpret_cast<void**>(&file)));
  CoFreeUnusedLibrariesEx(0, 0);
  void* still = dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_LOCAL);
  EXPECT_NE(nullptr, still) << "kept while a navigator lives";
  if (still) dlclose(still);
  file->Release();
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_EQ(nullptr, dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_LOCAL));
}

TEST_F(SelfRegistrationTest, ActivationSaysWhatIsMissing) {
  CLSID clsid{};
  IUnknown* unk = nullptr;
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Velmora.CompDocFormats.1", &clsid));
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_CompDocFormats, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&unk)));
  ASSERT_EQ(S_OK, m_plugin.registerServer());
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_CompDocFormats, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&unk)));
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            CoCreateInstance(CLSID_CompDocFormats, reinterpret_cast<IUnknown*>(&clsid),
                             CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&unk)));
  // A registered server whose file is gone.
  HKEY h = nullptr;
  std::u16string key = u"CLSID\\{51BA3E78-ECB2-16F4-A22E-A41505A64625}\\InprocServer32";
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_WRITE, &h));
  const char16_t gone[] = u"/nonexistent/Velmora.so";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(h, nullptr, 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(gone), sizeof gone));
  RegCloseKey(h);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND),
            CoCreateInstance(CLSID_CompDocFile, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&unk)));
  EXPECT_EQ(nullptr, unk);
}

// Fault injection: the registry refuses one write. Registration stops there
// with that code; what was written before stays, nothing after is written.
TEST_F(SelfRegistrationTest, AFailingStepStopsRegistrationWithItsCode) {
  // A registration and removal first leave HKCR\CLSID and HKCR\TypeLib, so
  // every run below writes the same sequence.
  ASSERT_EQ(S_OK, m_plugin.registerServer());
  ASSERT_EQ(S_OK, m_plugin.unregisterServer());
  const std::string clean = dumpRegistry();
  int writes = 0;
  registry::setWriteFaultHook([&](int) -> LONG { return ++writes, ERROR_SUCCESS; });
  ASSERT_EQ(S_OK, m_plugin.registerServer());
  registry::setWriteFaultHook({});
  ASSERT_EQ(S_OK, m_plugin.unregisterServer());

  struct Case {
    int failAt;
    const char* present;  // written before the failure
    const char* absent;   // would have been written after it
  } cases[] = {
      {0, nullptr, "Velmora"},
      {5, "Velmora.CompDocFormats.1", "Velmora.CompDocFile"},  // inside the first script
      {21, "CompDocFormats Class", "Velmora.CompDocFile"},     // the second script's first write
      {42, "Velmora.CompDocFile.1", "TypeLib\\{EEF90444"},     // after both scripts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failAt);
    registry::setWriteFaultHook([&](int ordinal) -> LONG {
      return ordinal == c.failAt ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    });
    HRESULT hr = m_plugin.registerServer();
    registry::setWriteFaultHook({});
    std::string dump = dumpRegistry();
    if (c.failAt == 42) {
      // The type library's keys go through the registry as one step of their own.
      EXPECT_EQ(TYPE_E_REGISTRYACCESS, hr);
    } else {
      EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), hr);
    }
    if (c.present) {
      EXPECT_NE(std::string::npos, dump.find(c.present)) << dump;
    }
    EXPECT_EQ(std::string::npos, dump.find(c.absent)) << dump;
    m_plugin.unregisterServer();
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kLibKey.c_str());
  }
  EXPECT_EQ(42 + 10, writes)
      << "the cases assume two scripts of 21 writes and the type library's 10";
  EXPECT_EQ(clean, dumpRegistry());
}

// A process that dies at any write of a registration leaves the registry as
// it was before: the registration is one transaction.
TEST_F(SelfRegistrationTest, ACrashAtAnyWriteLeavesTheOldKeys) {
  ASSERT_EQ(S_OK, m_plugin.registerServer());
  const std::string old = dumpRegistry();
  int writes = 0;
  registry::setWriteFaultHook([&](int) -> LONG { return ++writes, ERROR_SUCCESS; });
  ASSERT_EQ(S_OK, m_plugin.registerServer());
  registry::setWriteFaultHook({});
  ASSERT_EQ(old, dumpRegistry());
  for (int cut = 0; cut < writes; cut += 3) {
    registry::closeDatabase();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      TempDir moved;
      std::string copy = (moved.path() / "Velmora.so").string();
      std::filesystem::copy_file(kPlugin, copy);
      Library second(copy);
      registry::setWriteFaultHook([cut](int ordinal) -> LONG {
        if (ordinal == cut) _exit(7);
        return ERROR_SUCCESS;
      });
      registry::Transaction transaction;
      second.registerServer();
      _exit(transaction.commit() == ERROR_SUCCESS ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(7, WEXITSTATUS(status));
    EXPECT_EQ(old, dumpRegistry()) << "crash at write " << cut;
  }
}

// The type library read back from the library file, as a host's tools see it.
TEST(TypeLibraryTest, ReadsBackLibraryClassesAndInterfaces) {
  ITypeLib* lib = nullptr;
  std::u16string path(kPlugin.begin(), kPlugin.end());
  ASSERT_EQ(S_OK, LoadTypeLib(path.c_str(), &lib));
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
  EXPECT_TRUE(IsEqualGUID(LIBID_VELMORALib, attr->guid));
  EXPECT_EQ(1, attr->wMajorVerNum);
  EXPECT_EQ(0, attr->wMinorVerNum);
  EXPECT_EQ(0u, attr->lcid);
  EXPECT_EQ(SYS_WIN32, attr->syskind);
  lib->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(S_OK, lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr));
  EXPECT_EQ(std::u16string(u"VELMORALib"), name);
  EXPECT_EQ(std::u16string(u"Velmora 1.0 Type Library"), doc);
  SysFreeString(name);
  SysFreeString(doc);

  struct Expected {
    const char16_t* name;
    const char16_t* help;
    TYPEKIND kind;
    GUID guid;
    WORD flags;
    UINT funcs;
  } expected[] = {
      {u"ICompDocFormats", u"ICompDocFormats Interface", TKIND_INTERFACE, IID_ICompDocFormats, 0,
       0},
      {u"ICompDocFile", u"ICompDocFile Interface", TKIND_INTERFACE, IID_ICompDocFile, 0, 2},
      {u"CompDocFormats", u"CompDocFormats Class", TKIND_COCLASS, CLSID_CompDocFormats,
       TYPEFLAG_FCANCREATE, 0},
      {u"CompDocFile", u"CompDocFile Class", TKIND_COCLASS, CLSID_CompDocFile, TYPEFLAG_FCANCREATE,
       0},
  };
  ASSERT_EQ(4u, lib->GetTypeInfoCount());
  for (UINT i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(S_OK, lib->GetTypeInfo(i, &info));
    TYPEATTR* type = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&type));
    EXPECT_EQ(expected[i].kind, type->typekind);
    EXPECT_TRUE(IsEqualGUID(expected[i].guid, type->guid));
    EXPECT_EQ(expected[i].flags,
              type->wTypeFlags & (TYPEFLAG_FCANCREATE | TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION));
    EXPECT_EQ(expected[i].funcs, type->cFuncs);
    EXPECT_EQ(1, type->cImplTypes) << "a coclass's default interface, or IUnknown";
    ASSERT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, &name, &doc, nullptr, nullptr));
    EXPECT_EQ(std::u16string(expected[i].name), name);
    EXPECT_EQ(std::u16string(expected[i].help), doc);
    SysFreeString(name);
    SysFreeString(doc);
    if (type->typekind == TKIND_COCLASS) {
      HREFTYPE href = 0;
      INT implFlags = 0;
      ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &href));
      ASSERT_EQ(S_OK, info->GetImplTypeFlags(0, &implFlags));
      EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, implFlags);
      ITypeInfo* iface = nullptr;
      ASSERT_EQ(S_OK, info->GetRefTypeInfo(href, &iface));
      ASSERT_EQ(S_OK, iface->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr));
      EXPECT_EQ(std::u16string(i == 2 ? u"ICompDocFormats" : u"ICompDocFile"), name);
      SysFreeString(name);
      iface->Release();
    }
    info->ReleaseTypeAttr(type);
    info->Release();
  }

  ITypeInfo* info = nullptr;
  ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(IID_ICompDocFile, &info));
  const char16_t* names[2] = {u"AttribSetFirst", u"AttribGetFirst"};
  const USHORT arrayFlags[2] = {PARAMFLAG_FIN, PARAMFLAG_FIN | PARAMFLAG_FOUT};
  for (UINT f = 0; f < 2; ++f) {
    SCOPED_TRACE(f);
    FUNCDESC* desc = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(f, &desc));
    EXPECT_EQ(static_cast<MEMBERID>(0x60010000 + f), desc->memid);
    EXPECT_EQ(VT_HRESULT, desc->elemdescFunc.tdesc.vt);
    EXPECT_EQ(static_cast<SHORT>((3 + f) * 4), desc->oVft) << "slots after IUnknown's three";
    ASSERT_EQ(3, desc->cParams);
    const ELEMDESC* p = desc->lprgelemdescParam;
    EXPECT_EQ(VT_I4, p[0].tdesc.vt);
    EXPECT_EQ(PARAMFLAG_FIN, p[0].paramdesc.wParamFlags);
    ASSERT_EQ(VT_PTR, p[1].tdesc.vt);
    EXPECT_EQ(VT_USERDEFINED, p[1].tdesc.lptdesc->vt);
    EXPECT_EQ(arrayFlags[f], p[1].paramdesc.wParamFlags);
    EXPECT_EQ(VT_BSTR, p[2].tdesc.vt);
    EXPECT_EQ(PARAMFLAG_FIN, p[2].paramdesc.wParamFlags);
    BSTR all[4] = {};
    UINT count = 0;
    ASSERT_EQ(S_OK, info->GetNames(desc->memid, all, 4, &count));
    ASSERT_EQ(4u, count);
    EXPECT_EQ(std::u16string(names[f]), all[0]);
    EXPECT_EQ(std::u16string(u"lArraySize"), all[1]);
    EXPECT_EQ(std::u16string(u"poAttribArray"), all[2]);
    EXPECT_EQ(std::u16string(u"bsPrioBlockList"), all[3]);
    for (BSTR b : all) SysFreeString(b);
    ASSERT_EQ(S_OK, info->GetDocumentation(desc->memid, nullptr, &doc, nullptr, nullptr));
    EXPECT_EQ(std::u16string(f == 0 ? u"method AttribSetFirst" : u"method AttribGetFirst"), doc);
    SysFreeString(doc);
    // The record comes from the host's library, which is not registered here.
    ITypeInfo* record = nullptr;
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, info->GetRefTypeInfo(p[1].tdesc.lptdesc->hreftype, &record));
    info->ReleaseFuncDesc(desc);
  }
  info->Release();
  lib->Release();
}

// The attribute record is imported from the host's library 6.0 by position
// (its seventh type), and the host's library has it there.
TEST(TypeLibraryTest, TheAttributeRecordIsTheHostLibrarysSeventhType) {
  auto bytesOf = [](const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  };
  auto plugin =
      oleauto::parseTypeLibrary(bytesOf(std::string(VELMORA_BINARY_DIR) + "/typelib/velmora.tlb"));
  ASSERT_TRUE(plugin) << plugin.error().message;
  const oleauto::TlbParam& array = plugin->types[1].funcs[0].params[1];
  const oleauto::TlbImport* imp = plugin->import(array.type.href);
  ASSERT_NE(nullptr, imp);
  const GUID hostLib = {
      0x32666F9A, 0xC2D3, 0xDBC2, {0xA8, 0x50, 0x7D, 0x53, 0x0E, 0xAE, 0x01, 0xD8}};
  EXPECT_TRUE(IsEqualGUID(hostLib, imp->libid));
  EXPECT_EQ(6, imp->majorVersion);
  EXPECT_EQ(0, imp->minorVersion);
  EXPECT_FALSE(imp->byGuid);
  EXPECT_EQ(6, imp->index);

  auto host =
      oleauto::parseTypeLibrary(bytesOf(std::string(VELMORA_BINARY_DIR) + "/typelib/vlt_host.tlb"));
  ASSERT_TRUE(host) << host.error().message;
  ASSERT_GT(host->types.size(), 6u);
  EXPECT_EQ(std::u16string(u"VltAttribute"), host->types[6].name);
  EXPECT_EQ(TKIND_RECORD, host->types[6].kind);
  EXPECT_EQ(32u, host->types[6].size) << "the 32-bit layout";
  EXPECT_TRUE(IsEqualGUID(hostLib, host->libid));
}

// Every truncation of the library, and every single damaged byte, is refused
// or read without reading outside the bytes.
TEST(TypeLibraryTest, DamagedLibrariesAreRefusedNotOverrun) {
  std::ifstream in(std::string(VELMORA_BINARY_DIR) + "/typelib/velmora.tlb", std::ios::binary);
  std::vector<uint8_t> good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_TRUE(oleauto::parseTypeLibrary(good));
  EXPECT_EQ(TYPE_E_UNSUPFORMAT, oleauto::parseTypeLibrary(std::span(good).first(3)).code());
  for (size_t n = 4; n < good.size(); ++n) {
    // A shortened copy on the heap, so a read past it is caught by the sanitizers.
    std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
    (void)oleauto::parseTypeLibrary(cut);
  }
  for (size_t i = 0; i < good.size(); ++i) {
    std::vector<uint8_t> bad = good;
    bad[i] ^= 0xA5;
    (void)oleauto::parseTypeLibrary(bad);
  }
}

}  // namespace
}  // namespace velmora::test
