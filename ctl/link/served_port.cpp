#include "link/served_port.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "link/port_names.h"
#include "platform/export_guard.h"

namespace quill {
namespace {

using Clock = std::chrono::steady_clock;

struct ServedLine {
    // Held around every callback, so a stop can wait for the last one to end;
    // taken before `m` where both are needed.
    std::mutex calls;
    PRRServedDevice device{};

    std::mutex m;
    std::deque<uint8_t> toHost;
    WakeEvent ready;  // set while bytes wait for the host or the line is gone
    bool readyRaised = false;
    bool stopped = false;
    bool hostOpen = false;

    // Caller holds m.
    void UpdateReady() {
        const bool want = stopped || !toHost.empty();
        if (want && !readyRaised) ready.Raise();
        if (!want && readyRaised) ready.Lower();
        readyRaised = want;
    }
};

struct Registry {
    std::mutex m;
    std::map<int, std::shared_ptr<ServedLine>> lines;
};

// Never destroyed: a port may be stopped from a static destructor.
Registry &Served() {
    static Registry *r = new Registry;
    return *r;
}

std::shared_ptr<ServedLine> Find(int number) {
    Registry &r = Served();
    std::lock_guard<std::mutex> lock(r.m);
    auto it = r.lines.find(number);
    return it == r.lines.end() ? nullptr : it->second;
}

class ServedLink final : public Link {
public:
    ServedLink(std::shared_ptr<ServedLine> line, int number) : line_(std::move(line)), number_(number) { Notify(); }
    ~ServedLink() override {
        {
            std::lock_guard<std::mutex> lock(line_->m);
            line_->hostOpen = false;
            line_->toHost.clear();
            line_->UpdateReady();
        }
        baud_ = 0;
        rts_ = dtr_ = false;
        Notify();
    }

    int32_t ReadExact(uint8_t *buf, size_t count, uint32_t timeoutMs, bool wakeOnAbort) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t got = 0;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(line_->m);
                while (got < count && !line_->toHost.empty()) {
                    buf[got++] = line_->toHost.front();
                    line_->toHost.pop_front();
                }
                line_->UpdateReady();
                if (got == count) return 0;
                if (line_->stopped) return PRR_STATUS_COM_READ;
            }
            if (wake_.Interrupted(wakeOnAbort)) return PRR_STATUS_COM_READ;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return PRR_STATUS_READ_TIMEOUT;
            // The abort event stays set until the worker takes the abort, so
            // it is watched only by the waits it may end.
            const WakeEvent *events[3] = {&line_->ready, wake_.cancel, wakeOnAbort ? wake_.abort : nullptr};
            (void)WaitAny(events, 3, static_cast<int>(left));
        }
    }

    int32_t Write(const uint8_t *buf, size_t count) override {
        std::lock_guard<std::mutex> calls(line_->calls);
        if (Stopped()) return PRR_STATUS_COM_WRITE;
        for (size_t done = 0; done < count;) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(count - done, 1u << 20));
            line_->device.received(line_->device.context, buf + done, n);
            done += n;
        }
        return 0;
    }

    void PurgeRx() override {
        std::lock_guard<std::mutex> lock(line_->m);
        line_->toHost.clear();
        line_->UpdateReady();
    }

    int32_t SetFormat(uint32_t baud) override {
        if (Stopped()) return PRR_STATUS_COM_SETTING;
        baud_ = baud;
        Notify();
        return 0;
    }

    void SetModemLine(ModemLine line, bool on) override {
        (line == ModemLine::kRts ? rts_ : dtr_) = on;
        Notify();
    }

    int Descriptor() const override { return number_; }

private:
    bool Stopped() const {
        std::lock_guard<std::mutex> lock(line_->m);
        return line_->stopped;
    }
    void Notify() {
        std::lock_guard<std::mutex> calls(line_->calls);
        if (Stopped() || line_->device.lineChanged == nullptr) return;
        line_->device.lineChanged(line_->device.context, baud_, rts_ ? 1 : 0, dtr_ ? 1 : 0);
    }

    std::shared_ptr<ServedLine> line_;
    int number_;
    uint32_t baud_ = 0;
    // Opening a serial port raises both, as a driver does.
    bool rts_ = true;
    bool dtr_ = true;
};

}  // namespace

Link *OpenServedLink(int number, bool *served) {
    auto line = Find(number);
    *served = line != nullptr;
    if (!line) return nullptr;
    {
        std::lock_guard<std::mutex> lock(line->m);
        if (line->stopped || line->hostOpen) return nullptr;
        line->hostOpen = true;
        line->toHost.clear();
        line->UpdateReady();
    }
    return new ServedLink(std::move(line), number);
}

}  // namespace quill

extern "C" QUILLCTL_API int32_t PRRServePort(int32_t number, const PRRServedDevice *device) {
    return quill::Guarded<int32_t>(PRR_STATUS_COM_OPEN, [&]() -> int32_t {
        if (number < quill::kComFirst || number > quill::kComLast || device == nullptr || device->received == nullptr)
            return PRR_STATUS_COM_OPEN;
        auto line = std::make_shared<quill::ServedLine>();
        line->device = *device;
        quill::Registry &r = quill::Served();
        std::lock_guard<std::mutex> lock(r.m);
        return r.lines.emplace(number, std::move(line)).second ? 0 : PRR_STATUS_COM_OPEN;
    });
}

extern "C" QUILLCTL_API int32_t PRRServedPortSend(int32_t number, const uint8_t *bytes, uint32_t count) {
    return quill::Guarded<int32_t>(PRR_STATUS_COM_WRITE, [&]() -> int32_t {
        auto line = quill::Find(number);
        if (!line || (bytes == nullptr && count > 0)) return PRR_STATUS_COM_WRITE;
        std::lock_guard<std::mutex> lock(line->m);
        if (line->stopped) return PRR_STATUS_COM_WRITE;
        // Nobody listens on a closed port: what is sent then is lost, as on a wire.
        if (line->hostOpen) line->toHost.insert(line->toHost.end(), bytes, bytes + count);
        line->UpdateReady();
        return 0;
    });
}

extern "C" QUILLCTL_API int32_t PRRServedPortPending(int32_t number) {
    return quill::Guarded<int32_t>(-1, [&]() -> int32_t {
        auto line = quill::Find(number);
        if (!line) return -1;
        std::lock_guard<std::mutex> lock(line->m);
        return static_cast<int32_t>(std::min<size_t>(line->toHost.size(), INT32_MAX));
    });
}

extern "C" QUILLCTL_API int32_t PRRStopServingPort(int32_t number) {
    return quill::Guarded<int32_t>(PRR_STATUS_COM_OPEN, [&]() -> int32_t {
        std::shared_ptr<quill::ServedLine> line;
        {
            quill::Registry &r = quill::Served();
            std::lock_guard<std::mutex> lock(r.m);
            auto it = r.lines.find(number);
            if (it == r.lines.end()) return PRR_STATUS_COM_OPEN;
            line = std::move(it->second);
            r.lines.erase(it);
        }
        std::lock_guard<std::mutex> calls(line->calls);
        std::lock_guard<std::mutex> lock(line->m);
        line->stopped = true;
        line->UpdateReady();
        return 0;
    });
}
