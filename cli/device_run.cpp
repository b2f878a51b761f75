#include "device_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <memory>

namespace quillcli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMsgCommandIdle = 2030;             // our end-of-command notification; not a record
constexpr int kRedrawMs = 200;                         // bar redraw interval on a terminal
constexpr auto kAbortGrace = std::chrono::seconds(15); // longest wait for targets to confirm an abort
constexpr int kLoadState5 = 5;                         // the load worker's last step

// The Ctrl+C handler can reach only these: how often it ran, and the
// descriptor that wakes the run.
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

// An eventfd that library threads, the signal handler and nothing else write.
class Wake {
public:
    Wake() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Wake() {
        if (fd_ >= 0) ::close(fd_);
    }
    Wake(const Wake &) = delete;
    Wake &operator=(const Wake &) = delete;
    int fd() const { return fd_; }
    void Signal() {
        const uint64_t one = 1;
        ssize_t ignored = ::write(fd_, &one, sizeof one);
        (void)ignored;
    }
    // Waits for a signal (at most timeoutMs; -1 without limit) and consumes it.
    void Wait(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) > 0) {
            uint64_t value;
            ssize_t ignored = ::read(fd_, &value, sizeof value);
            (void)ignored;
        }
    }

private:
    int fd_;
};

// Ctrl+C handling for the length of a run; the previous handler comes back after.
class InterruptGuard {
public:
    explicit InterruptGuard(int wakeFd) {
        g_interrupts.store(0);
        g_wakeFd.store(wakeFd);
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: a prompt's read must wake up
        ::sigaction(SIGINT, &sa, &old_);
    }
    ~InterruptGuard() {
        ::sigaction(SIGINT, &old_, nullptr);
        g_wakeFd.store(-1);
    }
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;
    int count() const { return g_interrupts.load(); }

private:
    struct sigaction old_ {};
};

// Counts a handle's notifications on the worker's thread and wakes the run.
struct Notifier {
    explicit Notifier(Wake &w) : wake(w) {
        window.post = &Notifier::Post;
        window.context = this;
    }
    static void Post(PRRWindow *self, uint32_t message) {
        auto *n = static_cast<Notifier *>(self->context);
        if (message == kMsgCommandIdle) n->idles.fetch_add(1);
        else n->records.fetch_add(1);
        n->wake.Signal();
    }
    PRRWindow window{};
    Wake &wake;
    std::atomic<uint64_t> records{0};
    std::atomic<uint64_t> idles{0};
};

enum class Phase { Preparing, Prepared, Connecting, Running, Done };

struct Target {
    explicit Target(Wake &w) : note(w) {}
    PortChoice port;
    DeviceParameters *device = nullptr;
    FlashHandle *h = nullptr;
    Notifier note;
    ResetRecord reset{};
    Phase phase = Phase::Preparing;
    uint64_t fetched = 0;
    uint64_t idlesSeen = 0;
    // What the records of the current request said.
    int32_t failStatus = 0;
    std::string failText;
    bool connected = false;
    bool checksumError = false;
    bool notBlank = false;
    bool aborted = false;
    std::string connectedName;
    // Progress of the running phase.
    Clock::time_point start;
    Clock::time_point phaseStart;
    int32_t phaseState = -1;
};

std::string FieldText(const char *s, size_t size) { return std::string(s, strnlen(s, size)); }

bool IsCommandEnd(const ProgressRecord &r) { return r.percent == 100 && r.percentTotal == 100; }

// Why a file cannot be read, in a user's words; empty when it can.
std::string FileProblem(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return path + ": is a folder, not a file";
    if (::access(path.c_str(), R_OK) != 0) return path + ": " + std::strerror(errno);
    return "";
}

class DeviceRun {
public:
    DeviceRun(const DeviceJob &job, CliContext &ctx) : job_(job), ctx_(ctx) {}
    ~DeviceRun() { Release(); }
    int Run();

private:
    int Fail(int code, const std::string &message) {
        *ctx_.err << "quillrom: " << message << '\n';
        return code;
    }
    int ReadParameters();
    int ReadLoadFile();
    void Pump(size_t i);
    void OnRecord(size_t i, const ProgressRecord &r);
    void OnRequestEnd(size_t i);
    void StartConnect(size_t i);
    void IssueCommand(size_t i);
    void Finish(size_t i, Verdict v, const std::string &detail);
    void FailRequest(size_t i);
    void Interrupt();
    bool AskPowerCycle();
    void UpdateRates();
    void Log(size_t i, const std::string &line);
    void Note(size_t i, const std::string &line) {
        Log(i, line);
        view_->Note(reports_, i, line);
    }
    void Release();

