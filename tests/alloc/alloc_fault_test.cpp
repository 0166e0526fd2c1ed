// Allocation failure in the manner of a host that runs out of memory: each
// operation runs through the plug-in's real entry points (found through the
// registry and loaded by the platform, as a host finds it), once cleanly to
// count its allocations, then again and again with the Nth allocation
// failing. Each run must end in success, or in a failure reported as a
// memory failure; never a crash, an exception out of a C entry point, a
// leak, or a success that did not happen. After every write the document
// passes the engine's integrity check and holds the old or the new values,
// the new ones whenever the write was reported done.
//
// CI samples N (VELMORA_ALLOC_RUNS runs per operation at most, 120 unless
// set); VELMORA_ALLOC_SWEEP=all fails every allocation in turn, and
// VELMORA_ALLOC_FAIL_AT=N runs that one allocation alone.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cfb/file_io.h"
#include "cfb/storage.h"
#include "host/vlt_interfaces.h"
#include "host/vlt_records.h"
#include "module/velmora_lib.h"
#include "propstore/catalogue.h"
#include "tests/alloc/alloc_hook.h"
#include "tests/support/process.h"
#include "tests/support/registry_dump.h"
#include "tests/support/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_LSAN 1
#endif
#endif
#ifdef VELMORA_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

const std::string kPlugin = std::string(VELMORA_BINARY_DIR) + "/Velmora.so";
const std::string kMakeSample = std::string(VELMORA_BINARY_DIR) + "/make_sample";

bool isMemoryFailure(HRESULT hr) {
  return hr == E_OUTOFMEMORY || hr == STG_E_INSUFFICIENTMEMORY ||
         hr == HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
}

// What an attribute operation may answer: done, or a failure, which the
// navigator reports with its one catch-all code or a memory code.
bool isNavigatorOutcome(HRESULT hr) {
  return hr == S_OK || hr == VLT_E_FILE_ACCESS || isMemoryFailure(hr);
}

std::string hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

// One value as text, enough to tell any two stored values apart.
std::string describe(const VARIANT& v) {
  std::string out = std::to_string(v.vt) + ":";
  switch (v.vt) {
    case VT_EMPTY: return out;
    case VT_BSTR:
      for (UINT i = 0; v.bstrVal && i < SysStringLen(v.bstrVal); ++i)
        out += std::to_string(v.bstrVal[i]) + ",";
      return out;
    case VT_I2:
    case VT_BOOL: return out + std::to_string(v.iVal);
    case VT_I4: return out + std::to_string(v.lVal);
    case VT_R4: return out + std::to_string(v.fltVal);
    case VT_R8:
    case VT_DATE: return out + std::to_string(v.dblVal);
    default: return out + std::to_string(v.llVal);
  }
}

// Attribute records (block, name) that free what they own.
class Records {
 public:
  void add(const char16_t* block, const char16_t* name) {
    VltAttribute r = {};
    r.bsBlock = SysAllocString(block);
    r.bsName = SysAllocString(name);
    VariantInit(&r.oValue);
    m_records.push_back(r);
  }
  ~Records() {
    for (auto& r : m_records) {
      SysFreeString(r.bsBlock);
      SysFreeString(r.bsName);
      VariantClear(&r.oValue);
    }
  }
  VltAttribute* data() { return m_records.data(); }
  LONG size() const { return static_cast<LONG>(m_records.size()); }
  VltAttribute& operator[](size_t i) { return m_records[i]; }

 private:
  std::vector<VltAttribute> m_records;
};

// Every catalogued property of every read block, and the custom ones the
// sample holds and the writes add.
void addEveryAttribute(Records& records) {
  for (const BlockDef& block : g_ReadBlocks) {
    if (block.iSet == kCustomBlock) {
      for (const char16_t* name : {u"Project", u"Revision", u"Approved", u"Due", u"Fresh"})
        records.add(block.name, name);
      continue;
    }
    const PropSetDef& set = g_PropSets[block.iSet];
    for (ULONG i = 0; i < set.cRows; ++i) records.add(block.name, set.pTable[i].name);
  }
}

std::string keyOf(const VltAttribute& r) {
  std::u16string k = std::u16string(r.bsBlock) + u":" + r.bsName;
  return std::string(k.begin(), k.end());
}

