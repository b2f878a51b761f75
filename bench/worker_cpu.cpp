// CPU time the flash worker burns while a sequence waits for its step time.
// A device erase or the connect wait lasts seconds; the worker must rest on
// its queue instead of spinning through that time.
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "platform/tick.h"
#include "quillctl.h"
#include "sequence/handover.h"
#include "worker/flash_worker.h"
#include "worker/progress.h"

namespace {

constexpr uint32_t kWaitMs = 2000;

std::mutex g_mutex;
std::condition_variable g_cv;
int g_records = 0;

void Post(PRRWindow *, uint32_t) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_records;
    g_cv.notify_all();
}

int32_t WaitStart(FlashHandle *h) {
    h->state = PRR_STATE_ERASE;
    h->step = 1;
    h->stepTick = quill::TickNow();
    return 0;
}

quill::StepResult WaitStep(FlashHandle *h) {
    if (!quill::StepWaitElapsed(h, kWaitMs)) return quill::StepResult::GoOn();
    quill::ReportProgress(h, 0, 100, 100, "wait over");
    return quill::StepResult::Ended(0);
}

const quill::SequenceTable kTable = {
    {nullptr, nullptr, WaitStart, nullptr, nullptr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, WaitStep, nullptr, nullptr, nullptr, nullptr, nullptr},
    quill::FirstSequence, nullptr, nullptr, nullptr, nullptr, quill::EndHandOver,
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main() {
    PRRWindow window{Post, nullptr};
    FlashHandle *h = quill::FlashOpen(&window, PRR_MSG_FLASH_RECORD, "bench", &kTable);
    if (!h) return 1;
    DeviceParameters device{};
    AreaRecord area{PRR_AREA_CHIP, 0, 0, 0, 0};
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    PRRFlshErase(h, &device, &area, 0);
    {
        std::unique_lock<std::mutex> lock(g_mutex);
        g_cv.wait(lock, [] { return g_records >= 1; });
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    quill::FlashClose(h);
    std::printf("worker wait %.3f s wall, %.4f s CPU: %.2f %% of one core (goal <= 2 %%)\n", wall, cpu,
                100.0 * cpu / wall);
    return 0;
}
