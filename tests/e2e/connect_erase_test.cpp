// Connect, blank check and erase against the virtual target, compared record
// by record, with the target's flash checked where it matters.
#include <algorithm>

#include "e2e_fixture.h"

using namespace quilltest;
using quillsim::FaultKind;
using quillsim::Fault;

namespace {

constexpr int kPort = 21;

class ConnectEraseTest : public TargetHostTest {
protected:
    ConnectEraseTest() : TargetHostTest(kPort) {}
    std::vector<Rec> Blank(int mode, int first = 0, int last = 0, int autoRange = 0) {
        host->area = AreaRecord{mode, first, last, 0, 0};
        EXPECT_EQ(PRRFlshBlnk(host->h, host->device, &host->area, autoRange), 0);
        return host->Finish();
    }
    std::vector<Rec> Erase(int mode, int first = 0, int last = 0, int autoRange = 0) {
        host->area = AreaRecord{mode, first, last, 0, 0};
        EXPECT_EQ(PRRFlshErase(host->h, host->device, &host->area, autoRange), 0);
        return host->Finish();
    }
    void Dirty(uint32_t address) { target->sim.setFlash(address, {0x12, 0x34}); }
    bool AllErased() {
        auto f = target->sim.flash();
        return std::all_of(f.begin(), f.end(), [](uint8_t b) { return b == 0xFF; });
    }
    int FramesWithCommand(int code) {
        int n = 0;
        for (const auto &e : target->sim.transcript())
            if (e.direction == quillsim::Direction::HostToDevice && e.command == code) ++n;
        return n;
    }

};

TEST_F(ConnectEraseTest, ConnectThenChipErase) {
    Dirty(0x1000);
    ExpectTranscript(host->Connect(), {{"Flash Resetting...", 10, 0, 5},
                                       {"OK.", 10, 0, 5},
                                       {"sending reset command...", 0, 0, 15},
                                       {"OK.", 0, 0, 75},
                                       {"", 0, 0, 100}});
    EXPECT_EQ(host->outcome.message, PRR_MSG_RESET);
    EXPECT_EQ(host->outcome.resetPhase, PRR_RESET_CONNECT);
    EXPECT_EQ(host->outcome.connected, 1);
    EXPECT_EQ(host->outcome.endState, PRR_STATE_CONNECT);
    ExpectTranscript(Erase(PRR_AREA_CHIP), {{"Flash Erasing...", 10, 0, 10}, {"chip erase finish.", 2, 0, 100}});
    EXPECT_EQ(host->outcome.message, PRR_MSG_ERASE);
    EXPECT_EQ(host->outcome.status, PRR_STATUS_OK);
    EXPECT_EQ(host->outcome.endState, PRR_STATE_ERASE);
    EXPECT_EQ(host->outcome.erased, 1);
    EXPECT_EQ(host->outcome.connected, 0) << "the outcome is the erase's alone";
    EXPECT_TRUE(AllErased());
    EXPECT_EQ(target->sim.observedBaud(), 115200u);
}

TEST_F(ConnectEraseTest, SecondConnectReusesTheOpenPort) {
    ASSERT_TRUE(host->ConnectOk());
    const int32_t port = host->h->port;
    ASSERT_TRUE(host->ConnectOk());
    EXPECT_EQ(host->h->port, port);
}

TEST_F(ConnectEraseTest, MissingPortEndsTheFirstResetWith9) {
    host->reset.portNumber = kPort + 1;
    host->h->linePreparePass = 1;
    ASSERT_EQ(PRRFlshReset(host->h, &host->reset, host->device), 0);
    host->h->linePreparePass = 0;
    ExpectTranscript(host->Finish(), {{"ERROR: COM port open error!", 10, 9, 100}});
    ExpectFailed(host->outcome, PRR_STATUS_COM_OPEN, PRR_STATE_CONNECT);
    EXPECT_EQ(host->outcome.resetPhase, PRR_RESET_PREPARE);
    EXPECT_EQ(host->h->port, PRR_INVALID_PORT);
}

TEST_F(ConnectEraseTest, CommandWithoutConnectEndsWith14) {
    ExpectTranscript(Erase(PRR_AREA_CHIP), {{"ERROR: Not connect to device, please retry reset!", 10, 14, 100}});
    ExpectFailed(host->outcome, PRR_STATUS_NOT_CONNECTED, PRR_STATE_ERASE);
}

TEST_F(ConnectEraseTest, HandshakeRefusedEndsWith12AndThePortStaysUsable) {
    Fault bad;
    bad.kind = FaultKind::Illegal;
    bad.command = quillsim::kResetCommand;
    bad.status = 0x00;
    target->sim.addFault(bad);
    auto recs = host->Connect();
    ASSERT_GE(recs.size(), 3u);
    ExpectTranscript({recs.end() - 4, recs.end()}, {{"sending reset command...", 0, 0, 15},
                                                     {"retrying...", 0, 0, 50},
                                                     {"retry count <0>", 0, 0, 100},
                                                     {"ERROR: Retry status over!", 0, 12, 100}});
    ExpectFailed(host->outcome, PRR_STATUS_RETRY_OVER, PRR_STATE_CONNECT);
    EXPECT_TRUE(host->ConnectOk());
}

TEST_F(ConnectEraseTest, SilentDeviceEndsTheConnectWithATimeOut) {
    Fault quiet;
    quiet.kind = FaultKind::Silence;
    quiet.after = 0;
    quiet.ms = 6000;
    target->sim.addFault(quiet);
    auto recs = host->Connect();
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.back().status, PRR_STATUS_READ_TIMEOUT);
    EXPECT_EQ(recs.back().state, 0);
    ExpectFailed(host->outcome, PRR_STATUS_READ_TIMEOUT, PRR_STATE_CONNECT);
}

