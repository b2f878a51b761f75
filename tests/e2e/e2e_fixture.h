// A flash handle talking to a virtual target through a COM alias, with the
// helpers the end-to-end suites share: connect, run a command to its end,
// compare whole record transcripts, read the command's outcome. Only the
// public header is used: these suites run the library as it ships.
#pragma once
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/record_collector.h"
#include "quillctl.h"
#include "sim/virtual_target.h"

namespace quilltest {

inline std::string SamplePath(const char *name) { return std::string(QUILLROM_SAMPLES_DIR) + "/" + name; }

// Time runs this much faster for the library's step waits (the 2 s connect
// wait and the device wait times); serial read time-outs stay real.
constexpr uint32_t kFastClock = 50;
// The worker posts this to the window once a command has finished.
constexpr uint32_t kIdleMessage = 3100;
inline uint32_t FastTick() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() *
                                 kFastClock);
}

// One expected record: text, state, status, percent, total.
struct Line {
    std::string text;
    int32_t state;
    int32_t status;
    uint32_t percent;
    int32_t total = 100;
};

inline bool operator==(const Rec &r, const Line &l) {
    return r.text == l.text && r.state == l.state && r.status == l.status && r.percent == l.percent &&
           r.total == l.total;
}

inline std::string Show(const std::vector<Rec> &recs) {
    std::string s;
    char buf[400];
    for (const auto &r : recs) {
        std::snprintf(buf, sizeof buf, "  {\"%s\", %d, %d, %u, %d}\n", r.text.c_str(), r.state, r.status, r.percent,
                      r.total);
        s += buf;
    }
    return s;
}

inline void ExpectTranscript(const std::vector<Rec> &got, const std::vector<Line> &want) {
    bool same = got.size() == want.size();
    for (size_t i = 0; same && i < got.size(); ++i) same = got[i] == want[i];
    EXPECT_TRUE(same) << "records:\n" << Show(got);
}

// The outcome of a command that failed with `status` in the sequence of `endState`.
inline void ExpectFailed(const PRROutcome &o, int32_t status, int32_t endState) {
    EXPECT_EQ(o.status, status);
    EXPECT_EQ(o.endState, endState);
    EXPECT_EQ(o.connected + o.erased + o.programmed + o.verified + o.checksumCompared + o.securitySet + o.signatureRead,
              0)
        << "a failed command reached none of its goals";
}

inline bool Contains(const std::vector<Rec> &recs, const std::string &text) {
    for (const auto &r : recs)
        if (r.text == text) return true;
    return false;
}

class Target {
public:
    // A virtual target for `prm` (a parameter-file path) on COM<port> in `aliasDir`.
    Target(const std::string &prm, int port, const std::string &aliasDir) : sim(prm) {
        sim.start();
        sim.registerAlias(port, aliasDir);
    }
    explicit Target(quillsim::SimConfig config, int port, const std::string &aliasDir) : sim(std::move(config)) {
        sim.start();
        sim.registerAlias(port, aliasDir);
    }
    quillsim::VirtualTarget sim;
};

// A flash handle with its record collector.
class Host {
public:
    Host(const std::string &prmPath, int port) {
        device = PRRReadPRM(prmPath.c_str(), 0);
        EXPECT_NE(device, nullptr) << prmPath;
        counter.SetIdleMessage(kIdleMessage);
        h = PRRFlshOpen(counter.window(), PRR_MSG_FLASH_RECORD, "e2e");
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(PRRFlshSetIdleMessage(h, kIdleMessage), 0);
        reset.frequency = device ? device->typeSet7 : 8.0;
        reset.multiplier = device ? device->typeSet2 : 1.0;
        reset.portNumber = static_cast<uint8_t>(port);
        reset.commandOptions = 0;
        reset.securityFlags = 0;
        area = AreaRecord{PRR_AREA_CHIP, 0, 0, 0, 0};
    }
    ~Host() {
        PRRFlshClose(h);
        PRRFreePRM(device);
        for (auto &l : loads) PRRHexClose(l.file);
    }

