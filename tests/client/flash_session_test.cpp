// FlashSession against the virtual target: the order of the connect's two
// requests and the power prompt between them, the end of a connect that
// fails, several commands on one handle, and outcomes that agree with the
// records they close.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/flash_session.h"
#include "client/notification_queue.h"
#include "client/verdict.h"
#include "e2e/image_files.h"
#include "sim/virtual_target.h"

namespace {

using namespace quillclient;

constexpr uint32_t kIdle = 2030;  // the test's end-of-command notice
constexpr int kPort = 61;
const std::string kPrm = std::string(QUILLROM_SAMPLES_DIR) + "/demo.prm";

// The library's step waits (the 2 s of every connect) run this much faster;
// serial time-outs stay real.
uint32_t FastTick() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() * 50);
}

// The line to the target: a pty with a COM alias, or a port the library
// serves in this process (as the demo runs on Windows).
enum class Line { Pty, Served };
void PrintTo(Line line, std::ostream *os) { *os << (line == Line::Pty ? "pty" : "served"); }

// One session on a virtual target, driven from the test thread. `trace`
// holds what happened in order: "rec:<text>", "prompt", "issue", "end".
class SessionTest : public ::testing::TestWithParam<Line> {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quill-clientXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        aliasDir_ = tmpl;
        ::setenv("QUILLROM_PORTS_DIR", aliasDir_.c_str(), 1);
        PRRSetTickSourceForTesting(FastTick);
        device_ = PRRReadPRM(kPrm.c_str(), 0);
        ASSERT_NE(device_, nullptr);
    }
    void TearDown() override {
        session_.reset();
        sim_.reset();
        for (LoadFileHandle *f : loads_) PRRHexClose(f);
        PRRFreePRM(device_);
        PRRSetTickSourceForTesting(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(aliasDir_, ec);
    }

    quillsim::VirtualTarget &StartTarget() {
        sim_ = std::make_unique<quillsim::VirtualTarget>(kPrm);
        if (GetParam() == Line::Served) {
            sim_->serve(kPort);
        } else {
            sim_->start();
            sim_->registerAlias(kPort, aliasDir_);
        }
        return *sim_;
    }

    void Open(bool connectAfterFailedPrepare = false) {
        SessionConfig config;
        config.window = inbox_.window();
        config.idleMessage = kIdle;
        config.connectAfterFailedPrepare = connectAfterFailedPrepare;
        SessionEvents events;
        events.record = [this](const ProgressRecord &r) {
            records_.push_back(r);
            trace_.push_back("rec:" + std::string(r.text));
        };
        events.powerPrompt = [this] {
            trace_.push_back("prompt");
            return promptAnswer_;
        };
        events.issuing = [this](Command) { trace_.push_back("issue"); };
        events.finished = [this](const RunResult &r) {
            trace_.push_back("end");
            results_.push_back(r);
        };
        session_ = std::make_unique<FlashSession>(config, std::move(events));
        ASSERT_NE(session_->handle(), nullptr);
    }

    CommandRequest Request(Command command, bool powerPrompt = false) {
        CommandRequest r;
        r.command = command;
        r.reset.frequency = device_->typeSet7;
        r.reset.multiplier = device_->typeSet2;
        r.reset.portNumber = kPort;
        r.reset.powerCycleMode = powerPrompt ? PRR_POWER_PROMPT_ON : PRR_POWER_PROMPT_OFF;
        r.device = device_;
        r.area = AreaRecord{PRR_AREA_CHIP, device_->typeSet11, device_->typeSet12, 0, 0};
        return r;
    }

    // Passes notifications on until `done` holds; false after 60 s without it.
    template <class Done>
    bool Pump(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            for (uint32_t m : inbox_.WaitAndTake(std::chrono::milliseconds(200))) session_->OnNotification(m);
        }
        return true;
    }
    // Starts `request` and runs it to its end; the run's result.
    RunResult Run(const CommandRequest &request) {
        const size_t before = results_.size();
        EXPECT_TRUE(session_->Start(request));
        EXPECT_TRUE(Pump([&] { return results_.size() > before; })) << "the run did not end";
        return results_.empty() ? RunResult{} : results_.back();
    }

    LoadFileHandle *Load(uint32_t start, uint32_t length) {
        const std::string path = aliasDir_ + "/image" + std::to_string(loads_.size()) + ".hex";
        quilltest::ImageMap image;
        for (uint32_t a = start; a < start + length; ++a) image[a] = static_cast<uint8_t>(a * 7);
        std::mt19937 rng(length);
        EXPECT_TRUE(quilltest::WriteText(path, quilltest::IntelHex(image, rng, "\n")));
        // The inbox lives as long as the handle that posts to it.
        loadInboxes_.push_back(std::make_unique<NotificationQueue>());
        NotificationQueue &loadInbox = *loadInboxes_.back();
        LoadFileHandle *h = PRRHexOpen(path.c_str(), loadInbox.window(), PRR_MSG_LOADFILE_RECORD, nullptr);
        EXPECT_NE(h, nullptr);
        if (h == nullptr) return nullptr;
        loads_.push_back(h);
        for (bool done = false; !done;) {
            const auto messages = loadInbox.WaitAndTake(std::chrono::seconds(20));
            EXPECT_FALSE(messages.empty()) << "the load file did not finish";
            if (messages.empty()) break;
            for (size_t i = 0; i < messages.size() && !done; ++i) done = PRRHexGetProg(h)->state == PRR_LOAD_STATE_DONE;
        }
        EXPECT_EQ(h->readState, PRR_LOAD_READY);
        return h;
    }

    size_t IndexOf(const std::string &entry) const {
        for (size_t i = 0; i < trace_.size(); ++i)
            if (trace_[i] == entry) return i;
        return trace_.size();
    }
    std::string Trace() const {
        std::string s;
        for (const auto &t : trace_) s += "  " + t + "\n";
        return s;
    }

    std::string aliasDir_;
    std::unique_ptr<quillsim::VirtualTarget> sim_;
    DeviceParameters *device_ = nullptr;
    std::vector<std::unique_ptr<NotificationQueue>> loadInboxes_;  // closed after loads_ (TearDown)
    std::vector<LoadFileHandle *> loads_;
    NotificationQueue inbox_;
    std::unique_ptr<FlashSession> session_;
    PowerAnswer promptAnswer_ = PowerAnswer::Continue;
    std::vector<ProgressRecord> records_;
    std::vector<std::string> trace_;
    std::vector<RunResult> results_;
};

