// The quillrom command line: every subcommand registers itself on the app.
#pragma once
#include <CLI/CLI.hpp>
#include <istream>
#include <ostream>

#include "client/commands.h"

namespace quillcli {

class TerminalInput;

// Exit codes shared by every command.
using quillclient::kExitFailed;
using quillclient::kExitInterrupted;
using quillclient::kExitIo;
using quillclient::kExitOk;
using quillclient::kExitUsage;

struct CliContext {
    std::ostream *out;
    std::ostream *err;
    int exitCode = kExitOk;
    std::istream *in = nullptr;  // answers to prompts; null reads standard input
    // Ctrl+C and typed lines while a command runs; a device command makes its
    // own when the caller (station mode) has none to lend it.
    TerminalInput *input = nullptr;
};

// Registration functions; each command family lives in its own cmd_*.cpp.
void AddHexCommands(CLI::App &app, CliContext &ctx);
void AddPrmCommands(CLI::App &app, CliContext &ctx);
void AddPortsCommand(CLI::App &app, CliContext &ctx);
void AddDeviceCommands(CLI::App &app, CliContext &ctx);
void AddDemoCommand(CLI::App &app, CliContext &ctx);
void AddHistoryCommand(CLI::App &app, CliContext &ctx);
void AddStationCommand(CLI::App &app, CliContext &ctx);
void AddJobCommands(CLI::App &app, CliContext &ctx);

// Runs the command line as `quillrom argv...` would and returns the exit code.
int RunCli(int argc, const char *const *argv, std::ostream &out, std::ostream &err);
// The same, with prompts answered from `in` instead of standard input.
int RunCli(int argc, const char *const *argv, std::istream &in, std::ostream &out, std::ostream &err);

}  // namespace quillcli