    // Records of everything the worker has announced since the last call,
    // once `commands` more commands have finished; `outcome` then holds the
    // last one's outcome.
    std::vector<Rec> Finish(uint64_t commands = 1, uint32_t timeoutMs = 60000) {
        target_ += commands;
        const bool finished = counter.WaitForIdle(target_, std::chrono::milliseconds(timeoutMs));
        EXPECT_TRUE(finished) << "command did not finish";
        // The idle notice follows the command's last record, so every record
        // of it has been announced by now.
        std::vector<Rec> out;
        const uint64_t announced = counter.count();
        Rec r{};
        while (records.fetched() < announced && records.Next(h, r)) out.push_back(r);
        outcome = Outcome();
        if (finished) {
            EXPECT_EQ(outcome.sequenceNumber, target_) << "one sequence number per finished command";
        }
        return out;
    }

    PRROutcome Outcome() {
        PRROutcome o{};
        EXPECT_EQ(PRRFlshGetOutcome(h, &o), 0);
        return o;
    }

    // Both resets of a connect; returns the records of both.
    std::vector<Rec> Connect() {
        h->linePreparePass = 1;
        EXPECT_EQ(PRRFlshReset(h, &reset, device), 0);
        h->linePreparePass = 0;
        auto first = Finish();
        EXPECT_EQ(PRRFlshReset(h, &reset, device), 0);
        auto second = Finish();
        first.insert(first.end(), second.begin(), second.end());
        return first;
    }

    // The records and the outcome must agree on whether the device is connected.
    bool ConnectOk() {
        auto recs = Connect();
        const bool ok = !recs.empty() && recs.back().state == 0 && recs.back().status == 0 &&
                        recs.back().text.empty() && recs.back().percent == 100;
        EXPECT_EQ(outcome.connected, ok ? 1 : 0) << Show(recs);
        return ok;
    }

    // Reads a load file to its final record.
    LoadFileHandle *Load(const std::string &path) {
        auto watch = std::make_unique<LoadRecords>();
        LoadFileHandle *f = PRRHexOpen(path.c_str(), watch->window(), PRR_MSG_LOADFILE_RECORD, nullptr);
        EXPECT_NE(f, nullptr) << path;
        if (f == nullptr) return nullptr;
        const auto recs = watch->UntilFinal(f, std::chrono::seconds(60));
        loads.push_back({f, std::move(watch)});
        EXPECT_TRUE(!recs.empty() && recs.back().state == PRR_LOAD_STATE_DONE) << "no final record: " << path;
        EXPECT_EQ(f->readState, PRR_LOAD_READY) << path;
        return f;
    }

    NotifyCounter counter;
    FlashRecords records{counter};
    FlashHandle *h = nullptr;
    DeviceParameters *device = nullptr;
    ResetRecord reset{};
    AreaRecord area{};
    PRROutcome outcome{};  // of the command the last Finish waited for

private:
    // A load file and the window its records were announced to, which must
    // outlive it.
    struct Loaded {
        LoadFileHandle *file;
        std::unique_ptr<LoadRecords> records;
    };
    std::vector<Loaded> loads;
    uint64_t target_ = 0;
};

// Temporary alias folder for the test process, and the fast clock.
class E2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quill-e2eXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        aliasDir = tmpl;
        ::setenv("QUILLROM_PORTS_DIR", aliasDir.c_str(), 1);
        if (fastClock) PRRSetTickSourceForTesting(FastTick);
    }
    void TearDown() override {
        PRRSetTickSourceForTesting(nullptr);
        std::string cmd = "rm -rf '" + aliasDir + "'";
        (void)std::system(cmd.c_str());
    }
    bool fastClock = true;
    std::string aliasDir;
};

// A virtual target with a parameter file on COM<port> and a host whose flash
// handle talks to it, made afresh for every test.
class TargetHostTest : public E2ETest {
protected:
    explicit TargetHostTest(int port) : port_(port) {}
    // Replaces both with a pair for `prm` (a sample file's name).
    void Start(const char *prm) {
        host.reset();
        target.reset();
        target = std::make_unique<Target>(SamplePath(prm), port_, aliasDir);
        host = std::make_unique<Host>(SamplePath(prm), port_);
    }
    void SetUp() override {
        E2ETest::SetUp();
        Start("demo.prm");
    }
    void TearDown() override {
        host.reset();
        target.reset();
        E2ETest::TearDown();
    }
    std::unique_ptr<Target> target;
    std::unique_ptr<Host> host;

private:
    const int port_;
};

}  // namespace quilltest
