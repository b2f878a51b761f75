#include "sim/virtual_target.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "sim/device_model.h"
#include "sim/pacing.h"
#include "sim/protocol_engine.h"

namespace quillsim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kVanishGrace = std::chrono::seconds(1);        // longest wait for the host to read the last answer
constexpr auto kVanishPoll = std::chrono::milliseconds(10);   // how often to look meanwhile

SimConfig configFromFile(const std::string &path) {
    std::string error;
    auto c = loadConfig(path, &error);
    if (!c) throw std::runtime_error(error);
    return *c;
}

SimConfig configFromRecord(const DeviceParameters &prm) {
    std::string error;
    auto c = configFromParameters(prm, &error);
    if (!c) throw std::runtime_error(error);
    return *c;
}

}  // namespace

struct VirtualTarget::Impl {
    explicit Impl(SimConfig c) : model(std::move(c)), engine(model, faults, log) {
        engine.setSecurityListener([this](uint8_t value) { saveState(value); });
    }

    void run();
    void wake() {
        std::lock_guard<std::mutex> lock(m);
        if (end) end->wake();
    }
    // Caller holds the lock.
    void saveState(uint8_t value) {
        std::string error;
        if (!stateFile.empty() && !saveSecurityState(stateFile, value, &error)) log.add(Clock::now(), Direction::Note, error);
    }
    // Caller holds the lock.
    uint32_t pacedBaud() const { return followLine ? (lastLine ? lastLine->baud : 0) : pacingBaud; }
    void observeLine(Clock::time_point now) {
        const auto line = end->line();
        if (!line) return;
        if (!lastLine || line->baud != lastLine->baud || line->parity != lastLine->parity || line->dataBits != lastLine->dataBits ||
            line->stopBits != lastLine->stopBits || line->raw != lastLine->raw)
            log.add(now, Direction::Note, "line: " + describeLine(*line));
        lastLine = line;
    }

    mutable std::mutex m;
    mutable std::condition_variable changed; // frames received, thread ended
    DeviceModel model;
    FaultPlan faults;
    Transcript log;
    ProtocolEngine engine;
    std::unique_ptr<DeviceEnd> end; // set once by start, before the thread
    std::thread thread;
    bool started = false;
    bool stopping = false;
    bool threadDone = false;
    bool vanished = false;
    uint32_t pacingBaud = 0;
    bool followLine = false;
    std::chrono::milliseconds latency{0};
    std::optional<LineSettings> lastLine;
    std::string stateFile;
};

