// quillrom-sim: the virtual target as a program. Prints the pty path, registers
// COM<n>, runs until SIGINT/SIGTERM (or until a vanish fault takes the port),
// then removes the alias and dumps the flash.
#include <signal.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/virtual_target.h"
#include "quillrom_version.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: quillrom-sim --prm FILE [--com N] [--alias-dir DIR] [--baud B|line]\n"
    "                    [--latency MS] [--fault RULE]... [--dump FILE] [--state FILE] [--trace]\n"
    "                    [--id HEX] [--name TEXT] [--fw MAJOR.MINOR]\n"
    "\n"
    "Plays a microcontroller's serial bootloader on a pseudo-terminal.\n"
    "  --prm FILE       parameter file describing the device (required)\n"
    "  --com N          register COM<N> (1..255) in the alias folder while running\n"
    "  --alias-dir DIR  alias folder (default: $QUILLROM_PORTS_DIR, $XDG_CONFIG_HOME/quillrom2/ports\n"
    "                   or ~/.config/quillrom2/ports)\n"
    "  --baud B         pace both directions at B baud, 11 bits per character;\n"
    "                   'line' follows the baud the host sets (default: no pacing)\n"
"  --latency MS     hold every answer until the next multiple of MS milliseconds after\n"
    "                   it is complete on the wire, as a USB adapter's latency timer does\n"
    "  --fault RULE     inject a fault, e.g. busy:0x32:3, write-fail:0x1E:byte=100,\n"
    "                   silence:after=5, vanish:after=7, slow-erase:ms=3000 (see sim/README.md)\n"
    "  --dump FILE      write the flash as a raw image to FILE on exit\n"
    "  --state FILE     keep the security byte in FILE across runs\n"
    "  --trace          print every frame and answer to stderr\n"
    "  --id HEX         signature ID bytes, 3 or 4 hex bytes (e.g. 51:03:16)\n"
    "  --name TEXT      signature name (up to 10 characters)\n"
    "  --fw M.NN        firmware version (e.g. 2.05)\n"
    "  --version        print the version and exit\n";

