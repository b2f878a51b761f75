// `quillrom demo`: a virtual target with the sample device on COM40,
// programmed by the autoprocedure with verify and checksum. The same demo as
// the program's, for machines without a display. On Linux the target sits
// behind a pty in a private port folder; on Windows the library serves COM40
// inside this process, paced as a line at the baud the host sets.
#include <limits.h>
#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "device_run.h"
#include "os_compat.h"

#ifdef QUILLROM_CLI_HAVE_SIM
#include "sim/virtual_target.h"
#endif

namespace quillcli {
namespace {

constexpr int kDemoCom = 40;

struct DemoArgs {
    std::string samples;
    unsigned baud = 0;
    bool json = false;
    bool quiet = false;
};

#ifdef QUILLROM_CLI_HAVE_SIM
bool HasSamples(const std::string &dir) {
    std::error_code ec;
    return std::filesystem::exists(dir + "/demo.prm", ec) && std::filesystem::exists(dir + "/demo.hex", ec);
}

std::filesystem::path OwnProgram() {
#ifdef _WIN32
    wchar_t exe[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::filesystem::path(std::wstring(exe, n)) : std::filesystem::path();
#else
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    return n > 0 ? std::filesystem::path(std::string(exe, static_cast<size_t>(n))) : std::filesystem::path();
#endif
}

// Installed next to the program, in a build tree, or in the source tree.
std::string FindSamples() {
    const std::filesystem::path exe = OwnProgram();
    if (!exe.empty()) {
        const std::string here = exe.parent_path().string();
        for (const char *rel : {"/../share/quillrom2/samples", "/../samples", "/../../samples"})
            if (HasSamples(here + rel)) return std::filesystem::weakly_canonical(here + rel).string();
    }
#ifdef QUILLROM_CLI_SAMPLES_DIR
    if (HasSamples(QUILLROM_CLI_SAMPLES_DIR)) return QUILLROM_CLI_SAMPLES_DIR;
#endif
    return "";
}

#ifndef _WIN32
// Points the library at a private alias folder while the demo runs, so the
// demo port hides no real port and leaves the user's aliases alone.
class PortsFolder {
public:
    PortsFolder() {
        char tmpl[] = "/tmp/quillrom-demo-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) return;
        dir_ = tmpl;
        if (const char *old = std::getenv("QUILLROM_PORTS_DIR")) old_ = std::string(old);
        ::setenv("QUILLROM_PORTS_DIR", dir_.c_str(), 1);
    }
    ~PortsFolder() {
        if (dir_.empty()) return;
        if (old_) ::setenv("QUILLROM_PORTS_DIR", old_->c_str(), 1);
        else ::unsetenv("QUILLROM_PORTS_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    PortsFolder(const PortsFolder &) = delete;
    PortsFolder &operator=(const PortsFolder &) = delete;
    const std::string &dir() const { return dir_; }

private:
    std::string dir_;
    std::optional<std::string> old_;
};
#endif

#endif

int RunDemo(const DemoArgs &a, CliContext &ctx) {
#ifndef QUILLROM_CLI_HAVE_SIM
    (void)a;
    *ctx.err << "quillrom: this build has no virtual target\n";
    return kExitFailed;
#else
    const std::string samples = a.samples.empty() ? FindSamples() : a.samples;
    if (samples.empty() || !HasSamples(samples)) {
        *ctx.err << "quillrom: cannot find the sample files (demo.prm, demo.hex)"
                 << (a.samples.empty() ? std::string() : " in " + a.samples) << "; name their folder with --samples\n";
        return kExitIo;
    }
#ifndef _WIN32
    PortsFolder ports;
    if (ports.dir().empty()) {
        *ctx.err << "quillrom: cannot create a temporary folder for the demo port\n";
        return kExitIo;
    }
#endif
    const std::string prm = samples + "/demo.prm";
    const std::string hex = samples + "/demo.hex";
    std::unique_ptr<quillsim::VirtualTarget> target;
    try {
        target = std::make_unique<quillsim::VirtualTarget>(prm);
#ifdef _WIN32
        // No pty to slow it down: paced as the line the host sets.
        if (a.baud > 0) target->setPacingBaud(a.baud);
        else target->setPacingFollowsLine(true);
        target->serve(kDemoCom);
#else
        if (a.baud > 0) target->setPacingBaud(a.baud);
        target->start();
        target->registerAlias(kDemoCom, ports.dir());
#endif
    } catch (const std::exception &e) {
        *ctx.err << "quillrom: cannot start the virtual target: " << e.what() << '\n';
        return kExitFailed;
    }
    if (!a.json && !a.quiet) {
#ifdef _WIN32
        const std::string where = "in this process";
        const std::string pace = a.baud > 0 ? std::to_string(a.baud) + " baud" : "the line's baud";
#else
        const std::string where = target->ptyPath();
        const std::string pace = a.baud > 0 ? std::to_string(a.baud) + " baud" : "";
#endif
        *ctx.out << "Demo: a virtual target with " << prm << " on COM" << kDemoCom << " (" << where
                 << (pace.empty() ? std::string() : ", paced at " + pace) << ").\nRunning: quillrom auto " << hex << " --prm " << prm << " --port COM" << kDemoCom
                 << " --blank-check-first --verify --checksum\n\n";
        ctx.out->flush();
    }

    DeviceJob job;
    job.spec.command = DeviceCommand::Autoprocedure;
    job.spec.prmPath = prm;
    job.spec.sources = {quillclient::LoadSource{hex}};
#ifdef _WIN32
    job.spec.ports.push_back(PortChoice{kDemoCom, "COM" + std::to_string(kDemoCom), ""});
#else
    job.spec.ports.push_back(PortChoice{kDemoCom, "COM" + std::to_string(kDemoCom), target->ptyPath()});
#endif
    job.spec.commandOptions = PRR_OPT_BLANK_CHECK_FIRST | PRR_OPT_VERIFY | PRR_OPT_CHECKSUM;
    job.quiet = a.quiet;
    job.record.enabled = false;  // a virtual target: nothing a production record should hold
    if (a.json) job.view = ViewKind::Json;
    else if (ctx.out == &std::cout && ::isatty(STDOUT_FILENO)) job.view = ViewKind::Terminal;
    return RunDeviceJob(job, ctx);
#endif
}

}  // namespace

void AddDemoCommand(CLI::App &app, CliContext &ctx) {
    auto *cmd = app.add_subcommand(
        "demo", "Program a virtual target with the sample files: autoprocedure with verify and checksum");
    auto args = std::make_shared<DemoArgs>();
    cmd->add_option("--samples", args->samples, "Folder holding demo.prm and demo.hex");
    cmd->add_option("--baud", args->baud, "Pace the virtual target at this baud rate (default: as fast as it goes)")
        ->check(CLI::Range(1u, 4000000u));
    cmd->add_flag("--json", args->json, "One JSON object per record and per result");
    cmd->add_flag("--quiet", args->quiet, "Print only failures");
    cmd->callback([&ctx, args] { ctx.exitCode = RunDemo(*args, ctx); });
}

}  // namespace quillcli