// Smart releases for the interfaces a run holds, so that a run cut short
// by a failure still lets go of everything.
template <typename T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  void** out() { return reinterpret_cast<void**>(&p); }
  T* operator->() const { return p; }
};

// A navigator for `path` through the registry and the class object, as a
// host makes one.
HRESULT navigatorFor(const std::u16string& path, Ref<IVltFileNavigator>& nav) {
  Ref<IVltFileFormat> formats;
  HRESULT hr = CoCreateInstance(CLSID_CompDocFormats, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IVltFileFormat, formats.out());
  if (FAILED(hr)) return hr;
  return formats->CreateNavigator(path.c_str(), 0, &nav.p);
}

// Every attribute of the document by key, read with no fault.
std::map<std::string, std::string> readAll(const fs::path& path) {
  std::map<std::string, std::string> out;
  Ref<IVltFileNavigator> nav;
  HRESULT hr = navigatorFor(path.u16string(), nav);
  if (FAILED(hr)) return {{"!", "no navigator " + hex(hr)}};
  Records records;
  addEveryAttribute(records);
  hr = nav->ReadAttributes(0, 0, 0, records.size(), records.data());
  if (hr != S_OK) return {{"!", "read failed " + hex(hr)}};
  for (LONG i = 0; i < records.size(); ++i)
    if (records[i].bHandled) out[keyOf(records[i])] = describe(records[i].oValue);
  return out;
}

// The link sources of the document, read with no fault.
std::vector<std::u16string> sourcesOf(const fs::path& path) {
  Ref<IVltFileNavigator> nav;
  if (FAILED(navigatorFor(path.u16string(), nav))) return {u"!"};
  LONG count = 0;
  VltReference* refs = nullptr;
  if (nav->GetReferences(0, &count, &refs) != S_OK) return {u"!"};
  std::vector<std::u16string> out;
  for (LONG i = 0; i < count; ++i) {
    out.emplace_back(refs[i].bsFullPath, SysStringLen(refs[i].bsFullPath));
    SysFreeString(refs[i].bsFullPath);
    SysFreeString(refs[i].bsFileName);
  }
  CoTaskMemFree(refs);
  return out;
}

std::string integrityOf(const fs::path& path) {
  auto file = cfb::openPosixFile(path.string(), false, cfb::Disposition::OpenExisting);
  if (!file) return "cannot open: " + file.error().message;
  auto checked = cfb::checkIntegrity(**file, true);
  return checked ? "" : checked.error().message;
}

// One operation under test: made ready with no fault, run with the hook
// armed, then judged with no fault. `judge` returns what is wrong, or "".
struct Operation {
  const char* name;
  std::function<void()> prepare;
  // Adds the codes it met to the list, whose room is reserved beforehand.
  std::function<void(std::vector<HRESULT>&)> run;
  std::function<std::string(const std::vector<HRESULT>&, bool struck)> judge;
};

constexpr size_t kMaxCodes = 32;

long envLong(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atol(v) : fallback;
}

// The N to fail for an operation of `total` allocations: all of them in a
// full sweep; else the first ones (start-up paths fail early) and an even
// spread over the rest, shifted by a prime so neighbouring operations do
// not fall on the same rhythm.
std::vector<long> schedule(long total) {
  if (long one = envLong("VELMORA_ALLOC_FAIL_AT", 0)) return {one};
  std::vector<long> out;
  const char* sweep = std::getenv("VELMORA_ALLOC_SWEEP");
  long budget = envLong("VELMORA_ALLOC_RUNS", 120);
  if ((sweep && std::string(sweep) == "all") || total <= budget) {
    for (long n = 1; n <= total; ++n) out.push_back(n);
    return out;
  }
  long head = budget / 4;
  for (long n = 1; n <= head; ++n) out.push_back(n);
  long rest = budget - head;
  double step = double(total - head) / double(rest);
  for (long k = 0; k < rest; ++k) {
    long n = head + 1 + long(k * step) + (k * 7919) % std::max(1L, long(step));
    if (n > out.back() && n <= total) out.push_back(n);
  }
  return out;
}

class AllocFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_registry = new ScratchRegistry;
    s_dir = new TempDir;
    int status = -1;
    for (const char* name : {"sample.doc", "sample.xls"}) {
      runCommand(
          shellQuote(kMakeSample) + " --links --scalars " + shellQuote(s_dir->file(name).string()),
          status);
      ASSERT_EQ(0, status) << "make_sample " << name;
    }
    registerPlugin();
  }
  static void TearDownTestSuite() {
    CoFreeUnusedLibrariesEx(0, 0);
    delete s_dir;
    delete s_registry;
  }

  // The plug-in registered in the scratch registry, with no fault.
  static void registerPlugin() {
    void* lib = dlopen(kPlugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(lib) << dlerror();
    auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllRegisterServer"));
    ASSERT_EQ(S_OK, reg());
    dlclose(lib);
  }

  fs::path pristine(const char* name) { return s_dir->file(name); }
  fs::path victim(const char* name) { return s_dir->file(std::string("victim-") + name); }
  void freshCopy(const char* name) {
    fs::copy_file(pristine(name), victim(name), fs::copy_options::overwrite_existing);
  }

  // Runs the operation clean, then with each scheduled allocation failing.
  void sweep(const Operation& op) {
    op.prepare();
    std::vector<HRESULT> clean;
    clean.reserve(kMaxCodes);
    alloc::arm(0);
    op.run(clean);
    long total = alloc::disarm();
    std::string wrong = op.judge(clean, false);
    ASSERT_EQ("", wrong) << op.name << " without a fault";
    for (HRESULT hr : clean) ASSERT_EQ(S_OK, hr) << op.name << " without a fault";

    long runs = 0, struck = 0, faults = 0;
    for (long n : schedule(total)) {
      op.prepare();
      std::vector<HRESULT> codes;
      codes.reserve(kMaxCodes);
      std::string escaped;
      alloc::arm(n);
      try {
        op.run(codes);
      } catch (const std::exception& e) {
        escaped = std::string("an exception escaped: ") + e.what();
      } catch (...) {
        escaped = "an exception escaped";
      }
      alloc::disarm();
      ++runs;
      bool hit = alloc::struck();
      struck += hit;
      wrong = escaped.empty() ? op.judge(codes, hit) : escaped;
      if (!wrong.empty()) {
        std::string list;
        for (HRESULT hr : codes) list += " " + hex(hr);
        ADD_FAILURE() << op.name << ", allocation " << n << " of " << total << " failing: " << wrong
                      << " (codes:" << list << ")";
        if (++faults >= 10) break;
      }
    }
#ifdef VELMORA_LSAN
    EXPECT_EQ(0, __lsan_do_recoverable_leak_check()) << op.name << " leaked (see the report above)";
#endif
    std::printf("[ alloc    ] %s: %ld allocations, %ld runs, %ld failed an allocation\n", op.name,
                total, runs, struck);
    std::fflush(stdout);
  }

  // A write's verdict: the document sound, `changed` keys old or new (new
  // when `done`), every other attribute as before.
  std::string judgeWrite(const fs::path& path, const std::map<std::string, std::string>& before,
                         const std::map<std::string, std::string>& after,
                         const std::vector<std::string>& changed, bool done) {
    if (std::string damage = integrityOf(path); !damage.empty()) return "damaged: " + damage;
    std::map<std::string, std::string> now = readAll(path);
    if (now.count("!")) return now["!"];
    for (auto& [key, value] : before) {
      bool isChanged = std::find(changed.begin(), changed.end(), key) != changed.end();
      if (!isChanged && now[key] != value) return key + " changed";
    }
    for (const std::string& key : changed) {
      auto at = now.find(key);
      std::string v = at == now.end() ? "<none>" : at->second;
      auto was = before.find(key);
      bool isOld = was == before.end() ? at == now.end() : v == was->second;
      bool isNew = v == after.at(key);
      if (!isOld && !isNew) return key + " is neither old nor new: " + v;
      if (done && !isNew) return key + " reported written but not in the document";
    }
    return "";
  }

  static ScratchRegistry* s_registry;
  static TempDir* s_dir;
};

