// A gang: one device command on several targets at once, each on its own
// flash handle and session, all driven from the caller's thread, which waits
// on one Waiter that every worker wakes. The gang makes the power prompt
// once for all, aborts every target on the first interrupt (and stops
// waiting for them on the second), keeps each target's progress and rates
// for the front end to show, and ends with a result per target.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/flash_session.h"
#include "client/notification_queue.h"
#include "client/target_run.h"
#include "client/waiter.h"

namespace quillclient {

// One target of a gang and what its run reads; the library keeps pointers
// into `device` and `load` until the run has ended.
struct GangTarget {
    PortChoice port;
    DeviceParameters *device = nullptr;
    LoadFileHandle *load = nullptr;  // for the commands that need one
    std::string note;                // lines of their own before its run (">>Serial number: 7"), or empty
    std::string refused;             // set: the target is not touched and fails with this reason
};

// What a front end shows of one target at a moment.
struct TargetReport {
    std::string port;  // "COM40"
    int32_t state = PRR_STATE_IDLE;
    uint32_t percent = 0;
    std::string text;   // last record text
    double rate = -1;   // bytes per second of the running phase, < 0 when unknown
    double eta = -1;    // seconds left in the running phase, < 0 when unknown
    double byteMs = -1; // measured time per programmed byte, < 0 until pages are timed
    Verdict verdict = Verdict::Pending;
    std::string detail; // the reason of a failure, or the last line of a success
    double seconds = 0; // from the start to the end of this target's command
};

struct GangEvents {
    // Every line shown for a target, in order (a log file takes these).
    std::function<void(size_t, const std::string &)> line;
    // A record of a target's worker, once reports() holds it.
    std::function<void(size_t, const ProgressRecord &)> record;
    // A line of the tool's own (">>COMMAND: Program").
    std::function<void(size_t, const std::string &)> note;
    // Something to act on that does not fail the run (a slow adapter).
    std::function<void(size_t, const std::string &)> warn;
    // Every target that asked for it is prepared: ask once for all; true
    // goes on. Missing: no one answers, and those targets end there.
    std::function<bool()> powerPrompt;
    // After each wake, with reports() current.
    std::function<void()> tick;
};

class Gang {
public:
    // Longest wait for the targets to confirm an abort after the first interrupt.
    static constexpr std::chrono::seconds kAbortGrace{15};
    static constexpr int kAbortPollMs = 200;

    Gang(Waiter &waiter, GangEvents events);
    ~Gang();
    Gang(const Gang &) = delete;
    Gang &operator=(const Gang &) = delete;

    // Runs `request` (its reset's port, device and load file come from each
    // target) on every target until each has its verdict. `tickMs` >= 0
    // wakes the caller's tick at least that often. Interrupts the waiter
    // counted after `interruptsBefore` stop the gang (< 0: from now on).
    // False, with the reason, when a worker could not be started: then
    // nothing ran and there are no results.
    bool Run(const CommandRequest &request, const std::vector<GangTarget> &targets, int tickMs, int interruptsBefore,
             std::string *why);

    const std::vector<TargetReport> &reports() const { return reports_; }
    std::vector<TargetResult> results() const;
    // False when a target never confirmed its abort: its worker may still
    // read the parameter record and the image, which must then stay.
    bool settled() const { return settled_; }

private:
    struct Member;
    void Show(size_t i, const std::string &line);
    void Note(size_t i, const std::string &line);
    void OnRecord(size_t i, const ProgressRecord &r);
    void OnIssuing(size_t i);
    void OnFinished(size_t i, const RunResult &result);
    void Finish(size_t i);
    void End(size_t i, Verdict v, const std::string &detail);
    void Interrupt();
    void AnswerPowerPrompt(int interruptsBefore);
    void UpdateRates();
    bool AnyAt(Stage stage) const;
    bool Pending() const;

    Waiter &waiter_;
    GangEvents events_;
    Command command_ = Command::Signature;
    uint32_t streamBytes_ = 0;
    std::vector<std::unique_ptr<Member>> members_;
    std::vector<TargetReport> reports_;
    bool interrupted_ = false;
    bool settled_ = true;
};

}  // namespace quillclient
