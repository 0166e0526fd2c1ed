// A scratch folder per test, removed with everything in it when the test ends.
#pragma once
#include <filesystem>
#include <string>

#include <wtypes.h>

namespace velmora::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::filesystem::path file(const std::string& name) const { return m_path / name; }

 private:
  std::filesystem::path m_path;
};

// A path as the platform's APIs take it (UTF-16).
std::u16string widePath(const std::filesystem::path& p);

// The shared document corpus (../shared/corpus beside the checkout), or an
// empty path when it is not there; tests that need it skip with a message.
std::filesystem::path corpusDir();

}  // namespace velmora::test