ScratchRegistry* AllocFaultTest::s_registry = nullptr;
TempDir* AllocFaultTest::s_dir = nullptr;

TEST_F(AllocFaultTest, ReadingEverySetReportsTheFailureOrReadsItAll) {
  const auto expected = readAll(pristine("sample.doc"));
  ASSERT_FALSE(expected.count("!")) << expected.at("!");
  const std::u16string path = pristine("sample.doc").u16string();
  sweep({"read", [] {},
         [&](std::vector<HRESULT>& codes) {
           Ref<IVltFileNavigator> nav;
           HRESULT hr = navigatorFor(path, nav);
           codes.push_back(hr);
           if (FAILED(hr)) return;
           std::optional<Records> all, one;
           {
             alloc::Paused host;
             all.emplace();
             addEveryAttribute(*all);
             one.emplace();
             one->add(u"DocSummary", u"Company");
             one->add(u"Summary", u"Title");
           }
           HRESULT hrRead = nav->ReadAttributes(0, 0, 0, all->size(), all->data());
           // A second navigator for the priority-ordered read.
           Ref<IVltFileNavigator> second;
           Ref<ICompDocFile> file;
           HRESULT hrFirst = navigatorFor(path, second);
           if (SUCCEEDED(hrFirst)) hrFirst = second->QueryInterface(IID_ICompDocFile, file.out());
           if (SUCCEEDED(hrFirst)) {
             BSTR prio = SysAllocString(u"Summary\nDocSummary");
             hrFirst = prio ? file->AttribGetFirst(one->size(), one->data(), prio) : E_OUTOFMEMORY;
             SysFreeString(prio);
           }
           alloc::Paused host;
           std::map<std::string, std::string> got;
           for (LONG i = 0; i < all->size(); ++i)
             if ((*all)[i].bHandled) got[keyOf((*all)[i])] = describe((*all)[i].oValue);
           bool whole = got == expected;
           bool firstRight = (*one)[1].bHandled && !(*one)[0].bHandled &&
                             describe((*one)[1].oValue) == expected.at("Summary:Title");
           // S_OK with anything missing or different is a read that did not
           // happen: reported as a last, unexpected code.
           codes.insert(codes.end(), {hrRead, hrFirst,
                                      (hrRead == S_OK && !whole) || (hrFirst == S_OK && !firstRight)
                                          ? E_UNEXPECTED
                                          : S_OK});
         },
         [](const std::vector<HRESULT>& codes, bool) -> std::string {
           if (codes.size() == 1)
             return isMemoryFailure(codes[0]) ? "" : "navigator not made: " + hex(codes[0]);
           if (codes[3] != S_OK) return "S_OK, but not every value was delivered as stored";
           for (HRESULT hr : codes)
             if (!isNavigatorOutcome(hr)) return "not a memory failure: " + hex(hr);
           return "";
         }});
}

// The two records of the writes, their values allocated by the host.
void fillWriteRecords(Records& records, bool withCustom) {
  records.add(u"Summary", u"Title");
  records[0].oValue.vt = VT_BSTR;
  records[0].oValue.bstrVal = SysAllocString(u"Bracket assembly, revised");
  if (!withCustom) return;
  records.add(u"CustomProperty", u"Fresh");
  records[1].oValue.vt = VT_BSTR;
  records[1].oValue.bstrVal = SysAllocString(u"fresh value");
}

