// The virtual target over a real pseudo-terminal, driven by a scripted host:
// connect, flash rules, both frame forms, verify, security, checksum, faults,
// bad input, the COM alias and pacing.
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "sim/pacing.h"
#include "sim/virtual_target.h"
#include "sim_host.h"

namespace {

using quillsim::Bytes;
using quillsim::VirtualTarget;
using simtest::SimHost;
using namespace std::chrono_literals;

struct Bench {
    explicit Bench(const std::string &prm) : sim(simtest::samplePath(prm.c_str())) { open(); }
    explicit Bench(const quillsim::SimConfig &c) : sim(c) { open(); }
    void open() {
        sim.start();
        host = std::make_unique<SimHost>(sim.ptyPath());
    }
    VirtualTarget sim;
    std::unique_ptr<SimHost> host;
};

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/quillsim-test-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string path;
};

// One exchange of a script: a frame and the statuses it must get back.
struct Step {
    Bytes frame;
    Bytes statuses;
};
void runScript(SimHost &host, const std::vector<Step> &steps) {
    for (const auto &s : steps) EXPECT_EQ(host.command(s.frame, s.statuses.size()), s.statuses) << quillsim::wire::hex(s.frame);
}

// Security write as the host does it: start frame, the byte alone, the end
// byte, internal verify. Returns ST2 of the internal verify.
uint8_t writeSecurity(SimHost &host, uint8_t value) {
    EXPECT_EQ(host.command({0x40, 0x80, 0x00, 0x00}, 1), Bytes{0x06});
    EXPECT_EQ(host.sendData({value}), 0x06);
    EXPECT_EQ(host.read(1), Bytes{0x06});
    const Bytes st = host.command({0x19, 0x80, 0x00, 0x00}, 2);
    EXPECT_EQ(st[0], 0x06);
    return st[1];
}

const Bytes kOk{0x06, 0x06};
const Bytes kNotBlank{0x1A, 0x1A};   // blank check: ST1 says it
const Bytes kNotErased{0x06, 0x1A};  // erase check: ST2 says it
const Bytes kRefused{0x10, 0x10};

TEST(SimTarget, ConnectAndLineObservation) {
    Bench b("demo.prm");
    b.host->send({0x55});
    EXPECT_EQ(b.host->read(1), Bytes{0xAA});
    EXPECT_TRUE(b.host->quiet(100ms)) << "one byte answers the line start";
    EXPECT_EQ(b.host->connect(), 0x01);
    EXPECT_EQ(b.sim.observedBaud(), 115200u);
    const auto line = b.sim.observedLine();
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->raw);
    EXPECT_EQ(line->dataBits, 8u);
    b.host->setSpeed(B9600);
    EXPECT_EQ(b.sim.observedBaud(), 9600u);
    EXPECT_EQ(b.host->connect(), 0x01);
    EXPECT_TRUE(b.sim.waitForFrames(2, 5s)); // two reset handshakes
    const auto log = b.sim.transcript();
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const auto &e) { return e.command == quillsim::kResetCommand; }), 2);
}

TEST(SimTarget, FlashRulesBlankAndEraseChecks) {
    Bench b("demo.prm"); // 16 blocks of 4 KiB, unit form
    SimHost &h = *b.host;
    EXPECT_EQ(h.programPage(0x12, Bytes(16, 0x0F)), std::make_pair(uint8_t{0x06}, uint8_t{0x06}));
    // Programming can only clear bits: 0x0F then 0xF0 leaves 0x00, and the
    // internal verify says the cells could not take 0xF0.
    EXPECT_EQ(h.programPage(0x12, Bytes(16, 0xF0)).second, 0x1B);
    EXPECT_EQ(b.sim.flash()[0x1205], 0x00);

    runScript(h, {
        {SimHost::unitFrame(0x32, 0), kOk},          // blank check per block
        {SimHost::unitFrame(0x32, 1), kNotBlank},
        {SimHost::unitFrame(0x32, 2), kOk},
        {SimHost::unitFrame(0x30, 15), kNotErased},  // check after erase (none done)
        {SimHost::unitFrame(0x32, 0x80), kNotErased}, // right after 0x30: erase check of the chip
        {SimHost::unitFrame(0x32, 1), kNotBlank},    // after a 0x32: a blank check again
        {SimHost::unitFrame(0x22, 1), kOk},          // block erase
        {SimHost::unitFrame(0x32, 1), kOk},          // erase check of that block
        {SimHost::unitFrame(0x32, 1), kOk},          // blank check
        {SimHost::unitFrame(0x32, 16), {0x04, 0x04}}, // no block 16
    });
    EXPECT_EQ(b.sim.flash()[0x1205], 0xFF);

    b.sim.setFlash(0xF000, {0x00});
    runScript(h, {
        {SimHost::unitFrame(0x20, 15), kOk}, // chip erase: unit = last block
        {SimHost::unitFrame(0x30, 15), kOk},
        {SimHost::unitFrame(0x32, 0x80), kOk},
    });
    const auto flash = b.sim.flash();
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), 0x10000);
}

