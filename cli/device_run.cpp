#include "device_run.h"
#include "production/record_store.h"
#include "production/store_common.h"
#include "production/stream_digest.h"

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

#include "client/notification_queue.h"

namespace quillcli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMsgCommandIdle = 2030;             // our end-of-command notification; not a record
constexpr int kRedrawMs = 200;                         // bar redraw interval on a terminal
constexpr auto kAbortGrace = std::chrono::seconds(15); // longest wait for targets to confirm an abort

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

using quillclient::FlashSession;
using quillclient::NotificationQueue;
using quillclient::RunResult;
using quillclient::Stage;

struct Target {
    PortChoice port;
    DeviceParameters *device = nullptr;
    // The inbox outlives the session: its worker posts there until it stops.
    std::unique_ptr<NotificationQueue> inbox;
    std::unique_ptr<FlashSession> session;
    bool done = false;
    ProgressRecord lastRecord{};
    // Why the run itself ended a target at the power prompt.
    Verdict promptVerdict = Verdict::Failed;
    std::string promptDetail;
    // Progress of the running phase.
    Clock::time_point start;
    Clock::time_point phaseStart;
    int32_t phaseState = -1;
    // For the record.
    std::string startedUtc;
    std::string logText;
    PRROutcome outcome{};
    bool outcomeKnown = false;
    std::string streamSha256;
    // As a signature read showed them.
    std::string deviceId, deviceName, deviceVersion;
};

std::string FieldText(const char *s, size_t size) { return std::string(s, strnlen(s, size)); }

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
    DeviceRun(const DeviceJob &job, CliContext &ctx, std::vector<TargetResult> *results)
        : job_(job), ctx_(ctx), results_(results) {}
    ~DeviceRun() { Release(); }
    int Run();

private:
    int Fail(int code, const std::string &message) {
        *ctx_.err << "quillrom: " << message << '\n';
        return code;
    }
    int ReadParameters();
    int ReadLoadFile(LoadFileHandle **out);
    bool OpenSession(size_t i);
    void OnRecord(size_t i, const ProgressRecord &r);
    void OnIssuing(size_t i);
    static void NoteIdentity(Target &t, const std::string &line);
    void OnFinished(size_t i, const RunResult &result);
    void Finish(size_t i, Verdict v, const std::string &detail);
    void FailRequest(size_t i, int32_t status, bool opening);
    void Interrupt();
    void AnswerPowerPrompt(int interruptsSeen, InterruptGuard &guard);
    bool AskPowerCycle();
    void UpdateRates();
    void Log(size_t i, const std::string &line);
    void Note(size_t i, const std::string &line) {
        Log(i, line);
        view_->Note(reports_, i, line);
    }
    void Warn(size_t i, const std::string &text) {
        Log(i, ">>Warning: " + text);
        view_->Warn(reports_, i, text);
    }
    bool AnyAt(Stage stage) const {
        return std::any_of(targets_.begin(), targets_.end(),
                           [stage](const auto &t) { return !t->done && t->session->stage() == stage; });
    }
    void Release();
    int OpenRecord();
    int PrepareSerials(const DeviceParameters &device);
    LoadFileHandle *LoadOf(size_t i) const { return i == 0 || targetLoads_.empty() ? load_ : targetLoads_[i - 1]; }
    // One row per target; false (and the reason on stderr) when any is lost.
    bool RecordRuns();

    const DeviceJob &job_;
    CliContext &ctx_;
    std::vector<TargetResult> *results_;
    Wake wake_;
    NotificationQueue loadInbox_{[this] { wake_.Signal(); }};
    std::unique_ptr<ProgressView> view_;
    std::vector<std::unique_ptr<Target>> targets_;
    std::vector<TargetReport> reports_;
    LoadFileHandle *load_ = nullptr;
    uint32_t streamBytes_ = 0;
    AreaRecord area_{};
    quillclient::CommandRequest request_{};
    bool interrupted_ = false;
    bool settled_ = true;  // false when a worker may still hold our records
    std::unique_ptr<RecordStore> store_;
    std::string prmChecksum_;
    std::vector<LoadFileHandle *> targetLoads_;  // targets 2.. with serial numbers: an image each
    std::vector<int64_t> serials_;
    std::vector<bool> rowWritten_;  // by target; true without a record
};