    const DeviceJob &job_;
    CliContext &ctx_;
    Wake wake_;
    Notifier loadNote_{wake_};
    std::unique_ptr<ProgressView> view_;
    std::vector<std::unique_ptr<Target>> targets_;
    std::vector<TargetReport> reports_;
    LoadFileHandle *load_ = nullptr;
    uint32_t streamBytes_ = 0;
    AreaRecord area_{};
    bool interrupted_ = false;
    bool settled_ = true;  // false when a worker may still hold our records
};

int DeviceRun::ReadParameters() {
    for (size_t i = 0; i < job_.ports.size(); ++i) {
        auto t = std::make_unique<Target>(wake_);
        t->port = job_.ports[i];
        t->device = PRRReadPRM(job_.prmPath.c_str(), 0);
        if (t->device == nullptr) {
            const std::string why = FileProblem(job_.prmPath);
            return Fail(kExitIo, why.empty() ? job_.prmPath + ": not a parameter file that can be read" : why);
        }
        // The checksum is compared with what the read just found.
        if (i == 0 && !PRRChecksumPRM(job_.prmPath.c_str(), 0)) {
            targets_.push_back(std::move(t));
            return Fail(kExitIo, job_.prmPath + ": checksum error (its SUM= value does not match its contents)");
        }
        targets_.push_back(std::move(t));
    }
    return kExitOk;
}

int DeviceRun::ReadLoadFile() {
    if (std::string why = FileProblem(job_.loadPath); !why.empty()) return Fail(kExitIo, why);
    load_ = PRRHexOpen(job_.loadPath.c_str(), &loadNote_.window, PRR_MSG_LOADFILE_RECORD, nullptr);
    if (load_ == nullptr)
        return Fail(kExitIo, job_.loadPath + ": not an Intel HEX or S-record file (it must start with ':' or 'S')");
    uint64_t fetched = 0;
    for (;;) {
        wake_.Wait(-1);
        if (g_interrupts.load() > 0) {
            interrupted_ = true;
            return Fail(kExitInterrupted, "interrupted");
        }
        for (const uint64_t announced = loadNote_.records.load(); fetched < announced; ++fetched) {
            const LoadProgressRecord *r = PRRHexGetProg(load_);
            if (r->status != 0)
                return Fail(kExitIo, job_.loadPath + ": " + FieldText(r->text, sizeof r->text));
            if (r->state == kLoadState5 && r->percent == 100) {
                if (load_->readState != PRR_LOAD_READY || load_->imageLength == 0)
                    return Fail(kExitIo, job_.loadPath + ": holds no data");
                return kExitOk;
            }
        }
    }
}

