// Sequences of the tests' own, run by a real worker through a table, so the
// worker loop is tested without any device.
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/tick.h"
#include "worker/flash_worker.h"
#include "worker/progress.h"

namespace quilltest {

struct TestSequenceControl {
    std::atomic<uint32_t> waitMs{0};       // blank check waits this long, then finishes
    std::atomic<int32_t> stepFailure{0};   // program step fails with this code
    std::atomic<int32_t> recordsPerStep{0};
    std::atomic<int32_t> connectPhase{-1}; // phase seen by the last connect start
    std::atomic<int32_t> purges{0};
    std::atomic<int32_t> idles{0};
    std::atomic<int32_t> closes{0};
    std::atomic<int32_t> eraseStarts{0};
    std::atomic<int32_t> blankStarts{0};
    std::atomic<int32_t> eraseAfterBlankSeen{0};
    // A verify start that blocks until released (keeps the worker out of its queue).
    std::mutex latchMutex;
    std::condition_variable latchCv;
    bool latchOpen = false;
    bool latchEntered = false;
    // Signature start: blocks in poll() on the cancel descriptor, as a read would.
    std::atomic<int32_t> cancelSeen{0};

    void Reset() {
        waitMs = 0;
        stepFailure = 0;
        recordsPerStep = 0;
        connectPhase = -1;
        purges = idles = closes = eraseStarts = blankStarts = eraseAfterBlankSeen = 0;
        cancelSeen = 0;
        std::lock_guard<std::mutex> lock(latchMutex);
        latchOpen = false;
        latchEntered = false;
    }
};

TestSequenceControl &Control();
const quill::SequenceTable &TestTable();

}  // namespace quilltest
