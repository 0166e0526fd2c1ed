// The property-set catalogue: the block names under which callers address a
// set, each set's format id, and the properties the store handles in it,
// with their ids and the type a written value is converted to. Constant
// data; a row's position is the position of its value in the set's array.
#pragma once
#include <windows.h>
#include <ole2.h>

struct PropDef {
  const WCHAR* name;
  PROPID propid;
  VARTYPE vt;
};

// {32853F0F-3444-11D1-9E93-0060B03C1CA6}
inline constexpr FMTID FMTID_DTProperties = {
    0x32853F0F, 0x3444, 0x11D1, {0x9E, 0x93, 0x00, 0x60, 0xB0, 0x3C, 0x1C, 0xA6}};
// {D861FB30-3136-11D1-9E92-0060B03C1CA6}
inline constexpr FMTID FMTID_DTControl = {
    0xD861FB30, 0x3136, 0x11D1, {0x9E, 0x92, 0x00, 0x60, 0xB0, 0x3C, 0x1C, 0xA6}};
// {0885CA11-AC04-11D3-95A5-00A0C9B6E37A}
inline constexpr FMTID FMTID_Physical = {
    0x0885CA11, 0xAC04, 0x11D3, {0x95, 0xA5, 0x00, 0xA0, 0xC9, 0xB6, 0xE3, 0x7A}};

inline constexpr PropDef g_SummaryProps[] = {
    {OLESTR("Title"), 2, VT_LPWSTR},
    {OLESTR("Subject"), 3, VT_LPWSTR},
    {OLESTR("Author"), 4, VT_LPWSTR},
    {OLESTR("Keywords"), 5, VT_LPWSTR},
    {OLESTR("Comments"), 6, VT_LPWSTR},
    {OLESTR("Template"), 7, VT_LPWSTR},
    {OLESTR("Last Saved By"), 8, VT_LPWSTR},
    {OLESTR("Revision Number"), 9, VT_LPWSTR},
    {OLESTR("Total Editing Time"), 10, VT_FILETIME},
    {OLESTR("Last Printed"), 11, VT_FILETIME},
    {OLESTR("Created"), 12, VT_FILETIME},
    {OLESTR("Last Saved"), 13, VT_FILETIME},
    {OLESTR("Page Count"), 14, VT_I4},
    {OLESTR("Word Count"), 15, VT_I4},
    {OLESTR("Char Count"), 16, VT_I4},
    {OLESTR("Thumbnail"), 17, VT_CF},
    {OLESTR("Application Name"), 18, VT_LPWSTR},
    {OLESTR("Security"), 19, VT_I4},
};

inline constexpr PropDef g_DocSummaryProps[] = {
    {OLESTR("Category"), 2, VT_LPSTR},
    {OLESTR("Presentation Target"), 3, VT_LPSTR},
    {OLESTR("Bytes"), 4, VT_I4},
    {OLESTR("Lines"), 5, VT_I4},
    {OLESTR("Paragraphs"), 6, VT_I4},
    {OLESTR("Slides"), 7, VT_I4},
    {OLESTR("Notes"), 8, VT_I4},
    {OLESTR("Hidden Slides"), 9, VT_I4},
    {OLESTR("MMClips"), 10, VT_I4},
    {OLESTR("ScaleCrop"), 11, VT_BOOL},
    {OLESTR("HeadingPairs"), 12, VT_VECTOR | VT_VARIANT},
    {OLESTR("TitlesofParts"), 13, VT_VECTOR | VT_LPSTR},
    {OLESTR("Manager"), 14, VT_LPSTR},
    {OLESTR("Company"), 15, VT_LPSTR},
    {OLESTR("Links Dirty"), 16, VT_BOOL},
};