int DeviceRun::Run() {
    view_ = MakeView(job_.view, job_.ports.size() > 1, job_.quiet, *ctx_.out, *ctx_.err);
    if (wake_.fd() < 0) return Fail(kExitFailed, std::string("cannot create an event descriptor: ") + std::strerror(errno));
    InterruptGuard guard(wake_.fd());
    if (!job_.logPath.empty()) {
        // Checked now: the log writer drops lines it cannot write.
        const int fd = ::open(job_.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return Fail(kExitIo, "cannot write the log file " + job_.logPath + ": " + std::strerror(errno));
        ::close(fd);
    }
    if (int code = ReadParameters(); code != kExitOk) return code;
    const DeviceParameters &first = *targets_[0]->device;
    const double frequency = job_.frequency > 0 ? job_.frequency : first.typeSet7;
    const double multiplier = job_.multiplier > 0 ? job_.multiplier : static_cast<double>(first.typeSet2);
    if (!(frequency > 0) || !(multiplier > 0))
        return Fail(kExitUsage, job_.prmPath + " gives no oscillator frequency and multiply rate: set --freq and --multiply");
    area_ = job_.area;
    if (area_.first < 0) area_.first = first.typeSet11;
    if (area_.last < 0) area_.last = first.typeSet12;
    if (NeedsLoadFile(job_.command)) {
        if (int code = ReadLoadFile(); code != kExitOk) return code;
        streamBytes_ = StreamBytes(first, area_, job_.autoRange, load_->imageStart, load_->imageLength);
    }

    for (auto &t : targets_) {
        TargetReport report;
        report.port = t->port.name;
        reports_.push_back(report);
        t->h = PRRFlshOpen(&t->note.window, PRR_MSG_FLASH_RECORD, t->port.name.c_str());
        if (t->h == nullptr) return Fail(kExitFailed, "cannot start a worker thread for " + t->port.name);
        PRRFlshSetIdleMessage(t->h, kMsgCommandIdle);
        t->reset.frequency = frequency;
        t->reset.multiplier = multiplier;
        t->reset.portNumber = static_cast<uint8_t>(t->port.number);
        t->reset.commandOptions = job_.commandOptions;
        t->reset.securityFlags = job_.securityFlags;
        t->reset.powerCycleMode = job_.powerPrompt ? 1 : 0;
    }
    // A connect is two requests: the first only opens and configures the port.
    for (size_t i = 0; i < targets_.size(); ++i) {
        Target &t = *targets_[i];
        t.start = Clock::now();
        Note(i, ">>COMMAND: Reset");
        t.h->linePreparePass = 1;
        PRRFlshReset(t.h, &t.reset, t.device);
        t.h->linePreparePass = 0;
    }

    bool prompted = !job_.powerPrompt;
    int interruptsSeen = 0;
    Clock::time_point abortDeadline{};
    auto pending = [this] {
        return std::any_of(targets_.begin(), targets_.end(), [](const auto &t) { return t->phase != Phase::Done; });
    };
    while (pending()) {
        const bool redraw = job_.view == ViewKind::Terminal;
        wake_.Wait(redraw || interrupted_ ? kRedrawMs : -1);
        if (const int n = guard.count(); n > interruptsSeen) {
            interruptsSeen = n;
            if (!interrupted_) {
                Interrupt();
                abortDeadline = Clock::now() + kAbortGrace;
            } else {
                abortDeadline = Clock::now();  // a second Ctrl+C: stop waiting
            }
        }
        for (size_t i = 0; i < targets_.size(); ++i) Pump(i);
        if (interrupted_ && Clock::now() >= abortDeadline) {
            for (size_t i = 0; i < targets_.size(); ++i)
                if (targets_[i]->phase != Phase::Done) Finish(i, Verdict::Interrupted, "the abort was not confirmed");
            settled_ = false;
        }
        const bool preparing = std::any_of(targets_.begin(), targets_.end(),
                                           [](const auto &t) { return t->phase == Phase::Preparing; });
        if (!prompted && !preparing && !interrupted_) {
            prompted = true;
            const bool go = AskPowerCycle();
            for (size_t i = 0; i < targets_.size(); ++i) {
                if (targets_[i]->phase != Phase::Prepared) continue;
                if (go) StartConnect(i);
                else if (guard.count() > interruptsSeen) Finish(i, Verdict::Interrupted, "interrupted at the power prompt");
                else Finish(i, Verdict::Failed, "no answer to the power prompt (standard input closed)");
            }
            if (guard.count() > interruptsSeen) interrupted_ = true;
        }
        UpdateRates();
        view_->Tick(reports_);
    }
    view_->Finish(reports_);

    bool anyPort = false, anyFailed = false, anyInterrupted = false;
    for (const TargetReport &r : reports_) {
        anyPort = anyPort || r.verdict == Verdict::PortProblem;
        anyFailed = anyFailed || r.verdict == Verdict::Failed;
        anyInterrupted = anyInterrupted || r.verdict == Verdict::Interrupted;
    }
    if (anyInterrupted) return kExitInterrupted;
    if (anyPort) return kExitIo;
    return anyFailed ? kExitFailed : kExitOk;
}

void DeviceRun::Pump(size_t i) {
    Target &t = *targets_[i];
    if (t.h == nullptr) return;
    // The idle notice follows the command's last record, so counting the
    // notices first means every record they close has been announced.
    const uint64_t idles = t.note.idles.load();
    const uint64_t records = t.note.records.load();
    for (; t.fetched < records; ++t.fetched) OnRecord(i, *PRRFlshGetProg(t.h));
    for (; t.idlesSeen < idles; ++t.idlesSeen) OnRequestEnd(i);
}

void DeviceRun::OnRecord(size_t i, const ProgressRecord &r) {
    Target &t = *targets_[i];
    TargetReport &rep = reports_[i];
    const std::string text = FieldText(r.text, sizeof r.text);
    if (!text.empty()) Log(i, text);  // the connect's last record has none; "connected." is noted instead
    if (r.status != 0 && t.failStatus == 0) {
        t.failStatus = r.status;
        t.failText = text;
    }
    if (text == "CHECKSUM COMPARE: ERROR") t.checksumError = true;
    if (text == "not blank.") t.notBlank = true;
    if (text == "Sequence Aborted.") t.aborted = true;
    if (r.state == PRR_STATE_CONNECT && r.status == 0 && IsCommandEnd(r) && text.empty()) {
        t.connected = true;
        t.connectedName = FieldText(r.deviceName, sizeof r.deviceName);
    }
    if (r.state >= PRR_STATE_CONNECT && r.state <= PRR_STATE_SIGNATURE && r.state != t.phaseState) {
        t.phaseState = r.state;
        t.phaseStart = Clock::now();
    }
    if (t.phase != Phase::Done) {
        if (r.state != PRR_STATE_IDLE) rep.state = r.state;
        rep.percent = r.percent;
        if (!text.empty()) rep.text = text;
    }
    view_->Record(reports_, i, r);
}

void DeviceRun::OnRequestEnd(size_t i) {
    Target &t = *targets_[i];
    switch (t.phase) {
    case Phase::Preparing:
        if (t.failStatus != 0) FailRequest(i);
        else if (interrupted_) Finish(i, Verdict::Interrupted, "interrupted before the connect");
        else {
            t.phase = Phase::Prepared;
            if (!job_.powerPrompt) StartConnect(i);
        }
        break;
    case Phase::Connecting:
        if (t.aborted) Finish(i, Verdict::Interrupted, "Sequence Aborted.");
        else if (t.failStatus != 0) FailRequest(i);
        else if (!t.connected) Finish(i, Verdict::Failed, "the connect ended without reaching the device");
        else if (interrupted_) Finish(i, Verdict::Interrupted, "interrupted after the connect");
        else {
            Note(i, t.connectedName.empty() ? std::string("connected.") : "connected: " + t.connectedName);
            IssueCommand(i);
        }
        break;
    case Phase::Running:
        if (t.aborted) Finish(i, Verdict::Interrupted, "Sequence Aborted.");
        else if (t.failStatus != 0) FailRequest(i);
        else if (t.checksumError) Finish(i, Verdict::Failed, "CHECKSUM COMPARE: ERROR");
        else if (t.notBlank && job_.command == DeviceCommand::BlankCheck) Finish(i, Verdict::Failed, "not blank.");
        else Finish(i, Verdict::Ok, reports_[i].text);
        break;
    case Phase::Prepared:
    case Phase::Done:
        break;  // a late "ABORT ok." after the request had ended
    }
}

void DeviceRun::FailRequest(size_t i) {
    Target &t = *targets_[i];
    const bool opening = t.phase == Phase::Preparing || t.phase == Phase::Connecting;
    if (opening && (t.failStatus == PRR_STATUS_COM_OPEN || t.failStatus == PRR_STATUS_COM_SETTING)) {
        const PortProbe probe = ProbePort(t.port);
        std::string detail = DescribePortFault(probe);
        if (t.failStatus == PRR_STATUS_COM_SETTING && probe.fault == PortFault::Unexplained)
            detail = t.port.name + (t.port.path.empty() ? "" : " (" + t.port.path + ")") +
                     ": the port opened, but its line settings could not be set";
        Finish(i, Verdict::PortProblem, detail);
        return;
    }
    Finish(i, Verdict::Failed, t.failText);
}

void DeviceRun::StartConnect(size_t i) {
    Target &t = *targets_[i];
    t.phase = Phase::Connecting;
    t.failStatus = 0;
    t.failText.clear();
    t.connected = false;
    PRRFlshReset(t.h, &t.reset, t.device);
}

void DeviceRun::IssueCommand(size_t i) {
    Target &t = *targets_[i];
    t.phase = Phase::Running;
    t.failStatus = 0;
    t.failText.clear();
    Note(i, CommandTitle(job_.command));
    DeviceParameters *d = t.device;
    switch (job_.command) {
    case DeviceCommand::BlankCheck: PRRFlshBlnk(t.h, d, &area_, job_.autoRange); break;
    case DeviceCommand::Erase: PRRFlshErase(t.h, d, &area_, job_.autoRange); break;
    case DeviceCommand::Program: PRRFlshProg(t.h, d, &area_, load_, job_.autoRange); break;
    case DeviceCommand::Verify: PRRFlshVerify(t.h, d, &area_, load_, job_.autoRange); break;
    case DeviceCommand::Checksum: PRRFlshChecksum(t.h, d, &area_, load_); break;
    case DeviceCommand::Security: PRRFlshSecurity(t.h, d, d->typeSet11, d->typeSet12); break;
    case DeviceCommand::Signature: PRRFlshSigread(t.h, d); break;
    case DeviceCommand::Auto: PRRFlshEPV(t.h, d, &area_, load_, job_.autoRange); break;
    }
}

void DeviceRun::Finish(size_t i, Verdict v, const std::string &detail) {
    Target &t = *targets_[i];
    t.phase = Phase::Done;
    TargetReport &r = reports_[i];
    r.verdict = v;
    r.detail = detail;
    r.rate = r.eta = -1;
    r.seconds = std::chrono::duration<double>(Clock::now() - t.start).count();
}

// First Ctrl+C: abort what runs, let idle targets go.
void DeviceRun::Interrupt() {
    interrupted_ = true;
    for (size_t i = 0; i < targets_.size(); ++i) {
        Target &t = *targets_[i];
        switch (t.phase) {
        case Phase::Prepared: Finish(i, Verdict::Interrupted, "interrupted before the connect"); break;
        case Phase::Connecting:
        case Phase::Running:
            Note(i, ">>ABORT");
            PRRFlshAbort(t.h, t.device);
            break;
        case Phase::Preparing:  // ends by itself at once; no connect follows it
        case Phase::Done: break;
        }
    }
}

bool DeviceRun::AskPowerCycle() {
    *ctx_.err << "Please Turn off->on Target power, then press Enter." << std::endl;
    if (ctx_.in != nullptr) {
        std::string line;
        return static_cast<bool>(std::getline(*ctx_.in, line));
    }
    // Standard input, read so that Ctrl+C still ends the wait.
    const int seen = g_interrupts.load();
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (g_interrupts.load() > seen) return false;
        if (fds[1].revents & POLLIN) {
            uint64_t value;
            ssize_t ignored = ::read(wake_.fd(), &value, sizeof value);
            (void)ignored;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[256];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            if (std::memchr(buf, '\n', static_cast<size_t>(n)) != nullptr) return true;
        }
    }
}

