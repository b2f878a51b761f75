// The serial layer over a real pseudo-terminal: exact reads, deadlines,
// hang-ups, exclusivity, system call interruptions.
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>

#include "link/posix_ops.h"
#include "platform/handle_core.h"
#include "link_fixture.h"
#include "sequence/sequences.h"

using namespace quill;
using namespace quilltest;
using Clock = std::chrono::steady_clock;

namespace {

using SerialTest = LinkFixture;

TEST_F(SerialTest, ExactReadCollectsBytesThatArriveInPieces) {
    peer.Start([](PtyPeer &p) {
        p.Send({1, 2});
        p.Send({3, 4, 5});
    });
    uint8_t buf[5] = {};
    ComSetReadTimeout(h, 100);
    ASSERT_EQ(ComRead(h, buf, 5), 0);
    EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(SerialTest, ShortAnswerTimesOutAfterThePerByteAllowance) {
    peer.Start([](PtyPeer &p) { p.Send({1, 2, 3}); });
    uint8_t buf[5];
    ComSetReadTimeout(h, 100);
    const auto t0 = Clock::now();
    EXPECT_EQ(ComRead(h, buf, 5), PRR_STATUS_READ_TIMEOUT);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(took, 1590);  // 300 ms x 5 + 100 ms
    EXPECT_LT(took, 4000);
}

TEST_F(SerialTest, VanishingDeviceEndsTheReadWithAReadError) {
    peer.Start([](PtyPeer &p) {
        p.Send({7});
        p.CloseMaster();
    });
    uint8_t buf[4];
    ComSetReadTimeout(h, 2000);
    const auto t0 = Clock::now();
    EXPECT_EQ(ComRead(h, buf, 4), PRR_STATUS_COM_READ);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500));
}

TEST_F(SerialTest, SecondOpenOfAPortInUseFails) {
    EXPECT_LT(ComOpen(peer.slavePath().c_str()), 0);
    EXPECT_LT(ComOpen("/nonexistent/ttyQ9"), 0);
    EXPECT_LT(ComOpen("/dev/null"), 0) << "not a terminal";
    LinkClosePort(h);
    EXPECT_EQ(ComOpenPort(h, peer.slavePath().c_str()), 0) << "closing frees the port";
}

TEST_F(SerialTest, IdleLineDropsTo9600AndPrepareSpeedComesBack) {
    EXPECT_EQ(peer.Speed(), B115200);
    LinkIdle(h);
    EXPECT_EQ(peer.Speed(), B9600);
    EXPECT_EQ(h->readTimeoutMs, 2000u);
    EXPECT_EQ(ComSetFormat(h, kBaudDevice), 0);
    EXPECT_EQ(peer.Speed(), B115200);
}

