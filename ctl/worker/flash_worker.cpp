#include "worker/flash_worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "platform/handle_core.h"
#include "platform/message_queue.h"
#include "platform/process_locks.h"
#include "platform/tick.h"
#include "worker/progress.h"

namespace quill {
namespace {

constexpr auto kIdleRest = std::chrono::milliseconds(1);  // longest rest between busy passes
constexpr auto kCloseWait = std::chrono::milliseconds(3000);

struct FlashWorker : HandleCore {
    const SequenceTable *table = nullptr;
    bool manual = false;      // no thread: the caller drives the passes
    std::atomic<int32_t> resetPhase{0};
    bool restWanted = false;  // worker thread only
    std::mutex doneMutex;
    std::condition_variable doneCv;
    uint64_t completed = 0;  // under doneMutex
    std::atomic<uint32_t> idleMessage{0};
    PRROutcome current{};    // worker thread only: the command now running
    PRROutcome last{};       // under doneMutex: the last finished command
    bool currentHasArguments = false;  // worker thread only: its message counts in argumentsOutstanding

    // Under FlashRingLock: command messages with arguments posted and not yet
    // finished, and the arguments of those that wait for the worker, in order.
    uint32_t argumentsOutstanding = 0;
    std::deque<StoreArguments> queuedArguments;
};

std::atomic<uint32_t> g_nextThreadId{1};
std::atomic<uint64_t> g_leakedWorkers{0};

LiveHandles &LiveFlashHandles() {
    static LiveHandles live;
    return live;
}

FlashWorker *WorkerOf(const FlashHandle *h) { return static_cast<FlashWorker *>(&CoreOf(h)); }

// The first failure of a command is its status.
void NoteFailure(FlashHandle *h, int32_t code) {
    PRROutcome &o = WorkerOf(h)->current;
    if (o.status == 0) o.status = code;
}

void PurgeRx(FlashHandle *h) {
    const SequenceTable *t = WorkerOf(h)->table;
    if (h->port != PRR_INVALID_PORT && t->purgeRx) t->purgeRx(h);
}

void EndCommand(FlashHandle *h) {
    if (const PortOp ended = WorkerOf(h)->table->ended) ended(h);
    h->state = PRR_STATE_IDLE;
}

// A command message is done with its arguments: it was refused, or it has run.
void ReleaseArguments(FlashWorker *w, const Message &m, bool dropQueued) {
    if (!(m.param & kParamArguments)) return;
    std::lock_guard<std::mutex> lock(FlashRingLock());
    if (dropQueued && (m.param & kParamQueued) && !w->queuedArguments.empty()) w->queuedArguments.pop_front();
    if (w->argumentsOutstanding > 0) --w->argumentsOutstanding;
}

// An abort was asked for: idles the link and ends the sequence with
// "Sequence Aborted.".
void HandleAbort(FlashHandle *h) {
    const SequenceTable *t = WorkerOf(h)->table;
    if (h->port != PRR_INVALID_PORT && t->linkIdle) t->linkIdle(h);
    h->step = 0;
    h->state = PRR_STATE_IDLE;
    WorkerOf(h)->current.aborted = 1;
    ReportProgress(h, 0, 100, 100, "Sequence Aborted.");
    h->abortRequested = 0;
}

// A start or step that failed while an abort was on its way was cut short by
// it (its read woke, or its repeating exchange saw the abort): the caller
// asked for the abort, so that is what ends the command. Takes the abort
// message, which is posted right after it is counted, and runs the abort
// handling. False when no abort was coming.
bool EndedByAbort(FlashHandle *h, FlashWorker *w) {
    if (!h->abortRequested && w->abortsPending.load(std::memory_order_acquire) == 0) return false;
    while (!h->abortRequested && !w->cancelled()) {
        if (auto m = w->queue.TakeFor(kMsgAbort, kMsgAbort, std::chrono::milliseconds(50))) {
            w->TakeAbort();
            h->abortRequested = 1;
        }
    }
    if (!h->abortRequested) return false;  // being closed: nothing more is reported
    HandleAbort(h);
    return true;
}

// A start or a step failed with `code`: the command ends with its record,
// and what the device sent after the failure is discarded once.
void FailCommand(FlashHandle *h, FlashWorker *w, int32_t code) {
    if (EndedByAbort(h, w)) return;
    NoteFailure(h, code);
    h->step = 0;
    ReportStatus(h, code);
    PurgeRx(h);
    h->state = PRR_STATE_IDLE;
}

// Starts sequence `state` (-1: a command this table cannot start); a
// nonzero code fails the command.
void RunStart(FlashHandle *h, int32_t state) {
    FlashWorker *w = WorkerOf(h);
    const bool known = state >= 0 && state < kSequenceCount;
    if (known) w->current.endState = state;
    const StartOp op = known ? w->table->start[state] : nullptr;
    const int32_t code = op ? op(h) : PRR_STATUS_NOT_SUPPORTED;
    if (code != 0) FailCommand(h, w, code);
}

// What a step came to decides what runs next: nothing new while it goes on,
// the end of the command on a failure, or the hand-over's successor.
void Settle(FlashHandle *h, FlashWorker *w, StepResult result) {
    switch (result.kind) {
    case StepResult::Kind::kGoOn: return;
    case StepResult::Kind::kFailed: return FailCommand(h, w, result.value);
    case StepResult::Kind::kEnded: {
        const int32_t next = w->table->next ? w->table->next(h, result.value) : PRR_STATE_IDLE;
        if (next == PRR_STATE_IDLE) {
            h->step = 0;
            return;
        }
        return RunStart(h, next);
    }
    }
}

// Handles one message while idle; false when the worker must end.
bool DispatchIdle(FlashHandle *h, FlashWorker *w, const Message &m) {
    const SequenceTable &t = *w->table;
    if (m.number == kMsgQuit) return false;
    w->current = PRROutcome{};
    w->current.message = m.number;
    w->current.endState = PRR_STATE_IDLE;
    w->currentHasArguments = (m.param & kParamArguments) != 0;
    if (m.param & kParamQueued) {
        std::lock_guard<std::mutex> lock(FlashRingLock());
        if (!w->queuedArguments.empty()) {
            w->queuedArguments.front()(h);
            w->queuedArguments.pop_front();
        }
    }
    if (m.number == kMsgReset) {
        const int32_t phase = static_cast<int32_t>(m.param & kParamPhaseMask);
        w->resetPhase.store(phase, std::memory_order_relaxed);
        w->current.resetPhase = phase;
    }
    if (m.number == kMsgAbort) {
        w->TakeAbort();
        w->current.aborted = 1;
        ReportProgress(h, 0, 100, 100, "ABORT ok.");
        return true;
    }
    const int32_t state = t.first != nullptr ? t.first(h, m.number) : -1;
    if ((state >= 0 && state < kSequenceCount) || (m.number >= kMsgReset && m.number < kMsgAbort)) RunStart(h, state);
    return true;
}

// A message taken while a sequence runs; false when the worker must end.
bool DispatchBusy(FlashHandle *h, FlashWorker *w, const Message &m) {
    if (m.number == kMsgQuit) return false;
    if (m.number == kMsgAbort) {
        w->TakeAbort();
        h->abortRequested = 1;
        return true;
    }
    ReleaseArguments(w, m, true);
    ++w->current.refused;
    ReportProgress(h, PRR_STATUS_SEQUENCE_ERROR, 0, 0, "ERROR: sequence error, please Aborted current sequence.");
    return true;
}

// One pass of the worker: take a message (waiting for one while idle when
// `mayWait`), run the current sequence's step, and finish the command when
// its step has ended. False when the worker must end, or, without `mayWait`,
// when it was idle and found nothing to do.
bool WorkerPass(FlashHandle *h, FlashWorker *w, bool mayWait) {
    const SequenceTable &t = *w->table;
    if (h->state == PRR_STATE_IDLE) {
        std::optional<Message> m;
        if (mayWait) {
            m = w->queue.Take(kMsgFirst, kMsgLast);
        } else {
            m = w->queue.TryTake(kMsgFirst, kMsgLast);
        }
        if (!m || !DispatchIdle(h, w, *m)) return false;
    } else {
        std::optional<Message> m;
        if (w->restWanted && mayWait) {
            m = w->queue.TakeFor(kMsgFirst, kMsgLast, kIdleRest);
        } else {
            m = w->queue.TryTake(kMsgFirst, kMsgLast);
        }
        w->restWanted = false;
        // Everything that waited while the step ran is refused now: taking
        // one a pass would leave the rest to start once the command ends,
        // by chance of how many steps it had left.
        while (m) {
            if (!DispatchBusy(h, w, *m)) return false;
            m = w->queue.TryTake(kMsgFirst, kMsgLast);
        }
    }
    if (h->state >= 0 && h->state < kSequenceCount) {
        // The one place an abort is looked for: between two steps.
        if (h->abortRequested) {
            HandleAbort(h);
        } else {
            const StepOp step = t.step[h->state];
            Settle(h, w, step ? step(h) : StepResult::Failed(PRR_STATUS_NOT_SUPPORTED));
        }
    }
    if (h->step == 0) {
        w->current.retryCount = h->retryCount;
        EndCommand(h);
        if (w->currentHasArguments) {
            w->currentHasArguments = false;
            ReleaseArguments(w, Message{0, kParamArguments}, false);
        }
        {
            std::lock_guard<std::mutex> lock(w->doneMutex);
            ++w->completed;
            w->current.sequenceNumber = w->completed;
            w->last = w->current;
            w->doneCv.notify_all();
        }
        // After the command's last record: callers learn of the end exactly.
        if (uint32_t idle = w->idleMessage.load(std::memory_order_relaxed)) NotifyWindow(h->notifyWindow, idle);
    }
    return true;
}

void WorkerMain(FlashHandle *h) {
    FlashWorker *w = WorkerOf(h);
    while (WorkerPass(h, w, true)) {
    }
}

FlashHandle *OpenHandle(PRRWindow *window, uint32_t message, const char *name, const SequenceTable *table,
                        bool manual) {
    auto *h = static_cast<FlashHandle *>(std::calloc(1, sizeof(FlashHandle)));
    if (h == nullptr) return nullptr;
    if (name != nullptr) {
        std::strncpy(h->name, name, sizeof h->name - 1);
    }
    h->notifyWindow = window;
    h->notifyMessage = message;
    h->port = PRR_INVALID_PORT;
    h->readIndex = 0;
    h->writeIndex = 0;
    // The worker's starting state, set before the thread exists.
    h->state = PRR_STATE_IDLE;
    h->step = 0;
    h->abortRequested = 0;
    h->event = FlashEventToken();
    h->semaphore = &FlashRingLock();

    auto *w = new (std::nothrow) FlashWorker;
    if (w == nullptr) {
        std::free(h);
        return nullptr;
    }
    w->table = table;
    w->manual = manual;
    h->workerThread = static_cast<HandleCore *>(w);
    h->workerThreadId = g_nextThreadId.fetch_add(1);
    if (!manual && !w->Start([h] { WorkerMain(h); })) {
        delete w;
        std::free(h);
        return nullptr;
    }
    LiveFlashHandles().Add(h);
    return h;
}

}  // namespace

FlashHandle *FlashOpen(PRRWindow *window, uint32_t message, const char *name, const SequenceTable *table) {
    return OpenHandle(window, message, name, table, false);
}

FlashHandle *FlashOpenManualForTesting(PRRWindow *window, uint32_t message, const char *name,
                                       const SequenceTable *table) {
    return OpenHandle(window, message, name, table, true);
}

bool FlashPassForTesting(FlashHandle *h) { return WorkerPass(h, WorkerOf(h), false); }

void FlashClose(FlashHandle *h) {
    if (h == nullptr) return;
    // Closing twice, or a pointer we never handed out, must not free anything.
    if (!LiveFlashHandles().Remove(h)) return;
    FlashWorker *w = WorkerOf(h);
    if (w->manual) {
        w->queue.Post(kMsgQuit);  // no thread: nothing can be running now
    } else if (!w->Stop(kMsgQuit, kCloseWait)) {
        g_leakedWorkers.fetch_add(1);
        return;
    }
    if ((h->port != PRR_INVALID_PORT || w->link != nullptr) && w->table->closePort) w->table->closePort(h);
    delete w;
    std::free(h);
}

void PostCommand(FlashHandle *h, uint32_t message, intptr_t param) { WorkerOf(h)->queue.Post(message, param); }

void PostWithArguments(FlashHandle *h, uint32_t message, intptr_t param, StoreArguments store) {
    FlashWorker *w = WorkerOf(h);
    // Posted under the lock, so that queued arguments and their messages
    // keep one order whatever the calling threads.
    std::lock_guard<std::mutex> lock(FlashRingLock());
    param |= kParamArguments;
    if (w->argumentsOutstanding == 0) {
        store(h);
    } else {
        w->queuedArguments.push_back(std::move(store));
        param |= kParamQueued;
    }
    ++w->argumentsOutstanding;
    w->queue.Post(message, param);
}

bool ChangeArgumentsWhileIdle(FlashHandle *h, const StoreArguments &change) {
    std::lock_guard<std::mutex> lock(FlashRingLock());
    if (WorkerOf(h)->argumentsOutstanding != 0) return false;
    change(h);
    return true;
}

void PostAbort(FlashHandle *h) {
    FlashWorker *w = WorkerOf(h);
    w->SignalAbort();
    w->queue.Post(kMsgAbort);
}

int32_t ResetPhase(const FlashHandle *h) { return WorkerOf(h)->resetPhase.load(std::memory_order_relaxed); }

uint64_t LeakedWorkerCount() { return g_leakedWorkers.load(); }

const WakeEvent &CancelEvent(const FlashHandle *h) { return WorkerOf(h)->cancel; }

bool Cancelled(const FlashHandle *h) { return WorkerOf(h)->cancelled(); }

void SetIdleMessage(FlashHandle *h, uint32_t message) {
    WorkerOf(h)->idleMessage.store(message, std::memory_order_relaxed);
}

uint64_t CompletedCommands(const FlashHandle *h) {
    FlashWorker *w = WorkerOf(h);
    std::lock_guard<std::mutex> lock(w->doneMutex);
    return w->completed;
}

bool WaitCompletedCommands(const FlashHandle *h, uint64_t count, uint32_t timeoutMs) {
    FlashWorker *w = WorkerOf(h);
    std::unique_lock<std::mutex> lock(w->doneMutex);
    return w->doneCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return w->completed >= count; });
}

bool StepWaitElapsed(FlashHandle *h, uint32_t ms) {
    if (TickElapsed(h->stepTick, TickNow()) > ms) return true;
    WorkerOf(h)->restWanted = true;
    return false;
}

PRROutcome &Outcome(FlashHandle *h) { return WorkerOf(h)->current; }

PRROutcome LastOutcome(const FlashHandle *h) {
    FlashWorker *w = WorkerOf(h);
    std::lock_guard<std::mutex> lock(w->doneMutex);
    return w->last;
}

}  // namespace quill