void DeviceRun::UpdateRates() {
    const auto now = Clock::now();
    for (size_t i = 0; i < targets_.size(); ++i) {
        const Target &t = *targets_[i];
        TargetReport &r = reports_[i];
        if (r.verdict != Verdict::Pending || t.phaseState != r.state) continue;
        const double elapsed = std::chrono::duration<double>(now - t.phaseStart).count();
        const bool streams = r.state == PRR_STATE_PROGRAM || r.state == PRR_STATE_VERIFY;
        r.rate = streams && streamBytes_ > 0 && r.percent > 0 && elapsed > 0
                     ? streamBytes_ * (r.percent / 100.0) / elapsed
                     : -1;
        r.eta = r.percent > 0 && r.percent < 100 ? elapsed * (100 - r.percent) / r.percent : -1;
    }
}

void DeviceRun::Log(size_t i, const std::string &line) {
    if (job_.logPath.empty()) return;
    // The writer takes 255 characters; keep the line end inside them.
    const std::string prefix = targets_.size() > 1 ? targets_[i]->port.name + ": " : std::string();
    const int room = static_cast<int>(254 - prefix.size());
    PRRLogWrite(job_.logPath.c_str(), "%s%.*s\n", prefix.c_str(), room, line.c_str());
}

void DeviceRun::Release() {
    for (auto &t : targets_) PRRFlshClose(t->h);
    // A worker that did not stop in time still reads the parameter record
    // and the load image; the process ends soon, so leave them to it.
    if (!settled_) return;
    for (auto &t : targets_) PRRFreePRM(t->device);
    PRRHexClose(load_);
}

}  // namespace