void VirtualTarget::Impl::run() {
    // Paced characters are ~95 us apart at 115200 baud; the default 50 us
    // timer slack on every wake-up would stretch the wire by half again.
#ifdef __linux__
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    PacedLine rxLine, txLine;
    std::deque<std::pair<uint8_t, Clock::time_point>> rxQueue; // received, waiting for their wire time
    std::deque<uint8_t> txQueue;
    DeviceEnd &port = *end; // closed only on this thread (vanish) or after it ended
    // The device's clock: real time, or ahead of it by up to the end's timer
    // grain, where waits cannot be as short as a character.
    const auto grain = port.timerGrain();
    Clock::time_point ahead{};
    const auto deviceNow = [&ahead] { return std::max(Clock::now(), ahead); };
    uint64_t framesSeen = 0;
    Clock::time_point txComplete{};  // when the last waiting character is complete on the wire
    std::chrono::milliseconds latency{0};
    std::optional<Clock::time_point> vanishSince;

    for (;;) {
        auto now = deviceNow();
        bool vanish = false, vanishPending = false;
        {
            std::lock_guard<std::mutex> lock(m);
            if (stopping) break;
            observeLine(now);
            rxLine.setBaud(pacedBaud());
            txLine.setBaud(pacedBaud());
            latency = this->latency;
            // Bytes go to the engine as soon as they are read, stamped with
            // the time their last bit is on the line; the answer then starts
            // at that time, not one wake-up after it.
            std::optional<Clock::time_point> answerFrom;
            while (!rxQueue.empty()) {
                engine.receive(rxQueue.front().first, rxQueue.front().second);
                answerFrom = rxQueue.front().second;
                rxQueue.pop_front();
            }
            engine.tick(now);
            const Bytes out = engine.takeOutput();
            if (!out.empty()) {
                txLine.queued(txQueue.size(), answerFrom ? std::max(now, *answerFrom) : now);
                txQueue.insert(txQueue.end(), out.begin(), out.end());
                txComplete = txLine.baud() ? *txLine.lastDone(txQueue.size()) : now;
            }
            if (engine.frames() != framesSeen) {
                framesSeen = engine.frames();
                changed.notify_all();
            }
            // The last answer is delivered before the line goes: the host has
            // read it, or has had a second to do so.
            vanishPending = engine.vanishRequested();
            if (vanishPending && txQueue.empty()) {
                if (!vanishSince) vanishSince = now;
                vanish = port.unreadByHost() == 0 || now - *vanishSince >= kVanishGrace;
            }
            if (vanish) {
                // Like a USB adapter pulled out: the line and its name disappear.
                port.close();
                vanished = true;
                log.add(now, Direction::Note, "port closed");
            }
        }
        if (vanish) break;

        bool waitWritable = false;
        // What is waiting leaves in one piece once its last character is
        // complete: the host cannot act on an answer before that, and one
        // wake-up per answer instead of one per character keeps the pacing
        // close to the wire.
        size_t due = txLine.due(txQueue.size(), now);
        if (due < txQueue.size()) due = 0;
        // Without a latency timer nothing is held beyond the wire.
        const bool timed = latency.count() > 0;
        const auto release = latencyRelease(txComplete, latency);
        if (due && timed && now < release) due = 0;
        if (due) {
            uint8_t buf[4096];
            const size_t n = std::min(due, sizeof buf);
            std::copy_n(txQueue.begin(), n, buf);
            const size_t w = port.write(buf, n);
            if (w > 0) {
                txQueue.erase(txQueue.begin(), txQueue.begin() + static_cast<long>(w));
                txLine.sent(w);
                if (txQueue.empty()) {
                    std::lock_guard<std::mutex> lock(m);
                    engine.outputDrained(deviceNow());
                }
            }
            // A full pty (the host is not reading) makes us wait until it drains.
            waitWritable = w < n;
        }

        std::optional<Clock::time_point> deadline;
        {
            std::lock_guard<std::mutex> lock(m);
            deadline = engine.nextDeadline();
        }
        auto consider = [&deadline](Clock::time_point t) {
            if (!deadline || t < *deadline) deadline = t;
        };
        if (!rxQueue.empty()) consider(rxQueue.front().second);
        if (!waitWritable)
            if (auto t = txLine.lastDone(txQueue.size())) consider(timed ? std::max(*t, release) : *t);
        if (vanishPending) consider(Clock::now() + kVanishPoll); // no event says the host has read

        if (deadline && grain.count() > 0 && !vanishPending) {
            // What is due within the grain is taken as due: the clock runs
            // ahead to it, so the line keeps its pace with few, longer waits.
            const auto real = Clock::now();
            if (*deadline - real <= grain) {
                ahead = std::max(ahead, *deadline);
                deadline = real;
            } else {
                deadline = *deadline - grain;
            }
        }
        if (!port.wait(deadline, waitWritable)) break;
        uint8_t buf[4096];
        const long r = port.read(buf, sizeof buf);
        if (r > 0) {
            const auto at = deviceNow();
            {
                // The host may have changed the line, or a test the pacing,
                // while we waited: these bytes travel at today's baud.
                std::lock_guard<std::mutex> lock(m);
                observeLine(at);
                rxLine.setBaud(pacedBaud());
            }
            for (long i = 0; i < r; ++i) rxQueue.emplace_back(buf[i], rxLine.admit(at));
        }
        if (r < 0) {
            // A line that keeps reporting an error would only make us spin.
            std::lock_guard<std::mutex> lock(m);
            log.add(deviceNow(), Direction::Note, "the pty reports an error: device stopped");
            break;
        }
    }
    std::lock_guard<std::mutex> lock(m);
    threadDone = true;
    changed.notify_all();
}

VirtualTarget::VirtualTarget(const std::string &prmPath) : VirtualTarget(configFromFile(prmPath)) {}
VirtualTarget::VirtualTarget(const DeviceParameters &prm) : VirtualTarget(configFromRecord(prm)) {}
VirtualTarget::VirtualTarget(SimConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

VirtualTarget::~VirtualTarget() { stop(); }

void VirtualTarget::start() { startOn([] { return openPtyEnd(); }); }

void VirtualTarget::serve(int comNumber) { startOn([comNumber] { return openServedEnd(comNumber); }); }

void VirtualTarget::startOn(const std::function<std::unique_ptr<DeviceEnd>()> &open) {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (impl_->started) throw std::runtime_error("the virtual target was started before");
    impl_->end = open();
    const auto now = Clock::now();
    impl_->log.setOrigin(now);
    impl_->log.add(now, Direction::Note, "device " + impl_->model.config().deviceName + " on " + impl_->end->name());
    impl_->started = true;
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

void VirtualTarget::stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        if (!impl_->started || impl_->stopping) return;
        impl_->stopping = true;
    }
    impl_->wake();
    if (impl_->thread.joinable()) impl_->thread.join();
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->end->close();
}

