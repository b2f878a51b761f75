#include "sim/device_end.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "quillctl.h"

namespace quillsim {

std::string describeLine(const LineSettings &l) {
    std::string s = std::to_string(l.baud) + " baud " + std::to_string(l.dataBits) + (l.parity ? (l.oddParity ? "O" : "E") : "N") +
                    std::to_string(l.stopBits);
    s += l.raw ? " raw" : " cooked";
    return s;
}

namespace {

// A port the control library serves in this process. What the host writes
// arrives through a callback on its worker thread and waits here for ours.
class ServedEnd final : public DeviceEnd {
public:
    explicit ServedEnd(int number) : number_(number) {
        const PRRServedDevice device{this, &ServedEnd::Received, &ServedEnd::LineChanged};
        if (PRRServePort(number, &device) != 0)
            throw std::runtime_error("COM" + std::to_string(number) + " cannot be served in this process (taken, or outside 1..255)");
        open_ = true;
    }
    ~ServedEnd() override { close(); }

    std::string name() const override { return "COM" + std::to_string(number_) + " (in this process)"; }

    bool wait(std::optional<Clock::time_point> deadline, bool) override {
        std::unique_lock<std::mutex> lock(m_);
        const auto ready = [this] { return !fromHost_.empty() || woken_; };
        // A deadline already passed is not waited for at all: some systems'
        // timed waits round up to a tick even then.
        if (!deadline) cv_.wait(lock, ready);
        else if (*deadline > Clock::now()) cv_.wait_until(lock, *deadline, ready);
        woken_ = false;
        return true;
    }

    long read(uint8_t *buf, size_t size) override {
        std::lock_guard<std::mutex> lock(m_);
        const size_t n = std::min(size, fromHost_.size());
        std::copy_n(fromHost_.begin(), n, buf);
        fromHost_.erase(fromHost_.begin(), fromHost_.begin() + static_cast<long>(n));
        return static_cast<long>(n);
    }

    // The library queues all of it; after close() it goes nowhere, as on a cut line.
    size_t write(const uint8_t *buf, size_t size) override {
        (void)PRRServedPortSend(number_, buf, static_cast<uint32_t>(size));
        return size;
    }

    std::optional<LineSettings> line() const override {
        std::lock_guard<std::mutex> lock(m_);
        return line_;
    }

    size_t unreadByHost() const override { return static_cast<size_t>(std::max(0, PRRServedPortPending(number_))); }

    // Not under m_: the stop waits for a callback that may be taking it.
    void close() override {
        if (open_.exchange(false)) (void)PRRStopServingPort(number_);
    }
    bool isOpen() const override { return open_; }

    void wake() override {
        std::lock_guard<std::mutex> lock(m_);
        woken_ = true;
        cv_.notify_all();
    }

    // Waits here run on the system's timers and thread wake-ups: about a
    // millisecond under Wine, 15.6 ms by default on Windows, against 95 us
    // for a character at 115200 baud.
    std::chrono::nanoseconds timerGrain() const override { return std::chrono::milliseconds(20); }

    std::string registerAlias(int n, const std::string &) override {
        throw std::runtime_error("COM" + std::to_string(n) + ": a port served in this process takes no alias");
    }

private:
    static void Received(void *context, const uint8_t *bytes, uint32_t count) {
        auto *self = static_cast<ServedEnd *>(context);
        std::lock_guard<std::mutex> lock(self->m_);
        self->fromHost_.insert(self->fromHost_.end(), bytes, bytes + count);
        self->cv_.notify_all();
    }
    // The line carries what was asked of it, parity included.
    static void LineChanged(void *context, uint32_t baud, int32_t, int32_t) {
        auto *self = static_cast<ServedEnd *>(context);
        std::lock_guard<std::mutex> lock(self->m_);
        if (baud == 0) {
            self->line_.reset();
            return;
        }
        LineSettings l;
        l.baud = baud;
        l.parity = true;
        l.raw = true;
        self->line_ = l;
    }

    const int number_;
    std::atomic<bool> open_{false};
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<uint8_t> fromHost_;
    bool woken_ = false;
    std::optional<LineSettings> line_;
};

}  // namespace

std::unique_ptr<DeviceEnd> openServedEnd(int number) { return std::make_unique<ServedEnd>(number); }

#ifdef _WIN32
std::unique_ptr<DeviceEnd> openPtyEnd() { throw std::runtime_error("this system has no pseudo-terminals"); }
#endif

}  // namespace quillsim
