#include "client/target_run.h"

#include <cstring>

namespace quillclient {

TargetRun::TargetRun(PortChoice port) { result_.port = std::move(port); }

void TargetRun::Begin() {
    PortChoice port = std::move(result_.port);
    result_ = TargetResult{};
    result_.port = std::move(port);
    lastText_.clear();
    start_ = std::chrono::steady_clock::now();
    result_.started = std::chrono::system_clock::now();
}

void TargetRun::Line(const std::string &line) { result_.log.push_back(line); }

void TargetRun::Record(const ProgressRecord &r) {
    if (done()) return;
    const std::string text(r.text, strnlen(r.text, sizeof r.text));
    if (!text.empty()) lastText_ = text;
}

void TargetRun::Finished(const RunResult &result, Command command, const PromptEnd &prompt) {
    if (done()) return;  // given up on already
    result_.outcome = result.outcome;
    result_.outcomeKnown = true;
    const Judgement j = Judge(result, command, lastText_, result_.port, prompt);
    End(j.verdict, j.detail);
}

void TargetRun::End(Verdict verdict, const std::string &detail) {
    if (done()) return;
    result_.verdict = verdict;
    result_.detail = detail;
    result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

}  // namespace quillclient
