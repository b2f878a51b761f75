// The protocol engine's time-driven decisions, on invented time: chunk ends by
// count, range or idle gap, fresh statuses for a polling host, slow erases,
// page placement above 64 KiB, resynchronisation, and the pacing arithmetic.
#include <gtest/gtest.h>

#include "sim/pacing.h"
#include "sim/protocol_engine.h"
#include "sim_host.h"

namespace {

using quillsim::Bytes;
using namespace std::chrono;
namespace wire = quillsim::wire;

struct Rig {
    explicit Rig(const quillsim::SimConfig &c) : model(c), engine(model, faults, log) {}
    steady_clock::time_point at(int ms) const { return t0 + milliseconds(ms); }
    Bytes feed(const Bytes &b, int ms) {
        for (uint8_t x : b) engine.receive(x, at(ms));
        engine.tick(at(ms));
        return engine.takeOutput();
    }
    Bytes tick(int ms) {
        engine.tick(at(ms));
        return engine.takeOutput();
    }
    void fault(const char *rule) {
        std::string error;
        const auto f = quillsim::parseFault(rule, &error);
        ASSERT_TRUE(f) << error;
        engine.addFault(*f, at(0));
    }
    quillsim::DeviceModel model;
    quillsim::FaultPlan faults;
    quillsim::Transcript log;
    quillsim::ProtocolEngine engine;
    steady_clock::time_point t0 = steady_clock::now();
};

const int kGap = 200; // default chunk and repeat gap, ms
const Bytes kAck2 = wire::statusAnswer(0x06, 0x06);

TEST(SimEngine, ShortProgramChunkEndsAfterTheIdleGap) {
    Rig r(simtest::smallDevice(4, 0x1000));
    EXPECT_EQ(r.feed({0x40, 0x01, 0x00, 0xFF}, 0), wire::statusAnswer(0x06));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(r.feed({uint8_t(0xA0 + i)}, 1 + i), wire::byteAck(0x06));
    EXPECT_TRUE(r.tick(10 + kGap - 1).empty()) << "a pause shorter than the gap is not an end";
    EXPECT_EQ(r.engine.nextDeadline(), r.at(10 + kGap));
    EXPECT_EQ(r.tick(10 + kGap), Bytes{0x06});
    EXPECT_EQ(r.feed({0x19, 0x01, 0x00, 0xFF}, 300), kAck2);
    EXPECT_EQ(r.model.at(0x100), 0xA0);
    EXPECT_EQ(r.model.at(0x109), 0xA9);
    EXPECT_EQ(r.model.at(0x10A), 0xFF);
}

TEST(SimEngine, FullPageEndsAtOnceAndVerifyChunksFollowTheRange) {
    Rig r(simtest::smallDevice(4, 0x1000));
    r.feed({0x40, 0x00, 0x00, 0xFF}, 0);
    Bytes out;
    for (int i = 0; i < 256; ++i) out = r.feed({uint8_t(i)}, 1);
    EXPECT_EQ(out, (Bytes{0xE0, 0x06, 0x06})) << "last ack, then the end-of-chunk byte";

    // Verify 0..299: chunks of 256 and 44, each answered as soon as it is
    // complete, with no extra byte.
    EXPECT_EQ(r.feed(simtest::SimHost::addressFrame(0x13, 0, 299), 10), wire::statusAnswer(0x06));
    for (int i = 0; i < 256; ++i) out = r.feed({uint8_t(i)}, 11);
    EXPECT_EQ(out, (Bytes{0xE0, 0x06, 0xE0, 0xE1, 0xE2, 0xE3, 0x06, 0x06}));
    for (int i = 0; i < 44; ++i) out = r.feed({0xFF}, 12);
    EXPECT_EQ(out, (Bytes{0xE0, 0x06, 0xE0, 0xE1, 0xE2, 0xE3, 0x06, 0x06}));
    EXPECT_FALSE(r.engine.nextDeadline()) << "verify over: nothing pending";
    EXPECT_EQ(r.feed({0xC5, 0, 0, 0, 0}, 13).size(), 7u) << "the next byte is a command again";
}

TEST(SimEngine, BusyDeviceAnswersAPollingHostOnItsOwn) {
    Rig r(simtest::smallDevice(4, 0x1000));
    r.fault("busy:0x32:2");
    const Bytes busy = wire::statusAnswer(0x07, 0x06);
    EXPECT_EQ(r.feed({0x32, 0x02, 0x00, 0xFF}, 0), busy);
    EXPECT_TRUE(r.tick(kGap - 1).empty());
    EXPECT_EQ(r.tick(kGap), busy);
    EXPECT_EQ(r.tick(2 * kGap), kAck2);
    EXPECT_TRUE(r.tick(10 * kGap).empty());
    EXPECT_FALSE(r.engine.nextDeadline());
    EXPECT_EQ(r.engine.frames(), 1u);
}

TEST(SimEngine, BusyDeviceAnswersEachResendOnce) {
    Rig r(simtest::smallDevice(4, 0x1000));
    r.fault("busy:0x32:1:0x15");
    EXPECT_EQ(r.feed({0x32, 0x02, 0x00, 0xFF}, 0), wire::statusAnswer(0x15, 0x06));
    EXPECT_EQ(r.feed({0x32, 0x02, 0x00, 0xFF}, 5), kAck2);
    EXPECT_TRUE(r.tick(10 * kGap).empty()) << "no unprompted status after a re-send";
}

TEST(SimEngine, SecurityByteResentAfterBusyVerifyGetsTheStatusAtOnce) {
    Rig r(simtest::smallDevice(4, 0x1000));
    r.fault("busy:0x19");
    EXPECT_EQ(r.feed({0x40, 0x80, 0x00, 0x00}, 0), wire::statusAnswer(0x06));
    EXPECT_EQ(r.feed({0xF3}, 1), (Bytes{0xE0, 0x06, 0x06}));
    EXPECT_EQ(r.feed({0x19, 0x80, 0x00, 0x00}, 2), wire::statusAnswer(0x07, 0x06));
    Bytes want = wire::byteAck(0x06);
    want.insert(want.end(), kAck2.begin(), kAck2.end());
    EXPECT_EQ(r.feed({0xF3}, 3), want) << "ack, then the internal-verify status, no end-of-data byte";
    EXPECT_EQ(r.model.securityByte(), 0xF3);
}

TEST(SimEngine, SlowEraseHoldsAnswersAndInput) {
    Rig r(simtest::smallDevice(4, 0x1000));
    r.fault("slow-erase:ms=500");
    r.model.overwrite(0x10, Bytes{0x00}.data(), 1);
    EXPECT_TRUE(r.feed({0x20, 0x03, 0x00, 0xFF}, 0).empty());
    EXPECT_TRUE(r.feed({0xC5, 0, 0, 0, 0}, 100).empty()) << "input waits too";
    EXPECT_TRUE(r.tick(499).empty());
    Bytes want = kAck2;
    for (uint8_t b : wire::statusAnswer(0x06)) want.push_back(b);
    want.insert(want.end(), {0x01, 0x00});
    EXPECT_EQ(r.tick(500), want) << "erase answer, then the version answer";
    EXPECT_EQ(r.model.at(0x10), 0xFF);
}

TEST(SimEngine, PagesAbove64KiBFollowTheHostsRun) {
    Rig r(simtest::smallDevice(4, 0x10000)); // 256 KiB
    int t = 0;
    auto program = [&](uint8_t page, uint8_t value) {
        EXPECT_EQ(r.feed({0x40, page, 0x00, 0xFF}, t += 1), wire::statusAnswer(0x06));
        r.feed({value}, t += 1);
        EXPECT_EQ(r.tick(t += kGap), Bytes{0x06});
        EXPECT_EQ(r.feed({0x19, page, 0x00, 0xFF}, t += 1), kAck2);
    };
    program(0xFE, 0x11);
    program(0xFF, 0x22);
    program(0x00, 0x33); // the page byte wrapped: next 64 KiB
    program(0x01, 0x44);
    EXPECT_EQ(r.model.at(0x0FE00), 0x11);
    EXPECT_EQ(r.model.at(0x0FF00), 0x22);
    EXPECT_EQ(r.model.at(0x10000), 0x33);
    EXPECT_EQ(r.model.at(0x10100), 0x44);
    program(0x00, 0x66); // not the next page: a new program, from the first 64 KiB
    EXPECT_EQ(r.model.at(0x00000), 0x66);
    r.feed({0xC5, 0, 0, 0, 0}, t += 1); // any other command ends the run
    program(0x02, 0x55);
    EXPECT_EQ(r.model.at(0x00200), 0x55);

    EXPECT_EQ(r.engine.checksumEnd(0xFF), 0x3FFFFu) << "highest page with that low byte";
    EXPECT_EQ(r.engine.checksumEnd(0x10), 0x310FFu);
    Rig small(simtest::smallDevice(2, 0x1000)); // 8 KiB: pages 0..0x1F
    EXPECT_EQ(small.engine.checksumEnd(0x1F), 0x1FFFu);
    EXPECT_FALSE(small.engine.checksumEnd(0x20));
}

TEST(SimEngine, GarbageIsDroppedUntilTheLineIsQuiet) {
    Rig r(simtest::smallDevice(4, 0x1000));
    const Bytes illegal = wire::statusAnswer(0x04, 0x04);
    EXPECT_TRUE(r.feed({0x77, 0x40, 0x00, 0x00, 0xFF}, 0).empty()) << "unknown code swallows what follows";
    EXPECT_EQ(r.tick(kGap), illegal);
    EXPECT_TRUE(r.feed({0x22, 0x01}, 1000).empty());
    EXPECT_EQ(r.tick(1000 + kGap), illegal) << "incomplete frame";
    // A program frame never followed by data is given up; later bytes are commands.
    EXPECT_EQ(r.feed({0x40, 0x00, 0x00, 0xFF}, 2000), wire::statusAnswer(0x06));
    EXPECT_TRUE(r.tick(2999).empty());
    EXPECT_TRUE(r.tick(3000).empty());
    EXPECT_EQ(r.feed({0xC5, 0, 0, 0, 0}, 3001).size(), 7u);
    EXPECT_EQ(r.model.at(0), 0xFF);
}

TEST(SimPacing, ElevenBitsPerCharacter) {
    EXPECT_EQ(quillsim::charTime(0).count(), 0);
    EXPECT_EQ(quillsim::charTime(9600).count(), 1145834);         // 11 / 9600 s, rounded up
    EXPECT_EQ(quillsim::wireTime(1000, 115200).count(), 95486112); // 11000 / 115200 s
    EXPECT_EQ(quillsim::wireTime(3, 1100).count(), 30000000);

    const auto ct = quillsim::charTime(1100); // 10 ms
    const steady_clock::time_point t{seconds(100)};
    quillsim::PacedLine tx;
    tx.setBaud(1100);
    tx.queued(0, t);
    EXPECT_EQ(tx.firstDone(5), t + ct);
    EXPECT_EQ(tx.due(5, t + ct - nanoseconds(1)), 0u);
    EXPECT_EQ(tx.due(5, t + ct), 1u);
    EXPECT_EQ(tx.due(5, t + ct * 3 + ct / 2), 3u);
    tx.sent(3);
    EXPECT_EQ(tx.firstDone(2), t + ct * 4);
    tx.sent(2);
    tx.queued(0, t + ct * 100); // an idle line does not owe a burst
    EXPECT_EQ(tx.due(1, t + ct * 100), 0u);
    EXPECT_EQ(tx.firstDone(1), t + ct * 101);

    quillsim::PacedLine rx;
    rx.setBaud(1100);
    EXPECT_EQ(rx.admit(t), t + ct);
    EXPECT_EQ(rx.admit(t), t + ct * 2) << "characters written together arrive one after another";
    EXPECT_EQ(rx.admit(t + seconds(1)), t + seconds(1) + ct);

    // The latency timer releases at the next multiple of its period, on one.
    const auto ms16 = std::chrono::milliseconds(16);
    EXPECT_EQ(quillsim::latencyRelease(t + nanoseconds(1), ms16), t + ms16);
    EXPECT_EQ(quillsim::latencyRelease(t + ms16, ms16), t + ms16);
    EXPECT_EQ(quillsim::latencyRelease(t + nanoseconds(7), nanoseconds(0)), t + nanoseconds(7));
}

}  // namespace
