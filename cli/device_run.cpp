#include "device_run.h"

#include "os_compat.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "terminal_input.h"

namespace quillcli {
namespace {

constexpr int kRedrawMs = 200;  // bar redraw interval on a terminal

using quillclient::Gang;
using quillclient::Verdict;

int Fail(CliContext &ctx, int code, const std::string &message) {
    *ctx.err << "quillrom: " << message << '\n';
    return code;
}

// The prompt between the two connect phases; false when no Enter came
// (standard input closed, or Ctrl+C).
bool AskPowerCycle(CliContext &ctx, TerminalInput &input) {
    *ctx.err << "Please Turn off->on Target power, then press Enter." << std::endl;
    std::string line;
    return input.ReadLine(-1, input.Interrupts(), &line) == TerminalInput::Got::kLine;
}

// Appends a target's line to the --log file; a gang's lines name their port.
void LogLine(const DeviceJob &job, size_t target, const std::string &line) {
    if (job.logPath.empty()) return;
    const std::string prefix = job.spec.ports.size() > 1 ? job.spec.ports[target].name + ": " : std::string();
    // The writer takes 255 characters; keep the line end inside them.
    const int room = static_cast<int>(254 - prefix.size());
    PRRLogWrite(job.logPath.c_str(), "%s%.*s\n", prefix.c_str(), room, line.c_str());
}

}  // namespace

int RunDeviceJob(const DeviceJob &job, CliContext &ctx, std::vector<UnitResult> *results) {
    if (results != nullptr) results->clear();
    const std::unique_ptr<ProgressView> view = MakeView(job.view, job.spec.ports.size() > 1, job.quiet, *ctx.out, *ctx.err);
    std::unique_ptr<TerminalInput> own;
    TerminalInput *input = ctx.input;
    if (input == nullptr) input = (own = std::make_unique<TerminalInput>(ctx.in)).get();
    if (!input->ok()) return Fail(ctx, kExitFailed, std::string("cannot create an event descriptor: ") + std::strerror(errno));
    const int interruptsBefore = input->Interrupts();
    if (!job.logPath.empty()) {
        // Checked now: the log writer drops lines it cannot write.
        const int fd = ::open(job.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return Fail(ctx, kExitIo, "cannot write the log file " + job.logPath + ": " + std::strerror(errno));
        ::close(fd);
    }
    std::string why;
    quillrecord::RunRecorder recorder;
    if (!recorder.Open(job.record, &why))
        return Fail(ctx, kExitIo, "cannot record the run: " + why + " (no device was touched; --no-record runs without the record)");
    quillclient::Job work;
    if (const int code = work.Prepare(job.spec, *input, &why); code != kExitOk) return Fail(ctx, code, why);
    if (job.serial)
        if (const int code = recorder.AssignSerials(work, job.serialRequest, *input, &why); code != kExitOk)
            return Fail(ctx, code, why);
    if (const int code = recorder.AssignFields(work, job.fields, *input, &why); code != kExitOk)
        return Fail(ctx, code, why);
    // Taken before the run: the digests are of the files as they were loaded.
    const quillrecord::RunFacts facts = recorder.active() ? quillrecord::FactsOf(work) : quillrecord::RunFacts{};

    Gang *running = nullptr;
    quillclient::GangEvents events;
    events.line = [&job](size_t i, const std::string &line) { LogLine(job, i, line); };
    events.record = [&](size_t i, const ProgressRecord &r) { view->Record(running->reports(), i, r); };
    events.note = [&](size_t i, const std::string &line) { view->Note(running->reports(), i, line); };
    events.warn = [&](size_t i, const std::string &text) { view->Warn(running->reports(), i, text); };
    events.powerPrompt = [&] { return AskPowerCycle(ctx, *input); };
    events.tick = [&] { view->Tick(running->reports()); };
    Gang gang(*input, std::move(events));
    running = &gang;
    if (!gang.Run(work.request(), work.targets(), job.view == ViewKind::Terminal ? kRedrawMs : -1, interruptsBefore, &why))
        return Fail(ctx, kExitFailed, why);
    view->Finish(gang.reports());
    if (!gang.settled()) work.Abandon();

    const std::vector<quillclient::TargetResult> ends = gang.results();
    std::vector<std::string> lost;
    const bool recorded = recorder.Record(facts, ends, &lost);
    std::vector<Verdict> verdicts;
    for (size_t i = 0; i < ends.size(); ++i) {
        if (!lost[i].empty()) *ctx.err << "quillrom: " << ends[i].port.name << ": the run is not recorded: " << lost[i] << '\n';
        verdicts.push_back(ends[i].verdict);
        if (results == nullptr) continue;
        UnitResult unit{ends[i].port.name, ends[i].verdict, ends[i].detail,
                        i < recorder.serials().size() ? recorder.serials()[i] : int64_t{-1}, {}, lost[i].empty()};
        if (i < recorder.fields().size())
            for (const quillrecord::ClaimedField &f : recorder.fields()[i]) unit.fields.push_back({f.name, f.value});
        results->push_back(unit);
    }
    return quillclient::GangExitCode(verdicts.data(), verdicts.size(), recorded);
}

bool ParseRange(const std::string &text, AreaRecord *area, std::string *why) {
    auto number = [](const std::string &s, int *out) {
        if (s.empty() || s.size() > 6) return false;
        char *end = nullptr;
        const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        const long v = std::strtol(s.c_str(), &end, hex ? 16 : 10);
        if (*end != '\0' || s[0] < '0' || s[0] > '9' || v < 0 || v > 255) return false;
        *out = static_cast<int>(v);
        return true;
    };
    if (text == "chip") {
        *area = AreaRecord{PRR_AREA_CHIP, -1, -1, 0, 0};
        return true;
    }
    const size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const int32_t mode = kind == "block" ? PRR_AREA_BLOCK : kind == "area" ? PRR_AREA_AREA : 0;
    if (mode == 0 || colon == std::string::npos) {
        *why = "--range wants chip, block:A-B or area:A-B, not '" + text + "'";
        return false;
    }
    const std::string span = text.substr(colon + 1);
    const size_t dash = span.find('-');
    int first = 0, last = 0;
    const bool ok = dash == std::string::npos ? number(span, &first) && number(span, &last)
                                              : number(span.substr(0, dash), &first) && number(span.substr(dash + 1), &last);
    if (!ok) {
        *why = "--range " + kind + ": wants numbers from 0 to 255 as A-B, not '" + span + "'";
        return false;
    }
    if (first > last) {
        *why = "--range " + text + ": the first number is above the last";
        return false;
    }
    *area = AreaRecord{mode, first, last, 0, 0};
    return true;
}

}  // namespace quillcli
