// A small scripted host for the virtual target's tests: it opens the pty the
// way the real host opens a COM port and speaks the protocol byte by byte,
// written from the wire description and independent of the library.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_config.h"
#include "sim/wire.h"

namespace simtest {

using quillsim::Bytes;
using namespace std::chrono_literals;

inline std::string samplePath(const char *name) { return std::string(QUILLROM_SAMPLES_DIR) + "/" + name; }

class SimHost {
public:
    explicit SimHost(const std::string &path, speed_t speed = B115200) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            ADD_FAILURE() << "cannot open " << path;
            return;
        }
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
        setSpeed(speed);
    }
    ~SimHost() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }

    // Raw 8E1 at `speed`, as the host applies it.
    void setSpeed(speed_t speed) {
        termios t{};
        ASSERT_EQ(::tcgetattr(fd_, &t), 0);
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD | PARENB;
        t.c_cflag &= ~(PARODD | CSTOPB);
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        // A pty drops PARENB, and the kernel then reports EINVAL when nothing
        // else changed: judge by what the line holds afterwards.
        (void)::tcsetattr(fd_, TCSANOW, &t);
        termios now{};
        ASSERT_EQ(::tcgetattr(fd_, &now), 0);
        ASSERT_EQ(::cfgetospeed(&now), speed);
        ASSERT_EQ(now.c_lflag & (ECHO | ICANON), 0u);
    }
    void purge() { ::tcflush(fd_, TCIFLUSH); }

    void send(const Bytes &b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

    // Exactly n bytes within a generous time-out; what arrived otherwise.
    Bytes read(size_t n, std::chrono::milliseconds timeout = 5s) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            if (p.revents & (POLLHUP | POLLERR)) break;
            uint8_t buf[512];
            const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        EXPECT_EQ(got.size(), n) << "host expected " << n << " bytes";
        return got;
    }
    // True when nothing arrives within `quiet`.
    bool quiet(std::chrono::milliseconds quiet) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(quiet.count())) == 0;
    }

    // Status answer: four ignored bytes (never 0x06), then `count` statuses.
    Bytes status(size_t count) {
        const Bytes a = read(4 + count);
        if (a.size() != 4 + count) return Bytes(count, 0);
        for (size_t i = 0; i < 4; ++i) EXPECT_NE(a[i], quillsim::wire::kAck) << "filler byte " << i;
        return Bytes(a.begin() + 4, a.end());
    }
    Bytes command(const Bytes &frame, size_t statuses) {
        send(frame);
        return status(statuses);
    }

    // Line start and reset handshake; returns the fifth answer byte.
    uint8_t connect() {
        send({quillsim::wire::kLineStart});
        EXPECT_EQ(read(1).size(), 1u);
        purge();
        for (uint8_t b : quillsim::wire::kResetSequence) send({b});
        const Bytes a = read(5);
        return a.size() == 5 ? a[4] : 0;
    }

    // Sends bytes one at a time, each followed by its acknowledgement; stops at
    // the first status other than 0x06 and returns it (0x06 when all went through).
    uint8_t sendData(const Bytes &data) {
        for (uint8_t b : data) {
            send({b});
            const Bytes ack = read(2);
            if (ack.size() != 2) return 0;
            EXPECT_NE(ack[0], quillsim::wire::kAck);
            if (ack[1] != quillsim::wire::kAck) return ack[1];
        }
        return quillsim::wire::kAck;
    }

    // One page: program frame, data with acks, the end-of-chunk byte, internal
    // verify. Returns {status of the program frame, ST2 of the internal verify}.
    std::pair<uint8_t, uint8_t> programPage(uint8_t page, const Bytes &data) {
        const Bytes st = command({0x40, page, 0x00, 0xFF}, 1);
        if (st[0] != quillsim::wire::kAck) return {st[0], 0};
        EXPECT_EQ(sendData(data), quillsim::wire::kAck);
        EXPECT_EQ(read(1), Bytes{quillsim::wire::kAck}) << "end-of-chunk byte";
        const Bytes iv = command({0x19, page, 0x00, 0xFF}, 2);
        EXPECT_EQ(iv[0], quillsim::wire::kAck);
        return {st[0], iv[1]};
    }

    static Bytes addressFrame(uint8_t code, uint32_t start, uint32_t end) {
        return {code, uint8_t(start >> 16), uint8_t(start >> 8), uint8_t(start), uint8_t(end >> 16), uint8_t(end >> 8), uint8_t(end),
                0, 0, 0, 0};
    }
    static Bytes unitFrame(uint8_t code, uint8_t unit) { return {code, unit, 0x00, 0xFF}; }

private:
    int fd_ = -1;
};

// A small device without a parameter file: `blocks` blocks of `blockSize` bytes.
inline quillsim::SimConfig smallDevice(size_t blocks, uint32_t blockSize, bool addressForm = false) {
    quillsim::SimConfig c;
    c.deviceName = "TESTDEV";
    c.deviceCode = 0x0123;
    for (size_t i = 0; i < blocks; ++i) c.blocks.push_back({uint32_t(i) * blockSize, uint32_t(i + 1) * blockSize - 1});
    c.addressForm = addressForm;
    c.signatureId = quillsim::defaultSignatureId(c.deviceCode);
    c.signatureName = c.deviceName;
    return c;
}

}  // namespace simtest