int DeviceRun::ReadParameters() {
    for (size_t i = 0; i < job_.ports.size(); ++i) {
        auto t = std::make_unique<Target>();
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

int DeviceRun::ReadLoadFile(LoadFileHandle **out) {
    if (std::string why = FileProblem(job_.loadPath); !why.empty()) return Fail(kExitIo, why);
    LoadFileHandle *load = *out = PRRHexOpen(job_.loadPath.c_str(), loadInbox_.window(), PRR_MSG_LOADFILE_RECORD, nullptr);
    if (load == nullptr)
        return Fail(kExitIo, job_.loadPath + ": not an Intel HEX or S-record file (it must start with ':' or 'S')");
    for (;;) {
        wake_.Wait(-1);
        if (g_interrupts.load() > 0) {
            interrupted_ = true;
            return Fail(kExitInterrupted, "interrupted");
        }
        for (const uint32_t message : loadInbox_.Take()) {
            if (message != PRR_MSG_LOADFILE_RECORD) continue;
            const LoadProgressRecord *r = PRRHexGetProg(load);
            if (r->status != 0)
                return Fail(kExitIo, job_.loadPath + ": " + FieldText(r->text, sizeof r->text));
            if (r->state == PRR_LOAD_STATE_DONE && r->percent == 100) {
                if (load->readState != PRR_LOAD_READY || load->imageLength == 0)
                    return Fail(kExitIo, job_.loadPath + ": holds no data");
                return kExitOk;
            }
        }
    }
}

bool DeviceRun::OpenSession(size_t i) {
    Target &t = *targets_[i];
    t.inbox = std::make_unique<NotificationQueue>([this] { wake_.Signal(); });
    quillclient::SessionConfig config;
    config.window = t.inbox->window();
    config.idleMessage = kMsgCommandIdle;
    config.name = t.port.name.c_str();
    quillclient::SessionEvents events;
    events.record = [this, i](const ProgressRecord &r) { OnRecord(i, r); };
    // One prompt serves the whole gang, once every target is prepared.
    events.powerPrompt = [] { return quillclient::PowerAnswer::Later; };
    events.issuing = [this, i](DeviceCommand) { OnIssuing(i); };
    events.finished = [this, i](const RunResult &r) { OnFinished(i, r); };
    events.slowLink = [this, i](const std::string &text) { Warn(i, text); };
    t.session = std::make_unique<FlashSession>(config, std::move(events));
    return t.session->handle() != nullptr;
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
    if (int code = OpenRecord(); code != kExitOk) return code;
    if (int code = ReadParameters(); code != kExitOk) return code;
    const DeviceParameters &first = *targets_[0]->device;
    if (uint32_t sum = 0; PRRChecksumValuesPRM(job_.prmPath.c_str(), &sum, nullptr) == 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%X", sum);
        prmChecksum_ = text;
    }
    const double frequency = job_.frequency > 0 ? job_.frequency : first.typeSet7;
    const double multiplier = job_.multiplier > 0 ? job_.multiplier : static_cast<double>(first.typeSet2);
    if (!(frequency > 0) || !(multiplier > 0))
        return Fail(kExitUsage, job_.prmPath + " gives no oscillator frequency and multiply rate: set --freq and --multiply");
    area_ = job_.area;
    if (area_.first < 0) area_.first = first.typeSet11;
    if (area_.last < 0) area_.last = first.typeSet12;
    if (NeedsLoadFile(job_.command)) {
        if (int code = ReadLoadFile(&load_); code != kExitOk) return code;
        if (job_.serial)
            if (int code = PrepareSerials(first); code != kExitOk) return code;
        streamBytes_ = PRRStreamBytes(&first, &area_, job_.autoRange, load_);
        const bool streams = job_.command == DeviceCommand::Program || job_.command == DeviceCommand::Verify ||
                             job_.command == DeviceCommand::Autoprocedure;
        if (store_ && streams) {
            const std::string shared = StreamSha256(first, area_, job_.autoRange, load_);
            for (size_t i = 0; i < targets_.size(); ++i)
                targets_[i]->streamSha256 = LoadOf(i) == load_ ? shared : StreamSha256(first, area_, job_.autoRange, LoadOf(i));
        }
    }

    request_.command = job_.command;
    request_.reset.frequency = frequency;
    request_.reset.multiplier = multiplier;
    request_.reset.commandOptions = job_.commandOptions;
    request_.reset.securityFlags = job_.securityFlags;
    request_.reset.powerCycleMode = job_.powerPrompt ? PRR_POWER_PROMPT_ON : PRR_POWER_PROMPT_OFF;
    request_.area = area_;
    request_.loadFile = load_;
    request_.autoRange = job_.autoRange;
    for (size_t i = 0; i < targets_.size(); ++i) {
        TargetReport report;
        report.port = targets_[i]->port.name;
        reports_.push_back(report);
        if (!OpenSession(i)) return Fail(kExitFailed, "cannot start a worker thread for " + targets_[i]->port.name);
    }
    for (size_t i = 0; i < targets_.size(); ++i) {
        Target &t = *targets_[i];
        t.start = Clock::now();
        t.startedUtc = UtcNow();
        Note(i, ">>COMMAND: Reset");
        quillclient::CommandRequest request = request_;
        request.reset.portNumber = static_cast<uint8_t>(t.port.number);
        request.device = t.device;
        request.loadFile = LoadOf(i);
        if (!serials_.empty()) Note(i, ">>Serial number: " + std::to_string(serials_[i]));
        if (!t.session->Start(request)) Finish(i, Verdict::Failed, "the connect could not be started");
    }

    int interruptsSeen = 0;
    Clock::time_point abortDeadline{};
    auto pending = [this] {
        return std::any_of(targets_.begin(), targets_.end(), [](const auto &t) { return !t->done; });
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
        for (auto &t : targets_)
            for (const uint32_t message : t->inbox->Take()) t->session->OnNotification(message);
        if (interrupted_ && Clock::now() >= abortDeadline) {
            for (size_t i = 0; i < targets_.size(); ++i)
                if (!targets_[i]->done) Finish(i, Verdict::Interrupted, "the abort was not confirmed");
            settled_ = false;
        }
        if (!interrupted_ && !AnyAt(Stage::Preparing) && AnyAt(Stage::PowerPrompt))
            AnswerPowerPrompt(interruptsSeen, guard);
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
    const bool recorded = RecordRuns();
    if (results_ != nullptr) {
        results_->clear();
        for (size_t i = 0; i < reports_.size(); ++i)
            results_->push_back({reports_[i].port, reports_[i].verdict, reports_[i].detail,
                                 serials_.empty() ? int64_t{-1} : serials_[i], rowWritten_[i]});
    }
    if (anyInterrupted) return kExitInterrupted;
    if (anyPort || !recorded) return kExitIo;
    return anyFailed ? kExitFailed : kExitOk;
}

namespace {
std::string Hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, v);
    return buf;
}
std::string HostName() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string("unknown");
}
int ExitCodeOf(Verdict v) {
    switch (v) {
    case Verdict::Ok: return kExitOk;
    case Verdict::PortProblem: return kExitIo;
    case Verdict::Interrupted: return kExitInterrupted;
    case Verdict::Failed:
    case Verdict::Pending: break;
    }
    return kExitFailed;
}
}  // namespace

