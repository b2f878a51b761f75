#include "terminal_input.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace quillcli {
namespace {

// The SIGINT handler can reach only these: how often it ran, and the
// descriptor that wakes the waiting thread.
std::atomic<int> g_interrupts{0};
std::atomic<int> g_wakeFd{-1};

void OnInterrupt(int) {
    g_interrupts.fetch_add(1);
    const int fd = g_wakeFd.load();
    if (fd >= 0) {
        const uint64_t one = 1;
        ssize_t ignored = ::write(fd, &one, sizeof one);
        (void)ignored;
    }
}

void Drain(int fd) {
    uint64_t value;
    ssize_t ignored = ::read(fd, &value, sizeof value);
    (void)ignored;
}

}  // namespace

struct TerminalInput::Platform {
    int fd = -1;
    struct sigaction old {};
};

TerminalInput::TerminalInput(std::istream *in) : in_(in), platform_(new Platform) {
    platform_->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    g_wakeFd.store(platform_->fd);
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking read must wake up
    ::sigaction(SIGINT, &sa, &platform_->old);
}

TerminalInput::~TerminalInput() {
    ::sigaction(SIGINT, &platform_->old, nullptr);
    g_wakeFd.store(-1);
    if (platform_->fd >= 0) ::close(platform_->fd);
    delete platform_;
}

bool TerminalInput::ok() const { return platform_->fd >= 0; }

int TerminalInput::Interrupts() const { return g_interrupts.load(); }

void TerminalInput::Wake() {
    const uint64_t one = 1;
    ssize_t ignored = ::write(platform_->fd, &one, sizeof one);
    (void)ignored;
}

bool TerminalInput::WaitWake(int timeoutMs) {
    pollfd p{platform_->fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    Drain(platform_->fd);
    return true;
}

TerminalInput::Got TerminalInput::ReadStdin(int timeoutMs, int interruptsBefore, std::string *line) {
    const int fd = platform_->fd;
    for (;;) {
        if (const size_t nl = pending_.find('\n'); nl != std::string::npos) {
            *line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return Got::kLine;
        }
        if (ended_) return Got::kEnd;
        if (Interrupts() > interruptsBefore) return Got::kInterrupted;
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {fd, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno != EINTR) return Got::kEnd;
        if (n == 0) return Got::kTimeout;
        if (fds[1].revents & POLLIN) {
            Drain(fd);
            wakeOwed_ = true;  // it may have been a worker's: whoever waits next looks at its inbox
        }
        if (Interrupts() > interruptsBefore) return Got::kInterrupted;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[256];
            const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ended_ = true;
                if (pending_.empty()) return Got::kEnd;
                pending_ += '\n';  // a last line without its end still counts
                continue;
            }
            pending_.append(buf, static_cast<size_t>(got));
        }
    }
}

}  // namespace quillcli