TEST(SimTarget, AddressFormDeviceTakesBothForms) {
    Bench b("demo-addr.prm"); // 16 blocks of 16 KiB
    SimHost &h = *b.host;
    b.sim.setFlash(0x12345, {0x00});
    runScript(h, {
        {SimHost::addressFrame(0x32, 0x00000, 0x03FFF), kOk},
        {SimHost::addressFrame(0x32, 0x10000, 0x13FFF), kNotBlank},
        {SimHost::unitFrame(0x32, 4), kNotBlank},                  // a blank-check retry in unit form
        {SimHost::addressFrame(0x22, 0x10000, 0x17FFF), kOk},      // blocks 4 and 5
        {SimHost::unitFrame(0x32, 4), kOk},                        // follow-up erase check, unit form
        {SimHost::addressFrame(0x20, 0x00000, 0x3FFFF), kOk},
        {SimHost::unitFrame(0x30, 15), kOk},
        {SimHost::unitFrame(0x32, 0x80), kOk},
        {SimHost::addressFrame(0x32, 0x3FF00, 0x40000), {0x04, 0x04}}, // past the end
    });
    EXPECT_EQ(b.sim.flash()[0x12345], 0xFF);

    // Signature of an address-form device: four ID bytes, so the end address
    // starts at byte 4 and the name at byte 7.
    EXPECT_EQ(h.command({0xC0, 0, 0, 0, 0}, 1), Bytes{0x06});
    const Bytes head = h.read(2);
    ASSERT_EQ(head.size(), 2u);
    ASSERT_EQ(head[1], 17);
    const Bytes d = h.read(17);
    EXPECT_EQ(h.read(2)[1], 0x03);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 4), (Bytes{0x51, 0x05, 0x20, 0x00}));
    EXPECT_EQ(Bytes(d.begin() + 4, d.begin() + 7), (Bytes{0x7F, 0x7F, 0x0F})); // 0x3FFFF
    std::string name;
    for (size_t i = 7; i < 17; ++i) name += char(d[i] & 0x7F);
    EXPECT_EQ(name, "QM17F256  ");
}

TEST(SimTarget, SignatureAndVersionOfAUnitFormDevice) {
    Bench b("demo.prm");
    b.sim.setFirmwareVersion(2, 5);
    b.sim.setSignatureId({0x10, 0x20, 0x30, 0x40});
    SimHost &h = *b.host;
    EXPECT_EQ(h.command({0xC0, 0, 0, 0, 0}, 1), Bytes{0x06});
    const Bytes f = h.read(2 + 17 + 2);
    ASSERT_EQ(f.size(), 21u);
    EXPECT_EQ(f[1], 17);
    EXPECT_EQ(Bytes(f.begin() + 2, f.begin() + 5), (Bytes{0x10, 0x20, 0x30}));
    EXPECT_EQ(Bytes(f.begin() + 5, f.begin() + 8), (Bytes{0x7F, 0x7F, 0x03})); // end 0xFFFF
    EXPECT_EQ(f[18], 16) << "block count";
    EXPECT_EQ(f.back(), 0x03);
    EXPECT_EQ(h.command({0xC5, 0, 0, 0, 0}, 1), Bytes{0x06});
    EXPECT_EQ(h.read(2), (Bytes{0x02, 0x05})) << "major, then minor as two BCD digits";
}