int DeviceRun::PrepareSerials(const DeviceParameters &d) {
    const SerialSpec &s = job_.serialSpec;
    if (d.blockCount <= 0 || d.blockTable == nullptr) return Fail(kExitIo, job_.prmPath + ": no block table");
    const uint64_t last = uint64_t{s.address} + s.length - 1;
    const uint32_t flashEnd = d.blockTable[d.blockCount - 1].end;
    char where[96];
    std::snprintf(where, sizeof where, "%06X-%06llX", s.address, static_cast<unsigned long long>(last));
    if (last > flashEnd) {
        char end[16];
        std::snprintf(end, sizeof end, "%06X", flashEnd);
        return Fail(kExitUsage, std::string("--serial-number at ") + where + " is outside the device (000000-" + end + ")");
    }
    // The number must land wholly in what the range programs; auto-range
    // takes in the blocks of the patched image, so every address is in it.
    if (!job_.autoRange && (area_.mode & 0xFF) != PRR_AREA_CHIP) {
        const bool blocks = (area_.mode & 0xFF) == PRR_AREA_BLOCK;
        const RangeEntry *table = blocks ? d.blockTable : d.areaTable;
        const int32_t count = blocks ? d.blockCount : d.areaCount;
        const int32_t first = area_.first & 0xFF, lastIndex = area_.last & 0xFF;
        if (table == nullptr || first >= count || lastIndex >= count || first > lastIndex)
            return Fail(kExitUsage, "--range names no part of the device to hold the serial number");
        if (s.address < table[first].start || last > table[lastIndex].end) {
            char range[64];
            std::snprintf(range, sizeof range, "%06X-%06X", table[first].start, table[lastIndex].end);
            return Fail(kExitUsage, std::string("--serial-number at ") + where + " is not inside what --range programs (" +
                                        range + ")");
        }
    }
    for (size_t i = 1; i < targets_.size(); ++i) {
        LoadFileHandle *load = nullptr;
        const int code = ReadLoadFile(&load);
        if (load != nullptr) targetLoads_.push_back(load);
        if (code != kExitOk) return code;
    }
    std::string why;
    const std::string station = job_.station.empty() ? HostName() : job_.station;
    switch (store_->AllocateSerials(job_.serialStart, SerialCapacity(s), static_cast<int>(targets_.size()), station,
                                    &serials_, &why)) {
    case Allocation::Done: break;
    case Allocation::PastHighest:
        // Nothing was handed out: the next run with room for it gets the same number.
        return Fail(kExitUsage, "--serial-number: " + why + ", the most that fits in " + std::to_string(s.length) +
                                    " bytes at " + where + " (no number was handed out)");
    case Allocation::Failed: return Fail(kExitIo, "cannot allocate serial numbers: " + why);
    }
    for (size_t i = 0; i < targets_.size(); ++i) {
        std::vector<uint8_t> bytes;
        if (!EncodeSerial(s, serials_[i], &bytes))
            return Fail(kExitIo, "serial number " + std::to_string(serials_[i]) + " does not fit in " +
                                     std::to_string(s.length) + " bytes at " + where);
        if (PRRHexPatch(LoadOf(i), s.address, bytes.data(), static_cast<uint32_t>(bytes.size())) != 0)
            return Fail(kExitIo, "cannot write the serial number into the image");
    }
    return kExitOk;
}

