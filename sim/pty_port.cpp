#include "sim/pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace quillsim {
namespace {

std::runtime_error sysError(const std::string &what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

void makeDirs(const std::string &dir) {
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (path.empty()) continue;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) throw sysError("cannot create " + path);
    }
}

// Where an alias entry points: a symlink's target or the path a file holds.
std::string aliasTarget(const std::string &entry) {
    char buf[4096];
    const ssize_t n = ::readlink(entry.c_str(), buf, sizeof buf - 1);
    if (n >= 0) return std::string(buf, static_cast<size_t>(n));
    std::ifstream in(entry);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

}  // namespace

uint32_t baudFromSpeed(unsigned speed) {
    struct Pair {
        speed_t s;
        uint32_t b;
    };
    static const Pair kSpeeds[] = {
        {B0, 0},          {B50, 50},        {B75, 75},        {B110, 110},      {B134, 134},      {B150, 150},
        {B200, 200},      {B300, 300},      {B600, 600},      {B1200, 1200},    {B1800, 1800},    {B2400, 2400},
        {B4800, 4800},    {B9600, 9600},    {B19200, 19200},  {B38400, 38400},  {B57600, 57600},  {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (const auto &p : kSpeeds)
        if (p.s == speed) return p.b;
    return 0;
}

void PtyPort::open() {
    close();
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) throw sysError("posix_openpt");
    char name[128];
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0) {
        const auto e = sysError("cannot prepare the pseudo-terminal");
        close();
        throw e;
    }
    path_ = name;
    termios t{};
    if (::tcgetattr(master_, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
    }
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_ < 0) {
        const auto e = sysError("cannot open " + path_);
        close();
        throw e;
    }
    // Raw again through the slave: the settings belong to the line, and this
    // way they hold whichever end the kernel applies them from.
    if (::tcgetattr(slave_, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
    }
    const int flags = ::fcntl(master_, F_GETFL);
    ::fcntl(master_, F_SETFL, flags | O_NONBLOCK);
}

void PtyPort::close() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

std::optional<LineSettings> PtyPort::line() const {
    termios t{};
    if (master_ < 0 || ::tcgetattr(master_, &t) != 0) return std::nullopt;
    LineSettings l;
    l.baud = baudFromSpeed(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5: l.dataBits = 5; break;
    case CS6: l.dataBits = 6; break;
    case CS7: l.dataBits = 7; break;
    default: l.dataBits = 8; break;
    }
    l.parity = (t.c_cflag & PARENB) != 0;
    l.oddParity = (t.c_cflag & PARODD) != 0;
    l.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    l.raw = !(t.c_lflag & (ECHO | ICANON)) && !(t.c_oflag & OPOST);
    return l;
}

size_t PtyPort::unreadByHost() const {
    int n = 0;
    if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

std::string defaultAliasDir() {
    if (const char *d = std::getenv("QUILLROM_PORTS_DIR"); d && *d) return d;
    if (const char *x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/quillrom2/ports";
    const char *home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/quillrom2/ports";
}

void PortAlias::create(const std::string &dir, int n, const std::string &target) {
    remove();
    if (n < 1 || n > 255) throw std::runtime_error("COM number " + std::to_string(n) + " is outside 1..255");
    makeDirs(dir);
    const std::string entry = dir + "/COM" + std::to_string(n);
    struct stat st{};
    if (::lstat(entry.c_str(), &st) == 0) {
        const std::string old = aliasTarget(entry);
        struct stat live{};
        if (old != target && !old.empty() && ::stat(old.c_str(), &live) == 0)
            throw std::runtime_error(entry + " already names " + old);
        if (::unlink(entry.c_str()) != 0) throw sysError("cannot replace stale " + entry);
    }
    if (::symlink(target.c_str(), entry.c_str()) != 0) throw sysError("cannot create " + entry);
    entry_ = entry;
    target_ = target;
}

void PortAlias::remove() {
    if (entry_.empty()) return;
    // Leave it alone if someone has re-pointed it in the meantime.
    if (aliasTarget(entry_) == target_) ::unlink(entry_.c_str());
    entry_.clear();
    target_.clear();
}

namespace {

// A pty and an eventfd that ends its waits.
class PtyEnd final : public DeviceEnd {
public:
    PtyEnd() {
        port_.open();
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) {
            const auto e = sysError("eventfd");
            port_.close();
            throw e;
        }
    }
    ~PtyEnd() override {
        close();
        ::close(wakeFd_);
    }

    std::string name() const override { return port_.path(); }

    bool wait(std::optional<Clock::time_point> deadline, bool wantWritable) override {
        revents_ = 0;
        timespec ts{};
        timespec *timeout = nullptr;
        if (deadline) {
            const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            ts.tv_sec = static_cast<time_t>(ns / 1000000000);
            ts.tv_nsec = static_cast<long>(ns % 1000000000);
            timeout = &ts;
        }
        pollfd fds[2] = {{port_.master(), static_cast<short>(POLLIN | (wantWritable ? POLLOUT : 0)), 0},
                         {wakeFd_, POLLIN, 0}};
        const int ready = ::ppoll(fds, 2, timeout, nullptr);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) return true;
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        revents_ = fds[0].revents;
        return true;
    }

    long read(uint8_t *buf, size_t size) override {
        const short ev = revents_;
        revents_ = 0;
        // We hold the slave side open, so a hang-up is not the host leaving.
        if ((ev & (POLLERR | POLLNVAL | POLLHUP)) && !(ev & POLLIN)) return -1;
        if (!(ev & POLLIN)) return 0;
        const ssize_t r = ::read(port_.master(), buf, size);
        if (r > 0) return static_cast<long>(r);
        return r < 0 && (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }

    size_t write(const uint8_t *buf, size_t size) override {
        const ssize_t w = ::write(port_.master(), buf, size);
        return w > 0 ? static_cast<size_t>(w) : 0;
    }

    std::optional<LineSettings> line() const override { return port_.line(); }
    size_t unreadByHost() const override { return port_.unreadByHost(); }
    void close() override {
        port_.close();
        alias_.remove();
    }
    bool isOpen() const override { return port_.isOpen(); }
    void wake() override {
        const uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }
    std::string registerAlias(int n, const std::string &dir) override {
        if (!port_.isOpen()) throw std::runtime_error("the virtual target's port is closed");
        alias_.create(dir.empty() ? defaultAliasDir() : dir, n, port_.path());
        return alias_.entry();
    }

private:
    PtyPort port_;
    PortAlias alias_;
    int wakeFd_ = -1;
    short revents_ = 0;  // what the last wait saw on the pty
};

}  // namespace

std::unique_ptr<DeviceEnd> openPtyEnd() { return std::make_unique<PtyEnd>(); }

}  // namespace quillsim