TEST(SimTarget, VerifyComparesChunksAndReportsMismatch) {
    Bench b("demo.prm");
    SimHost &h = *b.host;
    Bytes pattern(300);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 3);
    b.sim.setFlash(0x2000, pattern);
    auto verify = [&](Bytes data) {
        EXPECT_EQ(h.command(SimHost::addressFrame(0x13, 0x2000, 0x2000 + 299), 1), Bytes{0x06});
        EXPECT_EQ(h.sendData(Bytes(data.begin(), data.begin() + 256)), 0x06);
        const Bytes first = h.status(2);
        EXPECT_EQ(h.sendData(Bytes(data.begin() + 256, data.end())), 0x06);
        const Bytes second = h.status(2);
        EXPECT_TRUE(h.quiet(300ms)) << "no extra byte after a verify chunk";
        return std::make_pair(first, second);
    };
    EXPECT_EQ(verify(pattern), std::make_pair(kOk, kOk));
    b.sim.flipBit(0x2000 + 260, 3);
    EXPECT_EQ(verify(pattern), std::make_pair(kOk, (Bytes{0x06, 0x0F})));

    auto cfg = simtest::smallDevice(2, 0x1000);
    cfg.deviceName = "QZ40A-TEST";
    cfg.verifyStatusFrame = true;
    Bench qz(cfg);
    qz.host->send(SimHost::addressFrame(0x13, 0, 9));
    EXPECT_EQ(qz.host->read(5), (Bytes{0xE0, 0x01, 0x06, 0xE1, 0xE2})) << "first status as a status frame";
    EXPECT_EQ(qz.host->sendData(Bytes(10, 0xFF)), 0x06);
    EXPECT_EQ(qz.host->status(2), kOk);
}

TEST(SimTarget, SecurityFlagsForbidAndPersist) {
    TempDir dir;
    const std::string state = dir.path + "/state";
    {
        Bench b("demo.prm");
        ASSERT_TRUE(b.sim.setStateFile(state));
        SimHost &h = *b.host;
        EXPECT_EQ(writeSecurity(h, 0xF3), 0x06); // disable chip erase
        runScript(h, {
            {SimHost::unitFrame(0x20, 15), kRefused},
            {SimHost::unitFrame(0x22, 0), kOk},
        });
        EXPECT_EQ(h.programPage(0, {0x12}).first, 0x06);
        EXPECT_EQ(writeSecurity(h, 0xC3), 0x06); // add disable program
        EXPECT_EQ(b.sim.securityByte(), 0xC3);
        EXPECT_EQ(h.programPage(1, {0x12}).first, 0x10);
        EXPECT_EQ(writeSecurity(h, 0xFF), 0x1B) << "flags cannot be cleared";
        EXPECT_EQ(b.sim.securityByte(), 0xC3);
        EXPECT_EQ(writeSecurity(h, 0xFC), 0x1B) << "disable block erase on top: stored 0xC0, not 0xFC";
        EXPECT_EQ(h.command(SimHost::unitFrame(0x22, 0), 2), kRefused);
    }
    std::ifstream in(state);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "security=0xC0");
    Bench again("demo.prm");
    ASSERT_TRUE(again.sim.setStateFile(state));
    EXPECT_EQ(again.sim.securityByte(), 0xC0);
    EXPECT_EQ(again.host->command(SimHost::unitFrame(0x20, 15), 2), kRefused);
}

TEST(SimTarget, ChecksumRunsFromZeroToTheEndPageLowByteFirst) {
    Bench b("demo.prm");
    Bytes data(0x1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i ^ (i >> 5));
    b.sim.setFlash(0, data);
    const auto flash = b.sim.flash();
    for (uint8_t page : {uint8_t{0x00}, uint8_t{0x0F}, uint8_t{0xFF}}) {
        const uint16_t want = quillsim::wire::checksum(flash.data(), (size_t{page} + 1) * 256);
        EXPECT_EQ(b.host->command({0xB0, page, 0x00, 0xFF}, 1), Bytes{0x06});
        EXPECT_EQ(b.host->read(2), (Bytes{uint8_t(want & 0xFF), uint8_t(want >> 8)})) << int(page);
    }
}

