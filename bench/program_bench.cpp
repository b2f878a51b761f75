// Program + verify of a 60 KiB image against the virtual target.
//  (a) paced at 115200 baud, 11 bits per character: the time against the wire
//      floor, i.e. every character the protocol puts on the line x 95.5 us;
//  (b) unpaced: host time per data byte next to the pty's own round trip for
//      one acknowledged byte, measured in the same run.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/files.h"
#include "quillctl.h"
#include "sim/virtual_target.h"

namespace {

constexpr int kPort = 77;
constexpr uint32_t kImageBytes = 60 * 1024;
constexpr double kCharUs = 11.0 * 1e6 / 115200.0;  // 95.49 us

std::string g_samples = QUILLROM_SAMPLES_DIR;

constexpr uint32_t kIdleMessage = 3100;

// Counts the flash worker's idle notices; the flash records themselves are
// not fetched, only the outcome is read.
struct Events {
    std::mutex m;
    std::condition_variable cv;
    uint64_t idle = 0;
    PRRWindow window{&Events::Post, this};

    static void Post(PRRWindow *self, uint32_t message) {
        auto *e = static_cast<Events *>(self->context);
        {
            std::lock_guard<std::mutex> lock(e->m);
            if (message == kIdleMessage) ++e->idle;
        }
        e->cv.notify_all();
    }
    bool WaitIdle(uint64_t n, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, timeout, [&] { return idle >= n; });
    }
};

// The image read the way the programs read it; null when it cannot be.
LoadFileHandle *LoadedImage(const std::string &path) {
    quillclient::PlainWaiter waiter;
    quillclient::FileStatus status;
    return quillclient::LoadImage(path, waiter, &status, 60000);
}

// Characters on the wire for programming `bytes` in pages, then verifying them.
uint64_t WireCharacters(uint32_t bytes) {
    uint64_t chars = 0;
    for (uint32_t left = bytes; left > 0;) {
        const uint32_t n = std::min<uint32_t>(left, 256);
        chars += 4 + 5;      // write command, its status answer
        chars += 3ull * n;   // each byte and its two-byte acknowledgement
        chars += 1;          // the extra acknowledgement
        chars += 4 + 6;      // internal verify command, two-status answer
        left -= n;
    }
    chars += 11 + 5;  // verify command, first status
    for (uint32_t left = bytes; left > 0;) {
        const uint32_t n = std::min<uint32_t>(left, 256);
        chars += 3ull * n + 6;  // bytes with acknowledgements, the chunk's two-status answer
        left -= n;
    }
    return chars;
}

// Program with verify as follow-on, from the command to its last record.
double ProgramAndVerifySeconds(uint32_t pacingBaud, const std::string &dir, const std::string &hexPath) {
    quillsim::VirtualTarget sim(g_samples + "/demo.prm");
    sim.start();
    sim.registerAlias(kPort, dir);
    if (pacingBaud) sim.setPacingBaud(pacingBaud);
    DeviceParameters *device = PRRReadPRM((g_samples + "/demo.prm").c_str(), 0);
    Events events;
    FlashHandle *h = PRRFlshOpen(&events.window, PRR_MSG_FLASH_RECORD, "bench");
    PRRFlshSetIdleMessage(h, kIdleMessage);
    LoadFileHandle *file = LoadedImage(hexPath);
    if (file == nullptr) std::fprintf(stderr, "the image was not read\n");
    ResetRecord reset{};
    reset.frequency = device->typeSet7;
    reset.multiplier = device->typeSet2;
    reset.portNumber = kPort;
    reset.commandOptions = 0x02;
    uint64_t done = 0;
    h->linePreparePass = 1;
    PRRFlshReset(h, &reset, device);
    h->linePreparePass = 0;
    events.WaitIdle(++done, std::chrono::seconds(60));
    PRRFlshReset(h, &reset, device);
    events.WaitIdle(++done, std::chrono::seconds(60));
    AreaRecord area{PRR_AREA_CHIP, 0, 0, 0, 0};
    PRRFlshErase(h, device, &area, 0);
    events.WaitIdle(++done, std::chrono::seconds(60));
    area = AreaRecord{PRR_AREA_BLOCK, 0, 14, 0, 0};  // 60 KiB
    const auto t0 = std::chrono::steady_clock::now();
    PRRFlshProg(h, device, &area, file, 0);
    const bool finished = events.WaitIdle(++done, std::chrono::seconds(600));
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    PRROutcome outcome{};
    PRRFlshGetOutcome(h, &outcome);
    if (!finished || !outcome.programmed || !outcome.verified || outcome.status != PRR_STATUS_OK)
        std::fprintf(stderr, "unexpected end: status %d, programmed %d, verified %d\n", outcome.status,
                     outcome.programmed, outcome.verified);
    PRRFlshClose(h);
    PRRHexClose(file);
    PRRFreePRM(device);
    return s;
}