const char *CommandTitle(DeviceCommand c) {
    switch (c) {
    case DeviceCommand::BlankCheck: return ">>COMMAND: Blank Check";
    case DeviceCommand::Erase: return ">>COMMAND: Erase";
    case DeviceCommand::Program: return ">>COMMAND: Program";
    case DeviceCommand::Verify: return ">>COMMAND: Verify";
    case DeviceCommand::Checksum: return ">>COMMAND: Checksum";
    case DeviceCommand::Security: return ">>COMMAND: Security";
    case DeviceCommand::Signature: return ">>COMMAND: Signature Read";
    case DeviceCommand::Auto: return ">>COMMAND: AutoProcedure(Epv)";
    }
    return "";
}

bool NeedsLoadFile(DeviceCommand c) {
    return c == DeviceCommand::Program || c == DeviceCommand::Verify || c == DeviceCommand::Checksum ||
           c == DeviceCommand::Auto;
}

uint32_t StreamBytes(const DeviceParameters &d, const AreaRecord &area, int32_t autoRange, uint32_t imageStart,
                     uint32_t imageLength) {
    if (d.blockCount <= 0 || d.blockTable == nullptr) return 0;
    const RangeEntry *blocks = d.blockTable;
    const int count = d.blockCount;
    uint32_t start = 0, end = 0;
    if (autoRange) {
        if (imageLength == 0) return 0;
        const uint32_t dataEnd = std::min(imageStart + imageLength - 1, blocks[count - 1].end);
        int from = -1, to = -1;
        for (int b = 0; b < count; ++b) {
            if (blocks[b].start <= imageStart && imageStart <= blocks[b].end) from = b;
            if (blocks[b].start <= dataEnd && dataEnd <= blocks[b].end) to = b;
        }
        if (from < 0 || to < 0) return 0;
        start = blocks[from].start;
        end = blocks[to].end;
    } else {
        int from = 0, to = count - 1;
        if ((area.mode & 0xFF) != PRR_AREA_CHIP) {
            from = area.first & 0xFF;
            to = area.last & 0xFF;
        }
        if (from > to || to >= count) return 0;
        start = blocks[from].start;
        end = blocks[to].end;
    }
    return end >= start ? end - start + 1 : 0;
}

