#include "client/flash_session.h"

#include <cstdio>
#include <utility>

namespace quillclient {

std::string SlowLinkText(const PRRLinkInfo &info) {
    if (info.measuredBytes == 0 || !(info.wireMicrosPerDataByte > 0) ||
        info.microsPerDataByte <= kSlowLinkFactor * info.wireMicrosPerDataByte)
        return "";
    char text[160];
    const double ms = info.microsPerDataByte / 1000.0, wire = info.wireMicrosPerDataByte / 1000.0;
    // Kept short enough for one log line.
    std::snprintf(text, sizeof text, "slow serial adapter: it adds %.2f ms to every programmed byte (%.2f ms each, the wire takes %.2f ms)",
                  ms - wire, ms, wire);
    std::string s = text;
    if (info.latencyTimerMs > 1) {
        std::snprintf(text, sizeof text, "; its latency timer is %d ms and could not be lowered", info.latencyTimerMs);
        s += text;
    }
#if defined(_WIN32)
    return s + "; set the latency timer to 1 ms: see 'quillrom ports' (FTDI: Device Manager, the port's Port Settings, "
               "Advanced, Latency Timer)";
#else
    return s + "; set the latency timer to 1 ms: see 'quillrom ports' (FTDI: udev rule /usr/lib/udev/rules.d/60-quillrom.rules)";
#endif
}

FlashSession::FlashSession(const SessionConfig &config, SessionEvents events)
    : config_(config), events_(std::move(events)) {
    config_.name = nullptr;  // copied into the handle; not kept
    handle_ = PRRFlshOpen(config.window, config.recordMessage, config.name);
    // Set before any request, so the idle notices count every command the
    // handle finishes and line up with the outcomes' sequence numbers.
    if (handle_ != nullptr) PRRFlshSetIdleMessage(handle_, config_.idleMessage);
}

FlashSession::~FlashSession() { Close(); }

void FlashSession::Close() {
    PRRFlshClose(handle_);
    handle_ = nullptr;
    stage_ = Stage::Idle;
}

bool FlashSession::Start(const CommandRequest &request) {
    if (handle_ == nullptr || stage_ != Stage::Idle || request.device == nullptr) return false;
    if (NeedsLoadFile(request.command) && request.loadFile == nullptr) return false;
    request_ = request;
    stopped_ = false;
    answered_ = goAhead_ = false;
    last_ = PRROutcome{};
    slowLinkShown_ = false;
    stage_ = Stage::Preparing;
    if (!PostReset(PRR_RESET_PREPARE)) {
        stage_ = Stage::Idle;
        return false;
    }
    return true;
}

bool FlashSession::PostReset(int32_t phase) {
    // The library takes the phase from linePreparePass when the call is made.
    handle_->linePreparePass = phase;
    const bool posted = PRRFlshReset(handle_, &request_.reset, request_.device) == 0;
    handle_->linePreparePass = PRR_RESET_CONNECT;
    return posted;
}

void FlashSession::OnNotification(uint32_t message) {
    if (handle_ == nullptr) return;
    if (message == config_.recordMessage) {
        // Exactly one record per record notification, even after the run.
        const ProgressRecord *r = PRRFlshGetProg(handle_);
        if (r == nullptr) return;
        const int32_t state = r->state;
        if (events_.record) events_.record(*r);
        if (state == PRR_STATE_PROGRAM && stage_ == Stage::Running) CheckLinkSpeed();
        return;
    }
    if (message != config_.idleMessage || config_.idleMessage == 0) return;
    ++idleNotices_;
    PRROutcome outcome{};
    PRRFlshGetOutcome(handle_, &outcome);
    // An abort that reached the worker after our request had ended ran as a
    // command of its own ("ABORT ok."): not one of ours. When it finished
    // before we looked, its outcome (aborted) stands for the request it
    // overtook, whose own outcome is gone.
    if (outcome.sequenceNumber == idleNotices_ && outcome.message == PRR_MSG_ABORT) return;
    RequestEnded(outcome);
}

void FlashSession::CheckLinkSpeed() {
    if (slowLinkShown_ || !events_.slowLink) return;
    PRRLinkInfo info{};
    if (PRRFlshGetLinkInfo(handle_, &info) != 0) return;
    const std::string text = SlowLinkText(info);
    if (text.empty()) return;
    slowLinkShown_ = true;
    events_.slowLink(text);
}

void FlashSession::RequestEnded(const PRROutcome &outcome) {
    last_ = outcome;
    switch (stage_) {
    case Stage::Preparing:
        if (stopped_ || (outcome.status != PRR_STATUS_OK && !config_.connectAfterFailedPrepare)) return End(outcome);
        if (request_.reset.powerCycleMode != PRR_POWER_PROMPT_ON) return Connect();
        stage_ = Stage::PowerPrompt;
        if (!answered_ && events_.powerPrompt) {
            const PowerAnswer a = events_.powerPrompt();
            if (a != PowerAnswer::Later) AnswerPowerPrompt(a == PowerAnswer::Continue);
            return;
        }
        if (answered_) ResumeAfterPrompt();
        return;
    case Stage::Connecting:
        if (!stopped_ && outcome.connected && outcome.status == PRR_STATUS_OK && !outcome.aborted) return Issue();
        return End(outcome);
    case Stage::Running:
        return End(outcome);
    case Stage::PowerPrompt:
    case Stage::Idle:
        return;  // nothing of ours was out
    }
}

void FlashSession::AnswerPowerPrompt(bool go) {
    if (stage_ != Stage::Preparing && stage_ != Stage::PowerPrompt) return;
    if (answered_) return;
    answered_ = true;
    goAhead_ = go;
    if (stage_ == Stage::PowerPrompt) ResumeAfterPrompt();
}

void FlashSession::ResumeAfterPrompt() {
    if (goAhead_ && !stopped_) return Connect();
    stopped_ = true;
    End(last_);
}

void FlashSession::Connect() {
    stage_ = Stage::Connecting;
    if (!PostReset(PRR_RESET_CONNECT)) End(last_);
}

void FlashSession::Issue() {
    stage_ = Stage::Running;
    if (events_.issuing) events_.issuing(request_.command);
    if (stage_ != Stage::Running) return;  // the callback closed or aborted the session
    FlashHandle *h = handle_;
    DeviceParameters *d = request_.device;
    const AreaRecord *area = &request_.area;
    LoadFileHandle *load = request_.loadFile;
    const int32_t autoRange = request_.autoRange;
    int32_t refused = 1;
    switch (request_.command) {
    case Command::BlankCheck: refused = PRRFlshBlnk(h, d, area, autoRange); break;
    case Command::Erase: refused = PRRFlshErase(h, d, area, autoRange); break;
    case Command::Program: refused = PRRFlshProg(h, d, area, load, autoRange); break;
    case Command::Verify: refused = PRRFlshVerify(h, d, area, load, autoRange); break;
    case Command::Checksum: refused = PRRFlshChecksum(h, d, area, load); break;
    case Command::Security: refused = PRRFlshSecurity(h, d, d->typeSet11, d->typeSet12); break;
    case Command::Signature: refused = PRRFlshSigread(h, d); break;
    case Command::Autoprocedure: refused = PRRFlshEPV(h, d, area, load, autoRange); break;
    }
    if (refused != 0) {
        PRROutcome o = last_;
        o.status = PRR_STATUS_ILLEGAL_PARAMETER;
        End(o);
    }
}

void FlashSession::Abort() {
    switch (stage_) {
    case Stage::Preparing:
        stopped_ = true;  // the prepare ends by itself at once; no connect follows it
        break;
    case Stage::PowerPrompt:
        stopped_ = true;
        End(last_);
        break;
    case Stage::Connecting:
    case Stage::Running:
        // An abort needs no record, and one given would only be copied in.
        if (!stopped_) PRRFlshAbort(handle_, nullptr);
        stopped_ = true;
        break;
    case Stage::Idle:
        break;
    }
}

void FlashSession::End(const PRROutcome &outcome) {
    const RunResult result{stage_, stopped_, outcome};
    // A run that did not reach its command has no use for the port; left
    // open it would keep the device from every other program.
    if (stage_ != Stage::Running) PRRFlshClosePort(handle_);
    stage_ = Stage::Idle;
    if (events_.finished) events_.finished(result);
}

}  // namespace quillclient