int DeviceRun::OpenRecord() {
    if (!job_.record) return kExitOk;
    const std::string url = job_.dbUrl.empty() ? DefaultRecordUrl() : job_.dbUrl;
    std::string why;
    if (url.empty()) why = "no place for the record: set --db, HOME or XDG_DATA_HOME";
    else store_ = OpenRecordStore(url, &why);
    if (!store_)
        return Fail(kExitIo, "cannot record the run: " + why + " (no device was touched; --no-record runs without the record)");
    return kExitOk;
}


bool DeviceRun::RecordRuns() {
    rowWritten_.assign(targets_.size(), true);
    if (!store_) return true;
    bool all = true;
    const std::string station = job_.station.empty() ? HostName() : job_.station;
    for (size_t i = 0; i < targets_.size(); ++i) {
        const Target &t = *targets_[i];
        const TargetReport &rep = reports_[i];
        RunRow row;
        row.station = station;
        row.operatorName = job_.operatorName;
        row.startedUtc = t.startedUtc;
        row.endedUtc = UtcNow();
        row.portName = t.port.name;
        row.portPath = t.port.path;
        PRRAdapterInfo adapter{};
        if (!t.port.path.empty() && PRRPortAdapter(t.port.path.c_str(), &adapter) == 1)
            row.adapterSerial = FieldText(adapter.serial, sizeof adapter.serial);
        row.command = job_.commandName;
        row.options = job_.optionsText;
        row.prmPath = job_.prmPath;
        row.prmChecksum = prmChecksum_;
        row.loadPath = job_.loadPath;
        if (LoadFileHandle *load = LoadOf(i)) row.imageChecksum = Hex(load->imageChecksum, 4);
        if (!serials_.empty()) row.serialNumber = serials_[i];
        row.streamSha256 = t.streamSha256;
        row.deviceId = t.deviceId;
        row.deviceName = t.deviceName;
        row.deviceVersion = t.deviceVersion;
        row.finalStatus = t.outcomeKnown ? t.outcome.status : 0;
        row.statusText = rep.detail;
        if (t.outcomeKnown && t.outcome.checksumCompared) row.checksumCompare = t.outcome.checksumEqual ? "ok" : "error";
        row.result = rep.verdict == Verdict::Ok ? "ok" : rep.verdict == Verdict::PortProblem ? "port"
                     : rep.verdict == Verdict::Interrupted                                     ? "interrupted"
                                                                                                : "failed";
        row.exitCode = ExitCodeOf(rep.verdict);
        row.durationMs = static_cast<int64_t>(rep.seconds * 1000.0 + 0.5);
        row.bytesProgrammed = t.outcomeKnown && t.outcome.programmed ? streamBytes_ : 0;
        row.log = t.logText;
        std::string why;
        if (!store_->WriteRun(&row, &why)) {
            *ctx_.err << "quillrom: " << t.port.name << ": the run is not recorded: " << why << '\n';
            all = rowWritten_[i] = false;
        }
    }
    return all;
}

