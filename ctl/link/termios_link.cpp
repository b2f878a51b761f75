// The link on a serial device through termios: exclusive open, raw 8E1,
// exact reads against one deadline that also wake on the handle's cancel
// descriptor.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>
#include <string>

#include "link/adapter.h"
#include "link/com_port.h"
#include "link/link.h"
#include "link/posix_ops.h"

namespace quill {
namespace {

using Clock = std::chrono::steady_clock;

speed_t SpeedOf(uint32_t baud) {
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

void ModemBits(int fd, unsigned long request, int bits) {
    if (fd < 0) return;
    int b = bits;
    (void)::ioctl(fd, request, &b);
}

class TermiosLink final : public Link {
public:
    explicit TermiosLink(int fd) : fd_(fd) { Tune(); }
    ~TermiosLink() override {
        Untune();
        ComClose(fd_);
    }

    int32_t ReadExact(uint8_t *buf, size_t count, uint32_t timeoutMs, bool wakeOnAbort) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t got = 0;
        // Loop until we have the requested number of bytes.
        while (got < count) {
            ssize_t n = Posix().read(fd_, buf + got, count - got);
            if (n > 0) {
                got += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // A non-blocking terminal says "nothing yet" with EAGAIN; 0 or any
            // other error means the device has gone (hang-up, unplugged adapter).
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return PRR_STATUS_COM_READ;
            int r = WaitReady(POLLIN, deadline, wakeOnAbort);
            if (r < 0) return PRR_STATUS_COM_READ;
            if (r == 0) return PRR_STATUS_READ_TIMEOUT;
        }
        return 0;
    }

    int32_t Write(const uint8_t *buf, size_t count) override {
        size_t done = 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
        while (done < count) {
            ssize_t n = Posix().write(fd_, buf + done, count - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                deadline = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return PRR_STATUS_COM_WRITE;
            if (WaitReady(POLLOUT, deadline, false) != 1) return PRR_STATUS_COM_WRITE;
        }
        return 0;
    }

    void PurgeRx() override { (void)::tcflush(fd_, TCIFLUSH); }

    int32_t SetFormat(uint32_t baud) override { return ComSetFormat(fd_, baud); }

    void SetModemLine(ModemLine line, bool on) override {
        ModemBits(fd_, on ? TIOCMBIS : TIOCMBIC, line == ModemLine::kRts ? TIOCM_RTS : TIOCM_DTR);
    }

    int Descriptor() const override { return fd_; }
    LinkTuning Tuning() const override { return tuning_; }

private:
    // Every data byte waits for its acknowledge, so an adapter that holds
    // answers for its latency timer (16 ms by default on FTDI) makes a
    // program take minutes instead of seconds.
    void Tune() {
        AdapterInfo adapter;
        // Read before the low-latency request: the FTDI driver moves the timer with it.
        const bool known = ReadAdapterOfDescriptor(fd_, &adapter) && !adapter.latencyPath.empty();
        if (known) tuning_.latencyTimerWasMs = tuning_.latencyTimerMs = adapter.latencyTimerMs;
        serial_struct ss{};
        if (PosixIoctl(fd_, TIOCGSERIAL, &ss) != 0) {
            tuning_.lowLatency = 0;  // a pseudo-terminal, or a driver without serial info
        } else if (ss.flags & ASYNC_LOW_LATENCY) {
            tuning_.lowLatency = 1;
        } else {
            ss.flags |= ASYNC_LOW_LATENCY;
            restoreLowLatency_ = PosixIoctl(fd_, TIOCSSERIAL, &ss) == 0;
            tuning_.lowLatency = restoreLowLatency_ ? 1 : 0;
        }
        if (!known) return;
        const int now = ReadLatencyTimer(adapter.latencyPath);
        if (now >= 0) tuning_.latencyTimerMs = now;
        if (tuning_.latencyTimerMs > 1 && WriteLatencyTimer(adapter.latencyPath, 1)) {
            tuning_.latencyTimerMs = 1;
            latencyPath_ = adapter.latencyPath;
        }
    }

    // Leaves the adapter as the next program expects to find it.
    void Untune() {
        if (restoreLowLatency_) {
            serial_struct ss{};
            if (PosixIoctl(fd_, TIOCGSERIAL, &ss) == 0) {
                ss.flags &= ~ASYNC_LOW_LATENCY;
                (void)PosixIoctl(fd_, TIOCSSERIAL, &ss);
            }
        }
        if (!latencyPath_.empty()) (void)WriteLatencyTimer(latencyPath_, tuning_.latencyTimerWasMs);
    }

    // Waits until the port is ready for `events`, the deadline passes, or the
    // handle's wake fires (an abort only with `wakeOnAbort`): 1 ready (or hung up), 0 timed out, -1 error or woken.
    // The deadline comes before readiness: a port that keeps signalling a
    // hang-up while reads find nothing must still time out.
    int WaitReady(short events, Clock::time_point deadline, bool wakeOnAbort) {
        const int cancelFd = wake_.cancel != nullptr ? wake_.cancel->fd() : -1;
        const int abortFd = wakeOnAbort && wake_.abort != nullptr ? wake_.abort->fd() : -1;
        for (;;) {
            if (wake_.Interrupted(wakeOnAbort)) return -1;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return 0;
            // poll skips entries whose descriptor is -1.
            pollfd fds[3] = {{fd_, events, 0}, {cancelFd, POLLIN, 0}, {abortFd, POLLIN, 0}};
            int r = Posix().poll(fds, 3, static_cast<int>(left));
            if (r < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if ((fds[1].revents | fds[2].revents) & POLLIN) return -1;
            if (fds[0].revents & POLLNVAL) return -1;
            if (fds[0].revents & (events | POLLHUP | POLLERR)) return 1;
        }
    }

    int fd_;
    LinkTuning tuning_;
    bool restoreLowLatency_ = false;
    std::string latencyPath_;  // the timer this link lowered, to put back
};

}  // namespace

int ComOpen(const char *path) {
    if (path == nullptr || path[0] == '\0') return -1;
    int fd;
    do {
        fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    if (!::isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    // Keeps other non-root openers away; flock is what also stops root.
    (void)::ioctl(fd, TIOCEXCL);
    return fd;
}

void ComClose(int fd) {
    if (fd < 0) return;
    // A pseudo-terminal keeps the exclusive flag after close; clear it so the
    // next opener is not refused.
    (void)::ioctl(fd, TIOCNXCL);
    ::close(fd);  // Don't retry close in case of EINTR!
}

bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;  // UNIX98 pseudo-terminal slaves
}

int32_t ComSetFormat(int fd, uint32_t baud) {
    const speed_t speed = SpeedOf(baud);
    if (fd < 0 || speed == B0) return PRR_STATUS_COM_SETTING;
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return PRR_STATUS_COM_SETTING;
    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | CSTOPB | PARODD | CRTSCTS);
    t.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY | IGNPAR | PARMRK | ISTRIP);
    t.c_iflag |= INPCK;
    // VMIN 1: with O_NONBLOCK an empty queue then reads as EAGAIN, and a
    // read of 0 can only mean that the device hung up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    // glibc reports EINVAL on a pseudo-terminal that dropped PARENB even when
    // everything else took, so judge by what the port now holds.
    (void)::tcsetattr(fd, TCSANOW, &t);
    termios now{};
    if (::tcgetattr(fd, &now) != 0) return PRR_STATUS_COM_SETTING;
    const bool speedOk = ::cfgetospeed(&now) == speed && ::cfgetispeed(&now) == speed;
    const bool sizeOk = (now.c_cflag & CSIZE) == CS8 && !(now.c_cflag & CSTOPB);
    const bool rawOk = !(now.c_lflag & (ICANON | ECHO | ISIG)) && !(now.c_iflag & (IXON | IXOFF | ICRNL)) &&
                       !(now.c_oflag & OPOST);
    const bool parityOk = ((now.c_cflag & (PARENB | PARODD)) == PARENB) || IsPseudoTerminal(fd);
    if (!speedOk || !sizeOk || !rawOk || !parityOk) return PRR_STATUS_COM_SETTING;
    // The driver asserts both lines when the settings are applied.
    ModemBits(fd, TIOCMBIS, TIOCM_DTR | TIOCM_RTS);
    return 0;
}

Link *OpenSerialLink(const char *path) {
    const int fd = ComOpen(path);
    if (fd < 0) return nullptr;
    Link *link = new (std::nothrow) TermiosLink(fd);
    if (link == nullptr) ComClose(fd);
    return link;
}

}  // namespace quill