inline constexpr PropDef g_DTPropertiesProps[] = {
    {OLESTR("DateCreated"), 4, VT_FILETIME},
    {OLESTR("PartNumber"), 5, VT_LPWSTR},
    {OLESTR("Project"), 7, VT_LPWSTR},
    {OLESTR("CostCenter"), 9, VT_LPWSTR},
    {OLESTR("CheckedBy"), 10, VT_LPWSTR},
    {OLESTR("DateChecked"), 11, VT_FILETIME},
    {OLESTR("EngrApprovedBy"), 12, VT_LPWSTR},
    {OLESTR("DateEngrApproved"), 13, VT_FILETIME},
    {OLESTR("UserStatus"), 17, VT_LPWSTR},
    {OLESTR("Material"), 20, VT_LPWSTR},
    {OLESTR("PartPropRevId"), 21, VT_CLSID},
    {OLESTR("CatalogWebLink"), 23, VT_LPWSTR},
    {OLESTR("Description"), 29, VT_LPWSTR},
    {OLESTR("Vendor"), 30, VT_LPWSTR},
    {OLESTR("DocSubType"), 31, VT_CLSID},
    {OLESTR("DocSubTypeName"), 32, VT_LPWSTR},
    {OLESTR("ProxyRefreshDate"), 33, VT_FILETIME},
    {OLESTR("MfgApprovedBy"), 34, VT_LPWSTR},
    {OLESTR("DateMfgApproved"), 35, VT_FILETIME},
    {OLESTR("Cost"), 36, VT_CY},
    {OLESTR("Standard"), 37, VT_LPWSTR},
    {OLESTR("DesignStatus"), 40, VT_I2},
    {OLESTR("Designer"), 41, VT_LPWSTR},
    {OLESTR("Engineer"), 42, VT_LPWSTR},
    {OLESTR("Authority"), 43, VT_LPWSTR},
    {OLESTR("ParameterizedTemplate"), 44, VT_BOOL},
    {OLESTR("TemplateRow"), 45, VT_CLSID},
    {OLESTR("ExternalPropRevId"), 46, VT_CLSID},
    {OLESTR("StandardRevision"), 47, VT_LPWSTR},
    {OLESTR("Manufacturer"), 48, VT_LPWSTR},
    {OLESTR("StandardsOrganization"), 49, VT_LPWSTR},
    {OLESTR("Language"), 50, VT_LPWSTR},
    {OLESTR("DrawingDeferUpdate"), 51, VT_BOOL},
    {OLESTR("StockNumber"), 55, VT_LPWSTR},
    {OLESTR("Categories"), 56, VT_LPWSTR},
    {OLESTR("WeldMaterial"), 57, VT_LPWSTR},
    {OLESTR("Mass"), 58, VT_R8},
    {OLESTR("SurfaceArea"), 59, VT_R8},
    {OLESTR("Volume"), 60, VT_R8},
    {OLESTR("Density"), 61, VT_R8},
};

inline constexpr PropDef g_DTControlProps[] = {
    {OLESTR("ControlState"), 2, VT_I4},
    {OLESTR("Master"), 3, VT_BOOL},
    {OLESTR("Reserve"), 4, VT_BOOL},
    {OLESTR("ReservedBy"), 5, VT_LPWSTR},
    {OLESTR("Reserved"), 6, VT_FILETIME},
    {OLESTR("LastReservedBy"), 7, VT_LPWSTR},
    {OLESTR("ReserveRemoved"), 8, VT_FILETIME},
    {OLESTR("ControlPropRevId"), 10, VT_CLSID},
};

// The nine names "lxx" to "l3" begin with a lower-case l.
inline constexpr PropDef g_PhysicalProps[] = {
    {OLESTR("Density"), 2, VT_R8},
    {OLESTR("Volume"), 3, VT_R8},
    {OLESTR("Mass"), 4, VT_R8},
    {OLESTR("Area"), 5, VT_R8},
    {OLESTR("Center"), 6, VT_VECTOR | VT_R8},
    {OLESTR("Range Box"), 7, VT_VECTOR | VT_R8},
    {OLESTR("lxx"), 8, VT_R8},
    {OLESTR("lxy"), 9, VT_R8},
    {OLESTR("lyy"), 10, VT_R8},
    {OLESTR("lxz"), 11, VT_R8},
    {OLESTR("lyz"), 12, VT_R8},
    {OLESTR("lzz"), 13, VT_R8},
    {OLESTR("l1"), 14, VT_R8},
    {OLESTR("l2"), 15, VT_R8},
    {OLESTR("l3"), 16, VT_R8},
    {OLESTR("Rx"), 17, VT_R8},
    {OLESTR("Ry"), 18, VT_R8},
    {OLESTR("Rz"), 19, VT_R8},
};

// The five catalogued sets, in loading order; the custom set has no table.
enum PropSetIndex {
  kSummarySet,
  kDocSummarySet,
  kDTPropertiesSet,
  kDTControlSet,
  kPhysicalSet,
  kCatalogedSetCount
};

struct PropSetDef {
  const FMTID* pFmtid;
  const PropDef* pTable;
  ULONG cRows;
};

