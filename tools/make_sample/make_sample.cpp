// make_sample [--links] [--scalars] FILE: writes a small compound document with summary,
// document-summary, custom and engineering properties, through the
// platform's own storage and property-set services. The main job reads it.
// With --links the document also holds two OLE links, in "ObjectPool" for a
// word-processor name and as root "LNK" storages otherwise: a file and a
// file!item source, the fixture of `compdoc refs` and `relink`. With
// --scalars it holds no vector value, for readers that cannot take one.
#include <windows.h>
#include <ole2.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "propstore/catalogue.h"
#include "tests/support/values.h"

namespace {

using namespace velmora::test;

struct Value {
  PROPSPEC spec;
  PROPVARIANT value;
};

HRESULT writeSet(IPropertySetStorage* sets, REFFMTID fmtid, DWORD flags,
                 const std::vector<std::pair<PROPSPEC, PROPVARIANT>>& values) {
  IPropertyStorage* props = nullptr;
  HRESULT hr = sets->Create(fmtid, nullptr, flags,
                            STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &props);
  if (FAILED(hr)) return hr;
  for (auto& [spec, value] : values) {
    hr = props->WriteMultiple(1, &spec, &value, PID_FIRST_USABLE);
    if (FAILED(hr)) break;
  }
  if (SUCCEEDED(hr)) hr = props->Commit(STGC_DEFAULT);
  props->Release();
  return hr;
}

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

HRESULT writeU32(IStream* s, uint32_t v) {
  uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  return s->Write(b, 4, nullptr);
}

// A moniker framed by its size, the size counting itself ([MS-OLEDS] OLEStream).
HRESULT writeFramedMoniker(IStream* s, IMoniker* m) {
  LARGE_INTEGER zero{};
  ULARGE_INTEGER at{}, end{};
  HRESULT hr = s->Seek(zero, STREAM_SEEK_CUR, &at);
  if (SUCCEEDED(hr)) hr = writeU32(s, 0);
  IPersistStream* persist = nullptr;
  if (SUCCEEDED(hr)) hr = m->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&persist));
  if (SUCCEEDED(hr)) hr = OleSaveToStream(persist, s);
  if (persist) persist->Release();
  if (SUCCEEDED(hr)) hr = s->Seek(zero, STREAM_SEEK_CUR, &end);
  LARGE_INTEGER to{};
  to.QuadPart = LONGLONG(at.QuadPart);
  if (SUCCEEDED(hr)) hr = s->Seek(to, STREAM_SEEK_SET, nullptr);
  if (SUCCEEDED(hr)) hr = writeU32(s, uint32_t(end.QuadPart - at.QuadPart));
  to.QuadPart = LONGLONG(end.QuadPart);
  if (SUCCEEDED(hr)) hr = s->Seek(to, STREAM_SEEK_SET, nullptr);
  return hr;
}

// A link object: a storage of class StdOleLink whose "\1Ole" stream holds
// the absolute source moniker; the moniker is released.
HRESULT writeLink(IStorage* container, const char16_t* name, IMoniker* source) {
  static const CLSID kStdOleLink = {0x300, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  IStorage* object = nullptr;
  IStream* ole = nullptr;
  HRESULT hr = container->CreateStorage(name, kCreate, 0, 0, &object);
  if (SUCCEEDED(hr)) hr = WriteClassStg(object, kStdOleLink);
  if (SUCCEEDED(hr)) hr = object->CreateStream(u"\1Ole", kCreate, 0, 0, &ole);
  // Version, flags (a link), update option (always), reserved, no reserved
  // moniker, no relative moniker; then the absolute one.
  for (uint32_t v : {0x02000001u, 1u, 1u, 0u, 0u, 0u})
    if (SUCCEEDED(hr)) hr = writeU32(ole, v);
  if (SUCCEEDED(hr)) hr = writeFramedMoniker(ole, source);
  // The class of the last source (a worksheet), an empty reserved display
  // name, Reserved2, and the three update times left zero.
  static const uint8_t sheetClass[16] = {0x20, 0x08, 0x02, 0, 0, 0, 0, 0,
                                         0xC0, 0,    0,    0, 0, 0, 0, 0x46};
  if (SUCCEEDED(hr)) hr = writeU32(ole, 0xFFFFFFFF);
  if (SUCCEEDED(hr)) hr = ole->Write(sheetClass, sizeof sheetClass, nullptr);
  if (SUCCEEDED(hr)) hr = writeU32(ole, 0);
  if (SUCCEEDED(hr)) hr = writeU32(ole, 0xFFFFFFFF);
  const uint8_t times[24] = {};
  if (SUCCEEDED(hr)) hr = ole->Write(times, sizeof times, nullptr);
  if (ole) ole->Release();
  if (object) object->Release();
  source->Release();
  return hr;
}

HRESULT writeLinks(IStorage* root, bool wordProcessor) {
  IMoniker* file = nullptr;
  IMoniker* book = nullptr;
  IMoniker* range = nullptr;
  IMoniker* item = nullptr;
  HRESULT hr = CreateFileMoniker(u"C:\\Parts\\bracket-drawing.xls", &file);
  if (SUCCEEDED(hr)) hr = CreateFileMoniker(u"C:\\Parts\\bom.xls", &book);
  if (SUCCEEDED(hr)) hr = CreateItemMoniker(u"!", u"Sheet1!R1C1:R4C3", &range);
  if (SUCCEEDED(hr)) hr = CreateGenericComposite(book, range, &item);
  if (book) book->Release();
  if (range) range->Release();
  if (FAILED(hr)) {
    if (file) file->Release();
    if (item) item->Release();
    return hr;
  }
  IStorage* container = root;
  if (wordProcessor) {
    IStream* text = nullptr;
    hr = root->CreateStream(u"WordDocument", kCreate, 0, 0, &text);
    if (SUCCEEDED(hr)) hr = text->Write("sample", 6, nullptr);
    if (text) text->Release();
    if (SUCCEEDED(hr)) hr = root->CreateStorage(u"ObjectPool", kCreate, 0, 0, &container);
  }
  if (SUCCEEDED(hr))
    hr = writeLink(container, wordProcessor ? u"_1001" : u"LNK1", file);
  else
    file->Release();
  if (SUCCEEDED(hr))
    hr = writeLink(container, wordProcessor ? u"_1002" : u"LNK2", item);
  else
    item->Release();
  if (container && container != root) container->Release();
  return hr;
}

}  // namespace

