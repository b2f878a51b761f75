// The POSIX calls the command line makes, on Windows: the C runtime's
// descriptors and binary files, a full path for realpath, a rename that
// replaces. On Linux the calls are the system's own.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#include <stdlib.h>
#include <unistd.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef Yield  // an old Win16 macro that takes the name of a function here
#undef LoadImage  // a Win32 macro (LoadImageA) that takes the name of the client's reader

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0  // no FIFOs on Windows; regular files never block
#endif
#ifndef PATH_MAX
#define PATH_MAX MAX_PATH
#endif

namespace quillcli {
constexpr int kOpenBinary = O_BINARY;
}  // namespace quillcli

inline char *realpath(const char *path, char *resolved) {
    // _fullpath also answers for a file that does not exist: ask after it.
    struct _stat64 st;
    if (::_stat64(path, &st) != 0) return nullptr;
    return ::_fullpath(resolved, path, PATH_MAX);
}
inline int fchmod(int, int) { return 0; }  // the new file keeps the default permissions
inline int fsync(int fd) { return ::_commit(fd); }
// rename() on Windows refuses to replace a file; this one replaces it.
inline int ReplaceByRename(const char *from, const char *to) {
    return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}
#else
#include <unistd.h>

#include <cstdio>

namespace quillcli {
constexpr int kOpenBinary = 0;
}  // namespace quillcli

inline int ReplaceByRename(const char *from, const char *to) { return std::rename(from, to); }
#endif