// Prepare, then the prompt, then the connect, then the command: each only
// once the one before has ended.
TEST_P(SessionTest, PrepareThenPromptThenConnectThenCommand) {
    StartTarget();
    Open();
    const RunResult r = Run(Request(Command::Erase, true));
    const size_t prepared = IndexOf("rec:OK."), prompt = IndexOf("prompt"),
                 handshake = IndexOf("rec:sending reset command..."), issue = IndexOf("issue"),
                 erasing = IndexOf("rec:Flash Erasing...");
    EXPECT_EQ(IndexOf("rec:Flash Resetting..."), 0u) << Trace();
    EXPECT_LT(prepared, prompt) << Trace();
    EXPECT_LT(prompt, handshake) << Trace();
    EXPECT_LT(handshake, issue) << Trace();
    EXPECT_LT(issue, erasing) << Trace();
    EXPECT_EQ(trace_.back(), "end") << Trace();
    EXPECT_EQ(r.stage, Stage::Running);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(r.outcome.message, PRR_MSG_ERASE);
    EXPECT_EQ(r.outcome.status, PRR_STATUS_OK);
    EXPECT_EQ(r.outcome.erased, 1);
    EXPECT_FALSE(session_->running());
}

// Every way of not going on at the prompt ends the run before the second
// reset: nothing reaches the device and the port is given back.
TEST_P(SessionTest, StoppingAtThePowerPromptSendsNoHandshake) {
    struct Way {
        const char *name;
        PowerAnswer answer;
        void (*after)(FlashSession &);  // what the caller does once the prompt is out
    } ways[] = {
        {"cancel", PowerAnswer::Cancel, nullptr},
        {"cancel later", PowerAnswer::Later, [](FlashSession &s) { s.AnswerPowerPrompt(false); }},
        {"abort while waiting", PowerAnswer::Later, [](FlashSession &s) { s.Abort(); }},
    };
    quillsim::VirtualTarget &sim = StartTarget();
    Open();
    for (const Way &w : ways) {
        SCOPED_TRACE(w.name);
        trace_.clear();
        results_.clear();
        promptAnswer_ = w.answer;
        ASSERT_TRUE(session_->Start(Request(Command::Signature, true)));
        ASSERT_TRUE(Pump([&] { return session_->stage() == Stage::PowerPrompt || !results_.empty(); })) << Trace();
        if (w.after) w.after(*session_);
        ASSERT_EQ(results_.size(), 1u) << Trace();
        EXPECT_EQ(results_[0].stage, Stage::PowerPrompt);
        EXPECT_TRUE(results_[0].stopped);
        EXPECT_EQ(IndexOf("issue"), trace_.size()) << Trace();
        EXPECT_EQ(session_->handle()->port, PRR_INVALID_PORT);
        EXPECT_FALSE(session_->running());
    }
    EXPECT_EQ(sim.framesReceived(), 0u);
    // The session is usable again, and a prompt answered before the prepare
    // has ended is kept for it.
    trace_.clear();
    results_.clear();
    promptAnswer_ = PowerAnswer::Later;
    ASSERT_TRUE(session_->Start(Request(Command::Signature, true)));
    session_->AnswerPowerPrompt(true);
    ASSERT_TRUE(Pump([&] { return !results_.empty(); })) << Trace();
    ASSERT_EQ(results_.size(), 1u) << Trace();
    EXPECT_EQ(results_.back().outcome.signatureRead, 1) << Trace();
}

