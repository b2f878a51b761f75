// FlashSession: one flash handle and the lifecycle of the device commands run
// on it, written once for every front end (quillrom, Quillrom2). A run is
//   1. prepare: a reset request that opens and configures the port;
//   2. once the prepare has ended, the power prompt if the request asks for it;
//   3. connect: the second reset (line pulses and handshake);
//   4. once connected, the pending command;
//   5. the end, on the worker's idle notice after the last request, with the
//      library's outcome of that request.
// A run that ends before its command closes the port, so the device is free
// for the next run or another program. Outcomes come from PRRFlshGetOutcome,
// never from record texts; the records reach the caller only to be shown.
//
// The caller drives the session on its own thread: every message its
// PRRWindow receives goes to OnNotification, and the callbacks run inside
// that call (or inside Start, AnswerPowerPrompt and Abort). A callback may
// start the next run.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "client/commands.h"
#include "quillctl.h"

namespace quillclient {

// The notice a session asks the worker to post when it has finished a
// request, unless the caller picks another: not a record message.
constexpr uint32_t kDefaultIdleMessage = 2030;

struct CommandRequest {
    Command command = Command::Signature;
    ResetRecord reset{};                 // powerCycleMode PRR_POWER_PROMPT_ON asks for the power prompt
    DeviceParameters *device = nullptr;  // the library keeps pointers into it until the run has ended
    AreaRecord area{};
    LoadFileHandle *loadFile = nullptr;  // for the commands that need one
    int32_t autoRange = 0;
};

// A measured time per programmed byte above this many times the wire's own
// means the adapter holds every acknowledge (its latency timer).
constexpr double kSlowLinkFactor = 4.0;

// The sentence a front end shows once per run when programming goes slower
// than the wire allows by more than kSlowLinkFactor: how much the adapter adds
// and what to do. Empty while nothing is measured, or when it is not slow.
std::string SlowLinkText(const PRRLinkInfo &info);

enum class Stage { Idle, Preparing, PowerPrompt, Connecting, Running };

// How a run ended.
struct RunResult {
    Stage stage = Stage::Idle;  // the stage it ended in
    bool stopped = false;       // by Abort() or a cancelled power prompt
    PRROutcome outcome{};       // of the last request that ended
};

enum class PowerAnswer { Continue, Cancel, Later };

struct SessionEvents {
    std::function<void(const ProgressRecord &)> record;
    // The prepare has ended and the request asks for the power prompt. Later
    // (also what a missing callback means): the caller answers with
    // AnswerPowerPrompt, which it may also do before the prepare has ended.
    std::function<PowerAnswer()> powerPrompt;
    // Connected: the pending command is about to be posted.
    std::function<void(Command)> issuing;
    std::function<void(const RunResult &)> finished;
    // Once per run, when programming turns out slow (SlowLinkText).
    std::function<void(const std::string &)> slowLink;
};

struct SessionConfig {
    PRRWindow *window = nullptr;  // where the worker posts; the caller passes each post on
    uint32_t recordMessage = PRR_MSG_FLASH_RECORD;
    uint32_t idleMessage = kDefaultIdleMessage;  // nonzero, and not recordMessage
    const char *name = nullptr;
    // Make the connect even when the prepare failed; the connect then reports
    // a failure of its own. Quillrom2 has always shown both requests' lines.
    bool connectAfterFailedPrepare = false;
};

class FlashSession {
public:
    FlashSession(const SessionConfig &config, SessionEvents events);
    ~FlashSession();  // Close()
    FlashSession(const FlashSession &) = delete;
    FlashSession &operator=(const FlashSession &) = delete;

    // Null when the worker could not be started.
    FlashHandle *handle() const { return handle_; }
    Stage stage() const { return stage_; }
    bool running() const { return stage_ != Stage::Idle; }

    // Begins a run; false (and nothing sent) without a handle, while a run is
    // on, or when the request lacks its parameter record or load file.
    bool Start(const CommandRequest &request);
    void OnNotification(uint32_t message);
    void AnswerPowerPrompt(bool go);
    // Ends the run as soon as the worker allows: no request follows the one
    // out, and that one is aborted. At the power prompt the run ends at once.
    void Abort();
    // Stops the worker and frees the handle; the run, if any, ends unreported.
    void Close();

private:
    bool PostReset(int32_t phase);
    void RequestEnded(const PRROutcome &outcome);
    void ResumeAfterPrompt();
    void Connect();
    void Issue();
    void End(const PRROutcome &outcome);
    void CheckLinkSpeed();

    SessionConfig config_;
    SessionEvents events_;
    FlashHandle *handle_ = nullptr;
    Stage stage_ = Stage::Idle;
    CommandRequest request_{};
    bool stopped_ = false;
    bool answered_ = false;    // the power prompt's answer is in
    bool goAhead_ = false;     // and it was "continue"
    uint64_t idleNotices_ = 0; // every idle notice of the handle, to match PRROutcome.sequenceNumber
    PRROutcome last_{};        // outcome of the last request that ended
    bool slowLinkShown_ = false;
};

}  // namespace quillclient
