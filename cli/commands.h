// The quillrom command line: every subcommand registers itself on the app.
#pragma once
#include <CLI/CLI.hpp>
#include <istream>
#include <ostream>

namespace quillcli {

// Exit codes shared by every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the check or the device command failed
constexpr int kExitUsage = 2;
constexpr int kExitIo = 3;      // port or file problem
constexpr int kExitInterrupted = 130;  // Ctrl+C: 128 + SIGINT, as shells report it

struct CliContext {
    std::ostream *out;
    std::ostream *err;
    int exitCode = kExitOk;
    std::istream *in = nullptr;  // answers to prompts; null reads standard input
};

// Registration functions; each command family lives in its own cmd_*.cpp.
void AddHexCommands(CLI::App &app, CliContext &ctx);
void AddPrmCommands(CLI::App &app, CliContext &ctx);
void AddPortsCommand(CLI::App &app, CliContext &ctx);
void AddDeviceCommands(CLI::App &app, CliContext &ctx);
void AddDemoCommand(CLI::App &app, CliContext &ctx);
void AddHistoryCommand(CLI::App &app, CliContext &ctx);
void AddStationCommand(CLI::App &app, CliContext &ctx);

// Runs the command line as `quillrom argv...` would and returns the exit code.
int RunCli(int argc, const char *const *argv, std::ostream &out, std::ostream &err);
// The same, with prompts answered from `in` instead of standard input.
int RunCli(int argc, const char *const *argv, std::istream &in, std::ostream &out, std::ostream &err);

}  // namespace quillcli