TEST_F(SerialTest, PurgeDropsStaleInput) {
    peer.Send({9, 9, 9});
    ASSERT_TRUE(peer.Quiet(std::chrono::milliseconds(50)));
    // Wait until the bytes are readable on our side before purging.
    pollfd p{h->port, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    ComPurgeRx(h);
    uint8_t b;
    EXPECT_EQ(ComReadByte(h, &b, 50), PRR_STATUS_READ_TIMEOUT);
}

// System calls that misbehave the way real ones may: EINTR and short writes.
std::atomic<int> g_interrupts{0};
ssize_t ChoppyWrite(int fd, const void *buf, size_t count) {
    if (g_interrupts.fetch_add(1) % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    return ::write(fd, buf, count > 1 ? 1 : count);
}
ssize_t InterruptedRead(int fd, void *buf, size_t count) {
    if (g_interrupts.fetch_add(1) % 3 == 0) {
        errno = EINTR;
        return -1;
    }
    return ::read(fd, buf, count);
}
int InterruptedPoll(pollfd *fds, nfds_t n, int timeout) {
    if (g_interrupts.fetch_add(1) % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    return ::poll(fds, n, timeout);
}
const PosixOps kChoppy = {InterruptedRead, ChoppyWrite, InterruptedPoll, nullptr};

TEST_F(SerialTest, InterruptedAndShortSystemCallsStillMoveEveryByte) {
    SetPosixOpsForTesting(&kChoppy);
    peer.Start([](PtyPeer &p) {
        p.Expect({0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
        p.Send({0xA1, 0xA2, 0xA3});
    });
    const uint8_t out[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    EXPECT_EQ(ComWrite(h, out, sizeof out), 0);
    uint8_t in[3] = {};
    ComSetReadTimeout(h, 1000);
    EXPECT_EQ(ComRead(h, in, 3), 0);
    SetPosixOpsForTesting(nullptr);
    EXPECT_EQ(Bytes(in, in + 3), (Bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_GT(g_interrupts.load(), 6);
}

ssize_t FailingWrite(int, const void *, size_t) {
    errno = EIO;
    return -1;
}
const PosixOps kBrokenWrite = {::read, FailingWrite, ::poll, nullptr};

TEST_F(SerialTest, WriteErrorIsCode8) {
    SetPosixOpsForTesting(&kBrokenWrite);
    const uint8_t b = 1;
    EXPECT_EQ(ComWrite(h, &b, 1), PRR_STATUS_COM_WRITE);
    SetPosixOpsForTesting(nullptr);
    FlashHandle closed{};
    closed.port = PRR_INVALID_PORT;
    EXPECT_EQ(ComWrite(&closed, &b, 1), PRR_STATUS_COM_WRITE);
}

// A port that keeps signalling a hang-up while its reads find nothing.
Clock::time_point g_giveUpAt;
std::atomic<bool> g_spunPastDeadline{false};
ssize_t NothingYet(int, void *, size_t) {
    errno = EAGAIN;
    return -1;
}
int HangUpForever(pollfd *fds, nfds_t n, int) {
    for (nfds_t i = 0; i < n; ++i) fds[i].revents = 0;
    if (Clock::now() > g_giveUpAt) {
        g_spunPastDeadline = true;  // lets a read that ignores its deadline end after all
        return 0;
    }
    fds[0].revents = POLLHUP;
    return 1;
}
const PosixOps kHangUp = {NothingYet, ::write, HangUpForever, nullptr};

TEST_F(SerialTest, ReadOnAPortThatKeepsHangingUpStillEndsAtItsDeadline) {
    ComSetReadTimeout(h, 0);  // 300 ms for one byte
    g_giveUpAt = Clock::now() + std::chrono::seconds(5);
    SetPosixOpsForTesting(&kHangUp);
    uint8_t b = 0;
    const int32_t code = ComRead(h, &b, 1);
    SetPosixOpsForTesting(nullptr);
    EXPECT_EQ(code, PRR_STATUS_READ_TIMEOUT);
    EXPECT_FALSE(g_spunPastDeadline) << "the read went on past its deadline";
}

// An abort ends a read timed by the device's own work (a time code, up to
// minutes) at once, but not the short reads of a data exchange, which
// finish on their own and must not leave the device mid-page.
TEST_F(SerialTest, AbortEndsDeviceWaitsButNotShortReads) {
    HandleCore &core = CoreOf(h);
    const uint8_t frame[4] = {0x20, 0x00, 0x00, 0xFF};
    peer.Start([&](PtyPeer &p) {
        p.Expect({0x20, 0x00, 0x00, 0xFF});
        core.SignalAbort();  // as PRRFlshAbort does, before its message
    });
    ASSERT_EQ(ComWrite(h, frame, sizeof frame), 0);
    ComSetDeviceWaitTimeout(h, 20000);
    uint8_t head[2] = {};
    EXPECT_EQ(ComRead(h, head, 2), PRR_STATUS_COM_READ) << "the wait was not ended by the abort";
    peer.Join();

    ComSetReadTimeout(h, 100);
    EXPECT_EQ(ComRead(h, head, 1), PRR_STATUS_READ_TIMEOUT) << "a short read runs to its own time-out";
    core.TakeAbort();  // as the worker does when it takes the message
    ComSetDeviceWaitTimeout(h, 0);
    EXPECT_EQ(ComRead(h, head, 1), PRR_STATUS_READ_TIMEOUT) << "an abort taken no longer wakes anything";
}

}  // namespace

namespace {

// Opening by COM number through an alias, as a connect does.
TEST(LinkProcedureTest, PrepareOpensByComNumberAndStartSendsTheLineStartByte) {
    PtyPeer peer;
    char tmpl[] = "/tmp/quill-aliasXXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    ASSERT_EQ(::symlink(peer.slavePath().c_str(), (dir + "/COM12").c_str()), 0);
    ::setenv("QUILLROM_PORTS_DIR", dir.c_str(), 1);

    // No worker thread: this test drives the handle itself.
    FlashHandle *h = FlashOpenManualForTesting(nullptr, 0, "prepare", &IdleTable());
    ASSERT_NE(h, nullptr);
    h->reset.portNumber = 13;  // nothing there
    EXPECT_EQ(ConnectPrepare(h), PRR_STATUS_COM_OPEN);
    EXPECT_EQ(h->port, PRR_INVALID_PORT);
    EXPECT_EQ(h->writeIndex, 0) << "no records for a failed open";

    h->reset.portNumber = 12;
    ASSERT_EQ(ConnectPrepare(h), 0);
    ASSERT_NE(h->port, PRR_INVALID_PORT);
    EXPECT_STREQ(h->ring[0].text, "Flash Resetting...");
    EXPECT_STREQ(h->ring[1].text, "OK.");
    EXPECT_EQ(h->ring[1].percent, 5u);
    EXPECT_EQ(h->readTimeoutMs, 2000u);
    EXPECT_EQ(peer.Speed(), B115200);

    // A second prepare keeps the open port and applies the settings again.
    const int fd = h->port;
    LinkIdle(h);
    ASSERT_EQ(ConnectPrepare(h), 0);
    EXPECT_EQ(h->port, fd);
    EXPECT_EQ(peer.Speed(), B115200);

    peer.Start([](PtyPeer &p) {
        p.Expect({0x55});
        p.Send({0x00});
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(LinkStart(h), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
    peer.Join();
    FlashClose(h);

    // Without a port the procedure still runs and reports nothing; the first
    // protocol write then fails.
    FlashHandle *closed = FlashOpen(nullptr, 0, "closed", &IdleTable());
    EXPECT_EQ(LinkStart(closed), 0);
    const uint8_t b = 1;
    EXPECT_EQ(ComWrite(closed, &b, 1), PRR_STATUS_COM_WRITE);
    FlashClose(closed);
    ::unlink((dir + "/COM12").c_str());
    ::rmdir(dir.c_str());
    ::unsetenv("QUILLROM_PORTS_DIR");
}

}  // namespace