TEST_F(ConnectEraseTest, BlankCheckChipAndBlockRanges) {
    ASSERT_TRUE(host->ConnectOk());
    ExpectTranscript(Blank(PRR_AREA_BLOCK, 0, 3), {{"Flash Blank Checking...", 10, 0, 10},
                                                   {"block <0> blank check finish.", 1, 0, 0},
                                                   {"block <1> blank check finish.", 1, 0, 25},
                                                   {"block <2> blank check finish.", 1, 0, 50},
                                                   {"block <3> blank check finish.", 1, 0, 75},
                                                   {"all block blank check finish.", 1, 0, 100}});
    EXPECT_EQ(host->outcome.message, PRR_MSG_BLANK_CHECK);
    EXPECT_EQ(host->outcome.endState, PRR_STATE_BLANK_CHECK);
    EXPECT_EQ(host->outcome.blankChecked, 1);
    EXPECT_EQ(host->outcome.notBlank, 0);
    ExpectTranscript(Blank(PRR_AREA_BLOCK, 3, 4), {{"Flash Blank Checking...", 10, 0, 10},
                                                   {"block <3> blank check finish.", 1, 0, 100},
                                                   {"block <4> blank check finish.", 1, 0, 100},
                                                   {"all block blank check finish.", 1, 0, 100}});
    auto chip = Blank(PRR_AREA_CHIP);
    ASSERT_EQ(chip.size(), 18u);
    EXPECT_EQ(chip[16].text, "block <15> blank check finish.");
    EXPECT_EQ(chip[16].percent, 93u);
}

TEST_F(ConnectEraseTest, NotBlankIsANormalEnd) {
    Dirty(0x2100);
    ASSERT_TRUE(host->ConnectOk());
    ExpectTranscript(Blank(PRR_AREA_BLOCK, 1, 3), {{"Flash Blank Checking...", 10, 0, 10},
                                                   {"block <1> blank check finish.", 1, 0, 33},
                                                   {"not blank.", 1, 0, 100}});
    EXPECT_EQ(host->outcome.status, PRR_STATUS_OK) << "not blank is a verdict, not a failure";
    EXPECT_EQ(host->outcome.blankChecked, 1);
    EXPECT_EQ(host->outcome.notBlank, 1);
}

