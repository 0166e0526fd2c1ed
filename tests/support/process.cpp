#include "tests/support/process.h"

#include <sys/wait.h>

#include <cstdio>

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

std::string compdocPath() { return std::string(VELMORA_BINARY_DIR) + "/compdoc"; }

}  // namespace velmora::test
