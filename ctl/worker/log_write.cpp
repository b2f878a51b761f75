#include "platform/file_compat.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "quillctl.h"

extern "C" QUILLCTL_API void PRRLogWrite(const char *file, const char *format, ...) {
    if (file == nullptr || file[0] == '\0' || format == nullptr) return;
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    int fd;
    do {
        fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | quill::kOpenBinary, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    // Exclusive while we write, so lines of two writers never interleave.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    const char *p = text;
    size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fd);  // also releases the lock
}
