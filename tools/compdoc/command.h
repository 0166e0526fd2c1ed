// compdoc's subcommands register themselves here; main() builds the command
// line from the registry, so a new subcommand is one new file.
#pragma once
#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace compdoc {

// Exit statuses shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The exit statuses as --help and the manual page give them.
inline constexpr const char* kExitStatusText =
    "Exit status:\n"
    "  0  every document was served and every named attribute read or written\n"
    "  1  a document was missing, unreadable, busy, damaged or not a compound document,\n"
    "     an attribute was not delivered or not written, or the plug-in failed\n"
    "  2  the command line was not understood";

// Adds a subcommand to `app`; the returned callback runs it after parsing and
// gives the exit status.
using CommandFactory = std::function<std::function<int()>(CLI::App& app)>;

struct CommandRegistration {
  CommandRegistration(std::string name, CommandFactory factory);
};

std::vector<std::pair<std::string, CommandFactory>>& commandRegistry();

// The global --progid: when set, the plug-in subcommands create the format
// descriptor through the registry by this ProgID instead of loading a file.
std::string& pluginProgId();

}  // namespace compdoc
