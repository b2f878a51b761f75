// The far end of a pseudo-terminal, played by a test: a thread reads what the
// library writes and answers from a script, checking every byte on the wire.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace quilltest {

using Bytes = std::vector<uint8_t>;

class PtyPeer {
public:
    PtyPeer() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
    }
    ~PtyPeer() {
        Join();
        CloseMaster();
    }
    const std::string &slavePath() const { return slave_; }
    int master() const { return master_; }

    // Runs `script` on the peer thread.
    void Start(std::function<void(PtyPeer &)> script) {
        thread_ = std::thread([this, script] { script(*this); });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    // Reads exactly n bytes (generous time-out); a short read is a failure.
    Bytes Read(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            uint8_t buf[512];
            size_t want = n - got.size() < sizeof buf ? n - got.size() : sizeof buf;
            ssize_t r = ::read(master_, buf, want);
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        EXPECT_EQ(got.size(), n) << "peer expected " << n << " bytes";
        return got;
    }
    // Reads n bytes and checks them.
    void Expect(const Bytes &want) { EXPECT_EQ(Read(want.size()), want); }
    void Send(const Bytes &b) {
        size_t off = 0;
        while (off < b.size()) {
            ssize_t w = ::write(master_, b.data() + off, b.size() - off);
            if (w <= 0) {
                ADD_FAILURE() << "peer write failed";
                return;
            }
            off += static_cast<size_t>(w);
        }
    }
    // True when nothing more arrives within `quiet`.
    bool Quiet(std::chrono::milliseconds quiet) {
        pollfd p{master_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(quiet.count())) == 0;
    }
    // Line settings the host applied (the pty keeps them on the master side too).
    speed_t Speed() {
        termios t{};
        ::tcgetattr(master_, &t);
        return ::cfgetospeed(&t);
    }

private:
    int master_ = -1;
    std::string slave_;
    std::thread thread_;
};

}  // namespace quilltest