// A connect that fails never issues the pending command and gives the port back.
TEST_P(SessionTest, FailedConnectEndsTheRunAndClosesThePort) {
    quillsim::VirtualTarget &sim = StartTarget();
    ASSERT_TRUE(sim.addFault("silence:after=0"));
    Open();
    const RunResult r = Run(Request(Command::Erase));
    EXPECT_EQ(r.stage, Stage::Connecting) << Trace();
    EXPECT_NE(r.outcome.status, PRR_STATUS_OK);
    EXPECT_EQ(r.outcome.connected, 0);
    EXPECT_EQ(r.outcome.resetPhase, PRR_RESET_CONNECT);
    EXPECT_EQ(IndexOf("issue"), trace_.size()) << Trace();
    EXPECT_EQ(std::string(records_.back().text), PRRStatusText(r.outcome.status));
    EXPECT_EQ(session_->handle()->port, PRR_INVALID_PORT);

    // With a device that answers, the same session opens the port again,
    // connects and erases.
    StartTarget();
    trace_.clear();
    const RunResult again = Run(Request(Command::Erase));
    EXPECT_EQ(again.stage, Stage::Running) << Trace();
    EXPECT_EQ(again.outcome.erased, 1) << Trace();
}

// A port that cannot be opened fails the prepare: the run ends there unless
// the caller asks for the connect anyway.
TEST_P(SessionTest, FailedPrepareEndsTheRunUnlessTheConnectIsWanted) {
    for (const bool connectAnyway : {false, true}) {
        SCOPED_TRACE(connectAnyway ? "connect anyway" : "stop");
        std::filesystem::create_symlink(aliasDir_ + "/nothing", aliasDir_ + "/COM61");
        Open(connectAnyway);
        trace_.clear();
        const RunResult r = Run(Request(Command::Erase, true));
        EXPECT_EQ(trace_.front(), "rec:" + std::string(PRRStatusText(PRR_STATUS_COM_OPEN))) << Trace();
        EXPECT_EQ(r.stage, connectAnyway ? Stage::Connecting : Stage::Preparing) << Trace();
        EXPECT_EQ(r.outcome.resetPhase, connectAnyway ? PRR_RESET_CONNECT : PRR_RESET_PREPARE);
        EXPECT_EQ(IndexOf("prompt") < trace_.size(), connectAnyway) << Trace();
        EXPECT_EQ(IndexOf("issue"), trace_.size()) << Trace();
        std::filesystem::remove(aliasDir_ + "/COM61");
    }
}

