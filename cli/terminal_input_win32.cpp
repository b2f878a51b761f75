// TerminalInput on Windows: Ctrl+C and Ctrl+Break through the console's
// control handler, an auto-reset event for wakes, and standard input read
// by a thread of its own (a console handle cannot be waited on for lines).
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "terminal_input.h"

namespace quillcli {
namespace {

std::atomic<int> g_interrupts{0};
std::atomic<HANDLE> g_wake{nullptr};

// Runs on a thread the system starts; TRUE keeps the process alive, so the
// command ends the run and the exit code says it was interrupted.
BOOL WINAPI OnControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    g_interrupts.fetch_add(1);
    if (HANDLE wake = g_wake.load(); wake != nullptr) ::SetEvent(wake);
    return TRUE;
}

// One reader of standard input for the whole process: a read blocked on the
// console cannot be called off, so the thread outlives any TerminalInput and
// hands what it read to whichever one is waiting.
class StdinReader {
public:
    static StdinReader &Get() {
        static StdinReader *reader = new StdinReader;  // never freed: its thread may still be reading at exit
        return *reader;
    }
    // What came since the last call, and whether the input has ended.
    void Take(std::string *into, bool *ended) {
        std::lock_guard<std::mutex> lock(mutex_);
        into->append(buffer_);
        buffer_.clear();
        *ended = ended_;
    }

private:
    StdinReader() { std::thread([this] { Run(); }).detach(); }
    void Run() {
        const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
        char buf[256];
        for (;;) {
            DWORD got = 0;
            const bool ok = in != nullptr && in != INVALID_HANDLE_VALUE && ::ReadFile(in, buf, sizeof buf, &got, nullptr);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (ok && got > 0) buffer_.append(buf, got);
                else ended_ = true;
            }
            if (HANDLE wake = g_wake.load(); wake != nullptr) ::SetEvent(wake);
            if (!ok || got == 0) return;
        }
    }
    std::mutex mutex_;
    std::string buffer_;
    bool ended_ = false;
};

}  // namespace

struct TerminalInput::Platform {
    HANDLE wake = nullptr;
};

TerminalInput::TerminalInput(std::istream *in) : in_(in), platform_(new Platform) {
    platform_->wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (platform_->wake == nullptr) errno = ENOMEM;
    g_wake.store(platform_->wake);
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

TerminalInput::~TerminalInput() {
    ::SetConsoleCtrlHandler(OnControl, FALSE);
    g_wake.store(nullptr);
    if (platform_->wake != nullptr) ::CloseHandle(platform_->wake);
    delete platform_;
}

bool TerminalInput::ok() const { return platform_->wake != nullptr; }

int TerminalInput::Interrupts() const { return g_interrupts.load(); }

void TerminalInput::Wake() { ::SetEvent(platform_->wake); }

bool TerminalInput::WaitWake(int timeoutMs) {
    return ::WaitForSingleObject(platform_->wake, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) ==
           WAIT_OBJECT_0;
}

TerminalInput::Got TerminalInput::ReadStdin(int timeoutMs, int interruptsBefore, std::string *line) {
    StdinReader &reader = StdinReader::Get();
    const ULONGLONG deadline = timeoutMs < 0 ? 0 : ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    for (;;) {
        bool ended = false;
        reader.Take(&pending_, &ended);
        if (ended) ended_ = true;
        if (const size_t nl = pending_.find('\n'); nl != std::string::npos) {
            *line = pending_.substr(0, nl);
            if (!line->empty() && line->back() == '\r') line->pop_back();  // the console ends lines with CR LF
            pending_.erase(0, nl + 1);
            return Got::kLine;
        }
        if (ended_) {
            if (pending_.empty()) return Got::kEnd;
            pending_ += '\n';  // a last line without its end still counts
            continue;
        }
        if (Interrupts() > interruptsBefore) return Got::kInterrupted;
        DWORD waitMs = INFINITE;
        if (timeoutMs >= 0) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) return Got::kTimeout;
            waitMs = static_cast<DWORD>(deadline - now);
        }
        // The reader and the workers share the one event: after a wake that
        // brought no line, whoever waits next looks at its inbox.
        if (WaitWake(static_cast<int>(waitMs == INFINITE ? -1 : static_cast<int>(waitMs)))) wakeOwed_ = true;
    }
}

}  // namespace quillcli
