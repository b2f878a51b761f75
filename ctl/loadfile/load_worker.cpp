// Load-file handle: PRRHexOpen checks the file and starts a LoadFileWorker,
// which reads the whole file, builds the 2 MiB image one record per pass and
// reports each step in the handle's ring.
#include "loadfile/load_worker.h"
#include "platform/export_guard.h"

#include "platform/file_compat.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "loadfile/hex_records.h"
#include "loadfile/load_image.h"
#include "loadfile/load_sources.h"
#include "platform/message_queue.h"
#include "platform/process_locks.h"
#include "platform/worker_frame.h"
#include "worker/flash_worker.h"
#include "worker/progress.h"
#include "worker/ring.h"

namespace quill {
namespace {

constexpr auto kCloseWait = std::chrono::milliseconds(3000);
constexpr int32_t kStateDone = PRR_LOAD_STATE_DONE;  // state of the success and failure records

struct LoadWorker : WorkerFrame {
    // Messages posted so far: lets the record loop skip the queue's lock on
    // every pass while nothing waits.
    std::atomic<uint32_t> posted{0};
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;  // readState has left 0
    bool ended = false;     // the thread function has returned

    // PRRLoadOpen: the sources to merge, read by the worker alone; what it
    // found is published under `mutex` before readState leaves 0.
    std::vector<LoadSource> sources;
    uint8_t fill = 0xFF;
    std::string error;
    std::vector<SourceMap> maps;
};

std::atomic<uint32_t> g_nextThreadId{1};
std::atomic<LoadPassHook> g_passHook{nullptr};

LoadWorker *WorkerOf(const LoadFileHandle *h) { return static_cast<LoadWorker *>(h->workerThread); }

// Writes one ring record and announces it; nothing when there is no window.
void Report(LoadFileHandle *h, int32_t state, int32_t status, int32_t percent, int32_t total, const char *text) {
    if (h->notifyWindow == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(LoadFileRingLock());
        LoadProgressRecord &r = RingOf(h).Slot();
        r.state = state;
        r.status = status;
        r.percent = percent;
        r.percentTotal = total;
        std::strncpy(r.text, text, sizeof r.text - 1);
        r.text[sizeof r.text - 1] = '\0';
    }
    // The index moves after the notice, as the load ring always has.
    NotifyWindow(h->notifyWindow, h->notifyMessage);
    std::lock_guard<std::mutex> lock(LoadFileRingLock());
    RingOf(h).Advance();
}

void SetFlag(LoadWorker *w, bool LoadWorker::*flag) {
    {
        std::lock_guard<std::mutex> lock(w->mutex);
        w->*flag = true;
    }
    w->changed.notify_all();
}

// Reads exactly `size` bytes from the start of the file; false on a read
// error or when the file has become shorter.
bool ReadWhole(int fd, uint8_t *buffer, uint32_t size) {
    uint32_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<uint32_t>(n);
    }
    return true;
}

void PublishExtent(LoadFileHandle *h, const HexParser &parser) {
    const ImageExtent e = ComputeExtent(parser, h->imageBuffer);
    h->lowestAddress = e.lowest;
    h->highestAddress = e.highest;
    h->imageStart = e.start;
    h->imageEnd = e.end;
    h->imageLength = e.length;
    h->imageChecksum = e.checksum;
}

void Publish(LoadWorker *w, std::string error, std::vector<SourceMap> maps) {
    std::lock_guard<std::mutex> lock(w->mutex);
    w->error = std::move(error);
    w->maps = std::move(maps);
}

// The sources merged at once into a new image: false with the failure published.
bool MergeInto(LoadFileHandle *h, LoadWorker *w, HexParser *extent, int32_t *failure) {
    h->imageBuffer = static_cast<uint8_t *>(std::malloc(kImageSize + kImageSlack));
    if (h->imageBuffer == nullptr) {
        Publish(w, "out of memory for the image", {});
        *failure = PRR_STATUS_ILLEGAL_FILE_TYPE;
        return false;
    }
    std::memset(h->imageBuffer, 0xFF, kImageSize + kImageSlack);
    MergeResult r = MergeSources(w->sources, w->fill, h->imageBuffer);
    Publish(w, r.reason, std::move(r.maps));
    if (r.status != 0) {
        *failure = r.status;
        return false;
    }
    extent->lowest = r.lowest;
    extent->highest = r.highest;
    extent->extentSeen = true;
    return true;
}

void WorkerMain(LoadFileHandle *h) {
    LoadWorker *w = WorkerOf(h);
    const bool merging = !w->sources.empty();
    HexParser parser;
    uint32_t taken = 0;
    int32_t step = kLoadStepBuffer;
    int32_t percent = 0;
    int32_t failure = 0;
    bool quit = false;
    h->imageChecksum = 0;
    for (;;) {
        if (LoadPassHook hook = g_passHook.load(std::memory_order_acquire)) hook(h, step);
        if (w->posted.load(std::memory_order_acquire) != taken) {
            if (std::optional<Message> m = w->queue.TryTake(kMsgFirst, kMsgReset)) {
                ++taken;
                if (m->number == kMsgQuit) {
                    quit = true;
                    break;
                }
            }
        }
        if (step == kLoadStepRecords && merging) {
            percent += 4;
            Report(h, kLoadStepBinary, 0, percent, 100, "make binary...");
            step = kLoadStepBinary;
        } else if (step == kLoadStepRecords) {
            const RecordResult r = ReadRecord(h->fileBuffer, h->fileSize, parser, h->imageBuffer);
            if (r == RecordResult::kNext) continue;
            if (r != RecordResult::kEnd) {
                failure = RecordFailureStatus(r);
                Publish(w, DescribeRecordFailure(h->loadFilePath, h->fileBuffer, h->fileSize, parser, r), {});
                break;
            }
            if (!parser.extentSeen) {  // without a data record the extent is undefined
                failure = PRR_STATUS_ILLEGAL_FILE_TYPE;
                Publish(w, std::string(h->loadFilePath) + ": no data record", {});
                break;
            }
            percent += 4;
            Report(h, kLoadStepBinary, 0, percent, 100, "make binary...");
            step = kLoadStepBinary;
        } else if (step == kLoadStepBuffer && merging) {
            // Each source is read whole as it is merged, all in this one pass.
            if (!MergeInto(h, w, &parser, &failure)) break;
            percent += 80;
            Report(h, kLoadStepBuffer + 1, 0, percent, 100, "buffering...OK");
            step = kLoadStepScan;
        } else if (step == kLoadStepBuffer) {
            // Opened again here, not kept from PRRHexOpen: a file that vanished
            // or shrank meanwhile is a failed read.
            const int fd = ::open(h->loadFilePath, O_RDONLY | O_CLOEXEC | O_NONBLOCK | kOpenBinary);
            const bool read = fd >= 0 && ReadWhole(fd, h->fileBuffer, h->fileSize);
            if (fd >= 0) ::close(fd);
            if (!read) {
                failure = PRR_STATUS_ILLEGAL_FILE_TYPE;
                Publish(w, std::string(h->loadFilePath) + ": cannot be read again (gone or shorter)", {});
                break;
            }
            percent += 80;
            Report(h, kLoadStepBuffer + 1, 0, percent, 100, "buffering...OK");
            step = kLoadStepScan;
        } else if (step == kLoadStepScan) {
            percent += 3;
            Report(h, kLoadStepScan + 1, 0, percent, 100, "address scan...");
            step = kLoadStepTemporary;
        } else if (step == kLoadStepTemporary && merging) {
            percent += 3;
            Report(h, kLoadStepTemporary + 1, 0, percent, 100, "make temporary...");
            step = kLoadStepRecords;
        } else if (step == kLoadStepTemporary) {
            h->imageBuffer = static_cast<uint8_t *>(std::malloc(kImageSize + kImageSlack));
            if (h->imageBuffer == nullptr) {
                failure = PRR_STATUS_ILLEGAL_FILE_TYPE;
                break;
            }
            std::memset(h->imageBuffer, 0xFF, kImageSize + kImageSlack);
            parser = HexParser{};
            percent += 3;
            Report(h, kLoadStepTemporary + 1, 0, percent, 100, "make temporary...");
            step = kLoadStepRecords;
        } else {
            PublishExtent(h, parser);
            __atomic_store_n(&h->readState, PRR_LOAD_READY, __ATOMIC_RELEASE);
            Report(h, kStateDone, 0, 100, 100, "Success read HEX file.");
            break;
        }
    }
    if (!quit) {
        if (failure != 0) {
            // readState first: whoever reacts to the failure record must find it set.
            __atomic_store_n(&h->readState, PRR_LOAD_FAILED, __ATOMIC_RELEASE);
            Report(h, kStateDone, failure, 0, 0, "Error read HEX file.");
        }
        SetFlag(w, &LoadWorker::finished);
        // Nothing left to do but wait for the quit message; Take blocks.
        while (w->queue.Take(0, UINT32_MAX).number != kMsgQuit) {
        }
    }
    SetFlag(w, &LoadWorker::ended);
}

void FreeHandle(LoadFileHandle *h) {
    std::free(h->fileBuffer);
    std::free(h->imageBuffer);
    delete WorkerOf(h);
    std::free(h);
}

bool WaitFor(LoadFileHandle *h, std::chrono::milliseconds timeout, bool finishedCounts) {
    LoadWorker *w = WorkerOf(h);
    std::unique_lock<std::mutex> lock(w->mutex);
    return w->changed.wait_for(lock, timeout, [&] { return w->ended || (finishedCounts && w->finished); });
}

// Stamps the ring with the file's time, then registers the handle and
// starts its worker; false (everything freed) when it cannot start.
bool StartHandle(LoadFileHandle *h, LoadWorker *w, const struct tm &local, PRRWindow *window, uint32_t message) {
    for (LoadProgressRecord &r : h->ring) {
        r.fileYear = local.tm_year + 1900;
        r.fileMonth = local.tm_mon + 1;
        r.fileDay = local.tm_mday;
        r.fileHour = local.tm_hour;
        r.fileMinute = local.tm_min;
        r.fileSecond = local.tm_sec;
    }
    h->notifyWindow = window;
    h->notifyMessage = message;
    h->readIndex = 0;
    h->writeIndex = 0;
    h->semaphore = &LoadFileRingLock();
    h->workerThread = w;
    h->workerThreadId = g_nextThreadId.fetch_add(1);
    RegisterLoadFile(h);
    if (!w->Start([h] { WorkerMain(h); })) {
        UnregisterLoadFile(h);
        FreeHandle(h);
        return false;
    }
    return true;
}

// Runs `body` on the worker of a live handle, under the live-handle lock.
template <typename R, typename F>
R WithLiveWorker(const LoadFileHandle *h, R ifNot, F &&body) {
    return WithLiveLoadFile(h, ifNot, [&] { return body(WorkerOf(h)); });
}

}  // namespace

