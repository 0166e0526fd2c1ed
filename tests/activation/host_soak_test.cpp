// A long-running host: one process activates the plug-in through the
// registry and, document after document, reads every attribute, writes one
// and relinks, releasing everything each time, as a vault host does for
// days. Live heap and open descriptors must stay flat once warm.
// VELMORA_SOAK_DOCUMENTS sets the count (120 unless set; 100000 for the
// long run), and the figures are printed.
#include <gtest/gtest.h>
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/vlt_interfaces.h"
#include "host/vlt_records.h"
#include "module/velmora_lib.h"
#include "tests/support/process.h"
#include "tests/support/registry_dump.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's count of live bytes: freed blocks wait in its quarantine,
// so the process's size says nothing there.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define VELMORA_LIVE_HEAP() __sanitizer_get_current_allocated_bytes()
#else
#define VELMORA_LIVE_HEAP() mallinfo2().uordblks
#endif

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

size_t openDescriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// One host round on `path`: every attribute of two blocks read, the title
// written and closed, the links pointed at `target`. False on any failure.
bool hostRound(const std::u16string& path, const char16_t* title, const char16_t* target) {
  IVltFileFormat* formats = nullptr;
  if (CoCreateInstance(CLSID_CompDocFormats, nullptr, CLSCTX_INPROC_SERVER, IID_IVltFileFormat,
                       reinterpret_cast<void**>(&formats)) != S_OK)
    return false;
  bool ok = true;
  IVltFileNavigator* nav = nullptr;
  ok = formats->CreateNavigator(path.c_str(), 0, &nav) == S_OK;
  formats->Release();
  if (!ok) return false;

  VltAttribute records[4] = {};
  const char16_t* pairs[4][2] = {{u"Summary", u"Title"},
                                 {u"Summary", u"Author"},
                                 {u"DocSummary", u"Company"},
                                 {u"CustomProperty", u"Project"}};
  for (int i = 0; i < 4; ++i) {
    records[i].bsBlock = SysAllocString(pairs[i][0]);
    records[i].bsName = SysAllocString(pairs[i][1]);
  }
  ok = nav->ReadAttributes(0, 0, 0, 4, records) == S_OK && records[0].bHandled;
  for (auto& r : records) VariantClear(&r.oValue);

  VARIANT& v = records[0].oValue;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(title);
  records[0].bHandled = 0;
  ok = ok && nav->WriteAttributes(0, 0, 0, 1, records, 0) == S_OK && records[0].bHandled;
  ok = ok && nav->CloseFile() == S_OK;
  for (auto& r : records) {
    VariantClear(&r.oValue);
    SysFreeString(r.bsBlock);
    SysFreeString(r.bsName);
  }

  VltReference link = {};
  link.bsFileName = SysAllocString(u"bom.xls");
  link.bsFullPath = SysAllocString(target);
  ok = ok && nav->UpdateReferences(0, 1, &link) == S_OK;
  SysFreeString(link.bsFileName);
  SysFreeString(link.bsFullPath);
  LONG count = 0;
  VltReference* refs = nullptr;
  ok = ok && nav->GetReferences(0, &count, &refs) == S_OK && count == 2;
  for (LONG i = 0; i < count; ++i) {
    SysFreeString(refs[i].bsFullPath);
    SysFreeString(refs[i].bsFileName);
  }
  CoTaskMemFree(refs);
  nav->Release();
  return ok;
}

TEST(HostSoakTest, MemoryAndDescriptorsStayFlatOverManyDocuments) {
  ScratchRegistry registry;
  TempDir dir;
  {
    void* lib =
        dlopen((std::string(VELMORA_BINARY_DIR) + "/Velmora.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(lib) << dlerror();
    ASSERT_EQ(S_OK, reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllRegisterServer"))());
    dlclose(lib);
  }
  // A few documents in turn, so caches keyed by file see more than one.
  std::vector<std::u16string> paths;
  for (const char* name : {"a.doc", "b.xls", "c.doc", "d.xls"}) {
    int status = -1;
    runCommand(shellQuote(std::string(VELMORA_BINARY_DIR) + "/make_sample") + " --links " +
                   shellQuote(dir.file(name).string()),
               status);
    ASSERT_EQ(0, status);
    paths.push_back(dir.file(name).u16string());
  }
  const char* env = std::getenv("VELMORA_SOAK_DOCUMENTS");
  const long total = env && *env ? std::atol(env) : 120;
  const long warm = std::max(20L, total / 10);

  size_t heapWarm = 0, fdsWarm = 0, heapPeak = 0;
  for (long i = 0; i < total; ++i) {
    std::u16string title = u"Title " + std::u16string(1, char16_t(u'A' + i % 26));
    const char16_t* target = i % 2 ? u"D:\\Moved\\bom.xls" : u"C:\\Parts\\bom.xls";
    ASSERT_TRUE(hostRound(paths[size_t(i) % paths.size()], title.c_str(), target))
        << "document " << i;
    // A host lets idle libraries go now and then.
    if (i % 50 == 49) CoFreeUnusedLibraries();
    if (i + 1 == warm) {
      heapWarm = VELMORA_LIVE_HEAP();
      fdsWarm = openDescriptors();
    }
    if (i + 1 >= warm) heapPeak = std::max<size_t>(heapPeak, VELMORA_LIVE_HEAP());
  }
  const size_t heapEnd = VELMORA_LIVE_HEAP(), fdsEnd = openDescriptors();
  std::printf(
      "[ soak     ] %ld documents: live heap %zu bytes when warm, %zu at the end, "
      "%zu at most; %zu descriptors when warm, %zu at the end\n",
      total, heapWarm, heapEnd, heapPeak, fdsWarm, fdsEnd);
  EXPECT_EQ(fdsWarm, fdsEnd) << "descriptors leak";
  // A leak of even a few bytes a document shows over the run; the slack is
  // for caches that settle late.
  EXPECT_LT(heapEnd, heapWarm + 256 * 1024) << "the live heap grows with the documents";
}

}  // namespace
}  // namespace velmora::test