void DeviceRun::AnswerPowerPrompt(int interruptsSeen, InterruptGuard &guard) {
    const bool go = AskPowerCycle();
    const bool interruptedHere = guard.count() > interruptsSeen;
    for (size_t i = 0; i < targets_.size(); ++i) {
        Target &t = *targets_[i];
        if (t.done || t.session->stage() != Stage::PowerPrompt) continue;
        t.promptVerdict = interruptedHere ? Verdict::Interrupted : Verdict::Failed;
        t.promptDetail = interruptedHere ? "interrupted at the power prompt"
                                         : "no answer to the power prompt (standard input closed)";
        t.session->AnswerPowerPrompt(go);
    }
    if (interruptedHere) interrupted_ = true;
}

void DeviceRun::OnRecord(size_t i, const ProgressRecord &r) {
    Target &t = *targets_[i];
    TargetReport &rep = reports_[i];
    t.lastRecord = r;
    const std::string text = FieldText(r.text, sizeof r.text);
    if (!text.empty()) Log(i, text);  // the connect's last record has none; "connected." is noted instead
    if (r.state == PRR_STATE_SIGNATURE) NoteIdentity(t, text);
    if (r.state >= PRR_STATE_CONNECT && r.state <= PRR_STATE_SIGNATURE && r.state != t.phaseState) {
        t.phaseState = r.state;
        t.phaseStart = Clock::now();
    }
    if (!t.done) {
        if (r.state != PRR_STATE_IDLE) rep.state = r.state;
        rep.percent = r.percent;
        if (!text.empty()) rep.text = text;
    }
    view_->Record(reports_, i, r);
}

// The record names the device as its signature read showed it, the name
// masked where the parameter file masks it.
void DeviceRun::NoteIdentity(Target &t, const std::string &line) {
    auto after = [&line](const char *label) {
        const size_t n = std::strlen(label);
        if (line.compare(0, n, label) != 0) return std::string();
        const size_t from = line.find_first_not_of(' ', n);
        return from == std::string::npos ? std::string() : line.substr(from);
    };
    if (std::string id = after("ID:"); !id.empty()) {
        t.deviceId.clear();
        for (size_t at = id.find("0x"); at != std::string::npos; at = id.find("0x", at + 2))
            t.deviceId += id.substr(at + 2, 2);
    } else if (std::string name = after("NAME:"); !name.empty()) {
        t.deviceName = name;
    } else if (std::string version = after("F/W    Ver.:"); !version.empty()) {
        t.deviceVersion = version;
    }
}

void DeviceRun::OnIssuing(size_t i) {
    // The connect's final record, the last before its end, names the device.
    const std::string name = FieldText(targets_[i]->lastRecord.deviceName, sizeof targets_[i]->lastRecord.deviceName);
    Note(i, name.empty() ? std::string("connected.") : "connected: " + name);
    Note(i, CommandTitle(job_.command));
}

// The detail of a failure is the line that reported it: the status text, or
// the command's last line for the verdicts a command reports without a status.
void DeviceRun::OnFinished(size_t i, const RunResult &result) {
    Target &t = *targets_[i];
    if (t.done) return;  // given up on already
    const PRROutcome &o = result.outcome;
    t.outcome = o;
    t.outcomeKnown = true;
    const std::string &lastLine = reports_[i].text;
    switch (result.stage) {
    case Stage::Preparing:
        if (o.status != PRR_STATUS_OK) return FailRequest(i, o.status, true);
        return Finish(i, Verdict::Interrupted, "interrupted before the connect");
    case Stage::PowerPrompt:
        return Finish(i, t.promptVerdict, t.promptDetail);
    case Stage::Connecting:
        if (o.aborted) return Finish(i, Verdict::Interrupted, lastLine);
        if (o.status != PRR_STATUS_OK) return FailRequest(i, o.status, true);
        if (!o.connected) return Finish(i, Verdict::Failed, "the connect ended without reaching the device");
        return Finish(i, Verdict::Interrupted, "interrupted after the connect");
    case Stage::Running:
        if (o.aborted) return Finish(i, Verdict::Interrupted, lastLine);
        if (o.status != PRR_STATUS_OK) return FailRequest(i, o.status, false);
        if (o.checksumCompared && !o.checksumEqual) return Finish(i, Verdict::Failed, lastLine);
        if (o.notBlank && job_.command == DeviceCommand::BlankCheck) return Finish(i, Verdict::Failed, lastLine);
        return Finish(i, Verdict::Ok, lastLine);
    case Stage::Idle:
        break;
    }
}

