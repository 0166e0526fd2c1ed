// HKEY_CLASSES_ROOT as text for comparisons, read through the registry API,
// and a scratch registry per test.
#pragma once
#include <windows.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace velmora::test {

// One line per key ("CLSID\{...}") and per value ("CLSID\{...}\@=text",
// "...\ThreadingModel=Apartment"), in registry order; keys under `under`
// only (empty: all of HKEY_CLASSES_ROOT).
std::string dumpRegistry(const std::u16string& under = u"");

// Points $VELMORA_REGISTRY at a database in a fresh folder for the life of
// the object, so tests never touch the user's registry.
class ScratchRegistry {
 public:
  ScratchRegistry();
  ~ScratchRegistry();
  const std::filesystem::path& path() const { return m_path; }
  // "VELMORA_REGISTRY='...'" for commands run through the shell.
  std::string environment() const;

 private:
  TempDir m_dir;
  std::filesystem::path m_path;
};

}  // namespace velmora::test
