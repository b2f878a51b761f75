#include "client/port_diagnosis.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "quillctl.h"

namespace quillclient {
namespace {

std::string ComName(int n) { return "COM" + std::to_string(n); }

// The device the library opens for COM<n>; empty when the number names none.
std::string ComPortPath(int n) {
    char path[PATH_MAX];
    return PRRComPortPath(n, path, sizeof path) > 0 ? std::string(path) : std::string();
}

// The folder the library looks for COM<n> aliases in.
std::string AliasDir() {
    char path[PATH_MAX];
    return PRRAliasDir(path, sizeof path) > 0 ? std::string(path) : std::string();
}

std::vector<PRRPortInfo> AllPorts() {
    std::vector<PRRPortInfo> ports(256);
    int32_t n = PRRPortList(ports.data(), static_cast<int32_t>(ports.size()), 1);
    if (n < 0) n = 0;
    ports.resize(static_cast<size_t>(std::min<int32_t>(n, static_cast<int32_t>(ports.size()))));
    return ports;
}

std::string RealPath(const std::string &path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string GroupName(gid_t gid) {
    struct group g {};
    struct group *found = nullptr;
    std::vector<char> buf(4096);
    if (::getgrgid_r(gid, &g, buf.data(), buf.size(), &found) == 0 && found != nullptr) return g.gr_name;
    return std::to_string(gid);
}

std::string ProcessName(const std::string &pid) {
    std::string comm;
    std::ifstream in("/proc/" + pid + "/comm");
    std::getline(in, comm);
    return comm.empty() ? pid : pid + " (" + comm + ")";
}

// Processes holding a lock on the file: the library and most serial tools
// lock the port, so this names the one in the way.
std::vector<std::string> LockHolders(const struct stat &st) {
    std::vector<std::string> out;
    char inode[64];
    std::snprintf(inode, sizeof inode, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 2877 00:19:4 0 EOF"
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        if (!(fields >> number >> kind)) continue;
        if (kind == "->") fields >> kind;  // a waiter
        if (!(fields >> mode >> access >> pid >> where) || where != inode) continue;
        const std::string name = ProcessName(pid);
        if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
    }
    return out;
}

// Processes with an open file on the character device `rdev`.
std::vector<std::string> Holders(dev_t rdev) {
    std::vector<std::string> out;
    DIR *proc = ::opendir("/proc");
    if (proc == nullptr) return out;
    while (dirent *p = ::readdir(proc)) {
        const char *pid = p->d_name;
        if (*pid < '0' || *pid > '9') continue;
        const std::string fdDir = std::string("/proc/") + pid + "/fd";
        DIR *fds = ::opendir(fdDir.c_str());
        if (fds == nullptr) continue;  // gone, or another user's
        bool holds = false;
        while (dirent *f = ::readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            struct stat st {};
            if (::stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (holds) out.push_back(ProcessName(pid));
    }
    ::closedir(proc);
    return out;
}

}  // namespace

ResolveError ResolvePort(const std::string &spec, PortChoice *out, std::string *why) {
    const int n = ComNumberOf(spec);
    if (n < 0) {
        *why = "'" + spec + "' is not a COM port: the numbers run from COM1 to COM255";
        return ResolveError::BadName;
    }
    const std::vector<PRRPortInfo> ports = AllPorts();
    if (n > 0) {
        out->number = n;
        out->name = ComName(n);
        out->path.clear();
        for (const PRRPortInfo &p : ports)
            if (p.number == n) out->path = p.path;
        return ResolveError::None;
    }
    if (spec.empty() || spec[0] != '/') {
        *why = "'" + spec + "' is neither COM<n> nor a device path such as /dev/ttyUSB0";
        return ResolveError::BadName;
    }
    const std::string real = RealPath(spec);
    if (real.empty()) {
        *why = spec + ": no such port (" + std::strerror(errno) + "); 'quillrom ports' lists the ports present";
        return ResolveError::NoSuchPort;
    }
    for (const PRRPortInfo &p : ports) {
        if (RealPath(p.path) == real) {
            out->number = p.number;
            out->name = p.name;
            out->path = p.path;
            return ResolveError::None;
        }
    }
    const std::string dir = AliasDir();
    *why = spec + " has no COM number; give it one with an alias, e.g. ln -s " + spec + " " +
           (dir.empty() ? std::string("<alias folder>") : dir) + "/COM200";
    return ResolveError::NoComNumber;
}

std::string DescribePortFault(const PortProbe &p) {
    const std::string where = p.path.empty() ? p.name : p.name + " (" + p.path + ")";
    switch (p.fault) {
    case PortFault::Missing: {
        std::string s = p.name + ": no such port: no alias " + p.name + " in " +
                        (p.aliasDir.empty() ? std::string("the alias folder") : p.aliasDir);
        s += p.fixedPath.empty() ? ", and no serial device has that number" : ", and no device " + p.fixedPath;
        return s + "; 'quillrom ports' lists the ports present";
    }
    case PortFault::Gone:
        return where + ": the device is not there (unplugged, or the program serving it has stopped)";
    case PortFault::Busy: {
        std::string s = where + ": port busy";
        if (p.holders.empty()) return s + ", held by another program (it could not be named; try: fuser -v " + p.path + ")";
        s += ", in use by process ";
        for (size_t i = 0; i < p.holders.size(); ++i) s += (i > 0 ? ", " : "") + p.holders[i];
        return s + "; close it or choose another port";
    }
    case PortFault::Denied: {
        const std::string group = p.group.empty() ? std::string("dialout") : p.group;
        return where + ": permission denied; the port belongs to the group '" + group +
               "': add yourself with 'sudo usermod -aG " + group + " $USER', then log in again";
    }
    case PortFault::NotSerial:
        return where + ": not a serial port (it opens, but takes no line settings)";
    case PortFault::Unexplained:
        break;
    }
    return where + ": the port could not be opened, but it opens now; it may have been busy for a moment: try again";
}

PortProbe ProbePort(const PortChoice &port) {
    PortProbe p;
    p.name = port.name;
    p.path = port.path;
    p.aliasDir = AliasDir();
    // No alias names a port without a path, so this is the fixed-block device.
    p.fixedPath = ComPortPath(port.number);
    if (p.path.empty()) {
        p.fault = PortFault::Missing;
        return p;
    }
    struct stat st {};
    if (::stat(p.path.c_str(), &st) != 0) {
        p.fault = PortFault::Gone;
        return p;
    }
    p.group = GroupName(st.st_gid);
    const int fd = ::open(p.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EACCES || e == EPERM) p.fault = PortFault::Denied;
        else if (e == EBUSY) p.fault = PortFault::Busy;
        else if (e == ENOENT || e == ENXIO || e == ENODEV || e == EIO) p.fault = PortFault::Gone;
        else p.fault = PortFault::Unexplained;
    } else if (!::isatty(fd)) {
        p.fault = PortFault::NotSerial;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        p.fault = errno == EWOULDBLOCK ? PortFault::Busy : PortFault::Unexplained;
    } else {
        p.fault = PortFault::Unexplained;
    }
    if (fd >= 0) ::close(fd);  // before looking for holders, so the probe is not one of them
    if (p.fault == PortFault::Busy) {
        p.holders = LockHolders(st);
        if (p.holders.empty() && S_ISCHR(st.st_mode)) p.holders = Holders(st.st_rdev);
    }
    return p;
}

}  // namespace quillclient