void PostLoadMessage(LoadFileHandle *h, uint32_t message) {
    LoadWorker *w = WorkerOf(h);
    w->queue.Post(message);
    w->posted.fetch_add(1, std::memory_order_release);
}

bool WaitLoadFinished(LoadFileHandle *h, std::chrono::milliseconds timeout) { return WaitFor(h, timeout, true); }

bool WaitLoadWorkerEnd(LoadFileHandle *h, std::chrono::milliseconds timeout) { return WaitFor(h, timeout, false); }

void SetLoadPassHookForTesting(LoadPassHook hook) { g_passHook.store(hook, std::memory_order_release); }

}  // namespace quill

using namespace quill;

extern "C" {

QUILLCTL_API LoadFileHandle *PRRHexOpen(const char *path, PRRWindow *window, uint32_t message, const char *aux) {
    return quill::Guarded<LoadFileHandle *>(nullptr, [&]() -> LoadFileHandle * {
        if (path == nullptr) return nullptr;
        const std::size_t pathLength = std::strlen(path);
        // The worker opens the file again by this name, so a name cut to fit
        // would read another file.
        if (pathLength == 0 || pathLength >= sizeof LoadFileHandle::loadFilePath) return nullptr;
        auto *h = static_cast<LoadFileHandle *>(std::calloc(1, sizeof(LoadFileHandle)));
        if (h == nullptr) return nullptr;
        std::memcpy(h->loadFilePath, path, pathLength + 1);
        if (aux != nullptr) std::strncpy(h->auxPath, aux, sizeof h->auxPath - 1);

        // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below.
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | kOpenBinary);
        if (fd < 0) {
            std::free(h);
            return nullptr;
        }
        struct stat st {};
        uint8_t first = 0;
        struct tm local {};
        const bool usable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
                            static_cast<unsigned long long>(st.st_size) <= UINT32_MAX &&
                            ::pread(fd, &first, 1, 0) == 1 && (first == ':' || first == 'S') &&
                            ::localtime_r(&st.st_mtime, &local) != nullptr;
        ::close(fd);
        if (usable) h->fileBuffer = static_cast<uint8_t *>(std::calloc(static_cast<std::size_t>(st.st_size), 1));
        if (h->fileBuffer == nullptr) {
            std::free(h);
            return nullptr;
        }
        h->fileSize = static_cast<uint32_t>(st.st_size);
        auto *w = new (std::nothrow) LoadWorker;
        if (w == nullptr) {
            std::free(h->fileBuffer);
            std::free(h);
            return nullptr;
        }
        return StartHandle(h, w, local, window, message) ? h : nullptr;
    });
}