inline constexpr PropSetDef g_PropSets[kCatalogedSetCount] = {
    {&FMTID_SummaryInformation, g_SummaryProps, 18},
    {&FMTID_DocSummaryInformation, g_DocSummaryProps, 15},
    {&FMTID_DTProperties, g_DTPropertiesProps, 40},
    {&FMTID_DTControl, g_DTControlProps, 8},
    {&FMTID_Physical, g_PhysicalProps, 18},
};

// A block name and the set it addresses; "ModelInfo" is a second name for
// the Physical set. kCustomBlock stands for "CustomProperty".
inline constexpr int kCustomBlock = -1;

struct BlockDef {
  const WCHAR* name;
  int iSet;  // a PropSetIndex, or kCustomBlock
};

// The order in which reads try the block names.
inline constexpr BlockDef g_ReadBlocks[] = {
    {OLESTR("Summary"), kSummarySet},         {OLESTR("DocSummary"), kDocSummarySet},
    {OLESTR("CustomProperty"), kCustomBlock}, {OLESTR("DTProperties"), kDTPropertiesSet},
    {OLESTR("DTControl"), kDTControlSet},     {OLESTR("ModelInfo"), kPhysicalSet},
    {OLESTR("Physical"), kPhysicalSet},
};

// The order in which writes try them.
inline constexpr BlockDef g_WriteBlocks[] = {
    {OLESTR("Summary"), kSummarySet},           {OLESTR("DocSummary"), kDocSummarySet},
    {OLESTR("DTProperties"), kDTPropertiesSet}, {OLESTR("DTControl"), kDTControlSet},
    {OLESTR("ModelInfo"), kPhysicalSet},        {OLESTR("Physical"), kPhysicalSet},
    {OLESTR("CustomProperty"), kCustomBlock},
};

// The name of the custom list's code-page record.
inline constexpr const WCHAR* kCodePageRecordName = OLESTR("824B7195-5022-D47e-A0EA-69C3CF360213");

// Names compare case-insensitively with the platform's locale-aware
// comparison; a null name matches nothing. Over ASCII letters, digits and
// blanks every case-insensitive comparison agrees with plain case folding
// (each of them weighs, none is set aside), so names made only of those are
// settled without the full comparison; anything else goes to it.
inline bool IsPlainNameChar(WCHAR ch) {
  return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') ||
         ch == u' ';
}

inline bool NamesEqual(const WCHAR* a, const WCHAR* b) {
  if (!a || !b) return false;
  size_t i = 0;
  for (;; ++i) {
    WCHAR x = a[i], y = b[i];
    if (x == y) {
      if (x == 0) return true;
      if (!IsPlainNameChar(x)) break;
      continue;
    }
    if (!IsPlainNameChar(x) || !IsPlainNameChar(y)) break;
    // A blank and a letter never fold together, so | 0x20 is safe here.
    if ((x | 0x20) != (y | 0x20)) return false;
  }
  // Names the same code unit for code unit are equal under any comparison
  // (the custom list's code-page record is looked for by its name often).
  while (a[i] && a[i] == b[i]) ++i;
  if (a[i] == b[i]) return true;
  return lstrcmpiW(a, b) == 0;
}

// The first block of `blocks` whose name equals `block`, or null.
// Hosts pass the names as the catalogue spells them, so a name equal code
// unit for code unit is looked for first; no two block names are equal
// under the comparison, so that match is the first equal block too.
template <size_t N>
const BlockDef* ResolveBlock(const BlockDef (&blocks)[N], const WCHAR* block) {
  if (!block) return nullptr;
  for (const BlockDef& def : blocks) {
    size_t i = 0;
    while (def.name[i] && def.name[i] == block[i]) ++i;
    if (def.name[i] == block[i]) return &def;
  }
  for (const BlockDef& def : blocks)
    if (NamesEqual(def.name, block)) return &def;
  return nullptr;
}

// The position of the first row of `set` named `name`, or -1.
int FindRow(const PropSetDef& set, const WCHAR* name);

static_assert(sizeof(g_SummaryProps) / sizeof(PropDef) == 18);
static_assert(sizeof(g_DocSummaryProps) / sizeof(PropDef) == 15);
static_assert(sizeof(g_DTPropertiesProps) / sizeof(PropDef) == 40);
static_assert(sizeof(g_DTControlProps) / sizeof(PropDef) == 8);
static_assert(sizeof(g_PhysicalProps) / sizeof(PropDef) == 18);
