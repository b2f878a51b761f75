// Round trip of one acknowledged data byte over a pseudo-terminal: the host
// writes the byte, the peer answers with its two acknowledgement bytes. This
// is the floor under every programmed byte when no wire pacing applies.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "link/com_port.h"
#include "link/line_procedures.h"
#include "link/primitives.h"
#include "worker/flash_worker.h"

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5000;
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return 1;
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) return 1;

    static const quill::SequenceTable table = {{}, {}, nullptr, quill::LinkPurgeRx, quill::LinkIdle,
                                               quill::LinkClosePort, nullptr, nullptr};
    FlashHandle *h = quill::FlashOpen(nullptr, 0, "bench", &table);
    // The handle's link, as a connect opens it.
    if (quill::ComOpenPort(h, name) != 0 || quill::ComSetFormat(h, quill::kBaudDevice) != 0) return 1;

    std::atomic<bool> stop{false};
    std::thread peer([&] {
        const uint8_t ack[2] = {0x00, 0x06};
        uint8_t b;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            if (::read(master, &b, 1) == 1 && ::write(master, ack, 2) != 2) break;
        }
    });

    std::vector<double> us;
    us.reserve(rounds);
    const uint8_t data = 0x5A;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (quill::DevSendBytes(h, &data, 1) != 0) {
            std::fprintf(stderr, "round %d failed\n", i);
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    stop = true;
    peer.join();
    quill::FlashClose(h);
    ::close(master);
    if (us.empty()) return 1;
    std::sort(us.begin(), us.end());
    std::printf("DevSendBytes round trip over a pty, %zu bytes: median %.1f us, p10 %.1f us, p90 %.1f us\n",
                us.size(), us[us.size() / 2], us[us.size() / 10], us[us.size() * 9 / 10]);
    return 0;
}