// Commands one after another on one session; each outcome is that command's
// and agrees with the records that reported it.
TEST_P(SessionTest, EachCommandGetsItsOwnOutcome) {
    quillsim::VirtualTarget &sim = StartTarget();
    Open();
    CommandRequest program = Request(Command::Program);
    program.area = AreaRecord{PRR_AREA_BLOCK, 0, 0, 0, 0};
    program.loadFile = Load(0, 0x400);
    ASSERT_NE(program.loadFile, nullptr);
    EXPECT_EQ(Run(program).outcome.programmed, 1) << Trace();

    CommandRequest blank = Request(Command::BlankCheck);
    blank.area = program.area;
    RunResult r = Run(blank);
    EXPECT_EQ(r.outcome.message, PRR_MSG_BLANK_CHECK);
    EXPECT_EQ(r.outcome.blankChecked, 1);
    EXPECT_EQ(r.outcome.notBlank, 1);

    CommandRequest checksum = program;
    checksum.command = Command::Checksum;
    r = Run(checksum);
    EXPECT_EQ(r.outcome.checksumCompared, 1);
    EXPECT_EQ(r.outcome.checksumEqual, 1);

    sim.flipBit(0x123, 2);
    records_.clear();
    r = Run(checksum);
    EXPECT_EQ(r.outcome.message, PRR_MSG_CHECKSUM);
    EXPECT_EQ(r.outcome.checksumCompared, 1);
    EXPECT_EQ(r.outcome.checksumEqual, 0);
    EXPECT_NE(r.outcome.deviceChecksum, r.outcome.fileChecksum);
    // The sums the outcome gives are the ones the records showed.
    char device[64], file[64];
    std::snprintf(device, sizeof device, "DEVICE CHECK SUM: [%04X]", r.outcome.deviceChecksum);
    std::snprintf(file, sizeof file, "FILE CHECK SUM: [%04X]", r.outcome.fileChecksum);
    size_t seen = 0;
    for (const ProgressRecord &rec : records_) seen += std::string(rec.text) == device || std::string(rec.text) == file;
    EXPECT_EQ(seen, 2u) << Trace();
}

// An abort ends the command and the run; the session takes the next one.
TEST_P(SessionTest, AbortEndsTheCommandAndTheNextRunWorks) {
    quillsim::VirtualTarget &sim = StartTarget();
    sim.setPacingBaud(115200);  // slow enough to be caught programming
    Open();
    CommandRequest program = Request(Command::Program);
    program.loadFile = Load(0, 0x4000);
    ASSERT_NE(program.loadFile, nullptr);
    ASSERT_TRUE(session_->Start(program));
    ASSERT_TRUE(Pump([&] { return !records_.empty() && records_.back().state == PRR_STATE_PROGRAM; })) << Trace();
    session_->Abort();
    session_->Abort();  // a second abort is not sent again
    ASSERT_TRUE(Pump([&] { return !results_.empty(); })) << Trace();
    EXPECT_EQ(results_[0].stage, Stage::Running);
    EXPECT_TRUE(results_[0].stopped);
    EXPECT_EQ(results_[0].outcome.aborted, 1) << Trace();

    sim.setPacingBaud(0);
    const RunResult r = Run(Request(Command::Signature));
    EXPECT_EQ(r.stage, Stage::Running) << Trace();
    EXPECT_EQ(r.outcome.message, PRR_MSG_SIGNATURE);
    EXPECT_EQ(r.outcome.signatureRead, 1) << Trace();
}

