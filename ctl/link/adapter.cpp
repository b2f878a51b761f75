#include "link/adapter.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quill {
namespace {

std::string EnvOr(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : std::string(fallback);
}

std::string RealPath(const std::string &path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string BaseName(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool Exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// An attribute's first line without its line end; empty when unreadable.
// sysfs attributes are small: one read is the whole value.
std::string ReadAttr(const std::string &path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return "";
    char buf[256];
    ssize_t n;
    do {
        n = ::read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0) return "";
    std::string s(buf, static_cast<size_t>(n));
    const size_t end = s.find_first_of("\r\n");
    if (end != std::string::npos) s.resize(end);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::string LinkTargetName(const std::string &link) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    return BaseName(std::string(buf, static_cast<size_t>(n)));
}

uint16_t HexId(const std::string &text) {
    if (text.empty() || text.size() > 4) return 0;
    char *end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    return end != nullptr && *end == '\0' ? static_cast<uint16_t>(v) : 0;
}

// The by-id entry whose link ends in the tty's name.
std::string StablePathOf(const std::string &tty) {
    const std::string dir = SerialByIdDir();
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return "";
    std::vector<std::string> found;
    while (dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string entry = dir + "/" + e->d_name;
        if (LinkTargetName(entry) == tty) found.push_back(entry);
    }
    ::closedir(d);
    // udev may give one adapter several names; take a stable choice.
    std::sort(found.begin(), found.end());
    return found.empty() ? std::string() : found.front();
}

// Fills `out` from the tty's own sysfs directory (already resolved).
bool ReadFromTtyDir(const std::string &ttyDir, AdapterInfo *out) {
    const std::string root = RealPath(SysfsRoot());
    if (ttyDir.empty() || root.empty()) return false;
    const std::string device = RealPath(ttyDir + "/device");
    if (device.empty()) return false;  // a virtual terminal: nothing behind it
    AdapterInfo a;
    a.tty = BaseName(ttyDir);
    a.driver = LinkTargetName(device + "/driver");
    // Newer kernels put serial-core's own port and controller devices between
    // a UART's tty and the device that names its driver.
    for (std::string dir = device; (a.driver == "port" || a.driver == "ctrl") && dir.size() > root.size();) {
        if (LinkTargetName(dir + "/subsystem") != "serial-base") break;
        dir = DirName(dir);
        a.driver = LinkTargetName(dir + "/driver");
    }
    // The FTDI driver keeps its timer on the usb-serial port device.
    for (const std::string &dir : {device, ttyDir}) {
        const std::string file = dir + "/latency_timer";
        if (!Exists(file)) continue;
        a.latencyPath = file;
        a.latencyTimerMs = ReadLatencyTimer(file);
        a.latencyWritable = ::access(file.c_str(), W_OK) == 0;
        break;
    }
    // The USB device is the nearest ancestor that carries a vendor ID: the
    // interface's parent for CDC-ACM, one more up for usb-serial drivers.
    for (std::string dir = device; dir.size() > root.size() && dir.compare(0, root.size(), root) == 0;
         dir = DirName(dir)) {
        if (!Exists(dir + "/idVendor")) continue;
        a.usb = true;
        a.vendorId = HexId(ReadAttr(dir + "/idVendor"));
        a.productId = HexId(ReadAttr(dir + "/idProduct"));
        a.manufacturer = ReadAttr(dir + "/manufacturer");
        a.product = ReadAttr(dir + "/product");
        a.serial = ReadAttr(dir + "/serial");
        break;
    }
    if (a.usb) a.stablePath = StablePathOf(a.tty);
    *out = std::move(a);
    return true;
}

}  // namespace

std::string SysfsRoot() { return EnvOr("QUILLROM_SYSFS_ROOT", "/sys"); }

std::string SerialByIdDir() { return EnvOr("QUILLROM_SERIAL_BY_ID_DIR", "/dev/serial/by-id"); }

bool ReadAdapterOfTty(const std::string &tty, AdapterInfo *out) {
    if (tty.empty() || tty.find('/') != std::string::npos || tty[0] == '.') return false;
    return ReadFromTtyDir(RealPath(SysfsRoot() + "/class/tty/" + tty), out);
}

bool ReadAdapterOfPath(const std::string &path, AdapterInfo *out) {
    const std::string real = RealPath(path);
    if (real.empty()) return false;
    struct stat st {};
    // A device node: its number finds it even where the name is not the tty's.
    if (::stat(real.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        char key[64];
        std::snprintf(key, sizeof key, "/dev/char/%u:%u", major(st.st_rdev), minor(st.st_rdev));
        if (ReadFromTtyDir(RealPath(SysfsRoot() + key), out)) return true;
    }
    return ReadAdapterOfTty(BaseName(real), out);
}

bool ReadAdapterOfDescriptor(int fd, AdapterInfo *out) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    char key[64];
    std::snprintf(key, sizeof key, "/dev/char/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    return ReadFromTtyDir(RealPath(SysfsRoot() + key), out);
}

std::vector<AdapterInfo> ListAdapters() {
    std::vector<AdapterInfo> out;
    const std::string dir = SysfsRoot() + "/class/tty";
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return out;
    std::vector<std::string> names;
    while (dirent *e = ::readdir(d))
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        AdapterInfo a;
        if (ReadAdapterOfTty(name, &a) && a.usb) out.push_back(std::move(a));
    }
    return out;
}

int ReadLatencyTimer(const std::string &file) {
    const std::string text = ReadAttr(file);
    if (text.empty() || text.size() > 4 || !std::all_of(text.begin(), text.end(), ::isdigit)) return -1;
    return std::atoi(text.c_str());
}

bool WriteLatencyTimer(const std::string &file, int ms) {
    if (file.empty() || ms < 0 || ms > 255) return false;
    int fd;
    do {
        fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_TRUNC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    char text[8];
    const int len = std::snprintf(text, sizeof text, "%d\n", ms);
    ssize_t n;
    do {
        n = ::write(fd, text, static_cast<size_t>(len));
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n == len && ReadLatencyTimer(file) == ms;
}

}  // namespace quill
