// Type libraries in the MSFT format (the one widl and the platform's type
// library builder write): the library's attributes and documentation, and
// per type its kind, GUID, flags, documentation, implemented interfaces and
// functions with their member ids and parameters. Variables, custom data and
// default parameter values are not read.
#pragma once
#include <oleauto.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/result.h"

namespace velmora::oleauto {

// A type as the file describes it: a chain of VARTYPEs ending in a base type
// (VT_PTR, VT_USERDEFINED means "pointer to a user-defined type"), and for
// VT_USERDEFINED the reference to that type.
struct TlbType {
  std::vector<VARTYPE> chain;
  HREFTYPE href = 0;
};

struct TlbParam {
  std::u16string name;
  USHORT flags = 0;  // PARAMFLAG_*
  TlbType type;
};

struct TlbFunc {
  MEMBERID memid = 0;
  std::u16string name;
  std::u16string helpString;
  FUNCKIND funckind = FUNC_PUREVIRTUAL;
  INVOKEKIND invkind = INVOKE_FUNC;
  CALLCONV callconv = CC_STDCALL;
  SHORT oVft = 0;
  WORD flags = 0;
  TlbType result;
  std::vector<TlbParam> params;
};

struct TlbImplType {
  HREFTYPE href = 0;
  INT flags = 0;  // IMPLTYPEFLAG_*
};

struct TlbTypeInfo {
  TYPEKIND kind = TKIND_RECORD;
  GUID guid{};
  std::u16string name;
  std::u16string helpString;
  WORD flags = 0;  // TYPEFLAG_*
  WORD majorVersion = 0;
  WORD minorVersion = 0;
  ULONG size = 0;
  WORD cbSizeVft = 0;
  WORD cVars = 0;
  std::vector<TlbImplType> implTypes;
  std::vector<TlbFunc> funcs;
};

// A type of another library that this one refers to.
struct TlbImport {
  HREFTYPE href = 0;  // as references in this library spell it
  GUID libid{};
  WORD majorVersion = 0;
  WORD minorVersion = 0;
  LCID lcid = 0;
  std::u16string file;
  bool byGuid = false;  // the type is named by `guid`, else by `index`
  GUID guid{};
  INT index = 0;
};

struct TypeLibraryData {
  GUID libid{};
  LCID lcid = 0;
  SYSKIND syskind = SYS_WIN32;
  WORD majorVersion = 0;
  WORD minorVersion = 0;
  WORD flags = 0;  // LIBFLAG_*
  std::u16string name;
  std::u16string helpString;
  std::u16string helpFile;
  std::vector<TlbTypeInfo> types;
  std::vector<TlbImport> imports;

  // The index of the type a local reference names, or -1.
  int localIndex(HREFTYPE href) const;
  const TlbImport* import(HREFTYPE href) const;
};

// Parses an MSFT type library. Fails with TYPE_E_UNSUPFORMAT when the bytes
// are not one (no "MSFT" signature), TYPE_E_INVDATAREAD when a table or
// record lies outside the file.
base::Result<TypeLibraryData> parseTypeLibrary(std::span<const uint8_t> bytes);

}  // namespace velmora::oleauto
