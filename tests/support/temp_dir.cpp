#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <random>
#include <system_error>

namespace velmora::test {

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate = base / ("velmora-test-" + std::to_string(rd()));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      m_path = candidate;
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::u16string widePath(const std::filesystem::path& p) { return p.u16string(); }

std::filesystem::path corpusDir() {
  if (const char* env = std::getenv("VELMORA_CORPUS")) return env;
  auto dir = std::filesystem::path(VELMORA_SOURCE_DIR) / ".." / "shared" / "corpus";
  std::error_code ec;
  if (std::filesystem::is_directory(dir / "documents", ec)) return dir;
  return {};
}

}  // namespace velmora::test
