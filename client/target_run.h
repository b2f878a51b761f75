// One target's run as the verdict and the record see it: when it began,
// every line shown for it, the text of its last record, and how it ended.
// The gang keeps one per target; Quillrom2 keeps one for its session.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "client/verdict.h"

namespace quillclient {

struct TargetResult {
    PortChoice port;
    Verdict verdict = Verdict::Pending;
    std::string detail;              // the reason of a failure, or the last line of a success
    PRROutcome outcome{};            // the library's, when the run reached a request's end
    bool outcomeKnown = false;
    std::chrono::system_clock::time_point started{};
    double seconds = 0;              // from the start to the verdict
    std::vector<std::string> log;    // every line shown for this target, in order
};

class TargetRun {
public:
    explicit TargetRun(PortChoice port = {});

    // The run starts now: times and lines start afresh.
    void Begin();
    // A line shown for this target (a record's text, or one of the front end's own).
    void Line(const std::string &line);
    // A record of the target's worker: its text is the detail of some verdicts.
    void Record(const ProgressRecord &record);
    // The session's end: the verdict from its stage and outcome.
    void Finished(const RunResult &result, Command command, const PromptEnd &prompt = PromptEnd());
    // A verdict the caller reached itself ("the abort was not confirmed").
    void End(Verdict verdict, const std::string &detail);

    bool done() const { return result_.verdict != Verdict::Pending; }
    const std::string &lastText() const { return lastText_; }
    const TargetResult &result() const { return result_; }
    std::chrono::steady_clock::time_point start() const { return start_; }

private:
    TargetResult result_;
    std::string lastText_;
    std::chrono::steady_clock::time_point start_{};
};

}  // namespace quillclient
