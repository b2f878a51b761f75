// The FlashWorker: one thread per flash handle that takes command messages,
// starts the matching sequence and drives it one step per pass.
#pragma once
#include <cstdint>

#include "quillctl.h"

namespace quill {

// Command messages posted to a flash worker.
constexpr uint32_t kMsgFirst = PRR_MSG_FIRST;
constexpr uint32_t kMsgQuit = PRR_MSG_QUIT;
constexpr uint32_t kMsgReset = PRR_MSG_RESET;
constexpr uint32_t kMsgAbort = PRR_MSG_ABORT;
constexpr uint32_t kMsgLast = PRR_MSG_LAST;

constexpr int32_t kSequenceCount = 8;  // states 0..7

using SequenceOp = int32_t (*)(FlashHandle *h);
using FirstOp = int32_t (*)(FlashHandle *h, uint32_t message);
using PortOp = void (*)(FlashHandle *h);

// Start and step operations of every sequence, indexed by state, which
// sequence a command message starts with, and the port services the worker
// needs around them. Null entries are not built: their command ends at once
// with status 15.
struct SequenceTable {
    SequenceOp start[kSequenceCount];
    SequenceOp step[kSequenceCount];
    FirstOp first;     // the state a message starts (setting the command's flags), or -1
    PortOp purgeRx;    // discard stale input; called only while a port is open
    PortOp linkIdle;   // after an abort: slow, quiet line
    PortOp closePort;  // close and mark invalid
};

// Opens a handle whose worker runs `table` (which must outlive the handle).
FlashHandle *FlashOpen(PRRWindow *window, uint32_t message, const char *name, const SequenceTable *table);
void FlashClose(FlashHandle *h);

// Posts a command message to the handle's worker.
void PostCommand(FlashHandle *h, uint32_t message, intptr_t param = 0);

// The linePreparePass value that the reset request now running was issued with.
int32_t ResetPhase(const FlashHandle *h);

// Descriptor that becomes readable when the handle is being closed, so that a
// blocking read on the worker ends at once. -1 when none could be made.
int CancelFd(const FlashHandle *h);

// True once the handle is being closed.
bool Cancelled(const FlashHandle *h);

// For step operations: true when more than `ms` milliseconds have passed since
// stepTick. While false, the worker may rest up to 1 ms before the next pass.
bool StepWaitElapsed(FlashHandle *h, uint32_t ms);

// Abort handling, the first thing every step does: when an abort was requested,
// idles the link, ends the sequence with "Sequence Aborted." and returns true.
bool HandleAbort(FlashHandle *h);

// Runs the start operation of sequence `state` (a hand-over from inside a
// step); returns its code, 15 when that sequence is not built.
int32_t StartSequence(FlashHandle *h, int32_t state);

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

// Discards stale input when a port is open (through the table's purgeRx).
void PurgeRx(FlashHandle *h);

}  // namespace quill
