// Gang programming: `quillrom program` on N virtual targets paced at a real
// baud rate (default 8 at 115200, 11 bits per character) at once, against
// one target alone. The work is waiting on the wire, so N targets should
// take little longer than one: the aggregate speed-up is N x T1 / TN.
// Times are whole commands, the >2 s connect included.
// --record-cost: the same gang with the production record (SQLite) and
// without it, alternating; recording should add no more than 1 %.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "sim/virtual_target.h"

namespace {

const std::string kSamples = QUILLROM_SAMPLES_DIR;
constexpr int kFirstPort = 180;

struct Run {
    double seconds = 0;
    bool ok = false;
    std::string detail;
};

// Programs the demo image (its own blocks) on `count` fresh targets at once.
Run ProgramTargets(int count, int firstPort, unsigned baud, const std::string &dir, std::vector<uint8_t> *reference,
                   const std::vector<std::string> &extra) {
    std::vector<std::unique_ptr<quillsim::VirtualTarget>> targets;
    std::vector<std::string> args = {"quillrom", "program", kSamples + "/demo.hex", "--prm", kSamples + "/demo.prm",
                                     "--auto-range", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (int i = 0; i < count; ++i) {
        targets.push_back(std::make_unique<quillsim::VirtualTarget>(kSamples + "/demo.prm"));
        targets.back()->setPacingBaud(baud);
        targets.back()->start();
        targets.back()->registerAlias(firstPort + i, dir);
        args.insert(args.end(), {"--port", "COM" + std::to_string(firstPort + i)});
    }
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    const int code = quillcli::RunCli(static_cast<int>(argv.size()), argv.data(), out, err);
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.ok = code == 0;
    run.detail = err.str();
    // Every target must hold the same bytes as the first one alone did.
    for (const auto &t : targets) {
        const std::vector<uint8_t> flash = t->flash();
        if (reference->empty()) *reference = flash;
        if (flash != *reference) {
            run.ok = false;
            run.detail += "a target's flash differs from the reference\n";
        }
    }
    return run;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The gang with and without the record, in turns that swap which goes first.
int RecordCost(int count, int runs, unsigned baud, const std::string &dir) {
    std::printf("recording cost: %d targets at %u baud 8E1, SQLite, %d runs each way\n", count, baud, runs);
    const std::vector<std::string> on = {"--db", "sqlite:" + dir + "/bench.db"}, off = {"--no-record"};
    std::vector<uint8_t> reference;
    std::vector<double> with, without;
    bool ok = true;
    for (int r = 0; r < runs; ++r) {
        Run a, b;
        if (r % 2 == 0) {
            a = ProgramTargets(count, kFirstPort, baud, dir, &reference, off);
            b = ProgramTargets(count, kFirstPort, baud, dir, &reference, on);
        } else {
            b = ProgramTargets(count, kFirstPort, baud, dir, &reference, on);
            a = ProgramTargets(count, kFirstPort, baud, dir, &reference, off);
        }
        without.push_back(a.seconds);
        with.push_back(b.seconds);
        std::printf("  run %d: without %6.3f s%s, with %6.3f s%s\n", r + 1, a.seconds, a.ok ? "" : " FAILED", b.seconds,
                    b.ok ? "" : " FAILED");
        if (!a.ok || !b.ok) {
            std::fprintf(stderr, "%s%s", a.detail.c_str(), b.detail.c_str());
            ok = false;
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    const double t0 = Median(without), t1 = Median(with);
    std::printf("  median: without %.3f s, with %.3f s: recording adds %+.2f %% (goal <= 1 %%)\n", t0, t1,
                100.0 * (t1 - t0) / t0);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    int count = 8, runs = 3;
    unsigned baud = 115200;
    bool recordCost = false;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--record-cost") == 0) recordCost = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--record-cost") == 0) --i;  // a flag, no value
        else
        if (std::strcmp(argv[i], "--targets") == 0) count = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--baud") == 0) baud = static_cast<unsigned>(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    }
    if (count < 1 || count > 64 || baud == 0 || runs < 1) {
        std::fprintf(stderr, "usage: bench_gang [--targets N (1..64)] [--baud B] [--runs R] [--record-cost]\n");
        return 2;
    }
    char tmpl[] = "/tmp/quill-gangXXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = tmpl;
    ::setenv("QUILLROM_PORTS_DIR", dir.c_str(), 1);
    ::setenv("XDG_DATA_HOME", dir.c_str(), 1);  // never the user's own record
    if (recordCost) return RecordCost(count, runs, baud, dir);

    std::printf("gang programming, demo.hex (blocks 0-8, 36 KiB), targets paced at %u baud 8E1, %ld cores\n", baud,
                ::sysconf(_SC_NPROCESSORS_ONLN));
    // Alone and gang alternate, so a load change on the machine touches both.
    std::vector<uint8_t> reference;
    std::vector<double> alone, together;
    bool ok = true;
    for (int r = 0; r < runs; ++r) {
        const Run one = ProgramTargets(1, kFirstPort, baud, dir, &reference, {"--no-record"});
        const Run gang = ProgramTargets(count, kFirstPort + 1, baud, dir, &reference, {"--no-record"});
        alone.push_back(one.seconds);
        together.push_back(gang.seconds);
        std::printf("  run %d: 1 target %6.2f s%s, %d targets %6.2f s%s, speed-up %5.2fx\n", r + 1, one.seconds,
                    one.ok ? "" : " FAILED", count, gang.seconds, gang.ok ? "" : " FAILED",
                    count * one.seconds / gang.seconds);
        if (!one.ok || !gang.ok) {
            std::fprintf(stderr, "%s%s", one.detail.c_str(), gang.detail.c_str());
            ok = false;
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    const double t1 = Median(alone), tn = Median(together);
    std::printf("  median: 1 target %.2f s, %d targets %.2f s\n", t1, count, tn);
    std::printf("  aggregate speed-up:   %.2fx  (%d x %.2f s / %.2f s; goal for 8 targets: >= 7x)\n", count * t1 / tn,
                count, t1, tn);
    return ok ? 0 : 1;
}
