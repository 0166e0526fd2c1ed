// What every compdoc subcommand shares: HRESULT names for its messages,
// element paths ("/"-joined, "\xNN" for control characters), UTF-16 text,
// CLSID text and the read-only root open.
#pragma once
#include <winerror.h>

#include <objbase.h>

#include <string>
#include <vector>

namespace compdoc {

// Text in the platform's wide characters (OLECHAR: UTF-16 units).
using WideString = std::basic_string<OLECHAR>;

// "STG_E_FILENOTFOUND", or "HRESULT" for a code without a name here.
std::string hresultName(HRESULT hr);
// "STG_E_FILENOTFOUND (0x80030002)".
std::string describeHresult(HRESULT hr);
// The description of the thread's error information, taken (GetErrorInfo),
// in UTF-8; empty when the failed call left none.
std::string takeErrorDescription();
// "NAME (0x...)", and ": DESCRIPTION" when the failed call left one: what a
// refusal line says after its reason word.
std::string describeFailure(HRESULT hr);
// In a plug-in's description of refused records, one "Block:Name: reason"
// a line, the reason given for `key` ("Block:Name"); empty when none is.
std::string recordReason(const std::string& description, const std::string& key);
// Prints "compdoc: FILE: WHAT: NAME (0x...)[: DESCRIPTION]" on stderr.
void reportFailure(const std::string& file, const std::string& what, HRESULT hr);

std::string toUtf8(const OLECHAR* s);
// A counted text, embedded NULs included (a BSTR's SysStringLen units).
std::string toUtf8(const OLECHAR* text, size_t length);
WideString fromUtf8(const std::string& s);
// Writes control characters as \xNN, for text output.
std::string escapePath(const std::string& path);
// escapePath(path) appended to `out`.
void appendEscaped(const std::string& path, std::string& out);
// Splits "a/b/\x05c" into names, undoing the escapes; false when malformed.
bool splitPath(const std::string& path, std::vector<WideString>* out);
// "{00020906-0000-0000-C000-000000000046}"
std::string clsidString(const CLSID& c);
// Opens FILE as the plug-in's readers do: priority, read-only.
HRESULT openRootForReading(const std::string& file, IStorage** out);

}  // namespace compdoc
