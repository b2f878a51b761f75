// The quillrom command line: every subcommand registers itself on the app.
#pragma once
#include <CLI/CLI.hpp>
#include <ostream>

namespace quillcli {

// Exit codes shared by every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the check or the device command failed
constexpr int kExitUsage = 2;
constexpr int kExitIo = 3;      // port or file problem

struct CliContext {
    std::ostream *out;
    std::ostream *err;
    int exitCode = kExitOk;
};

// Registration functions; each command family lives in its own cmd_*.cpp.
void AddHexCommands(CLI::App &app, CliContext &ctx);
void AddPrmCommands(CLI::App &app, CliContext &ctx);
void AddPortsCommand(CLI::App &app, CliContext &ctx);

// Runs the command line as `quillrom argv...` would and returns the exit code.
int RunCli(int argc, const char *const *argv, std::ostream &out, std::ostream &err);

}  // namespace quillcli