bool VirtualTarget::running() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->started && !impl_->threadDone;
}

bool VirtualTarget::vanished() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->vanished;
}

std::string VirtualTarget::ptyPath() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->end ? impl_->end->name() : std::string();
}

std::string VirtualTarget::registerAlias(int n, const std::string &dir) {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (!impl_->end || !impl_->end->isOpen()) throw std::runtime_error("the virtual target has no port; start it first");
    const std::string entry = impl_->end->registerAlias(n, dir);
    impl_->log.add(Clock::now(), Direction::Note, "alias " + entry + " -> " + impl_->end->name());
    return entry;
}

SimConfig VirtualTarget::config() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.config();
}

// The engine reads identity from the model's configuration at each answer.
void VirtualTarget::setSignatureId(const std::array<uint8_t, 4> &id) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.mutableConfig().signatureId = id;
}

void VirtualTarget::setSignatureName(const std::string &name) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.mutableConfig().signatureName = name.substr(0, 10);
}

void VirtualTarget::setFirmwareVersion(uint8_t major, uint8_t minor) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.mutableConfig().versionMajor = major;
    impl_->model.mutableConfig().versionMinor = static_cast<uint8_t>(minor % 100);
}

std::vector<uint8_t> VirtualTarget::flash() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.flash();
}

uint32_t VirtualTarget::flashSize() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.size();
}

void VirtualTarget::setFlash(uint32_t address, const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.overwrite(address, bytes.data(), bytes.size());
}

void VirtualTarget::flipBit(uint32_t address, unsigned bit) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.flipBit(address, bit);
}

bool VirtualTarget::dumpFlash(const std::string &path, std::string *error) const {
    const auto image = flash();
    std::FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok && error) *error = "cannot write " + path + ": " + std::strerror(errno);
    return ok;
}

uint8_t VirtualTarget::securityByte() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->model.securityByte();
}

void VirtualTarget::setSecurityByte(uint8_t value) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->model.setSecurityByte(value);
    impl_->saveState(value);
}

bool VirtualTarget::setStateFile(const std::string &path, std::string *error) {
    const auto loaded = loadSecurityState(path, error);
    if (!loaded) return false;
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->stateFile = path;
    impl_->model.setSecurityByte(*loaded);
    return true;
}

void VirtualTarget::addFault(const Fault &fault) {
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->engine.addFault(fault, Clock::now());
    }
    impl_->wake(); // a silence or vanish may take effect at once
}

bool VirtualTarget::addFault(std::string_view rule, std::string *error) {
    const auto fault = parseFault(rule, error);
    if (!fault) return false;
    addFault(*fault);
    return true;
}

void VirtualTarget::clearFaults() {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->faults.clear();
}

std::vector<Fault> VirtualTarget::pendingFaults() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->faults.pending();
}

void VirtualTarget::setPacingBaud(uint32_t baud) {
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->pacingBaud = baud;
        impl_->followLine = false;
    }
    impl_->wake();
}

void VirtualTarget::setPacingFollowsLine(bool follow) {
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->followLine = follow;
    }
    impl_->wake();
}

void VirtualTarget::setLatency(std::chrono::milliseconds period) {
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->latency = std::max(period, std::chrono::milliseconds(0));
    }
    impl_->wake();
}

std::optional<LineSettings> VirtualTarget::observedLine() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (impl_->end)
        if (auto live = impl_->end->line()) return live;
    return impl_->lastLine;
}

uint32_t VirtualTarget::observedBaud() const {
    const auto line = observedLine();
    return line ? line->baud : 0;
}

std::vector<TranscriptEntry> VirtualTarget::transcript() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->log.entries();
}

void VirtualTarget::clearTranscript() {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->log.clear();
}

void VirtualTarget::setTraceSink(std::function<void(const TranscriptEntry &)> sink) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->log.setSink(std::move(sink));
}

uint64_t VirtualTarget::framesReceived() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->engine.frames();
}

uint64_t VirtualTarget::dataBytesReceived() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->engine.dataBytes();
}

bool VirtualTarget::waitForFrames(uint64_t frames, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->m);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->engine.frames() >= frames || impl_->threadDone; }) &&
           impl_->engine.frames() >= frames;
}

}  // namespace quillsim
