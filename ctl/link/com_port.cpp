#include "link/com_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "link/posix_ops.h"
#include "worker/flash_worker.h"

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

void ModemLine(int fd, unsigned long request, int bits) {
    if (fd < 0) return;
    int b = bits;
    (void)::ioctl(fd, request, &b);
}

// Waits until `fd` is ready for `events` or the cancel descriptor fires.
// 1 ready (or hung up), 0 timed out, -1 error or cancelled.
int WaitReady(FlashHandle *h, int fd, short events, Clock::time_point deadline) {
    const int cancel = CancelFd(h);
    for (;;) {
        if (Cancelled(h)) return -1;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        pollfd fds[2] = {{fd, events, 0}, {cancel, POLLIN, 0}};
        int r = Posix().poll(fds, cancel >= 0 ? 2 : 1, static_cast<int>(left));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (cancel >= 0 && (fds[1].revents & POLLIN)) return -1;
        if (fds[0].revents & POLLNVAL) return -1;
        if (fds[0].revents & (events | POLLHUP | POLLERR)) return 1;
        if (Clock::now() >= deadline) return 0;
    }
}

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
    ModemLine(fd, TIOCMBIS, TIOCM_DTR | TIOCM_RTS);
    return 0;
}

int32_t ComSetReadTimeout(FlashHandle *h, uint32_t constantMs) {
    h->readTimeoutMs = constantMs;
    return 0;
}

int32_t ComRead(FlashHandle *h, uint8_t *buf, size_t count) {
    const int fd = h->port;
    if (fd < 0) return PRR_STATUS_COM_READ;
    const auto total = std::chrono::milliseconds(uint64_t(kReadMsPerByte) * count + h->readTimeoutMs);
    const auto deadline = Clock::now() + total;
    size_t got = 0;
    // Loop until we have the requested number of bytes.
    while (got < count) {
        ssize_t n = Posix().read(fd, buf + got, count - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A non-blocking terminal says "nothing yet" with EAGAIN; 0 or any
        // other error means the device has gone (hang-up, unplugged adapter).
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return PRR_STATUS_COM_READ;
        int r = WaitReady(h, fd, POLLIN, deadline);
        if (r < 0) return PRR_STATUS_COM_READ;
        if (r == 0) return PRR_STATUS_READ_TIMEOUT;
    }
    return 0;
}

int32_t ComWrite(FlashHandle *h, const uint8_t *buf, size_t count) {
    const int fd = h->port;
    if (fd < 0) return PRR_STATUS_COM_WRITE;
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
    while (done < count) {
        ssize_t n = Posix().write(fd, buf + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            deadline = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return PRR_STATUS_COM_WRITE;
        if (WaitReady(h, fd, POLLOUT, deadline) != 1) return PRR_STATUS_COM_WRITE;
    }
    return 0;
}

int32_t ComReadByte(FlashHandle *h, uint8_t *dst, uint32_t constantMs) {
    ComSetReadTimeout(h, constantMs);
    uint8_t b = 0;
    int32_t code = ComRead(h, &b, 1);
    if (code == 0) *dst = b;
    return code;
}

void ComPurgeRx(int fd) {
    if (fd >= 0) (void)::tcflush(fd, TCIFLUSH);
}

void ComSetRts(int fd) { ModemLine(fd, TIOCMBIS, TIOCM_RTS); }
void ComClearRts(int fd) { ModemLine(fd, TIOCMBIC, TIOCM_RTS); }
void ComSetDtr(int fd) { ModemLine(fd, TIOCMBIS, TIOCM_DTR); }
void ComClearDtr(int fd) { ModemLine(fd, TIOCMBIC, TIOCM_DTR); }

}  // namespace quill