TEST_F(ConnectEraseTest, BlockEraseReportsItsShareOfNinetyPercent) {
    for (uint32_t a : {0x0000u, 0x1000u, 0x3FFEu, 0x4000u}) Dirty(a);
    ASSERT_TRUE(host->ConnectOk());
    ExpectTranscript(Erase(PRR_AREA_BLOCK, 0, 3), {{"Flash Erasing...", 10, 0, 10},
                                                   {"block <0> erase finish.", 2, 0, 32},
                                                   {"block <1> erase finish.", 2, 0, 55},
                                                   {"block <2> erase finish.", 2, 0, 77},
                                                   {"block <3> erase finish.", 2, 0, 100},
                                                   {"all block erase finish.", 2, 0, 100}});
    EXPECT_EQ(host->outcome.erased, 1);
    auto f = target->sim.flash();
    EXPECT_TRUE(std::all_of(f.begin(), f.begin() + 0x4000, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(f[0x4000], 0x12) << "block 4 was not in the range";
}

TEST_F(ConnectEraseTest, AreaModeErasesTheChip) {
    Dirty(0xF000);
    ASSERT_TRUE(host->ConnectOk());
    auto recs = Erase(PRR_AREA_AREA, 0, 0);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.back().text, "chip erase finish.");
    EXPECT_TRUE(AllErased());
}

TEST_F(ConnectEraseTest, EraseWithBlankCheckFirstOnABlankDeviceErasesNothing) {
    host->reset.commandOptions = 0x01;
    ASSERT_TRUE(host->ConnectOk());
    auto recs = Erase(PRR_AREA_CHIP);
    ASSERT_GE(recs.size(), 3u);
    EXPECT_EQ(recs[recs.size() - 2].text, "all block blank check finish.");
    EXPECT_EQ(recs.back().text, "no need erase.");
    EXPECT_EQ(host->outcome.blankChecked, 1);
    EXPECT_EQ(host->outcome.notBlank, 0);
    EXPECT_EQ(host->outcome.erased, 0) << "nothing was erased";
    EXPECT_EQ(FramesWithCommand(0x20) + FramesWithCommand(0x22), 0);
}

TEST_F(ConnectEraseTest, EraseWithBlankCheckFirstOnADirtyDeviceErases) {
    host->reset.commandOptions = 0x01;
    Dirty(0x5000);
    ASSERT_TRUE(host->ConnectOk());
    auto recs = Erase(PRR_AREA_CHIP);
    ASSERT_FALSE(recs.empty());
    EXPECT_TRUE(Contains(recs, "Flash Erasing..."));
    EXPECT_EQ(recs.back().text, "chip erase finish.");
    EXPECT_EQ(host->outcome.blankChecked, 1);
    EXPECT_EQ(host->outcome.notBlank, 1);
    EXPECT_EQ(host->outcome.erased, 1);
    EXPECT_EQ(host->outcome.endState, PRR_STATE_ERASE);
    EXPECT_TRUE(AllErased());
}

TEST_F(ConnectEraseTest, BusyBelowTheLimitRetriesAndAtTheLimitFails) {
    ASSERT_TRUE(host->ConnectOk());
    Fault busy;
    busy.kind = FaultKind::Busy;
    busy.command = 0x32;
    busy.status = 0x07;
    busy.count = 3;
    target->sim.addFault(busy);
    auto recs = Blank(PRR_AREA_BLOCK, 0, 0);
    ExpectTranscript(recs, {{"Flash Blank Checking...", 10, 0, 10},
                            {"retrying...", 1, 0, 10},
                            {"block <0> blank check finish.", 1, 0, 0},
                            {"all block blank check finish.", 1, 0, 100}});
    busy.count = 100;  // the demo device's blank-check retry limit
    target->sim.addFault(busy);
    recs = Blank(PRR_AREA_BLOCK, 0, 0);
    ASSERT_GE(recs.size(), 2u);
    EXPECT_EQ(recs[recs.size() - 2].text, "retry count <100>");
    EXPECT_EQ(recs.back().status, PRR_STATUS_RETRY_OVER);
    ExpectFailed(host->outcome, PRR_STATUS_RETRY_OVER, PRR_STATE_BLANK_CHECK);
    EXPECT_EQ(host->outcome.blankChecked, 0) << "no verdict";
    EXPECT_EQ(host->outcome.retryCount, 100);
    target->sim.clearFaults();
    recs = Blank(PRR_AREA_BLOCK, 0, 0);
    EXPECT_EQ(recs.back().text, "all block blank check finish.") << "the handle recovers";
}

TEST_F(ConnectEraseTest, NotErasedIsErasedAgain) {
    ASSERT_TRUE(host->ConnectOk());
    Fault stubborn;
    stubborn.kind = FaultKind::NotErased;
    stubborn.count = 2;
    target->sim.addFault(stubborn);
    auto recs = Erase(PRR_AREA_CHIP);
    ASSERT_FALSE(recs.empty());
    EXPECT_TRUE(Contains(recs, "retrying..."));
    EXPECT_EQ(recs.back().text, "chip erase finish.");
    stubborn.count = 16;  // the demo device's erase retry limit
    target->sim.addFault(stubborn);
    recs = Erase(PRR_AREA_CHIP);
    ASSERT_GE(recs.size(), 2u);
    EXPECT_EQ(recs[recs.size() - 2].text, "chip erase error.");
    EXPECT_EQ(recs.back().status, PRR_STATUS_RETRY_OVER);
    ExpectFailed(host->outcome, PRR_STATUS_RETRY_OVER, PRR_STATE_ERASE);
}

TEST_F(ConnectEraseTest, RetryLimitOfFFFFPollsUntilTheDeviceIsReady) {
    host->device->commandSets[0][8].payload.l4.words[3] = 0xFFFF;
    ASSERT_TRUE(host->ConnectOk());
    Fault busy;
    busy.kind = FaultKind::Busy;
    busy.command = 0x32;
    busy.status = 0x15;
    busy.count = 4;
    target->sim.addFault(busy);
    ExpectTranscript(Blank(PRR_AREA_BLOCK, 2, 2), {{"Flash Blank Checking...", 10, 0, 10},
                                                   {"block <2> blank check finish.", 1, 0, 100},
                                                   {"all block blank check finish.", 1, 0, 100}});
    EXPECT_EQ(FramesWithCommand(0x32), 1) << "polling does not resend";
}

TEST_F(ConnectEraseTest, DeviceWithoutBlankCheck) {
    host.reset();
    target.reset();
    auto config = quillsim::loadConfig(SamplePath("demo.prm"), nullptr);
    ASSERT_TRUE(config);
    config->blankCheck = false;
    target = std::make_unique<Target>(*config, kPort, aliasDir);
    host = std::make_unique<Host>(SamplePath("demo.prm"), kPort);
    host->device->rangeSet5 &= ~0x02;
    host->reset.commandOptions = 0x01;
    ASSERT_TRUE(host->ConnectOk());
    ExpectTranscript(Blank(PRR_AREA_CHIP),
                     {{"ERROR: This device is not supporting this function!", 10, 15, 100}});
    ExpectFailed(host->outcome, PRR_STATUS_NOT_SUPPORTED, PRR_STATE_BLANK_CHECK);
    auto recs = Erase(PRR_AREA_CHIP);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.front().text, "Flash Erasing...") << "straight to the erase";
    EXPECT_EQ(recs.back().text, "chip erase finish.");
}