int usageError(const std::string &message) {
    std::fprintf(stderr, "quillrom-sim: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

bool parseInt(std::string_view s, long min, long max, long *out) {
    long v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || v < min || v > max) return false;
    *out = v;
    return true;
}

bool parseId(std::string s, std::array<uint8_t, 4> *id, size_t *count) {
    std::string digits;
    for (char c : s)
        if (c != ':' && c != ' ') digits += c;
    if (digits.size() != 6 && digits.size() != 8) return false;
    *count = digits.size() / 2;
    for (size_t i = 0; i < *count; ++i) {
        unsigned v = 0;
        auto [p, ec] = std::from_chars(digits.data() + 2 * i, digits.data() + 2 * i + 2, v, 16);
        if (ec != std::errc() || p != digits.data() + 2 * i + 2) return false;
        (*id)[i] = static_cast<uint8_t>(v);
    }
    return true;
}

bool parseVersion(std::string_view s, uint8_t *major, uint8_t *minor) {
    const size_t dot = s.find('.');
    long a = 0, b = 0;
    if (dot == std::string_view::npos || s.size() - dot - 1 != 2) return false;
    if (!parseInt(s.substr(0, dot), 0, 255, &a) || !parseInt(s.substr(dot + 1), 0, 99, &b)) return false;
    *major = static_cast<uint8_t>(a);
    *minor = static_cast<uint8_t>(b);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::string prm, aliasDir, dumpPath, statePath, name;
    long com = 0, baud = 0, latency = 0;
    bool followLine = false, trace = false, haveId = false, haveFw = false;
    std::array<uint8_t, 4> id{};
    size_t idCount = 0;
    uint8_t fwMajor = 0, fwMinor = 0;
    std::vector<quillsim::Fault> faults;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == "--version") {
            std::puts("quillrom-sim " QUILLROM_VERSION);
            return kExitOk;
        }
        if (arg == "--trace") {
            trace = true;
            continue;
        }
        if (i + 1 >= argc) return usageError("option " + arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--prm") {
            prm = value;
        } else if (arg == "--com") {
            if (!parseInt(value, 1, 255, &com)) return usageError("--com wants a number from 1 to 255, not '" + value + "'");
        } else if (arg == "--alias-dir") {
            aliasDir = value;
        } else if (arg == "--baud") {
            if (value == "line") followLine = true;
            else if (!parseInt(value, 1, 4000000, &baud)) return usageError("--baud wants a number or 'line', not '" + value + "'");
        } else if (arg == "--latency") {
            if (!parseInt(value, 0, 1000, &latency)) return usageError("--latency wants milliseconds from 0 to 1000, not '" + value + "'");
        } else if (arg == "--fault") {
            std::string error;
            auto f = quillsim::parseFault(value, &error);
            if (!f) return usageError(error);
            faults.push_back(*f);
        } else if (arg == "--dump") {
            dumpPath = value;
        } else if (arg == "--state") {
            statePath = value;
        } else if (arg == "--id") {
            if (!parseId(value, &id, &idCount)) return usageError("--id wants 3 or 4 hex bytes such as 51:03:16, not '" + value + "'");
            haveId = true;
        } else if (arg == "--name") {
            if (value.size() > 10) return usageError("--name takes at most 10 characters");
            name = value;
        } else if (arg == "--fw") {
            if (!parseVersion(value, &fwMajor, &fwMinor)) return usageError("--fw wants MAJOR.MINOR with two minor digits, such as 2.05");
            haveFw = true;
        } else {
            return usageError("unknown option " + arg);
        }
    }
    if (prm.empty()) return usageError("--prm FILE is required");

    // Signals are taken synchronously by the main thread; block them before
    // the device thread starts so it inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        quillsim::VirtualTarget sim(prm);
        if (haveId) {
            auto full = sim.config().signatureId;
            for (size_t i = 0; i < idCount; ++i) full[i] = id[i];
            sim.setSignatureId(full);
        }
        if (!name.empty()) sim.setSignatureName(name);
        if (haveFw) sim.setFirmwareVersion(fwMajor, fwMinor);
        std::string error;
        if (!statePath.empty() && !sim.setStateFile(statePath, &error)) {
            std::fprintf(stderr, "quillrom-sim: %s\n", error.c_str());
            return kExitFailure;
        }
        if (followLine) sim.setPacingFollowsLine(true);
        else sim.setPacingBaud(static_cast<uint32_t>(baud));
        sim.setLatency(std::chrono::milliseconds(latency));
        if (trace)
            sim.setTraceSink([](const quillsim::TranscriptEntry &e) {
                std::fprintf(stderr, "%s\n", quillsim::formatEntry(e).c_str());
            });
        for (const auto &f : faults) sim.addFault(f);
        sim.start();
        std::printf("%s\n", sim.ptyPath().c_str());
        if (com) {
            const std::string entry = sim.registerAlias(static_cast<int>(com), aliasDir);
            std::printf("COM%ld %s\n", com, entry.c_str());
        }
        std::fflush(stdout);
        const auto cfg = sim.config();
        std::fprintf(stderr, "quillrom-sim: %s, %u bytes in %zu blocks, %s frames; stop with Ctrl-C\n", cfg.deviceName.c_str(),
                     cfg.flashSize(), cfg.blocks.size(), cfg.addressForm ? "address" : "unit");

        int exitCode = kExitOk;
        for (;;) {
            const timespec poll{0, 200 * 1000 * 1000};
            const int sig = sigtimedwait(&stopSignals, nullptr, &poll);
            if (sig > 0) break;
            if (sim.vanished()) {
                std::fprintf(stderr, "quillrom-sim: the port vanished (fault)\n");
                break;
            }
            if (!sim.running()) {
                std::fprintf(stderr, "quillrom-sim: the device thread ended\n");
                exitCode = kExitFailure;
                break;
            }
        }
        sim.stop();
        if (!dumpPath.empty()) {
            if (!sim.dumpFlash(dumpPath, &error)) {
                std::fprintf(stderr, "quillrom-sim: %s\n", error.c_str());
                return kExitFailure;
            }
            std::fprintf(stderr, "quillrom-sim: flash written to %s\n", dumpPath.c_str());
        }
        return exitCode;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "quillrom-sim: %s\n", e.what());
        return kExitFailure;
    }
}
