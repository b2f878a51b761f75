#include "client/gang.h"

#include <algorithm>
#include <cstring>

namespace quillclient {

using Clock = std::chrono::steady_clock;

struct Gang::Member {
    GangTarget target;
    TargetRun run;
    // The inbox outlives the session: its worker posts there until it stops.
    std::unique_ptr<NotificationQueue> inbox;
    std::unique_ptr<FlashSession> session;
    ProgressRecord lastRecord{};
    PromptEnd prompt;  // how the run itself ended a target at the power prompt
    uint32_t streamBytes = 0;
    // Progress of the running phase, for its rate.
    Clock::time_point phaseStart{};
    int32_t phaseState = -1;
};

Gang::Gang(Waiter &waiter, GangEvents events) : waiter_(waiter), events_(std::move(events)) {}

Gang::~Gang() {
    for (auto &m : members_) m->session.reset();
    // A worker that did not stop in time still posts to its inbox; the
    // process ends soon, so leave the inbox to it.
    if (!settled_)
        for (auto &m : members_) (void)m->inbox.release();
}

std::vector<TargetResult> Gang::results() const {
    std::vector<TargetResult> out;
    for (const auto &m : members_) out.push_back(m->run.result());
    return out;
}

void Gang::Show(size_t i, const std::string &line) {
    members_[i]->run.Line(line);
    if (events_.line) events_.line(i, line);
}

void Gang::Note(size_t i, const std::string &line) {
    Show(i, line);
    if (events_.note) events_.note(i, line);
}

bool Gang::AnyAt(Stage stage) const {
    return std::any_of(members_.begin(), members_.end(),
                       [stage](const auto &m) { return !m->run.done() && m->session->stage() == stage; });
}

bool Gang::Pending() const {
    return std::any_of(members_.begin(), members_.end(), [](const auto &m) { return !m->run.done(); });
}

bool Gang::Run(const CommandRequest &request, const std::vector<GangTarget> &targets, int tickMs, int interruptsBefore,
               std::string *why) {
    command_ = request.command;
    members_.clear();
    reports_.clear();
    interrupted_ = false;
    settled_ = true;
    for (size_t i = 0; i < targets.size(); ++i) {
        auto m = std::make_unique<Member>();
        m->target = targets[i];
        m->run = TargetRun(targets[i].port);
        m->inbox = std::make_unique<NotificationQueue>([this] { waiter_.Wake(); });
        if (NeedsLoadFile(command_) && m->target.load != nullptr)
            m->streamBytes = PRRStreamBytes(m->target.device, &request.area, request.autoRange, m->target.load);
        SessionConfig config;
        config.window = m->inbox->window();
        config.name = m->target.port.name.c_str();
        SessionEvents events;
        events.record = [this, i](const ProgressRecord &r) { OnRecord(i, r); };
        // One prompt serves the whole gang, once every target is prepared.
        events.powerPrompt = [] { return PowerAnswer::Later; };
        events.issuing = [this, i](Command) { OnIssuing(i); };
        events.finished = [this, i](const RunResult &r) { OnFinished(i, r); };
        events.slowLink = [this, i](const std::string &text) {
            Show(i, ">>Warning: " + text);
            if (events_.warn) events_.warn(i, text);
        };
        m->session = std::make_unique<FlashSession>(config, std::move(events));
        TargetReport report;
        report.port = m->target.port.name;
        reports_.push_back(report);
        const bool started = m->session->handle() != nullptr;
        members_.push_back(std::move(m));
        if (!started) {
            *why = "cannot start a worker thread for " + targets[i].port.name;
            members_.clear();
            reports_.clear();
            return false;
        }
    }
    for (size_t i = 0; i < members_.size(); ++i) {
        Member &m = *members_[i];
        m.run.Begin();
        if (!m.target.refused.empty()) {
            // Failed before its port was opened: nothing reached the unit.
            Show(i, ">>Error: " + m.target.refused);
            End(i, Verdict::Failed, m.target.refused);
            continue;
        }
        Note(i, ">>COMMAND: Reset");
        CommandRequest r = request;
        r.reset.portNumber = static_cast<uint8_t>(m.target.port.number);
        r.device = m.target.device;
        r.loadFile = m.target.load;
        for (size_t at = 0; at < m.target.note.size();) {
            const size_t end = std::min(m.target.note.find('\n', at), m.target.note.size());
            Note(i, m.target.note.substr(at, end - at));
            at = end + 1;
        }
        if (!m.session->Start(r)) End(i, Verdict::Failed, "the connect could not be started");
    }

    int interruptsSeen = interruptsBefore >= 0 ? interruptsBefore : waiter_.Interrupts();
    Clock::time_point abortDeadline{};
    while (Pending()) {
        // After an interrupt, look at the abort's deadline now and then.
        waiter_.Wait(tickMs >= 0 ? tickMs : interrupted_ ? kAbortPollMs : -1);
        if (const int n = waiter_.Interrupts(); n > interruptsSeen) {
            interruptsSeen = n;
            if (!interrupted_) {
                Interrupt();
                abortDeadline = Clock::now() + kAbortGrace;
            } else {
                abortDeadline = Clock::now();  // asked again: stop waiting
            }
        }
        for (auto &m : members_)
            for (const uint32_t message : m->inbox->Take()) m->session->OnNotification(message);
        if (interrupted_ && Clock::now() >= abortDeadline) {
            for (size_t i = 0; i < members_.size(); ++i)
                if (!members_[i]->run.done()) End(i, Verdict::Interrupted, "the abort was not confirmed");
            settled_ = false;
        }
        if (!interrupted_ && !AnyAt(Stage::Preparing) && AnyAt(Stage::PowerPrompt)) AnswerPowerPrompt(interruptsSeen);
        UpdateRates();
        if (events_.tick) events_.tick();
    }
    return true;
}

void Gang::AnswerPowerPrompt(int interruptsBefore) {
    const bool go = events_.powerPrompt ? events_.powerPrompt() : false;
    const bool interruptedHere = waiter_.Interrupts() > interruptsBefore;
    for (auto &m : members_) {
        if (m->run.done() || m->session->stage() != Stage::PowerPrompt) continue;
        m->prompt.verdict = interruptedHere ? Verdict::Interrupted : Verdict::Failed;
        m->prompt.detail = interruptedHere ? "interrupted at the power prompt"
                                           : "no answer to the power prompt (standard input closed)";
        m->session->AnswerPowerPrompt(go);
    }
    if (interruptedHere) interrupted_ = true;
}

void Gang::OnRecord(size_t i, const ProgressRecord &r) {
    Member &m = *members_[i];
    TargetReport &rep = reports_[i];
    m.lastRecord = r;
    const std::string text(r.text, strnlen(r.text, sizeof r.text));
    if (!text.empty()) Show(i, text);  // the connect's last record has none; "connected." is noted instead
    if (r.state >= PRR_STATE_CONNECT && r.state <= PRR_STATE_SIGNATURE && r.state != m.phaseState) {
        m.phaseState = r.state;
        m.phaseStart = Clock::now();
    }
    m.run.Record(r);
    if (!m.run.done()) {
        if (r.state != PRR_STATE_IDLE) rep.state = r.state;
        rep.percent = r.percent;
        if (!text.empty()) rep.text = text;
    }
    if (events_.record) events_.record(i, r);
}

void Gang::OnIssuing(size_t i) {
    // The connect's final record, the last before its end, names the device.
    const ProgressRecord &last = members_[i]->lastRecord;
    const std::string name(last.deviceName, strnlen(last.deviceName, sizeof last.deviceName));
    Note(i, name.empty() ? std::string("connected.") : "connected: " + name);
    Note(i, CommandTitle(command_));
}

void Gang::OnFinished(size_t i, const RunResult &result) {
    Member &m = *members_[i];
    if (m.run.done()) return;
    m.run.Finished(result, command_, m.prompt);
    Finish(i);
}

void Gang::End(size_t i, Verdict v, const std::string &detail) {
    members_[i]->run.End(v, detail);
    Finish(i);
}

void Gang::Finish(size_t i) {
    const TargetResult &t = members_[i]->run.result();
    TargetReport &r = reports_[i];
    r.verdict = t.verdict;
    r.detail = t.detail;
    r.rate = r.eta = r.byteMs = -1;
    r.seconds = t.seconds;
}

// First interrupt: abort what runs, let waiting targets go.
void Gang::Interrupt() {
    interrupted_ = true;
    for (size_t i = 0; i < members_.size(); ++i) {
        Member &m = *members_[i];
        if (m.run.done()) continue;
        switch (m.session->stage()) {
        case Stage::PowerPrompt:
            m.prompt.verdict = Verdict::Interrupted;
            m.prompt.detail = "interrupted before the connect";
            break;
        case Stage::Connecting:
        case Stage::Running:
            Note(i, ">>ABORT");
            break;
        case Stage::Preparing:  // ends by itself at once; no connect follows it
        case Stage::Idle:
            break;
        }
        m.session->Abort();
    }
}

void Gang::UpdateRates() {
    const auto now = Clock::now();
    for (size_t i = 0; i < members_.size(); ++i) {
        const Member &m = *members_[i];
        TargetReport &r = reports_[i];
        if (r.verdict != Verdict::Pending || m.phaseState != r.state) continue;
        const double elapsed = std::chrono::duration<double>(now - m.phaseStart).count();
        const bool streams = r.state == PRR_STATE_PROGRAM || r.state == PRR_STATE_VERIFY;
        const uint32_t bytes = m.streamBytes;
        r.rate = streams && bytes > 0 && r.percent > 0 && elapsed > 0 ? bytes * (r.percent / 100.0) / elapsed : -1;
        r.eta = r.percent > 0 && r.percent < 100 ? elapsed * (100 - r.percent) / r.percent : -1;
        r.byteMs = -1;
        // Once pages are timed, the rate is the adapter's true one: the
        // first page's share of the elapsed time no longer skews it.
        PRRLinkInfo link{};
        if (r.state == PRR_STATE_PROGRAM && bytes > 0 && m.session != nullptr &&
            PRRFlshGetLinkInfo(m.session->handle(), &link) == 0 && link.measuredBytes > 0 && link.microsPerDataByte > 0) {
            r.rate = 1e6 / link.microsPerDataByte;
            r.byteMs = link.microsPerDataByte / 1000.0;
            if (r.percent < 100) r.eta = bytes * ((100 - r.percent) / 100.0) * link.microsPerDataByte / 1e6;
        }
    }
}

}  // namespace quillclient
