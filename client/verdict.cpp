#include "client/verdict.h"

namespace quillclient {
namespace {

Judgement Of(Verdict v, std::string detail) { return {v, std::move(detail)}; }

// A request the library failed with `status`; while opening, a port that
// would not open or take its settings is named with the reason.
Judgement FailedRequest(int32_t status, bool opening, const PortChoice &port) {
    if (opening && (status == PRR_STATUS_COM_OPEN || status == PRR_STATUS_COM_SETTING)) {
        const PortProbe probe = ProbePort(port);
        std::string detail = DescribePortFault(probe);
        if (status == PRR_STATUS_COM_SETTING && probe.fault == PortFault::Unexplained)
            detail = port.name + (port.path.empty() ? "" : " (" + port.path + ")") +
                     ": the port opened, but its line settings could not be set";
        return Of(Verdict::PortProblem, detail);
    }
    return Of(Verdict::Failed, PRRStatusText(status));
}

}  // namespace

const char *ResultName(Verdict v) {
    switch (v) {
    case Verdict::Ok: return "ok";
    case Verdict::Failed: return "failed";
    case Verdict::PortProblem: return "port";
    case Verdict::Interrupted: return "interrupted";
    case Verdict::Pending: break;
    }
    return "";
}

int ExitCodeOf(Verdict v) {
    switch (v) {
    case Verdict::Ok: return kExitOk;
    case Verdict::PortProblem: return kExitIo;
    case Verdict::Interrupted: return kExitInterrupted;
    case Verdict::Failed:
    case Verdict::Pending: break;
    }
    return kExitFailed;
}

Judgement Judge(const RunResult &result, Command command, const std::string &lastLine, const PortChoice &port,
                const PromptEnd &prompt) {
    const PRROutcome &o = result.outcome;
    switch (result.stage) {
    case Stage::Preparing:
        if (o.status != PRR_STATUS_OK) return FailedRequest(o.status, true, port);
        return Of(Verdict::Interrupted, "interrupted before the connect");
    case Stage::PowerPrompt:
        return Of(prompt.verdict, prompt.detail);
    case Stage::Connecting:
        if (o.aborted) return Of(Verdict::Interrupted, lastLine);
        if (o.status != PRR_STATUS_OK) return FailedRequest(o.status, true, port);
        if (!o.connected) return Of(Verdict::Failed, "the connect ended without reaching the device");
        return Of(Verdict::Interrupted, "interrupted after the connect");
    case Stage::Running:
        if (o.aborted) return Of(Verdict::Interrupted, lastLine);
        if (o.status != PRR_STATUS_OK) return FailedRequest(o.status, false, port);
        // Both are normal ends for the library; for the user the check failed.
        if (o.checksumCompared && !o.checksumEqual) return Of(Verdict::Failed, lastLine);
        if (o.notBlank && command == Command::BlankCheck) return Of(Verdict::Failed, lastLine);
        return Of(Verdict::Ok, lastLine);
    case Stage::Idle:
        break;
    }
    return Of(Verdict::Failed, "the run ended before it began");
}

int GangExitCode(const Verdict *verdicts, size_t count, bool recorded) {
    bool port = false, failed = false, interrupted = false;
    for (size_t i = 0; i < count; ++i) {
        port = port || verdicts[i] == Verdict::PortProblem;
        failed = failed || verdicts[i] == Verdict::Failed || verdicts[i] == Verdict::Pending;
        interrupted = interrupted || verdicts[i] == Verdict::Interrupted;
    }
    if (interrupted) return kExitInterrupted;
    if (port || !recorded) return kExitIo;
    return failed ? kExitFailed : kExitOk;
}

}  // namespace quillclient
