// Every fault the virtual target can inject, at every step of connect, blank
// check and erase: the command must end with the right status, never hang,
// and the handle must work again once the fault is gone.
#include <functional>

#include "e2e_fixture.h"

using namespace quilltest;
using quillsim::FaultKind;
using quillsim::Fault;

namespace {

constexpr int kPort = 22;
constexpr int kReset = quillsim::kResetCommand;

enum class Seq { Connect, BlankChip, BlankBlocks, EraseChip, EraseBlocks };

const char *SeqName(Seq s) {
    switch (s) {
    case Seq::Connect: return "connect";
    case Seq::BlankChip: return "blank-chip";
    case Seq::BlankBlocks: return "blank-blocks-0-1";
    case Seq::EraseChip: return "erase-chip";
    case Seq::EraseBlocks: return "erase-blocks-0-1";
    }
    return "?";
}

// Command frames a sequence sends on the demo device when nothing goes wrong.
std::vector<int> FramesOf(Seq s) {
    switch (s) {
    case Seq::Connect: return {kReset};
    case Seq::BlankChip: return std::vector<int>(16, 0x32);
    case Seq::BlankBlocks: return {0x32, 0x32};
    case Seq::EraseChip: return {0x20, 0x30, 0x32};
    case Seq::EraseBlocks: return {0x22, 0x32, 0x22, 0x32};
    }
    return {};
}

bool IsErase(Seq s) { return s == Seq::EraseChip || s == Seq::EraseBlocks; }
bool IsBlank(Seq s) { return s == Seq::BlankChip || s == Seq::BlankBlocks; }

int32_t StateOf(Seq s) {
    if (s == Seq::Connect) return PRR_STATE_CONNECT;
    return IsBlank(s) ? PRR_STATE_BLANK_CHECK : PRR_STATE_ERASE;
}

// The outcome tells what the records tell: the failure's code, the sequence
// it ended in, and the goal reached only when the command succeeded.
void ExpectOutcomeOf(Seq s, const Rec &last, const PRROutcome &o) {
    EXPECT_EQ(o.status, last.status);
    EXPECT_EQ(o.endState, StateOf(s));
    const bool ok = last.status == PRR_STATUS_OK;
    switch (s) {
    case Seq::Connect: EXPECT_EQ(o.connected, ok ? 1 : 0); break;
    case Seq::BlankChip:
    case Seq::BlankBlocks:
        EXPECT_EQ(o.blankChecked, ok ? 1 : 0);
        EXPECT_EQ(o.notBlank, last.text == "not blank." ? 1 : 0);
        break;
    case Seq::EraseChip:
    case Seq::EraseBlocks: EXPECT_EQ(o.erased, ok ? 1 : 0); break;
    }
}

struct Case {
    std::string name;
    Seq seq;
    Fault fault;
    std::vector<int32_t> allowed;  // final status
    std::string lastText;          // when set, the final record's text
    bool recoverable = true;
};

Fault Status(FaultKind kind, int command, uint8_t status, uint32_t count) {
    Fault f;
    f.kind = kind;
    f.command = command;
    f.status = status;
    f.count = count;
    return f;
}

Fault AfterFrames(FaultKind kind, uint64_t after, uint32_t ms = 0) {
    Fault f;
    f.kind = kind;
    f.after = after;
    f.ms = ms;
    return f;
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (Seq s : {Seq::Connect, Seq::BlankChip, Seq::BlankBlocks, Seq::EraseChip, Seq::EraseBlocks}) {
        const auto frames = FramesOf(s);
        const std::string base = SeqName(s);
        // Refusals and odd statuses on each distinct command of the sequence.
        std::vector<int> commands;
        for (int c : frames)
            if (std::find(commands.begin(), commands.end(), c) == commands.end()) commands.push_back(c);
        for (int c : commands) {
            char code[8];
            std::snprintf(code, sizeof code, "%02X", c & 0xFF);
            const bool first = c == frames.front();
            if (s == Seq::Connect) {
                cases.push_back({base + "/busy-once", s, Status(FaultKind::Busy, c, 0x07, 1), {12}, ""});
                cases.push_back({base + "/illegal", s, Status(FaultKind::Illegal, c, 0x42, 1), {12}, ""});
                continue;
            }
            if (IsBlank(s)) {
                cases.push_back({base + "/busy-once-" + code, s, Status(FaultKind::Busy, c, 0x07, 1), {0},
                                 "all block blank check finish."});
                cases.push_back({base + "/busy-at-limit-" + code, s, Status(FaultKind::Busy, c, 0x15, 100), {12},
                                 "ERROR: Retry status over!"});
                cases.push_back(
                    {base + "/illegal-" + code, s, Status(FaultKind::Illegal, c, 0x42, 1), {0}, "not blank."});
                continue;
            }
            // Erase: every step takes only the expected statuses.
            if (first)
                cases.push_back({base + "/busy-" + code, s, Status(FaultKind::Busy, c, 0x07, 1), {13}, ""});
            cases.push_back({base + "/illegal-" + code, s, Status(FaultKind::Illegal, c, 0x42, 1), {13}, ""});
        }
        if (IsErase(s)) {
            const std::string done = s == Seq::EraseChip ? "chip erase finish." : "all block erase finish.";
            Fault once;
            once.kind = FaultKind::NotErased;
            once.count = 1;
            cases.push_back({base + "/not-erased-once", s, once, {0}, done});
            Fault limit = once;
            limit.count = 16;
            cases.push_back({base + "/not-erased-at-limit", s, limit, {12}, "ERROR: Retry status over!"});
            Fault slow;
            slow.kind = FaultKind::SlowErase;
            slow.count = 1;
            slow.ms = 100;
            cases.push_back({base + "/slow-erase-within-time-out", s, slow, {0}, done});
            slow.ms = 1500;
            cases.push_back({base + "/slow-erase-past-time-out", s, slow, {23}, ""});
        }
        // Silence and a vanishing port after each frame.
        const size_t upTo = std::min<size_t>(frames.size(), 3);
        for (size_t n = 0; n < upTo; ++n) {
            const std::string at = std::to_string(n);
            if (s == Seq::Connect) {
                cases.push_back({base + "/silent", s, AfterFrames(FaultKind::Silence, n), {23}, "", false});
            } else {
                cases.push_back({base + "/silence-after-" + at, s, AfterFrames(FaultKind::Silence, n, 800), {23}, ""});
            }
            cases.push_back({base + "/vanish-after-" + at, s, AfterFrames(FaultKind::Vanish, n), {24, 23, 9, 8}, "",
                             false});
        }
    }
    return cases;
}

class FaultMatrixTest : public E2ETest {};

std::vector<Rec> RunSequence(Host &host, Seq s) {
    switch (s) {
    case Seq::Connect: return host.Connect();
    case Seq::BlankChip:
        host.area = AreaRecord{PRR_AREA_CHIP, 0, 0, 0, 0};
        EXPECT_EQ(PRRFlshBlnk(host.h, host.device, &host.area, 0), 0);
        return host.Finish();
    case Seq::BlankBlocks:
        host.area = AreaRecord{PRR_AREA_BLOCK, 0, 1, 0, 0};
        EXPECT_EQ(PRRFlshBlnk(host.h, host.device, &host.area, 0), 0);
        return host.Finish();
    case Seq::EraseChip:
        host.area = AreaRecord{PRR_AREA_CHIP, 0, 0, 0, 0};
        EXPECT_EQ(PRRFlshErase(host.h, host.device, &host.area, 0), 0);
        return host.Finish();
    case Seq::EraseBlocks:
        host.area = AreaRecord{PRR_AREA_BLOCK, 0, 1, 0, 0};
        EXPECT_EQ(PRRFlshErase(host.h, host.device, &host.area, 0), 0);
        return host.Finish();
    }
    return {};
}

TEST_F(FaultMatrixTest, EveryFaultAtEveryStep) {
    const auto cases = AllCases();
    int recovered = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Target target(SamplePath("demo.prm"), kPort, aliasDir);
        Host host(SamplePath("demo.prm"), kPort);
        if (c.seq != Seq::Connect) {
            ASSERT_TRUE(host.ConnectOk());
        }
        target.sim.addFault(c.fault);
        const auto recs = RunSequence(host, c.seq);
        ASSERT_FALSE(recs.empty());
        const Rec &last = recs.back();
        EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), last.status), c.allowed.end())
            << "status " << last.status << "\n" << Show(recs);
        if (!c.lastText.empty()) {
            EXPECT_EQ(last.text, c.lastText) << Show(recs);
        }
        ExpectOutcomeOf(c.seq, last, host.outcome);
        if (!c.recoverable) continue;
        // The fault is gone: a connect and the same command work on the same handle.
        target.sim.clearFaults();
        ASSERT_TRUE(host.ConnectOk());
        if (c.seq != Seq::Connect) {
            const auto again = RunSequence(host, c.seq);
            ASSERT_FALSE(again.empty());
            EXPECT_EQ(again.back().status, 0) << Show(again);
            ExpectOutcomeOf(c.seq, again.back(), host.outcome);
        }
        ++recovered;
    }
    std::printf("fault matrix: %zu cases, %d recovered on the same handle\n", cases.size(), recovered);
}

}  // namespace
