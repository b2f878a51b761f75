#include "client/commands.h"

namespace quillclient {
namespace {

struct CommandText {
    Command command;
    const char *name;
    const char *title;
};

constexpr CommandText kCommands[] = {
    {Command::BlankCheck, "blank-check", ">>COMMAND: Blank Check"},
    {Command::Erase, "erase", ">>COMMAND: Erase"},
    {Command::Program, "program", ">>COMMAND: Program"},
    {Command::Verify, "verify", ">>COMMAND: Verify"},
    {Command::Checksum, "checksum", ">>COMMAND: Checksum"},
    {Command::Security, "security", ">>COMMAND: Security"},
    {Command::Signature, "signature", ">>COMMAND: Signature Read"},
    {Command::Autoprocedure, "auto", ">>COMMAND: AutoProcedure(Epv)"},
};

const CommandText &TextOf(Command c) {
    for (const CommandText &t : kCommands)
        if (t.command == c) return t;
    return kCommands[0];
}

}  // namespace

bool NeedsLoadFile(Command c) {
    return c == Command::Program || c == Command::Verify || c == Command::Checksum || c == Command::Autoprocedure;
}

bool StreamsImage(Command c) { return c == Command::Program || c == Command::Verify || c == Command::Autoprocedure; }

const char *CommandTitle(Command c) { return TextOf(c).title; }

const char *CommandName(Command c) { return TextOf(c).name; }

bool CommandByName(const std::string &name, Command *out) {
    for (const CommandText &t : kCommands) {
        if (name == t.name) {
            *out = t.command;
            return true;
        }
    }
    return false;
}

}  // namespace quillclient
