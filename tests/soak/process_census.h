// What the test process holds: open descriptors, threads and heap bytes in
// use, so a long run can compare the process before it opened anything with
// the process after it has closed everything.
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#ifndef PIDFD_THREAD
#define PIDFD_THREAD O_EXCL  // a pidfd for one thread, not for the whole process
#endif

namespace soaktest {

// Numeric entries of a /proc folder; the descriptor that lists it is left out.
inline std::set<long> ProcEntries(const char *dir) {
    std::set<long> out;
    DIR *d = ::opendir(dir);
    if (d == nullptr) return out;
    const long own = ::dirfd(d);
    const bool fds = std::strcmp(dir, "/proc/self/fd") == 0;
    while (const dirent *e = ::readdir(d)) {
        char *end = nullptr;
        const long n = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || (fds && n == own)) continue;
        out.insert(n);
    }
    ::closedir(d);
    return out;
}

inline std::set<long> OpenDescriptors() { return ProcEntries("/proc/self/fd"); }
inline std::set<long> Threads() { return ProcEntries("/proc/self/task"); }

inline std::vector<long> Beyond(const std::set<long> &now, const std::set<long> &baseline) {
    std::vector<long> out;
    std::set_difference(now.begin(), now.end(), baseline.begin(), baseline.end(), std::back_inserter(out));
    return out;
}

// What descriptor `fd` names ("/dev/pts/3", "anon_inode:[eventfd]"), for a leak report.
inline std::string DescriptorTarget(long fd) {
    char buf[256];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "?";
}

// The name a thread runs under, for a leak report.
inline std::string ThreadName(long tid) {
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

// Bytes the allocator has handed out, from its arenas and as separate
// mappings: a large block (a flash handle) moves from one to the other once
// the allocator raises its mapping threshold, so only the sum compares.
// Chunks a thread cache holds count as in use too, so two readings differ by
// some kilobytes even when nothing leaked.
inline size_t HeapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

// Waits until the process runs no thread beyond `baseline`, waking whenever
// one of the others ends (a pidfd per thread becomes readable at its exit).
// Gives up after `timeout`; returns the threads still there.
inline std::vector<long> WaitForThreadsToEnd(const std::set<long> &baseline, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::vector<long> extra = Beyond(Threads(), baseline);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (extra.empty() || left <= 0) return extra;
        std::vector<pollfd> exits;
        bool unsupported = false;
        for (long tid : extra) {
            const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(tid), PIDFD_THREAD);
            if (fd >= 0) {
                exits.push_back({static_cast<int>(fd), POLLIN, 0});
            } else if (errno == EINVAL || errno == ENOSYS) {
                unsupported = true;
            }
        }
        // A kernel without thread pidfds gives no event to wait for: look
        // again every 10 ms until the deadline. (ESRCH alone: the thread
        // ended meanwhile, so count again at once.)
        const int wait = exits.empty() ? (unsupported ? 10 : 0) : static_cast<int>(left);
        ::poll(exits.empty() ? nullptr : exits.data(), exits.size(), std::min<int>(wait, static_cast<int>(left)));
        for (const pollfd &p : exits) ::close(p.fd);
    }
}

}  // namespace soaktest
