// FMTID <-> property-set element names ([MS-OLEPS] 2.23; Win32 "Names in
// IStorage"): the special names of the summary, document-summary and image
// sets, and the base-32 form of every other FMTID.
#pragma once
#include <propidl.h>

#include <optional>
#include <string>

namespace velmora::propset {

// The element name for `fmtid`: "\005SummaryInformation",
// "\005DocumentSummaryInformation" (also for the user-defined set), the
// FlashPix names, or U+0005 and 26 base-32 characters, upper case where a
// 5-bit group starts on a byte boundary, as Windows writes them.
std::u16string streamNameFor(REFFMTID fmtid);

// The FMTID a name stands for, compared case-insensitively; nothing when the
// name is not a property-set name (wrong prefix or length, a character
// outside the alphabet, bits set above bit 127).
std::optional<FMTID> fmtidForStreamName(std::u16string_view name);

}  // namespace velmora::propset