// An abort that reaches the worker only after the command has ended runs as
// a command of its own; its end is not taken for a part of the next run.
TEST_P(SessionTest, LateAbortDoesNotEndTheNextRun) {
    StartTarget();
    Open();
    ASSERT_TRUE(session_->Start(Request(Command::Signature)));
    ASSERT_TRUE(Pump([&] { return session_->stage() == Stage::Running; })) << Trace();
    // Hold the notices back until the command's end is among them: the
    // worker is idle then, while the session still believes it runs.
    std::vector<uint32_t> held;
    auto waitForIdles = [&](long n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::count(held.begin(), held.end(), kIdle) < n && std::chrono::steady_clock::now() < deadline)
            for (uint32_t m : inbox_.WaitAndTake(std::chrono::milliseconds(200))) held.push_back(m);
        return std::count(held.begin(), held.end(), kIdle) >= n;
    };
    ASSERT_TRUE(waitForIdles(1));
    session_->Abort();
    ASSERT_TRUE(waitForIdles(2));  // the abort's own end
    // Pass on everything up to the command's end, and start the next run
    // before the abort's notices.
    size_t i = 0;
    while (i < held.size() && results_.empty()) session_->OnNotification(held[i++]);
    ASSERT_EQ(results_.size(), 1u) << Trace();
    EXPECT_TRUE(results_[0].stopped);
    EXPECT_EQ(results_[0].outcome.aborted, 1);  // the abort's outcome stands for the command it overtook
    ASSERT_TRUE(session_->Start(Request(Command::Signature)));
    for (; i < held.size(); ++i) session_->OnNotification(held[i]);
    ASSERT_TRUE(Pump([&] { return results_.size() == 2; })) << Trace();
    EXPECT_EQ(results_[1].stage, Stage::Running) << Trace();
    EXPECT_EQ(results_[1].outcome.signatureRead, 1) << Trace();
}

// A target whose line goes in the middle of programming ends the run with a
// port error at once; once the port is closed, the next target on the same
// number works.
TEST_P(SessionTest, LineThatGoesMidProgramEndsTheRun) {
    quillsim::VirtualTarget &sim = StartTarget();
    ASSERT_TRUE(sim.addFault("vanish:after=12"));
    Open();
    CommandRequest program = Request(Command::Program);
    program.loadFile = Load(0, 0x2000);
    ASSERT_NE(program.loadFile, nullptr);
    const RunResult r = Run(program);
    EXPECT_TRUE(sim.vanished());
    EXPECT_EQ(r.stage, Stage::Running) << Trace();
    EXPECT_EQ(r.outcome.programmed, 0) << Trace();
    EXPECT_TRUE(r.outcome.status == PRR_STATUS_COM_READ || r.outcome.status == PRR_STATUS_COM_WRITE) << r.outcome.status;

    EXPECT_EQ(PRRFlshClosePort(session_->handle()), 0);
    StartTarget();
    EXPECT_EQ(Run(Request(Command::Signature)).outcome.signatureRead, 1) << Trace();
}

INSTANTIATE_TEST_SUITE_P(Lines, SessionTest, ::testing::Values(Line::Pty, Line::Served),
                         [](const ::testing::TestParamInfo<Line> &i) { return i.param == Line::Pty ? "Pty" : "Served"; });

// A number is served once, and only in 1..255; a stopped one may be served again.
TEST(ServedPortTest, ServedOnceAndOnlyInRange) {
    const PRRServedDevice device{nullptr, [](void *, const uint8_t *, uint32_t) {}, nullptr};
    const PRRServedDevice deaf{nullptr, nullptr, nullptr};
    EXPECT_EQ(PRRServePort(0, &device), PRR_STATUS_COM_OPEN);
    EXPECT_EQ(PRRServePort(256, &device), PRR_STATUS_COM_OPEN);
    EXPECT_EQ(PRRServePort(kPort, nullptr), PRR_STATUS_COM_OPEN);
    EXPECT_EQ(PRRServePort(kPort, &deaf), PRR_STATUS_COM_OPEN);
    {
        quillsim::VirtualTarget sim(kPrm);
        sim.serve(kPort);
        EXPECT_EQ(PRRServePort(kPort, &device), PRR_STATUS_COM_OPEN);
        quillsim::VirtualTarget second(kPrm);
        EXPECT_THROW(second.serve(kPort), std::runtime_error);
        EXPECT_EQ(PRRServedPortPending(kPort), 0);
    }
    EXPECT_EQ(PRRServedPortPending(kPort), -1);
    EXPECT_EQ(PRRServedPortSend(kPort, nullptr, 0), PRR_STATUS_COM_WRITE);
    EXPECT_EQ(PRRStopServingPort(kPort), PRR_STATUS_COM_OPEN);
    EXPECT_EQ(PRRServePort(kPort, &device), 0);
    EXPECT_EQ(PRRStopServingPort(kPort), 0);
}

