// Programming 16 KiB through the library against the virtual target paced at
// 115200 8E1, with the USB adapter's latency timer at 0, 1, 2 and 16 ms: the
// program phase's time and its share of the wire floor (every character the
// protocol puts on the line x 95.49 us). Program only: the target starts
// erased, the command options hold no follow-on, so the phase is program
// frames, data bytes with their acknowledgements, the end-of-page byte and
// the internal verify of each page, which programming always includes.
//
// Beside it, at latency 0, an ideal host written for this bench alone: the
// same bytes in the same order from one thread, a blocking write and a
// blocking read per exchange, nothing else. Quillrom's time over the ideal
// host's (medians of alternating runs in this process) is what the host adds;
// the ideal host's time over the floor is what the target's pacing and the
// pty cost any host. Each run programs a fresh target; a run whose flash
// differs from the image makes the bench exit 1.
//
//   bench_latency [--latency 0,1,2,16] [--runs N] [--compare N]
//
// --latency: the table's rows (ms; default 0,1,2,16: the 16 ms row alone
// takes about 4.5 minutes, every exchange waiting for the timer). --runs: runs
// per non-zero latency (default 1; the median is shown). --compare: runs of
// each host at latency 0 (default 5; 0 skips the comparison, and a 0 row then
// comes from one run of its own).
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/files.h"
#include "quillctl.h"
#include "sim/virtual_target.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPort = 78;
constexpr uint32_t kImageBytes = 16 * 1024;
constexpr uint32_t kPageBytes = 256;
constexpr uint32_t kBaud = 115200;
constexpr double kCharUs = 11.0 * 1e6 / 115200.0;  // 95.49 us
constexpr uint32_t kIdleMessage = 3100;

const std::string kSamples = QUILLROM_SAMPLES_DIR;

// Characters on the wire for programming `bytes` in pages, counted as
// bench_program counts them.
uint64_t WireCharacters(uint32_t bytes) {
    uint64_t chars = 0;
    for (uint32_t left = bytes; left > 0;) {
        const uint32_t n = std::min(left, kPageBytes);
        chars += 4 + 5;     // program command, its status answer
        chars += 3ull * n;  // each byte and its two-byte acknowledgement
        chars += 1;         // the end-of-page acknowledgement
        chars += 4 + 6;     // internal verify command, two-status answer
        left -= n;
    }
    return chars;
}

// Exchanges of the program phase: one per data byte, and per page the
// program frame, the end-of-page byte (read after the last acknowledgement)
// and the internal verify.
uint64_t Exchanges(uint32_t bytes) { return bytes + 2ull * ((bytes + kPageBytes - 1) / kPageBytes); }

std::vector<uint8_t> MakeImage() {
    std::vector<uint8_t> image(kImageBytes);
    for (uint32_t a = 0; a < kImageBytes; ++a) image[a] = static_cast<uint8_t>((a * 7 + 3) ^ (a >> 8));
    return image;
}

bool WriteHex(const std::string &path, const std::vector<uint8_t> &image) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    for (uint32_t a = 0; a < image.size(); a += 32) {
        unsigned sum = 32 + (a >> 8 & 0xFF) + (a & 0xFF);
        std::fprintf(f, ":20%04X00", a & 0xFFFF);
        for (uint32_t i = 0; i < 32; ++i) {
            sum += image[a + i];
            std::fprintf(f, "%02X", image[a + i]);
        }
        std::fprintf(f, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    }
    std::fprintf(f, ":00000001FF\r\n");
    return std::fclose(f) == 0;
}

// The image in the first bytes, erased cells after it.
bool FlashHolds(const quillsim::VirtualTarget &sim, const std::vector<uint8_t> &image, std::string *why) {
    const std::vector<uint8_t> flash = sim.flash();
    if (flash.size() < image.size()) {
        *why = "the flash is smaller than the image";
        return false;
    }
    for (size_t a = 0; a < flash.size(); ++a) {
        const uint8_t want = a < image.size() ? image[a] : 0xFF;
        if (flash[a] != want) {
            char text[96];
            std::snprintf(text, sizeof text, "flash 0x%06zX holds %02X, expected %02X", a, flash[a], want);
            *why = text;
            return false;
        }
    }
    return true;
}