void DeviceRun::FailRequest(size_t i, int32_t status, bool opening) {
    const Target &t = *targets_[i];
    if (opening && (status == PRR_STATUS_COM_OPEN || status == PRR_STATUS_COM_SETTING)) {
        const PortProbe probe = ProbePort(t.port);
        std::string detail = DescribePortFault(probe);
        if (status == PRR_STATUS_COM_SETTING && probe.fault == PortFault::Unexplained)
            detail = t.port.name + (t.port.path.empty() ? "" : " (" + t.port.path + ")") +
                     ": the port opened, but its line settings could not be set";
        Finish(i, Verdict::PortProblem, detail);
        return;
    }
    Finish(i, Verdict::Failed, PRRStatusText(status));
}

void DeviceRun::Finish(size_t i, Verdict v, const std::string &detail) {
    Target &t = *targets_[i];
    t.done = true;
    TargetReport &r = reports_[i];
    r.verdict = v;
    r.detail = detail;
    r.rate = r.eta = r.byteMs = -1;
    r.seconds = std::chrono::duration<double>(Clock::now() - t.start).count();
}

// First Ctrl+C: abort what runs, let waiting targets go.
void DeviceRun::Interrupt() {
    interrupted_ = true;
    for (size_t i = 0; i < targets_.size(); ++i) {
        Target &t = *targets_[i];
        if (t.done) continue;
        switch (t.session->stage()) {
        case Stage::PowerPrompt:
            t.promptVerdict = Verdict::Interrupted;
            t.promptDetail = "interrupted before the connect";
            break;
        case Stage::Connecting:
        case Stage::Running:
            Note(i, ">>ABORT");
            break;
        case Stage::Preparing:  // ends by itself at once; no connect follows it
        case Stage::Idle:
            break;
        }
        t.session->Abort();
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
        r.byteMs = -1;
        // Once pages are timed, the rate is the adapter's true one: the
        // first page's share of the elapsed time no longer skews it.
        PRRLinkInfo link{};
        if (r.state == PRR_STATE_PROGRAM && streamBytes_ > 0 && t.session != nullptr &&
            PRRFlshGetLinkInfo(t.session->handle(), &link) == 0 && link.measuredBytes > 0 && link.microsPerDataByte > 0) {
            r.rate = 1e6 / link.microsPerDataByte;
            r.byteMs = link.microsPerDataByte / 1000.0;
            if (r.percent < 100) r.eta = streamBytes_ * ((100 - r.percent) / 100.0) * link.microsPerDataByte / 1e6;
        }
    }
}

void DeviceRun::Log(size_t i, const std::string &line) {
    std::string &own = targets_[i]->logText;
    if (store_) own += (own.empty() ? "" : "\n") + line;
    if (job_.logPath.empty()) return;
    // The writer takes 255 characters; keep the line end inside them.
    const std::string prefix = targets_.size() > 1 ? targets_[i]->port.name + ": " : std::string();
    const int room = static_cast<int>(254 - prefix.size());
    PRRLogWrite(job_.logPath.c_str(), "%s%.*s\n", prefix.c_str(), room, line.c_str());
}

void DeviceRun::Release() {
    for (auto &t : targets_) t->session.reset();
    // A worker that did not stop in time still reads the parameter record
    // and the load image, and posts to its inbox; the process ends soon, so
    // leave them to it.
    if (!settled_) {
        for (auto &t : targets_) (void)t->inbox.release();
        return;
    }
    for (auto &t : targets_) PRRFreePRM(t->device);
    PRRHexClose(load_);
    for (LoadFileHandle *load : targetLoads_) PRRHexClose(load);
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
    case DeviceCommand::Autoprocedure: return ">>COMMAND: AutoProcedure(Epv)";
    }
    return "";
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

int RunDeviceJob(const DeviceJob &job, CliContext &ctx, std::vector<TargetResult> *results) {
    if (results != nullptr) results->clear();
    DeviceRun run(job, ctx, results);
    return run.Run();
}

}  // namespace quillcli
