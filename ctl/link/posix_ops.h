// The system calls of the serial layer, reachable by a test hook so that
// EINTR, short writes and time-outs can be tested without luck, and the
// driver requests a real adapter answers (low latency) without one.
#pragma once
#include <poll.h>
#include <sys/types.h>

namespace quill {

struct PosixOps {
    ssize_t (*read)(int fd, void *buf, size_t count);
    ssize_t (*write)(int fd, const void *buf, size_t count);
    int (*poll)(struct pollfd *fds, nfds_t nfds, int timeoutMs);
    // The serial driver's requests (TIOCGSERIAL, TIOCSSERIAL); null: the real call.
    int (*ioctl)(int fd, unsigned long request, void *arg);
};

// ioctl through the hook.
int PosixIoctl(int fd, unsigned long request, void *arg);

const PosixOps &Posix();
// Replaces the calls for the whole process; nullptr restores the real ones.
void SetPosixOpsForTesting(const PosixOps *ops);

}  // namespace quill