std::unique_ptr<quillsim::VirtualTarget> PacedTarget(std::chrono::milliseconds latency) {
    auto sim = std::make_unique<quillsim::VirtualTarget>(kSamples + "/demo.prm");
    sim->setPacingBaud(kBaud);
    sim->setLatency(latency);
    sim->start();
    return sim;
}

struct Run {
    double seconds = 0;
    bool ok = false;
    std::string why;
    std::vector<std::string> wire;  // what crossed the line, as the target's transcript has it
};

// Frames, answers and data chunks in order, without their times and notes.
std::vector<std::string> WireOf(const quillsim::VirtualTarget &sim) {
    std::vector<std::string> out;
    for (const quillsim::TranscriptEntry &e : sim.transcript()) {
        if (e.direction == quillsim::Direction::Note) continue;
        std::string line = e.direction == quillsim::Direction::HostToDevice ? "host> " : "<dev  ";
        if (!e.bytes.empty()) line += "[" + quillsim::wire::hex(e.bytes, 24) + "] ";
        out.push_back(line + e.text);
    }
    return out;
}

// ---------------------------------------------------------------- Quillrom --

// Counts the flash worker's idle notices.
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

// Connect (not timed), then the program command from its call to the idle notice.
Run QuillromRun(std::chrono::milliseconds latency, const std::string &dir, const std::string &hexPath,
                const std::vector<uint8_t> &image) {
    Run run;
    auto sim = PacedTarget(latency);
    sim->registerAlias(kPort, dir);
    DeviceParameters *device = PRRReadPRM((kSamples + "/demo.prm").c_str(), 0);
    Events events;
    FlashHandle *h = PRRFlshOpen(&events.window, PRR_MSG_FLASH_RECORD, "bench");
    PRRFlshSetIdleMessage(h, kIdleMessage);
    LoadFileHandle *file = LoadedImage(hexPath);
    if (device == nullptr || h == nullptr || file == nullptr) {
        run.why = "set-up failed (parameter file, handle or image)";
    } else {
        ResetRecord reset{};
        reset.frequency = device->typeSet7;
        reset.multiplier = device->typeSet2;
        reset.portNumber = kPort;
        reset.commandOptions = 0;  // no verify, checksum or security after the program
        uint64_t done = 0;
        h->linePreparePass = PRR_RESET_PREPARE;
        PRRFlshReset(h, &reset, device);
        events.WaitIdle(++done, std::chrono::seconds(60));
        h->linePreparePass = PRR_RESET_CONNECT;
        PRRFlshReset(h, &reset, device);
        events.WaitIdle(++done, std::chrono::seconds(60));
        PRROutcome outcome{};
        PRRFlshGetOutcome(h, &outcome);
        if (!outcome.connected) {
            run.why = "the connect failed: status " + std::to_string(outcome.status);
        } else {
            const AreaRecord area{PRR_AREA_BLOCK, 0, static_cast<int32_t>(kImageBytes / 4096 - 1), 0, 0};
            const auto t0 = Clock::now();
            PRRFlshProg(h, device, &area, file, 0);
            const bool finished = events.WaitIdle(++done, std::chrono::seconds(900));
            run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
            PRRFlshGetOutcome(h, &outcome);
            if (!finished || !outcome.programmed || outcome.status != PRR_STATUS_OK)
                run.why = "the program ended with status " + std::to_string(outcome.status) +
                          (finished ? "" : " (no end within 900 s)");
            else
                run.ok = FlashHolds(*sim, image, &run.why);
            run.wire = WireOf(*sim);
        }
    }
    PRRFlshClose(h);
    PRRHexClose(file);
    PRRFreePRM(device);
    return run;
}

// -------------------------------------------------------------- ideal host --

