// The FlashWorker: one thread per flash handle that takes command messages,
// starts the matching sequence and drives it one step per pass.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/wake_event.h"
#include "quillctl.h"

namespace quill {

// Command messages posted to a flash worker.
constexpr uint32_t kMsgFirst = PRR_MSG_FIRST;
constexpr uint32_t kMsgQuit = PRR_MSG_QUIT;
constexpr uint32_t kMsgReset = PRR_MSG_RESET;
constexpr uint32_t kMsgAbort = PRR_MSG_ABORT;
constexpr uint32_t kMsgLast = PRR_MSG_LAST;

constexpr int32_t kSequenceCount = 8;  // states 0..7

// What a command function adds to its message's parameter beside the reset
// phase (the low bits).
constexpr intptr_t kParamPhaseMask = 0xFFFF;
constexpr intptr_t kParamArguments = intptr_t(1) << 20;  // the message carries command arguments
constexpr intptr_t kParamQueued = intptr_t(1) << 21;     // ...held back until the worker takes it (see PostWithArguments)

// What a step operation came to: it goes on (the worker runs it again next
// pass), its sequence ended successfully (how, as the table's `next` reads
// it), or it failed with a status code.
struct StepResult {
    enum class Kind : uint8_t { kGoOn, kEnded, kFailed };
    Kind kind = Kind::kGoOn;
    int32_t value = 0;  // kEnded: how the sequence ended; kFailed: the status code

    static constexpr StepResult GoOn() { return {Kind::kGoOn, 0}; }
    static constexpr StepResult Ended(int32_t end) { return {Kind::kEnded, end}; }
    static constexpr StepResult Failed(int32_t code) { return {Kind::kFailed, code}; }
    // A primitive's code: 0 goes on, anything else fails.
    static constexpr StepResult From(int32_t code) { return code == 0 ? GoOn() : Failed(code); }
};

// A start operation returns 0 once its sequence is entered (or, for a
// command that needs no step, with the worker left idle), else a status code.
using StartOp = int32_t (*)(FlashHandle *h);
using StepOp = StepResult (*)(FlashHandle *h);
using FirstOp = int32_t (*)(FlashHandle *h, uint32_t message);
using NextOp = int32_t (*)(FlashHandle *h, int32_t end);
using PortOp = void (*)(FlashHandle *h);

// Start and step operations of every sequence, indexed by state, which
// sequence a command message starts with and which follows a successful
// end, and the port services the worker needs around them. Null entries are
// not built: their command ends at once with status 15.
struct SequenceTable {
    StartOp start[kSequenceCount];
    StepOp step[kSequenceCount];
    FirstOp first;     // the state a message starts (setting the command's flags), or -1
    PortOp purgeRx;    // discard stale input; called only while a port is open
    PortOp linkIdle;   // after an abort: slow, quiet line
    PortOp closePort;  // close and mark invalid
    NextOp next;       // the state that follows a sequence's end, or PRR_STATE_IDLE; null: none follows
    PortOp ended;      // the command has ended: forget the flags `first` and `next` keep
};

// Opens a handle whose worker runs `table` (which must outlive the handle).
FlashHandle *FlashOpen(PRRWindow *window, uint32_t message, const char *name, const SequenceTable *table);

// For fuzzers: a handle with no worker thread, driven one pass at a time by
// the caller. A pass never waits; it returns false when the worker has
// nothing to do (idle, empty queue) or has been told to quit.
FlashHandle *FlashOpenManualForTesting(PRRWindow *window, uint32_t message, const char *name,
                                       const SequenceTable *table);
bool FlashPassForTesting(FlashHandle *h);
void FlashClose(FlashHandle *h);
// Workers a close had to leave running because they did not end in time
// (each keeps its handle and port); for tests, which expect none.
uint64_t LeakedWorkerCount();

// Posts a command message to the handle's worker.
void PostCommand(FlashHandle *h, uint32_t message, intptr_t param = 0);

// The arguments of one command, written into the handle's argument copies.
using StoreArguments = std::function<void(FlashHandle *h)>;

// Posts a command message with its arguments. While no command is running
// or waiting, `store` writes them into the handle at once. Otherwise they
// wait beside the message: a worker that takes it while idle stores them
// then, one that is busy refuses the message and drops them. Either way a
// running command's copies are never changed under it.
void PostWithArguments(FlashHandle *h, uint32_t message, intptr_t param, StoreArguments store);

// Runs `change` on the handle's argument copies (under the ring lock) only
// while no command is running or waiting; false when it did not run.
bool ChangeArgumentsWhileIdle(FlashHandle *h, const StoreArguments &change);

// Counts an abort on its way to the worker, so that a blocking read or a
// repeating exchange of the running step ends at once; then posts it.
void PostAbort(FlashHandle *h);

// The linePreparePass value that the reset request now running was issued with.
int32_t ResetPhase(const FlashHandle *h);

// Set when the handle is being closed, so that a blocking read on the worker
// ends at once.
const WakeEvent &CancelEvent(const FlashHandle *h);

// True once the handle is being closed.
bool Cancelled(const FlashHandle *h);

// For step operations: true when more than `ms` milliseconds have passed since
// stepTick. While false, the worker may rest up to 1 ms before the next pass.
bool StepWaitElapsed(FlashHandle *h, uint32_t ms);

// Message posted to the handle's window each time the worker has finished a
// command (0: none).
void SetIdleMessage(FlashHandle *h, uint32_t message);

// Test and tool hook: the number of commands the worker has finished (each
// message it took while idle counts once it is idle again), and a wait for it.
uint64_t CompletedCommands(const FlashHandle *h);
bool WaitCompletedCommands(const FlashHandle *h, uint64_t count, uint32_t timeoutMs);

// The outcome of the command now running, for the sequences to fill where they
// write the texts that tell it (worker thread only).
PRROutcome &Outcome(FlashHandle *h);
// The outcome of the last finished command (any thread).
PRROutcome LastOutcome(const FlashHandle *h);

}  // namespace quill
