// The device commands as every front end names and titles them, and the
// exit codes a command comes to.
#pragma once
#include <string>

namespace quillclient {

enum class Command { BlankCheck, Erase, Program, Verify, Checksum, Security, Signature, Autoprocedure };

// Program, Verify, Checksum and Autoprocedure read a load image.
bool NeedsLoadFile(Command command);
// Program, Verify and Autoprocedure stream the image to the device.
bool StreamsImage(Command command);
// The log line that opens the command: ">>COMMAND: Program".
const char *CommandTitle(Command command);
// The command line's name of it: "program", "auto", "blank-check".
const char *CommandName(Command command);
// The command a name stands for; false when it names none.
bool CommandByName(const std::string &name, Command *out);

// What a command comes to, as a process exit code.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;       // the check or the device command failed
constexpr int kExitUsage = 2;
constexpr int kExitIo = 3;           // port, file or record problem
constexpr int kExitInterrupted = 130;  // Ctrl+C: 128 + SIGINT, as shells report it

}  // namespace quillclient