TEST_F(AllocFaultTest, WritingAnAttributeAndANewCustomPropertyNeverDamages) {
  const fs::path path = victim("sample.doc");
  const std::u16string wpath = path.u16string();
  const auto before = readAll(pristine("sample.doc"));
  std::map<std::string, std::string> after;
  {
    Records records;
    fillWriteRecords(records, true);
    after["Summary:Title"] = describe(records[0].oValue);
    // A new custom text property is read back as the text it was given.
    after["CustomProperty:Fresh"] = describe(records[1].oValue);
  }
  const std::vector<std::string> changed = {"Summary:Title", "CustomProperty:Fresh"};

  sweep({"write and close", [&] { freshCopy("sample.doc"); },
         [&](std::vector<HRESULT>& codes) {
           Ref<IVltFileNavigator> nav;
           HRESULT hr = navigatorFor(wpath, nav);
           codes.push_back(hr);
           if (FAILED(hr)) return;
           std::optional<Records> records;
           {
             alloc::Paused host;
             records.emplace();
             fillWriteRecords(*records, true);
           }
           codes.push_back(nav->WriteAttributes(0, 0, 0, records->size(), records->data(), 0));
           codes.push_back(nav->CloseFile());
           codes.push_back((*records)[0].bHandled && (*records)[1].bHandled ? S_OK : S_FALSE);
         },
         [&](const std::vector<HRESULT>& codes, bool) -> std::string {
           for (size_t i = 0; i + 1 < codes.size(); ++i)
             if (!isNavigatorOutcome(codes[i])) return "not a memory failure: " + hex(codes[i]);
           bool done =
               codes.size() == 4 && codes[1] == S_OK && codes[2] == S_OK && codes[3] == S_OK;
           return judgeWrite(path, before, after, changed, done);
         }});

  // The priority-ordered write, committed by the navigator's last release
  // alone, which cannot report: old or new, never damaged.
  sweep({"set first and release", [&] { freshCopy("sample.doc"); },
         [&](std::vector<HRESULT>& codes) {
           Ref<IVltFileNavigator> nav;
           HRESULT hr = navigatorFor(wpath, nav);
           if (SUCCEEDED(hr)) {
             Ref<ICompDocFile> file;
             hr = nav->QueryInterface(IID_ICompDocFile, file.out());
             if (SUCCEEDED(hr)) {
               std::optional<Records> records;
               BSTR prio = nullptr;
               {
                 alloc::Paused host;
                 records.emplace();
                 fillWriteRecords(*records, false);
                 prio = SysAllocString(u"DocSummary\nSummary");
               }
               hr = file->AttribSetFirst(records->size(), records->data(), prio);
               SysFreeString(prio);
             }
           }
           codes.push_back(hr);
         },
         [&](const std::vector<HRESULT>& codes, bool) -> std::string {
           for (HRESULT hr : codes)
             if (!isNavigatorOutcome(hr)) return "not a memory failure: " + hex(hr);
           return judgeWrite(path, before, after, {"Summary:Title"}, false);
         }});
}

TEST_F(AllocFaultTest, DiscoveringAndUpdatingLinksNeverDamages) {
  for (const char* name : {"sample.doc", "sample.xls"}) {
    const fs::path path = victim(name);
    const std::u16string wpath = path.u16string();
    const std::vector<std::u16string> before = sourcesOf(pristine(name));
    ASSERT_EQ(2u, before.size());
    const std::u16string moved = u"D:\\Moved\\bom.xls";
    std::string opName = std::string("links of ") + name;
    sweep({opName.c_str(), [&] { freshCopy(name); },
           [&](std::vector<HRESULT>& codes) {
             Ref<IVltFileNavigator> nav;
             HRESULT hr = navigatorFor(wpath, nav);
             codes.push_back(hr);
             if (FAILED(hr)) return;
             LONG count = 0;
             VltReference* refs = nullptr;
             HRESULT hrGet = nav->GetReferences(0, &count, &refs);
             codes.push_back(hrGet);
             codes.push_back(hrGet == S_OK && count != 2 ? E_UNEXPECTED : S_OK);
             for (LONG i = 0; hrGet == S_OK && i < count; ++i) {
               SysFreeString(refs[i].bsFullPath);
               SysFreeString(refs[i].bsFileName);
             }
             CoTaskMemFree(refs);
             VltReference record = {};
             {
               alloc::Paused host;
               record.bsFileName = SysAllocString(u"bom.xls");
               record.bsFullPath = SysAllocString(moved.c_str());
             }
             codes.push_back(nav->UpdateReferences(0, 1, &record));
             SysFreeString(record.bsFileName);
             SysFreeString(record.bsFullPath);
           },
           [&](const std::vector<HRESULT>& codes, bool) -> std::string {
             // A relink that stops part-way answers E_FAIL by design.
             for (HRESULT hr : codes)
               if (!isNavigatorOutcome(hr) && hr != E_FAIL)
                 return "not a memory failure: " + hex(hr);
             if (codes.size() > 2 && codes[2] != S_OK) return "S_OK with links missing";
             if (std::string damage = integrityOf(path); !damage.empty())
               return "damaged: " + damage;
             std::vector<std::u16string> now = sourcesOf(path);
             if (now.size() != before.size()) return "links lost";
             bool done = codes.size() == 4 && codes[3] == S_OK;
             for (size_t i = 0; i < now.size(); ++i) {
               bool isOld = now[i] == before[i];
               bool isNew = before[i].ends_with(u"bom.xls") ? now[i] == moved : isOld;
               if (!isOld && !isNew) return "a link is neither old nor new";
               if (done && !isNew) return "reported relinked but not in the document";
             }
             return "";
           }});
  }
}

