// What a target's run came to, decided once for every front end and the
// record: from the stage the run ended in and the library's outcome, never
// from the texts of its lines.
#pragma once
#include <string>

#include "client/commands.h"
#include "client/flash_session.h"
#include "client/port_diagnosis.h"

namespace quillclient {

enum class Verdict { Pending, Ok, Failed, PortProblem, Interrupted };

// "ok", "failed", "port", "interrupted" (the record's result column); "" for Pending.
const char *ResultName(Verdict v);
// kExitOk, kExitFailed, kExitIo or kExitInterrupted.
int ExitCodeOf(Verdict v);

// How a run that stopped at the power prompt ended, as the one who answered knows it.
struct PromptEnd {
    Verdict verdict = Verdict::Failed;
    std::string detail = "no answer to the power prompt (standard input closed)";
};

struct Judgement {
    Verdict verdict = Verdict::Pending;
    std::string detail;  // the reason of a failure, or the last line of a success
};

// The verdict on a finished run of `command` on `port`. `lastLine` is the
// text of the run's last record: the detail of what a command reports
// without a status (a checksum that differs, a device not blank). A port
// that could not be opened or set is probed for the reason.
Judgement Judge(const RunResult &result, Command command, const std::string &lastLine, const PortChoice &port,
                const PromptEnd &prompt = PromptEnd());

// The whole gang's exit code: an interrupt before a port or file problem
// (or a record not written) before a failure.
int GangExitCode(const Verdict *verdicts, size_t count, bool recorded);

}  // namespace quillclient