TEST(SimTarget, PollingHostGetsFreshStatusesWithoutResending) {
    Bench b("demo.prm");
    SimHost &h = *b.host;
    b.sim.addFault("busy:0x32:2");
    EXPECT_EQ(h.command(SimHost::unitFrame(0x32, 3), 2), (Bytes{0x07, 0x06}));
    EXPECT_EQ(h.status(2), (Bytes{0x07, 0x06})) << "read again without writing";
    EXPECT_EQ(h.status(2), kOk);
    EXPECT_TRUE(h.quiet(500ms));

    // A busy verify chunk: the host either polls or sends the chunk again.
    EXPECT_EQ(h.command(SimHost::addressFrame(0x13, 0, 19), 1), Bytes{0x06});
    b.sim.addFault("busy:0x13:1");
    EXPECT_EQ(h.sendData(Bytes(10, 0xFF)), 0x06);
    EXPECT_EQ(h.sendData(Bytes(10, 0xFF)), 0x06);
    EXPECT_EQ(h.status(2), (Bytes{0x07, 0x06}));
    EXPECT_EQ(h.status(2), kOk) << "polled verdict for the first chunk";
    // Nothing was counted twice: the range ends after the second chunk.
    b.sim.addFault("busy:0x13:1:0x15");
    EXPECT_EQ(h.command(SimHost::addressFrame(0x13, 0, 9), 1), (Bytes{0x15}));
    EXPECT_EQ(h.command(SimHost::addressFrame(0x13, 0, 9), 1), Bytes{0x06}) << "re-sent verify frame";
    b.sim.setFlash(3, {0x00});
    b.sim.addFault("busy:0x13:1");
    EXPECT_EQ(h.sendData(Bytes(10, 0xFF)), 0x06);
    EXPECT_EQ(h.status(2), (Bytes{0x07, 0x06}));
    EXPECT_EQ(h.sendData(Bytes(10, 0xFF)), 0x06) << "chunk sent again";
    EXPECT_EQ(h.status(2), (Bytes{0x06, 0x0F}));
}

TEST(SimTarget, ScriptedFaults) {
    Bench b("demo.prm");
    SimHost &h = *b.host;
    b.sim.addFault("busy:reset");
    EXPECT_EQ(h.connect(), 0x07);
    EXPECT_EQ(h.connect(), 0x01);

    b.sim.addFault("write-fail:0x1E:byte=5");
    EXPECT_EQ(h.command({0x40, 0x00, 0x00, 0xFF}, 1), Bytes{0x06});
    EXPECT_EQ(h.sendData(Bytes(8, 0x00)), 0x1E);
    EXPECT_TRUE(h.quiet(500ms)) << "no end-of-chunk byte after a failed byte";
    const auto flash = b.sim.flash();
    EXPECT_EQ(std::count(flash.begin(), flash.begin() + 8, 0x00), 5);

    b.sim.addFault("illegal:0xC0");
    EXPECT_EQ(h.command({0xC0, 0, 0, 0, 0}, 1), Bytes{0x04});
    b.sim.addFault("wrong-end");
    EXPECT_EQ(h.command({0xC0, 0, 0, 0, 0}, 1), Bytes{0x06});
    EXPECT_EQ(h.read(21).back(), 0x02);

    b.sim.addFault("not-erased:1");
    runScript(h, {
        {SimHost::unitFrame(0x20, 15), kOk},
        {SimHost::unitFrame(0x30, 15), kNotErased},
        {SimHost::unitFrame(0x20, 15), kOk}, // the host erases again
        {SimHost::unitFrame(0x30, 15), kOk},
    });

    b.sim.addFault("slow-erase:ms=600");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(h.command(SimHost::unitFrame(0x22, 2), 2), kOk);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 600ms);
}