bool ParseRange(const std::string &text, AreaRecord *area, std::string *why) {
    auto number = [](const std::string &s, int *out) {
        if (s.empty() || s.size() > 6) return false;
        char *end = nullptr;
        const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        const long v = std::strtol(s.c_str(), &end, hex ? 16 : 10);
        if (*end != '\0' || s[0] < '0' || s[0] > '9' || v < 0 || v > 255) return false;
        *out = static_cast<int>(v);
        return true;
    };
    if (text == "chip") {
        *area = AreaRecord{PRR_AREA_CHIP, -1, -1, 0, 0};
        return true;
    }
    const size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const int32_t mode = kind == "block" ? PRR_AREA_BLOCK : kind == "area" ? PRR_AREA_AREA : 0;
    if (mode == 0 || colon == std::string::npos) {
        *why = "--range wants chip, block:A-B or area:A-B, not '" + text + "'";
        return false;
    }
    const std::string span = text.substr(colon + 1);
    const size_t dash = span.find('-');
    int first = 0, last = 0;
    const bool ok = dash == std::string::npos ? number(span, &first) && number(span, &last)
                                              : number(span.substr(0, dash), &first) && number(span.substr(dash + 1), &last);
    if (!ok) {
        *why = "--range " + kind + ": wants numbers from 0 to 255 as A-B, not '" + span + "'";
        return false;
    }
    if (first > last) {
        *why = "--range " + text + ": the first number is above the last";
        return false;
    }
    *area = AreaRecord{mode, first, last, 0, 0};
    return true;
}

int RunDeviceJob(const DeviceJob &job, CliContext &ctx) {
    DeviceRun run(job, ctx);
    return run.Run();
}

}  // namespace quillcli
