#include "tests/support/process.h"

#include <sys/wait.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace velmora::test {

std::string runCommand(const std::string& command, int& status) {
  std::string out;
  status = -1;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  int raw = pclose(pipe);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

bool haveProgram(const std::string& name) {
  int status = -1;
  runCommand("command -v " + shellQuote(name) + " >/dev/null 2>&1", status);
  return status == 0;
}

std::string compdocPath() {
  if (const char* env = std::getenv("COMPDOC"); env && *env) return env;
  return std::string(VELMORA_BINARY_DIR) + "/compdoc";
}

namespace {

// A scratch file for one command's standard error or input, gone with it.
class ScratchFile {
 public:
  explicit ScratchFile(const char* what) {
    static std::atomic<unsigned> counter{0};
    m_path = std::filesystem::temp_directory_path() /
             ("velmora-test-" + std::string(what) + "-" + std::to_string(::getpid()) + "-" +
              std::to_string(counter++));
  }
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove(m_path, ec);
  }
  std::string path() const { return m_path.string(); }

 private:
  std::filesystem::path m_path;
};

}  // namespace

Outcome runSplit(const std::string& command) {
  ScratchFile errFile("stderr");
  Outcome r;
  r.out = runCommand("( " + command + " ) 2>" + shellQuote(errFile.path()), r.status);
  std::ifstream in(errFile.path(), std::ios::binary);
  r.err.assign(std::istreambuf_iterator<char>(in), {});
  return r;
}

Outcome runCompdoc(const std::string& args, const std::string& input) {
  std::string command = "TZ=UTC " + shellQuote(compdocPath()) + " " + args;
  if (input.empty()) return runSplit(command);
  ScratchFile inFile("stdin");
  std::ofstream(inFile.path(), std::ios::binary) << input;
  return runSplit(command + " <" + shellQuote(inFile.path()));
}

std::string runCompdocMerged(const std::string& args, int& status) {
  return runCommand("TZ=UTC " + shellQuote(compdocPath()) + " " + args + " 2>&1", status);
}

}  // namespace velmora::test