// One thread, a blocking descriptor, the bytes the library sends and nothing
// else: no worker, no ring, no records, no time-outs per byte (a read gives
// up after 1 s of silence, which only a broken run meets).
class IdealHost {
public:
    explicit IdealHost(const std::string &path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) return;
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        t.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
        t.c_cflag &= ~(PARODD | CSTOPB | CRTSCTS);
        t.c_cc[VMIN] = 0;   // a read returns what is there as soon as there is something,
        t.c_cc[VTIME] = 10; // or nothing after 1 s
        ::cfsetispeed(&t, B115200);
        ::cfsetospeed(&t, B115200);
        (void)::tcsetattr(fd_, TCSANOW, &t);  // a pty drops PARENB and may say EINVAL for it
    }
    ~IdealHost() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool open() const { return fd_ >= 0; }

    // Line start and its answer, then the reset bytes one by one (10 ms apart,
    // as the library sends them) and the reset answer.
    bool Connect() {
        uint8_t a[5];
        if (!Send({0x55}) || !Read(a, 1)) return false;
        ::tcflush(fd_, TCIFLUSH);
        for (uint8_t b : {0x01, 0x02, 0x03, 0xFF}) {
            if (!Send({b})) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return Read(a, 5) && a[4] == 0x01;
    }

    // Page by page: program frame and its status, each data byte and its
    // acknowledgement, the end-of-page byte, the internal verify.
    bool Program(const std::vector<uint8_t> &image, std::string *why) {
        uint8_t a[6];
        for (uint32_t at = 0; at < image.size(); at += kPageBytes) {
            const uint8_t page = static_cast<uint8_t>(at >> 8);
            if (!Send({0x40, page, 0x00, 0xFF}) || !Read(a, 5) || a[4] != 0x06) return Fail(why, "program frame", at);
            const uint32_t n = std::min<uint32_t>(kPageBytes, static_cast<uint32_t>(image.size()) - at);
            for (uint32_t i = 0; i < n; ++i) {
                if (::write(fd_, &image[at + i], 1) != 1 || !Read(a, 2) || a[1] != 0x06)
                    return Fail(why, "data byte", at + i);
            }
            if (!Read(a, 1) || a[0] != 0x06) return Fail(why, "end-of-page byte", at);
            if (!Send({0x19, page, 0x00, 0xFF}) || !Read(a, 6) || a[4] != 0x06 || a[5] != 0x06)
                return Fail(why, "internal verify", at);
        }
        return true;
    }

private:
    bool Send(std::initializer_list<uint8_t> bytes) {
        const std::vector<uint8_t> b(bytes);
        return ::write(fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    }
    bool Read(uint8_t *dest, size_t n) {
        for (size_t got = 0; got < n;) {
            const ssize_t r = ::read(fd_, dest + got, n - got);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    static bool Fail(std::string *why, const char *what, uint32_t address) {
        char text[96];
        std::snprintf(text, sizeof text, "ideal host: %s at 0x%06X not answered as expected", what, address);
        *why = text;
        return false;
    }

    int fd_ = -1;
};

Run IdealRun(const std::vector<uint8_t> &image) {
    Run run;
    auto sim = PacedTarget(std::chrono::milliseconds(0));
    IdealHost host(sim->ptyPath());
    if (!host.open() || !host.Connect()) {
        run.why = "ideal host: no connect";
        return run;
    }
    const auto t0 = Clock::now();
    const bool programmed = host.Program(image, &run.why);
    run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (programmed) run.ok = FlashHolds(*sim, image, &run.why);
    run.wire = WireOf(*sim);
    return run;
}

// ---------------------------------------------------------------------------

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string List(const std::vector<double> &v) {
    std::string s;
    char t[32];
    for (double x : v) {
        std::snprintf(t, sizeof t, "%s%.3f", s.empty() ? "" : " ", x);
        s += t;
    }
    return s;
}

bool ParseLatencies(const char *text, std::vector<int> *out) {
    out->clear();
    std::string s = text;
    size_t from = 0;
    while (from <= s.size()) {
        const size_t comma = std::min(s.find(',', from), s.size());
        const std::string item = s.substr(from, comma - from);
        char *end = nullptr;
        const long ms = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || ms < 0 || ms > 1000) return false;
        out->push_back(static_cast<int>(ms));
        from = comma + 1;
    }
    return !out->empty();
}

int Usage() {
    std::fprintf(stderr, "usage: bench_latency [--latency MS[,MS...]] [--runs N] [--compare N]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<int> latencies = {0, 1, 2, 16};
    int runs = 1, compare = 5;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return Usage();
        if (std::strcmp(argv[i], "--latency") == 0) {
            if (!ParseLatencies(argv[i + 1], &latencies)) return Usage();
        } else if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::atoi(argv[i + 1]);
            if (runs < 1) return Usage();
        } else if (std::strcmp(argv[i], "--compare") == 0) {
            compare = std::atoi(argv[i + 1]);
            if (compare < 0) return Usage();
        } else {
            return Usage();
        }
    }

    char tmpl[] = "/tmp/quill-latencyXXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    ::setenv("QUILLROM_PORTS_DIR", dir.c_str(), 1);
    const std::vector<uint8_t> image = MakeImage();
    const std::string hexPath = dir + "/image.hex";
    if (!WriteHex(hexPath, image)) return 1;

    const uint64_t chars = WireCharacters(kImageBytes);
    const double floorS = chars * kCharUs / 1e6;
    const uint64_t exchanges = Exchanges(kImageBytes);
    bool failed = false;
    std::vector<std::string> quillWire, idealWire;  // of the first run of each
    auto check = [&](const Run &r, const char *who, std::vector<std::string> *wire) {
        if (!r.ok) {
            std::fprintf(stderr, "%s run failed: %s\n", who, r.why.c_str());
            failed = true;
        }
        if (wire != nullptr && wire->empty()) *wire = r.wire;
        return r.seconds;
    };
    std::printf("16 KiB program (program frames, data with acknowledgements, end-of-page byte, internal verify; "
                "no erase, blank check or verify) at 115200 8E1: wire floor %.3f s (%llu characters x %.2f us), "
                "%llu exchanges\n",
                floorS, static_cast<unsigned long long>(chars), kCharUs, static_cast<unsigned long long>(exchanges));
    std::fflush(stdout);

    // Latency 0: Quillrom and the ideal host alternately.
    std::vector<double> quill, ideal;
    for (int i = 0; i < compare && !failed; ++i) {
        quill.push_back(check(QuillromRun(std::chrono::milliseconds(0), dir, hexPath, image), "Quillrom", &quillWire));
        ideal.push_back(check(IdealRun(image), "ideal host", &idealWire));
    }
    // The ideal host stands for the library only if it puts the same bytes on the line.
    if (!failed && quillWire != idealWire) {
        size_t i = 0;
        while (i < quillWire.size() && i < idealWire.size() && quillWire[i] == idealWire[i]) ++i;
        std::fprintf(stderr, "the two hosts' lines differ at entry %zu of the transcript:\n  Quillrom:   %s\n  ideal host: %s\n", i,
                     i < quillWire.size() ? quillWire[i].c_str() : "(end)", i < idealWire.size() ? idealWire[i].c_str() : "(end)");
        failed = true;
    }
    if (!failed && !quillWire.empty())
        std::printf("both hosts put the same %zu frames, answers and data chunks on the line (the target's transcript)\n",
                    quillWire.size());

    std::printf("\n| latency | runs | program time | share of the wire floor |\n|---|---|---|---|\n");
    std::fflush(stdout);
    for (int ms : latencies) {
        std::vector<double> times;
        if (ms == 0 && !quill.empty()) {
            times = quill;
        } else {
            for (int i = 0; i < runs && !failed; ++i)
                times.push_back(check(QuillromRun(std::chrono::milliseconds(ms), dir, hexPath, image), "Quillrom", nullptr));
        }
        if (failed) break;
        const double t = Median(times);
        std::printf("| %d ms | %zu | %.3f s | %.1f %% |\n", ms, times.size(), t, 100.0 * floorS / t);
        std::fflush(stdout);
    }

    if (!quill.empty() && !failed) {
        const double q = Median(quill), id = Median(ideal);
        const double perQ = (q - floorS) * 1e6 / exchanges, perI = (id - floorS) * 1e6 / exchanges;
        std::printf("\nlatency 0, %d alternating runs each: Quillrom %s s; ideal host %s s\n", compare,
                    List(quill).c_str(), List(ideal).c_str());
        std::printf("medians: Quillrom %.3f s (%.1f %% of the floor), ideal host %.3f s (%.1f %%): ratio %.3f "
                    "(goal <= 1.05)\n",
                    q, 100.0 * floorS / q, id, 100.0 * floorS / id, q / id);
        std::vector<double> differences;  // pair by pair: the machine's mood moves both runs of a pair alike
        for (size_t i = 0; i < quill.size() && i < ideal.size(); ++i) differences.push_back(quill[i] - ideal[i]);
        std::printf("Quillrom minus ideal host, pair by pair: median %+.3f s (%+.1f %% of the ideal host's median)\n",
                    Median(differences), 100.0 * Median(differences) / id);
        std::printf("gap to the floor %.3f s = target pacing and pty (the ideal host's too) %.3f s, %.1f us per "
                    "exchange + Quillrom's own %.3f s, %.1f us per exchange\n",
                    q - floorS, id - floorS, perI, q - id, perQ - perI);
    }
    const std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) failed = true;
    return failed ? 1 : 0;
}
