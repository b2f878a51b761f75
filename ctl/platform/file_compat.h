// The few POSIX file calls the library's readers and log writer use, on
// both platforms. On Windows the C runtime's descriptors stand in; files are
// opened as binary, or a text-mode translation of CR LF would change the
// bytes a checksum is taken over.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0  // a FIFO cannot be named on Windows; regular files never block
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef LOCK_SH
#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8
#endif

// flock through LockFileEx on the whole file.
inline int flock(int fd, int operation) {
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED ov{};
    if (operation & LOCK_UN) return ::UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &ov) ? 0 : -1;
    const DWORD flags = ((operation & LOCK_EX) ? LOCKFILE_EXCLUSIVE_LOCK : 0) |
                        ((operation & LOCK_NB) ? LOCKFILE_FAIL_IMMEDIATELY : 0);
    if (::LockFileEx(h, flags, 0, MAXDWORD, MAXDWORD, &ov)) return 0;
    errno = EWOULDBLOCK;
    return -1;
}

// pread at an offset through a seek: the readers hold the descriptor alone.
inline long pread(int fd, void *buf, unsigned count, long long offset) {
    if (::_lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    return ::_read(fd, buf, count);
}

inline struct tm *localtime_r(const time_t *t, struct tm *out) { return ::localtime_s(out, t) == 0 ? out : nullptr; }
inline struct tm *gmtime_r(const time_t *t, struct tm *out) { return ::gmtime_s(out, t) == 0 ? out : nullptr; }

namespace quill {
constexpr int kOpenBinary = O_BINARY;
}  // namespace quill
#else
#include <sys/file.h>
#include <unistd.h>

namespace quill {
constexpr int kOpenBinary = 0;
}  // namespace quill
#endif
