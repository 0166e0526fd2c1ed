// The attributes compdoc asks for, as a host's own configuration: the blocks
// `read` requests in full, each with the format id of its property set and
// its attribute names, in the order `read` lists them; `check` looks at the
// same sets. Names and ids are the ones the document formats publish; the
// plug-in keeps its own copy, and tests/tools/attribute_table_test.cpp holds
// the two equal.
#pragma once
#include <windows.h>
#include <ole2.h>

#include <span>

namespace compdoc {

// The format ids of the engineering and physical property sets (the
// summary and document-summary ids are the system's).
// {32853F0F-3444-11D1-9E93-0060B03C1CA6}
inline constexpr FMTID kFmtidDTProperties = {
    0x32853F0F, 0x3444, 0x11D1, {0x9E, 0x93, 0x00, 0x60, 0xB0, 0x3C, 0x1C, 0xA6}};
// {D861FB30-3136-11D1-9E92-0060B03C1CA6}
inline constexpr FMTID kFmtidDTControl = {
    0xD861FB30, 0x3136, 0x11D1, {0x9E, 0x92, 0x00, 0x60, 0xB0, 0x3C, 0x1C, 0xA6}};
// {0885CA11-AC04-11D3-95A5-00A0C9B6E37A}
inline constexpr FMTID kFmtidPhysical = {
    0x0885CA11, 0xAC04, 0x11D3, {0x95, 0xA5, 0x00, 0xA0, 0xC9, 0xB6, 0xE3, 0x7A}};

struct AttributeBlock {
  const OLECHAR* name;
  const FMTID* fmtid;
  std::span<const OLECHAR* const> attributes;
};

namespace attribute_names {

inline constexpr const OLECHAR* kSummary[] = {
    OLESTR("Title"),         OLESTR("Subject"),          OLESTR("Author"),
    OLESTR("Keywords"),      OLESTR("Comments"),         OLESTR("Template"),
    OLESTR("Last Saved By"), OLESTR("Revision Number"),  OLESTR("Total Editing Time"),
    OLESTR("Last Printed"),  OLESTR("Created"),          OLESTR("Last Saved"),
    OLESTR("Page Count"),    OLESTR("Word Count"),       OLESTR("Char Count"),
    OLESTR("Thumbnail"),     OLESTR("Application Name"), OLESTR("Security"),
};

inline constexpr const OLECHAR* kDocSummary[] = {
    OLESTR("Category"),     OLESTR("Presentation Target"),
    OLESTR("Bytes"),        OLESTR("Lines"),
    OLESTR("Paragraphs"),   OLESTR("Slides"),
    OLESTR("Notes"),        OLESTR("Hidden Slides"),
    OLESTR("MMClips"),      OLESTR("ScaleCrop"),
    OLESTR("HeadingPairs"), OLESTR("TitlesofParts"),
    OLESTR("Manager"),      OLESTR("Company"),
    OLESTR("Links Dirty"),
};

inline constexpr const OLECHAR* kDTProperties[] = {
    OLESTR("DateCreated"),
    OLESTR("PartNumber"),
    OLESTR("Project"),
    OLESTR("CostCenter"),
    OLESTR("CheckedBy"),
    OLESTR("DateChecked"),
    OLESTR("EngrApprovedBy"),
    OLESTR("DateEngrApproved"),
    OLESTR("UserStatus"),
    OLESTR("Material"),
    OLESTR("PartPropRevId"),
    OLESTR("CatalogWebLink"),
    OLESTR("Description"),
    OLESTR("Vendor"),
    OLESTR("DocSubType"),
    OLESTR("DocSubTypeName"),
    OLESTR("ProxyRefreshDate"),
    OLESTR("MfgApprovedBy"),
    OLESTR("DateMfgApproved"),
    OLESTR("Cost"),
    OLESTR("Standard"),
    OLESTR("DesignStatus"),
    OLESTR("Designer"),
    OLESTR("Engineer"),
    OLESTR("Authority"),
    OLESTR("ParameterizedTemplate"),
    OLESTR("TemplateRow"),
    OLESTR("ExternalPropRevId"),
    OLESTR("StandardRevision"),
    OLESTR("Manufacturer"),
    OLESTR("StandardsOrganization"),
    OLESTR("Language"),
    OLESTR("DrawingDeferUpdate"),
    OLESTR("StockNumber"),
    OLESTR("Categories"),
    OLESTR("WeldMaterial"),
    OLESTR("Mass"),
    OLESTR("SurfaceArea"),
    OLESTR("Volume"),
    OLESTR("Density"),
};

inline constexpr const OLECHAR* kDTControl[] = {
    OLESTR("ControlState"),   OLESTR("Master"),           OLESTR("Reserve"),
    OLESTR("ReservedBy"),     OLESTR("Reserved"),         OLESTR("LastReservedBy"),
    OLESTR("ReserveRemoved"), OLESTR("ControlPropRevId"),
};

// "lxx" to "l3" begin with a lower-case l.
inline constexpr const OLECHAR* kPhysical[] = {
    OLESTR("Density"),   OLESTR("Volume"), OLESTR("Mass"), OLESTR("Area"), OLESTR("Center"),
    OLESTR("Range Box"), OLESTR("lxx"),    OLESTR("lxy"),  OLESTR("lyy"),  OLESTR("lxz"),
    OLESTR("lyz"),       OLESTR("lzz"),    OLESTR("l1"),   OLESTR("l2"),   OLESTR("l3"),
    OLESTR("Rx"),        OLESTR("Ry"),     OLESTR("Rz"),
};

}  // namespace attribute_names

// Each set once, by the block name that reads it whole ("Physical"; the
// plug-in also answers to "ModelInfo" for it).
inline constexpr AttributeBlock kAttributeBlocks[] = {
    {OLESTR("Summary"), &FMTID_SummaryInformation, attribute_names::kSummary},
    {OLESTR("DocSummary"), &FMTID_DocSummaryInformation, attribute_names::kDocSummary},
    {OLESTR("DTProperties"), &kFmtidDTProperties, attribute_names::kDTProperties},
    {OLESTR("DTControl"), &kFmtidDTControl, attribute_names::kDTControl},
    {OLESTR("Physical"), &kFmtidPhysical, attribute_names::kPhysical},
};

// The block of the custom properties, whose names each document lists.
inline constexpr const OLECHAR* kCustomBlockName = OLESTR("CustomProperty");
// The custom block's record that carries the custom list's code page.
inline constexpr const OLECHAR* kCodePageRecordName =
    OLESTR("824B7195-5022-D47e-A0EA-69C3CF360213");

}  // namespace compdoc