QUILLCTL_API LoadFileHandle *PRRLoadOpen(const PRRLoadSource *sources, int32_t count, int32_t fill, PRRWindow *window,
                                         uint32_t message) {
    return quill::Guarded<LoadFileHandle *>(nullptr, [&]() -> LoadFileHandle * {
        if (sources == nullptr || count <= 0 || count > 255 || fill < -1 || fill > 255) return nullptr;
        std::vector<LoadSource> list;
        for (int32_t i = 0; i < count; ++i) {
            const char *path = sources[i].path;
            if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof LoadFileHandle::loadFilePath) return nullptr;
            list.push_back(LoadSource{path, sources[i].isBinary != 0, sources[i].address});
        }
        auto *h = static_cast<LoadFileHandle *>(std::calloc(1, sizeof(LoadFileHandle)));
        if (h == nullptr) return nullptr;
        auto *w = new (std::nothrow) LoadWorker;
        if (w == nullptr) {
            std::free(h);
            return nullptr;
        }
        // The handle names its first source; the file time is that one's.
        std::strcpy(h->loadFilePath, list[0].path.c_str());
        struct stat st {};
        struct tm local {};
        if (::stat(list[0].path.c_str(), &st) == 0) (void)::localtime_r(&st.st_mtime, &local);
        w->sources = std::move(list);
        w->fill = fill < 0 ? 0xFF : static_cast<uint8_t>(fill);
        return StartHandle(h, w, local, window, message) ? h : nullptr;
    });
}