int main(int argc, char** argv) {
  bool links = false, scalars = false, usage = argc < 2;
  for (int i = 1; i < argc - 1; ++i) {
    std::string option = argv[i];
    links |= option == "--links";
    scalars |= option == "--scalars";
    usage |= option != "--links" && option != "--scalars";
  }
  if (usage) {
    std::fprintf(stderr, "usage: make_sample [--links] [--scalars] FILE\n");
    return 2;
  }
  std::string file = argv[argc - 1];
  std::u16string path(file.begin(), file.end());
  IStorage* root = nullptr;
  HRESULT hr =
      StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &root);
  if (FAILED(hr)) {
    std::fprintf(stderr, "make_sample: %s: cannot create the document (0x%08X)\n", file.c_str(),
                 static_cast<unsigned>(hr));
    return 1;
  }
  IPropertySetStorage* sets = nullptr;
  hr = root->QueryInterface(IID_IPropertySetStorage, reinterpret_cast<void**>(&sets));

  static double center[] = {12.5, -3.25, 40.0};
  PROPVARIANT centerValue;
  PropVariantInit(&centerValue);
  centerValue.vt = VT_VECTOR | VT_R8;
  centerValue.cadbl.cElems = 3;
  centerValue.cadbl.pElems = center;

  if (SUCCEEDED(hr))
    hr = writeSet(sets, FMTID_SummaryInformation, PROPSETFLAG_DEFAULT,
                  {{specId(PIDSI_TITLE), pvWide(u"Bracket assembly")},
                   {specId(PIDSI_AUTHOR), pvWide(u"R\u00e9ka Szab\u00f3")},
                   {specId(PIDSI_CREATE_DTM), pvFileTime(2024, 5, 17, 9, 30)},
                   {specId(PIDSI_PAGECOUNT), pvI4(3)},
                   {specId(PIDSI_APPNAME), pvWide(u"make_sample")}});
  if (SUCCEEDED(hr))
    hr = writeSet(
        sets, FMTID_DocSummaryInformation, PROPSETFLAG_ANSI,
        {{specId(15), pvNarrow("Fennmark Engineering")}, {specId(14), pvNarrow("T. Okafor")}});
  if (SUCCEEDED(hr))
    hr = writeSet(sets, FMTID_UserDefinedProperties, PROPSETFLAG_DEFAULT,
                  {{specName(u"Project"), pvWide(u"Gemini")},
                   {specName(u"Revision"), pvI4(7)},
                   {specName(u"Approved"), pvBool(true)},
                   {specName(u"Due"), pvFileTime(2025, 1, 31, 12, 0)}});
  if (SUCCEEDED(hr))
    hr = writeSet(sets, FMTID_DTProperties, PROPSETFLAG_DEFAULT,
                  {{specId(5), pvWide(u"BRK-1042")},
                   {specId(20), pvWide(u"Aluminium 6061")},
                   {specId(58), pvR8(0.482)}});
  if (SUCCEEDED(hr))
    hr = writeSet(sets, FMTID_Physical, PROPSETFLAG_DEFAULT,
                  {{specId(4), pvR8(0.482)}, {specId(6), scalars ? pvR8(12.5) : centerValue}});
  if (sets) sets->Release();
  if (SUCCEEDED(hr) && links) {
    bool wordProcessor = file.size() >= 4 && (file.compare(file.size() - 4, 4, ".doc") == 0 ||
                                              file.compare(file.size() - 4, 4, ".dot") == 0);
    hr = writeLinks(root, wordProcessor);
  }
  if (SUCCEEDED(hr)) hr = root->Commit(STGC_DEFAULT);
  root->Release();
  if (FAILED(hr)) {
    std::fprintf(stderr, "make_sample: %s: cannot write the properties (0x%08X)\n", file.c_str(),
                 static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}