TEST_F(AllocFaultTest, RegisteringAndUnregisteringReportTheFailure) {
  const std::string registered = dumpRegistry();
  sweep({"register and unregister", [] {},
         [](std::vector<HRESULT>& codes) {
           void* lib = dlopen(kPlugin.c_str(), RTLD_NOW | RTLD_LOCAL);
           if (!lib) {
             codes.push_back(E_OUTOFMEMORY);
             return;
           }
           auto reg = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllRegisterServer"));
           auto unreg = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllUnregisterServer"));
           codes.push_back(reg());
           codes.push_back(unreg());
           dlclose(lib);
         },
         [&](const std::vector<HRESULT>& codes, bool) -> std::string {
           std::string wrong;
           for (HRESULT hr : codes)
             if (hr != S_OK && !isMemoryFailure(hr)) wrong = "not a memory failure: " + hex(hr);
           // Unregistration reported done leaves none of the classes.
           if (wrong.empty() && codes.size() == 2 && codes[1] == S_OK &&
               dumpRegistry().find("Velmora") != std::string::npos)
             wrong = "unregistered, yet a class is still there";
           registerPlugin();
           if (wrong.empty() && dumpRegistry() != registered) wrong = "registering again differs";
           return wrong;
         }});
}

TEST_F(AllocFaultTest, CreatingTheClassObjectsReportsTheFailureAndLeavesNoLock) {
  const std::u16string path = pristine("sample.doc").u16string();
  sweep({"class objects", [] { CoFreeUnusedLibrariesEx(0, 0); },
         [&](std::vector<HRESULT>& codes) {
           for (const CLSID* clsid : {&CLSID_CompDocFormats, &CLSID_CompDocFile}) {
             Ref<IClassFactory> factory;
             HRESULT hr = CoGetClassObject(*clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                           factory.out());
             codes.push_back(hr);
             if (FAILED(hr)) continue;
             codes.push_back(factory->LockServer(TRUE));
             Ref<IUnknown> object;
             codes.push_back(factory->CreateInstance(nullptr, IID_IUnknown, object.out()));
             if (object.p && clsid == &CLSID_CompDocFormats) {
               Ref<IVltFileFormat> formats;
               codes.push_back(object->QueryInterface(IID_IVltFileFormat, formats.out()));
               BSTR company = nullptr, description = nullptr, extensions = nullptr;
               if (formats.p) {
                 codes.push_back(formats->GetFormatInfo(&company, &description, &extensions));
                 Ref<IVltFileNavigator> nav;
                 codes.push_back(formats->CreateNavigator(path.c_str(), 0, &nav.p));
               }
               SysFreeString(company);
               SysFreeString(description);
               SysFreeString(extensions);
             }
             codes.push_back(factory->LockServer(FALSE));
           }
         },
         [](const std::vector<HRESULT>& codes, bool) -> std::string {
           for (HRESULT hr : codes)
             if (hr != S_OK && !isMemoryFailure(hr)) return "not a memory failure: " + hex(hr);
           // Everything was released: the library may go.
           void* lib = dlopen(kPlugin.c_str(), RTLD_NOW | RTLD_NOLOAD);
           if (!lib) return "";
           auto canUnload = reinterpret_cast<HRESULT (*)()>(dlsym(lib, "DllCanUnloadNow"));
           HRESULT hr = canUnload();
           dlclose(lib);
           return hr == S_OK ? "" : "a lock is left after every object and lock was released";
         }});
}

}  // namespace
}  // namespace velmora::test