TEST(SimTarget, SilenceForAWhile) {
    Bench b("demo.prm");
    b.sim.addFault("silence:after=1:ms=600");
    EXPECT_EQ(b.host->connect(), 0x01);
    b.host->send({0xC5, 0, 0, 0, 0});
    EXPECT_TRUE(b.host->quiet(300ms)) << "silent after the first frame";
    // Ask until the device answers again (the host's retries do the same).
    Bytes st;
    const auto t0 = std::chrono::steady_clock::now();
    while (st != Bytes{0x06} && std::chrono::steady_clock::now() - t0 < 10s) {
        b.host->purge();
        b.host->send({0xC5, 0, 0, 0, 0});
        pollfd p{b.host->fd(), POLLIN, 0};
        if (::poll(&p, 1, 300) > 0) st = b.host->status(1);
    }
    EXPECT_EQ(st, Bytes{0x06});
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
}

TEST(SimTarget, VanishingPortTakesItsAlias) {
    TempDir dir;
    Bench b("demo.prm");
    const std::string alias = b.sim.registerAlias(40, dir.path);
    b.sim.addFault("vanish:after=1");
    EXPECT_EQ(b.host->connect(), 0x01) << "the last answer still arrives";
    pollfd p{b.host->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    EXPECT_TRUE(b.sim.vanished());
    struct stat sb{};
    EXPECT_NE(::lstat(alias.c_str(), &sb), 0) << "alias removed with the port";
}

TEST(SimTarget, BadInputNeverStopsTheDevice) {
    Bench b("demo.prm");
    SimHost &h = *b.host;
    h.send({0x77, 0x12, 0x34});
    EXPECT_EQ(h.status(2), (Bytes{0x04, 0x04})) << "unknown command";
    // Two commands before reading: both answered, in order.
    h.send({0xC5, 0, 0, 0, 0, 0xC5, 0, 0, 0, 0});
    EXPECT_EQ(h.read(14), (Bytes{0xE0, 0xE1, 0xE2, 0xE3, 0x06, 0x01, 0x00, 0xE0, 0xE1, 0xE2, 0xE3, 0x06, 0x01, 0x00}));
    // The host goes away before the answer and comes back: the answer is
    // still there for it, and the device goes on as before.
    h.send({0xC0, 0, 0, 0, 0});
    b.host.reset();
    b.host = std::make_unique<SimHost>(b.sim.ptyPath());
    EXPECT_EQ(b.host->read(5 + 21).back(), 0x03);
    EXPECT_EQ(b.host->connect(), 0x01);
    EXPECT_TRUE(b.sim.running());
}

TEST(SimTarget, AliasLifecycle) {
    TempDir dir;
    std::string entry;
    {
        Bench b("demo.prm");
        entry = b.sim.registerAlias(7, dir.path);
        EXPECT_EQ(entry, dir.path + "/COM7");
        EXPECT_EQ(std::filesystem::read_symlink(entry).string(), b.sim.ptyPath());
        Bench other("demo.prm");
        EXPECT_THROW(other.sim.registerAlias(7, dir.path), std::runtime_error) << "COM7 is taken by a live port";
        EXPECT_THROW(other.sim.registerAlias(256, dir.path), std::runtime_error);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(entry))) << "removed on stop";
    std::filesystem::create_symlink("/nonexistent/pts/99", entry);
    Bench b("demo.prm");
    EXPECT_EQ(b.sim.registerAlias(7, dir.path), entry) << "a stale entry is replaced";
    EXPECT_EQ(std::filesystem::read_symlink(entry).string(), b.sim.ptyPath());
}

TEST(SimTarget, PacingHoldsBothDirectionsToTheBaud) {
    Bench b("demo.prm");
    b.sim.setPacingBaud(9600);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(b.host->command({0xC0, 0, 0, 0, 0}, 1), Bytes{0x06});
    EXPECT_EQ(b.host->read(21).size(), 21u);
    // 5 characters in, 26 out, 11 bits each; lower bound only.
    EXPECT_GE(std::chrono::steady_clock::now() - t0, quillsim::wireTime(31, 9600));

    // An adapter's latency timer holds the next answer to a multiple of its period.
    b.sim.setPacingBaud(0);
    b.sim.setLatency(std::chrono::milliseconds(50));
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(b.host->command({0xC0, 0, 0, 0, 0}, 1), Bytes{0x06});
    EXPECT_GE(std::chrono::steady_clock::now(), quillsim::latencyRelease(sent, std::chrono::milliseconds(50)));
    EXPECT_EQ(b.host->read(21).size(), 21u);
}

}  // namespace