// The verdict from the stage a run ended in and what the library says of
// it; the first rule that fits decides, so the order matters.
TEST(VerdictTest, StageAndOutcomeDecide) {
    const auto outcome = [](auto set) {
        PRROutcome o{};
        set(o);
        return o;
    };
    const PortChoice port{61, "COM61", "/nonexistent/quill-tty"};
    const PromptEnd interrupted{Verdict::Interrupted, "interrupted at the power prompt"};
    struct Case {
        const char *what;
        Stage stage;
        PRROutcome outcome;
        Command command;
        Verdict verdict;
        std::string detail;
        PromptEnd prompt = PromptEnd();
    } cases[] = {
        {"prepare failed to open", Stage::Preparing, outcome([](PRROutcome &o) { o.status = PRR_STATUS_COM_OPEN; }),
         Command::Program, Verdict::PortProblem, "COM61"},
        {"prepare ended by a stop", Stage::Preparing, {}, Command::Program, Verdict::Interrupted,
         "interrupted before the connect"},
        {"prompt left unanswered", Stage::PowerPrompt, {}, Command::Program, Verdict::Failed,
         "no answer to the power prompt (standard input closed)"},
        {"prompt interrupted", Stage::PowerPrompt, {}, Command::Program, Verdict::Interrupted,
         "interrupted at the power prompt", interrupted},
        {"connect aborted, status set too", Stage::Connecting,
         outcome([](PRROutcome &o) { o.aborted = 1, o.status = PRR_STATUS_READ_TIMEOUT; }), Command::Erase,
         Verdict::Interrupted, "last line"},
        {"connect timed out", Stage::Connecting, outcome([](PRROutcome &o) { o.status = PRR_STATUS_READ_TIMEOUT; }),
         Command::Erase, Verdict::Failed, PRRStatusText(PRR_STATUS_READ_TIMEOUT)},
        {"connect never reached the device", Stage::Connecting, {}, Command::Erase, Verdict::Failed,
         "the connect ended without reaching the device"},
        {"stopped after the connect", Stage::Connecting, outcome([](PRROutcome &o) { o.connected = 1; }),
         Command::Erase, Verdict::Interrupted, "interrupted after the connect"},
        {"command failed", Stage::Running, outcome([](PRROutcome &o) { o.status = PRR_STATUS_VERIFY; }),
         Command::Verify, Verdict::Failed, PRRStatusText(PRR_STATUS_VERIFY)},
        {"a port error while running is no port problem", Stage::Running,
         outcome([](PRROutcome &o) { o.status = PRR_STATUS_COM_OPEN; }), Command::Verify, Verdict::Failed,
         PRRStatusText(PRR_STATUS_COM_OPEN)},
        {"checksums differ", Stage::Running, outcome([](PRROutcome &o) { o.checksumCompared = 1; }),
         Command::Checksum, Verdict::Failed, "last line"},
        {"not blank for blank-check", Stage::Running, outcome([](PRROutcome &o) { o.notBlank = 1; }),
         Command::BlankCheck, Verdict::Failed, "last line"},
        {"not blank is no failure of an erase", Stage::Running, outcome([](PRROutcome &o) { o.notBlank = 1; }),
         Command::Erase, Verdict::Ok, "last line"},
        {"checksums equal", Stage::Running,
         outcome([](PRROutcome &o) { o.checksumCompared = 1, o.checksumEqual = 1; }), Command::Program, Verdict::Ok,
         "last line"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Judgement j = Judge(RunResult{c.stage, false, c.outcome}, c.command, "last line", port, c.prompt);
        EXPECT_EQ(j.verdict, c.verdict);
        EXPECT_NE(j.detail.find(c.detail), std::string::npos) << j.detail;
    }
    // A gang: an interrupt before a port problem or a lost row before a failure.
    const Verdict gang[] = {Verdict::Ok, Verdict::Failed, Verdict::PortProblem};
    EXPECT_EQ(GangExitCode(gang, 3, true), kExitIo);
    EXPECT_EQ(GangExitCode(gang, 2, true), kExitFailed);
    EXPECT_EQ(GangExitCode(gang, 1, false), kExitIo);
    const Verdict stopped[] = {Verdict::Failed, Verdict::Interrupted};
    EXPECT_EQ(GangExitCode(stopped, 2, false), kExitInterrupted);
}

}  // namespace
