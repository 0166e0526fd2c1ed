// make_sample FILE: writes a small compound document with summary,
// document-summary, custom and engineering properties, through the
// platform's own storage and property-set services. The main job reads it.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <string>
#include <vector>

#include "propstore/catalogue.h"

namespace {

struct Value {
  PROPSPEC spec;
  PROPVARIANT value;
};

PROPSPEC byId(PROPID id) {
  PROPSPEC s = {};
  s.ulKind = PRSPEC_PROPID;
  s.propid = id;
  return s;
}

PROPSPEC byName(const char16_t* name) {
  PROPSPEC s = {};
  s.ulKind = PRSPEC_LPWSTR;
  s.lpwstr = const_cast<LPOLESTR>(name);
  return s;
}

PROPVARIANT wide(const char16_t* text) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_LPWSTR;
  v.pwszVal = const_cast<LPWSTR>(text);
  return v;
}

PROPVARIANT narrow(const char* text) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_LPSTR;
  v.pszVal = const_cast<LPSTR>(text);
  return v;
}

PROPVARIANT i4(LONG n) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}

PROPVARIANT r8(double d) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = d;
  return v;
}

PROPVARIANT boolean(bool b) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

PROPVARIANT filetime(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
  SYSTEMTIME st = {};
  st.wYear = year, st.wMonth = month, st.wDay = day, st.wHour = hour, st.wMinute = minute;
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_FILETIME;
  SystemTimeToFileTime(&st, &v.filetime);
  return v;
}

HRESULT writeSet(IPropertySetStorage* sets, REFFMTID fmtid, DWORD flags,
                 std::vector<std::pair<PROPSPEC, PROPVARIANT>> values) {
  IPropertyStorage* props = nullptr;
  HRESULT hr = sets->Create(fmtid, nullptr, flags, STGM_CREATE | STGM_READWRITE |
                                                      STGM_SHARE_EXCLUSIVE, &props);
  if (FAILED(hr)) return hr;
  for (auto& [spec, value] : values) {
    hr = props->WriteMultiple(1, &spec, &value, PID_FIRST_USABLE);
    if (FAILED(hr)) break;
  }
  if (SUCCEEDED(hr)) hr = props->Commit(STGC_DEFAULT);
  props->Release();
  return hr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample FILE\n");
    return 2;
  }
  std::string file = argv[1];
  std::u16string path(file.begin(), file.end());
  IStorage* root = nullptr;
  HRESULT hr = StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                0, &root);
  if (FAILED(hr)) {
    std::fprintf(stderr, "make_sample: %s: cannot create the document (0x%08X)\n", argv[1],
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
                  {{byId(PIDSI_TITLE), wide(u"Bracket assembly")},
                   {byId(PIDSI_AUTHOR), wide(u"R\u00e9ka Szab\u00f3")},
                   {byId(PIDSI_CREATE_DTM), filetime(2024, 5, 17, 9, 30)},
                   {byId(PIDSI_PAGECOUNT), i4(3)},
                   {byId(PIDSI_APPNAME), wide(u"make_sample")}});
  if (SUCCEEDED(hr))
    hr = writeSet(sets, FMTID_DocSummaryInformation, PROPSETFLAG_ANSI,
                  {{byId(15), narrow("Fennmark Engineering")}, {byId(14), narrow("T. Okafor")}});
  if (SUCCEEDED(hr))
    hr = writeSet(sets, FMTID_UserDefinedProperties, PROPSETFLAG_DEFAULT,
                  {{byName(u"Project"), wide(u"Gemini")},
                   {byName(u"Revision"), i4(7)},
                   {byName(u"Approved"), boolean(true)},
                   {byName(u"Due"), filetime(2025, 1, 31, 12, 0)}});
  if (SUCCEEDED(hr))
    hr = writeSet(sets, FMTID_DTProperties, PROPSETFLAG_DEFAULT,
                  {{byId(5), wide(u"BRK-1042")}, {byId(20), wide(u"Aluminium 6061")},
                   {byId(58), r8(0.482)}});
  if (SUCCEEDED(hr))
    hr = writeSet(sets, FMTID_Physical, PROPSETFLAG_DEFAULT,
                  {{byId(4), r8(0.482)}, {byId(6), centerValue}});
  if (sets) sets->Release();
  if (SUCCEEDED(hr)) hr = root->Commit(STGC_DEFAULT);
  root->Release();
  if (FAILED(hr)) {
    std::fprintf(stderr, "make_sample: %s: cannot write the properties (0x%08X)\n", argv[1],
                 static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}