QUILLCTL_API int32_t PRRLoadError(const LoadFileHandle *h, char *text, int32_t capacity) {
    return quill::Guarded<int32_t>(-1, [&]() -> int32_t {
        return WithLiveWorker(h, int32_t{-1}, [&](LoadWorker *w) -> int32_t {
            std::lock_guard<std::mutex> lock(w->mutex);
            // Published before readState left 0, so the final record's reader finds it.
            if (LoadReadState(h) != PRR_LOAD_FAILED) return 0;
            const std::string &e = w->error;
            if (text != nullptr && capacity > 0) {
                const std::size_t n = std::min(e.size(), static_cast<std::size_t>(capacity - 1));
                std::memcpy(text, e.data(), n);
                text[n] = '\0';
            }
            return static_cast<int32_t>(std::min<std::size_t>(e.size(), INT32_MAX));
        });
    });
}

QUILLCTL_API int32_t PRRLoadRanges(const LoadFileHandle *h, PRRLoadRange *out, int32_t capacity) {
    return quill::Guarded<int32_t>(-1, [&]() -> int32_t {
        return WithLiveWorker(h, int32_t{-1}, [&](LoadWorker *w) -> int32_t {
            if (w->sources.empty() || LoadReadState(h) != PRR_LOAD_READY) return -1;
            std::lock_guard<std::mutex> lock(w->mutex);
            int32_t n = 0;
            for (std::size_t i = 0; i < w->maps.size(); ++i)
                for (const auto &r : w->maps[i].ranges) {
                    if (out != nullptr && n < capacity)
                        out[n] = PRRLoadRange{static_cast<int32_t>(i), static_cast<int32_t>(w->maps[i].kind) + 1, r.first, r.second};
                    ++n;
                }
            return n;
        });
    });
}

QUILLCTL_API LoadProgressRecord *PRRHexGetProg(LoadFileHandle *h) {
    return quill::Guarded<LoadProgressRecord *>(nullptr, [&]() -> LoadProgressRecord * {
        if (h == nullptr) return nullptr;
        return RingOf(h).Fetch(LoadFileRingLock());
    });
}

QUILLCTL_API int32_t PRRHexPatch(LoadFileHandle *h, uint32_t address, const uint8_t *bytes, uint32_t count) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t { return quill::PatchLoadImage(h, address, bytes, count); });
}

QUILLCTL_API void PRRHexClose(LoadFileHandle *h) {
    quill::GuardedVoid([&] {
        if (h == nullptr) return;
        // Closing twice, or a pointer we never handed out, must not free anything.
        if (!UnregisterLoadFile(h)) return;
        LoadWorker *w = WorkerOf(h);
        w->posted.fetch_add(1, std::memory_order_release);  // the quit that Stop posts
        if (!w->Stop(kMsgQuit, kCloseWait)) return;
        FreeHandle(h);
    });
}

}  // extern "C"
