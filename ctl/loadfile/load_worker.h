// The LoadFileWorker behind PRRHexOpen: internal entry points for the library
// and its tests.
#pragma once
#include <chrono>
#include <cstdint>

#include "quillctl.h"

namespace quill {

// Worker steps; the records they write carry step + 1 as their state.
constexpr int32_t kLoadStepBuffer = 0;
constexpr int32_t kLoadStepScan = 1;
constexpr int32_t kLoadStepTemporary = 2;
constexpr int32_t kLoadStepRecords = 3;
constexpr int32_t kLoadStepBinary = 4;

// Posts a thread message to the handle's worker.
void PostLoadMessage(LoadFileHandle *h, uint32_t message);

// Waits until readState has left 0 or the worker has ended; false on time-out.
bool WaitLoadFinished(LoadFileHandle *h, std::chrono::milliseconds timeout);

// Waits until the worker thread has ended; false on time-out.
bool WaitLoadWorkerEnd(LoadFileHandle *h, std::chrono::milliseconds timeout);

// Test hook: called on the worker at the start of every pass, before the
// queue is looked at, with the step about to run (nullptr removes it).
using LoadPassHook = void (*)(LoadFileHandle *h, int32_t step);
void SetLoadPassHookForTesting(LoadPassHook hook);

}  // namespace quill
