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

// Where the build put compdoc.
std::string compdocPath();

}  // namespace velmora::test