// One data byte written to the pty and its two-byte acknowledgement read back,
// in raw mode as the library sets the port up; the median of 3000.
double PtyRoundTripUs() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master);
    ::unlockpt(master);
    char name[128];
    ::ptsname_r(master, name, sizeof name);
    const int port = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    ::tcgetattr(port, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(port, TCSANOW, &tio);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        const uint8_t ack[2] = {0xE0, 0x06};
        uint8_t b;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::read(master, &b, 1) == 1 && ::write(master, ack, 2) != 2) break;
        }
    });
    // Exactly `n` bytes within one second, or false.
    auto readAll = [port](uint8_t *out, size_t n) {
        size_t got = 0;
        while (got < n) {
            pollfd p{port, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
            const ssize_t r = ::read(port, out + got, n - got);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    };
    std::vector<double> us;
    const uint8_t data = 0x5A;
    uint8_t ack[2];
    for (int i = 0; i < 3000; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (::write(port, &data, 1) != 1 || !readAll(ack, 2)) break;
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    stop = true;
    peer.join();
    ::close(port);
    ::close(master);
    std::sort(us.begin(), us.end());
    return us.empty() ? 0 : us[us.size() / 2];
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/quill-benchXXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    ::setenv("QUILLROM_PORTS_DIR", dir.c_str(), 1);
    // A 60 KiB image of varied bytes as Intel HEX, 32 bytes a record.
    const std::string hexPath = dir + "/image.hex";
    FILE *f = std::fopen(hexPath.c_str(), "w");
    for (uint32_t a = 0; a < kImageBytes; a += 32) {
        unsigned sum = 32 + (a >> 8 & 0xFF) + (a & 0xFF);
        std::fprintf(f, ":20%04X00", a & 0xFFFF);
        for (uint32_t i = 0; i < 32; ++i) {
            const unsigned b = ((a + i) * 7 + 3) & 0xFF;
            sum += b;
            std::fprintf(f, "%02X", b);
        }
        std::fprintf(f, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    std::fprintf(f, ":00000001FF\r\n");
    std::fclose(f);

    const double floorS = WireCharacters(kImageBytes) * kCharUs / 1e6;
    const double rt = PtyRoundTripUs();
    const double paced = ProgramAndVerifySeconds(115200, dir, hexPath);
    // Every data byte is one exchange; each page adds four more (write command,
    // extra acknowledgement, internal verify, chunk status).
    const uint64_t exchanges = 2ull * kImageBytes + 4ull * ((kImageBytes + 255) / 256) * 2;
    const double ptyFloorS = floorS + exchanges * rt / 1e6;
    std::printf("(a) paced 115200 8E1: program+verify of 60 KiB %.2f s; wire floor %.2f s (%llu characters x %.1f us): "
                "%.1f %% of the floor (goal >= 90 %%); wire plus one measured pty round trip (%.1f us) per exchange "
                "%.2f s: %.1f %%\n",
                paced, floorS, static_cast<unsigned long long>(WireCharacters(kImageBytes)), kCharUs,
                100.0 * floorS / paced, rt, ptyFloorS, 100.0 * ptyFloorS / paced);
    const double unpaced = ProgramAndVerifySeconds(0, dir, hexPath);
    const double perByte = unpaced * 1e6 / (2.0 * kImageBytes);
    std::printf("(b) unpaced: %.2f s, %.1f us per data byte; pty round trip of one acknowledged byte %.1f us: "
                "%.2fx (goal <= 2x)\n",
                unpaced, perByte, rt, perByte / rt);
    std::string cmd = "rm -rf '" + dir + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