TEST_F(ConnectEraseTest, UnusableClockIsRefusedBeforeTheDeviceHearsAnything) {
    host->reset.frequency = 0.0;
    auto recs = host->Connect();
    // Both resets of the connect refuse it, the first before the port is opened.
    ExpectTranscript(recs, {{"ERROR: Illegal parameter!", 10, 3, 100}, {"ERROR: Illegal parameter!", 10, 3, 100}});
    ExpectFailed(host->outcome, PRR_STATUS_ILLEGAL_PARAMETER, PRR_STATE_CONNECT);
    EXPECT_EQ(host->h->port, PRR_INVALID_PORT);
    EXPECT_EQ(target->sim.framesReceived(), 0u);
}

TEST_F(ConnectEraseTest, VanishingPortEndsWithoutHanging) {
    ASSERT_TRUE(host->ConnectOk());
    Fault vanish;
    vanish.kind = FaultKind::Vanish;
    vanish.after = 1;
    target->sim.addFault(vanish);
    auto recs = Erase(PRR_AREA_CHIP);
    ASSERT_FALSE(recs.empty());
    EXPECT_TRUE(recs.back().status == PRR_STATUS_COM_READ || recs.back().status == PRR_STATUS_READ_TIMEOUT)
        << recs.back().status;
    ExpectFailed(host->outcome, recs.back().status, PRR_STATE_ERASE);
}

// The connect's own wait, on the real clock.
class RealClockTest : public ConnectEraseTest {
protected:
    void SetUp() override {
        fastClock = false;
        ConnectEraseTest::SetUp();
    }
};

TEST_F(RealClockTest, ConnectWaitsMoreThanTwoSecondsBeforeTheHandshake) {
    host->h->linePreparePass = 1;
    ASSERT_EQ(PRRFlshReset(host->h, &host->reset, host->device), 0);
    host->h->linePreparePass = 0;
    host->Finish();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(PRRFlshReset(host->h, &host->reset, host->device), 0);
    auto recs = host->Finish();
    const auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.back().status, 0);
    EXPECT_GT(took, std::chrono::milliseconds(2000));
    std::printf("connect took %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

TEST_F(RealClockTest, AbortDuringTheWaitIdlesTheLineAt9600) {
    host->h->linePreparePass = 1;
    ASSERT_EQ(PRRFlshReset(host->h, &host->reset, host->device), 0);
    host->h->linePreparePass = 0;
    host->Finish();
    ASSERT_EQ(PRRFlshReset(host->h, &host->reset, host->device), 0);
    ASSERT_EQ(PRRFlshAbort(host->h, host->device), 0);
    auto recs = host->Finish();
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.back().text, "Sequence Aborted.");
    EXPECT_EQ(host->outcome.aborted, 1);
    EXPECT_EQ(host->outcome.connected, 0);
    EXPECT_EQ(host->outcome.status, PRR_STATUS_OK);
    EXPECT_EQ(target->sim.observedBaud(), 9600u);
    EXPECT_EQ(FramesWithCommand(quillsim::kResetCommand), 0) << "no handshake after the abort";
    ASSERT_TRUE(host->ConnectOk());
    EXPECT_EQ(target->sim.observedBaud(), 115200u);
}

}  // namespace
