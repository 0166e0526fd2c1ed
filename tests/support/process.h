// Running the project's programs and the peer readers from tests.
#pragma once
#include <string>

namespace velmora::test {

// Runs `command` through the shell; returns its standard output and sets
// `status` to its exit status (-1 when it could not run).
std::string runCommand(const std::string& command, int& status);

// The text quoted for the shell.
std::string shellQuote(const std::string& text);

// Whether a program is on the PATH (or, for an absolute path, executable).
bool haveProgram(const std::string& name);

// Where the build put compdoc, or $COMPDOC when set (an installed one).
std::string compdocPath();

// A command's exit status (-1 when it could not run or was killed) and its
// standard output and standard error, apart.
struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs `command` through the shell, its standard error kept apart.
Outcome runSplit(const std::string& command);

// Runs compdoc with `args` (words already quoted for the shell) in UTC, with
// `input` on its standard input when given.
Outcome runCompdoc(const std::string& args, const std::string& input = "");

// As runCompdoc, standard error merged into standard output as it comes.
std::string runCompdocMerged(const std::string& args, int& status);

}  // namespace velmora::test
