// Registration scripts: the ".rgs" syntax that component libraries keep as
// REGISTRY resources.
//
//   HKCR
//   {
//     NoRemove CLSID
//     {
//       ForceRemove {id} = s 'Description'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Apartment'
//         }
//       }
//     }
//   }
//
// Tokens are separated by white space ("{", "}" and "=" standing alone are
// the syntax; {0D8708AD-...} is a name). A key is a word or a quoted name, optionally preceded by
// ForceRemove, NoRemove or Delete, optionally followed by "= type 'value'" (its default value) and
// a braced block of sub-keys and "val Name = type 'value'" lines. Types: s (string), e (expandable
// string), d (number), b (hexadecimal bytes), m (multi-string: \0 between parts). Inside quotes ''
// stands for one quote. %NAME% is replaced from the replacement map before parsing; %% is one %.
//
// The whole script is parsed before anything is written, so a script that
// does not parse writes nothing.
#pragma once
#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"

namespace velmora::registrar {

enum class KeyFlag { None, ForceRemove, NoRemove, Delete };

struct ScriptValue {
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
};

struct ScriptKey {
  std::u16string name;
  KeyFlag flag = KeyFlag::None;
  bool hasDefault = false;
  ScriptValue defaultValue;
  std::vector<std::pair<std::u16string, ScriptValue>> values;
  std::vector<ScriptKey> subKeys;
};

struct Script {
  // Root keys in order; only HKEY_CLASSES_ROOT (HKCR) is accepted.
  std::vector<ScriptKey> roots;
};

// Replacement names compare without regard to case, as the registrar's do.
struct NoCaseLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const;
};
using Replacements = std::map<std::u16string, std::u16string, NoCaseLess>;

// Parses `text` after substituting `replacements`. Fails with
// DISP_E_EXCEPTION and a message naming the line and what was expected.
base::Result<Script> parseScript(std::u16string_view text, const Replacements& replacements);

// Runs a parsed script in registration or removal mode, stopping at the first
// failing registry call and returning HRESULT_FROM_WIN32 of its code. The run
// is one registry transaction: a crash leaves the registry as it was, while a
// failing step keeps what was written before it.
HRESULT runScript(const Script& script, bool registerMode);

// Script bytes as text: UTF-16 with a byte-order mark, UTF-8 with one, else
// the ANSI code page.
std::u16string decodeScript(const std::vector<uint8_t>& bytes);

// The message of the last script on this thread that did not parse.
const std::string& lastParseError();

}  // namespace velmora::registrar
