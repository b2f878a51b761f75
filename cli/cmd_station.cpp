// Station mode: the operator's loop at a production line, with no script.
// Each round waits for Enter (or, with --on-plug, for every port to come
// back), runs the device command on every port, shows a big PASS or FAIL per
// target with its serial number and the counts so far, and starts over.
// q or Ctrl+D ends the loop with a summary. Every run is recorded as the
// device commands record theirs.
#include "os_compat.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "commands.h"
#include "device_args.h"
#include "device_run.h"
#include "job_file.h"
#include "quillctl.h"
#include "record/record_store.h"
#include "terminal_input.h"

namespace quillcli {
namespace {

constexpr int kPlugCheckMs = 250;  // how often --on-plug looks for the ports

struct StationArgs {
    std::string command;
    bool onPlug = false;
    bool verbose = false;
    DeviceArgs device;
    std::string jobPath, keyPath;
    std::optional<ProductionJob> job;  // --job: checked again before every round
};

// Block letters for the verdict, five rows high, readable from across a bench.
const char *const *Glyph(char c) {
    static const char *const p[] = {"#### ", "#   #", "#### ", "#    ", "#    "};
    static const char *const a[] = {" ### ", "#   #", "#####", "#   #", "#   #"};
    static const char *const s[] = {" ####", "#    ", " ### ", "    #", "#### "};
    static const char *const f[] = {"#####", "#    ", "#### ", "#    ", "#    "};
    static const char *const i[] = {"#####", "  #  ", "  #  ", "  #  ", "#####"};
    static const char *const l[] = {"#    ", "#    ", "#    ", "#    ", "#####"};
    switch (c) {
    case 'P': return p;
    case 'A': return a;
    case 'S': return s;
    case 'F': return f;
    case 'I': return i;
    default: return l;
    }
}

std::string Banner(const std::string &word, const char *colour) {
    std::string text;
    for (int row = 0; row < 5; ++row) {
        text += "    ";
        text += colour;
        for (size_t k = 0; k < word.size(); ++k) text += std::string(k ? "  " : "") + Glyph(word[k])[row];
        text += *colour ? "\033[0m" : "";
        text += '\n';
    }
    return text;
}

std::string Yield(int passed, int units) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", units > 0 ? 100.0 * passed / units : 0.0);
    return text;
}

// Present: the port's device (through its alias, if it has one) is there.
bool PortPresent(const std::string &spec) {
#if defined(_WIN32)
    // A COM name the system knows: an unplugged USB adapter's name goes with it.
    std::string name = spec;
    if (name.rfind("\\\\.\\", 0) == 0) name = name.substr(4);
    if (const int n = ComNumberOf(name); n > 0) name = "COM" + std::to_string(n);
    char target[512];
    return ::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
#else
    std::string path = spec;
    if (const int n = ComNumberOf(spec); n > 0) {
        char buf[512];
        if (PRRComPortPath(n, buf, sizeof buf) <= 0) return false;
        path = buf;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
#endif
}

enum class Go { Run, Quit, Interrupted };

bool IsQuit(const std::string &line) {
    const size_t a = line.find_first_not_of(" \t\r");
    const size_t b = line.find_last_not_of(" \t\r");
    const std::string word = a == std::string::npos ? "" : line.substr(a, b - a + 1);
    return word == "q" || word == "Q" || word == "quit";
}

// What the operator types between rounds: Enter runs, q (or the input's
// end) quits, Ctrl+C while waiting ends the loop.
Go WaitForEnter(TerminalInput &input) {
    const int before = input.Interrupts();
    for (;;) {
        std::string line;
        switch (input.ReadLine(-1, before, &line)) {
        case TerminalInput::Got::kLine: return IsQuit(line) ? Go::Quit : Go::Run;
        case TerminalInput::Got::kTimeout: continue;
        case TerminalInput::Got::kEnd: return Go::Quit;
        case TerminalInput::Got::kInterrupted: return Go::Interrupted;
        }
    }
}

// Runs once every port has come (back): a port seen away since the last
// round must be there again; q or the input's end quits meanwhile.
Go WaitForPlug(TerminalInput &input, const std::vector<std::string> &ports, std::vector<bool> &away, std::ostream &out) {
    const int before = input.Interrupts();
    std::string told;  // the ports last named as awaited
    for (;;) {
        bool all = true;
        std::string missing;
        for (size_t k = 0; k < ports.size(); ++k) {
            const bool here = PortPresent(ports[k]);
            if (!here && !away[k]) {
                away[k] = true;
                out << ports[k] << ": unit removed" << std::endl;
            }
            if (!here || !away[k]) {
                all = false;
                missing += (missing.empty() ? "" : ", ") + ports[k];
            }
        }
        if (all) return Go::Run;
        if (missing != told) {
            out << "Waiting for a new unit on " << missing << " (q ends)" << std::endl;
            told = missing;
        }
        std::string line;
        switch (input.ReadLine(kPlugCheckMs, before, &line)) {
        case TerminalInput::Got::kLine:
            if (IsQuit(line)) return Go::Quit;
            break;
        case TerminalInput::Got::kTimeout: break;
        case TerminalInput::Got::kEnd: return Go::Quit;
        case TerminalInput::Got::kInterrupted: return Go::Interrupted;
        }
    }
}

std::string Trim(const std::string &line) {
    const size_t a = line.find_first_not_of(" \t\r");
    return a == std::string::npos ? "" : line.substr(a, line.find_last_not_of(" \t\r") - a + 1);
}

// The operator scans (a scanner types a line) or types each scan field's
// value for each unit of the round. A value that does not match, does not
// fit, was scanned for another unit of the round or was used before is
// refused at once and asked for again.
Go ReadScans(TerminalInput &input, const std::vector<std::string> &ports, const std::vector<quillrecord::FieldSpec> &scans,
             quillrecord::RecordStore *store, std::vector<std::map<std::string, std::string>> *scanned, std::ostream &out) {
    scanned->assign(ports.size(), {});
    const int before = input.Interrupts();
    for (size_t k = 0; k < ports.size(); ++k) {
        for (const quillrecord::FieldSpec &f : scans) {
            for (;;) {
                out << ports[k] << ": scan " << f.name << " (q ends): " << std::flush;
                std::string line;
                switch (input.ReadLine(-1, before, &line)) {
                case TerminalInput::Got::kLine: break;
                case TerminalInput::Got::kTimeout: continue;
                case TerminalInput::Got::kEnd: out << '\n'; return Go::Quit;
                case TerminalInput::Got::kInterrupted: out << '\n'; return Go::Interrupted;
                }
                if (IsQuit(line)) return Go::Quit;
                const std::string value = Trim(line);
                std::string why;
                std::vector<uint8_t> bytes;
                bool used = false;
                if (value.empty()) {
                    why = "nothing was scanned";
                } else if (!f.pattern.empty() && !std::regex_match(value, std::regex(f.pattern, std::regex::ECMAScript))) {
                    why = f.name + " '" + value + "' does not match " + f.pattern;
                } else if (!quillrecord::EncodeFieldValue(f, value, &bytes, &why)) {
                } else {
                    for (size_t j = 0; j < k && why.empty(); ++j)
                        if (const auto it = (*scanned)[j].find(f.name); it != (*scanned)[j].end() && it->second == value)
                            why = f.name + " " + value + " is scanned for " + ports[j] + " already";
                    if (why.empty() && store != nullptr && !store->FieldValueUsed(f.name, value, &used, &why))
                        why = "cannot check it: " + why;
                    else if (why.empty() && used)
                        why = f.name + " " + value + " was used before: a value goes to one unit only";
                }
                if (why.empty()) {
                    (*scanned)[k][f.name] = value;
                    break;
                }
                out << ports[k] << ": refused: " << why << std::endl;
            }
        }
    }
    return Go::Run;
}

struct Counts {
    int rounds = 0, units = 0, passed = 0, failed = 0;
};

void ShowSummary(const Counts &c, std::ostream &out) {
    out << "Station summary: " << c.rounds << (c.rounds == 1 ? " round, " : " rounds, ") << c.units
        << (c.units == 1 ? " unit: " : " units: ") << c.passed << " passed, " << c.failed << " failed, yield "
        << Yield(c.passed, c.units) << std::endl;
}

int RunStation(const StationArgs &a, CliContext &ctx) {
    const CommandInfo *info = nullptr;
    for (const CommandInfo &c : DeviceCommands())
        if (a.command == c.name) info = &c;
    if (info == nullptr) {
        *ctx.err << "quillrom: station runs a device command (program, auto, verify, ...), not '" << a.command << "'\n";
        return kExitUsage;
    }
    if (NeedsLoadFile(info->command) && a.device.files.empty()) {
        *ctx.err << "quillrom: station " << a.command << " needs the load file: station " << a.command << " SOURCE... ...\n";
        return kExitUsage;
    }
    if (!NeedsLoadFile(info->command) && (!a.device.files.empty() || !a.device.fill.empty())) {
        *ctx.err << "quillrom: station " << a.command << " takes no load file\n";
        return kExitUsage;
    }
    if (a.device.json) {
        *ctx.err << "quillrom: station shows its verdicts to an operator; --json is for the device commands\n";
        return kExitUsage;
    }
    // Everything but the ports is checked before the first round, so a
    // mistake shows at once; the ports are resolved each round, as they come.
    std::vector<quillrecord::FieldSpec> scans;
    {
        DeviceArgs check = a.device;
        check.ports.clear();
        DeviceJob job;
        if (int code = BuildJob(info->command, check, ctx, &job); code != kExitOk) return code;
        for (const quillrecord::FieldSpec &f : job.fields.fields)
            if (f.source == quillrecord::FieldSource::kScan) scans.push_back(f);
        for (const std::string &p : a.device.ports) {
            if (ComNumberOf(p) < 0 || (ComNumberOf(p) == 0 && (p.empty() || p[0] != '/'))) {
                *ctx.err << "quillrom: '" << p << "' is neither COM<n> nor a device path such as /dev/ttyUSB0\n";
                return kExitUsage;
            }
        }
    }
    const bool colour = ctx.out == &std::cout && ::isatty(STDOUT_FILENO);
    std::ostream &out = *ctx.out;
    std::string portList;
    for (const std::string &p : a.device.ports) portList += (portList.empty() ? "" : ", ") + p;

    TerminalInput input(ctx.in);
    if (!input.ok()) {
        *ctx.err << "quillrom: cannot create an event descriptor: " << std::strerror(errno) << '\n';
        return kExitFailed;
    }
    ctx.input = &input;  // the rounds' device runs share it: one Ctrl+C handler throughout
    struct Lent {
        CliContext &ctx;
        ~Lent() { ctx.input = nullptr; }
    } lent{ctx};
    // Scanned values are checked against the record as they come.
    std::unique_ptr<quillrecord::RecordStore> store;
    if (!scans.empty()) {
        const std::string url = a.device.db.empty() ? quillrecord::DefaultRecordUrl() : a.device.db;
        std::string why;
        store = url.empty() ? nullptr : quillrecord::OpenRecordStore(url, &why);
        if (!store) {
            *ctx.err << "quillrom: cannot record the run: " << (url.empty() ? "no place for the record: set --db" : why)
                     << " (no device was touched)\n";
            return kExitIo;
        }
    }
    Counts counts;
    std::vector<bool> away(a.device.ports.size(), true);  // ports there at the start count as plugged
    for (;;) {
        Go go = Go::Run;
        std::vector<std::map<std::string, std::string>> scanned;
        if (a.onPlug) {
            go = WaitForPlug(input, a.device.ports, away, out);
        } else if (scans.empty()) {
            out << "Station: press Enter to " << a.command << " on " << portList << " (q or Ctrl+D ends)" << std::endl;
            go = WaitForEnter(input);
        } else {
            // The last scan's Enter starts the round.
            out << "Station: scan each unit to " << a.command << " on " << portList << " (q or Ctrl+D ends)" << std::endl;
        }
        if (go == Go::Run && !scans.empty()) go = ReadScans(input, a.device.ports, scans, store.get(), &scanned, out);
        if (go != Go::Run) {
            ShowSummary(counts, out);
            if (go == Go::Interrupted) return kExitInterrupted;
            return counts.failed > 0 ? kExitFailed : kExitOk;
        }
        std::string changed;
        if (a.job && !JobFilesUnchanged(*a.job, &changed)) {
            // The job names its files' contents: another image is not this job.
            *ctx.err << "quillrom: " << changed << "; the station stops (no device was touched)" << std::endl;
            ShowSummary(counts, out);
            return kExitIo;
        }
        DeviceJob job;
        std::vector<UnitResult> results;
        int code = BuildJob(info->command, a.device, ctx, &job);
        job.fields.scanned = scanned;
        // The verdicts say how each unit ended; --verbose shows every line as the commands do.
        job.quiet = job.quiet || !a.verbose;
        if (code == kExitOk) code = RunDeviceJob(job, ctx, &results);
        if (results.empty()) {
            // Nothing reached a device: the record, a file or a port name is
            // at fault, and every further round would fail the same way.
            *ctx.err << "quillrom: the station stops" << std::endl;
            ShowSummary(counts, out);
            return code;
        }
        ++counts.rounds;
        bool lost = false;
        for (const UnitResult &r : results) {
            const bool pass = r.verdict == Verdict::Ok && r.recorded;
            ++counts.units;
            ++(pass ? counts.passed : counts.failed);
            lost = lost || !r.recorded;
            std::string caption = r.port + ": " + (pass ? "PASS" : "FAIL");
            if (r.serialNumber >= 0) caption += ", serial " + std::to_string(r.serialNumber);
            for (const auto &[name, value] : r.fields)
                if (name != quillrecord::kSerialField || r.serialNumber < 0) caption += ", " + name + " " + value;
            if (!pass) caption += ": " + (r.recorded ? r.detail : std::string("the run is not recorded"));
            out << '\n' << caption << '\n' << Banner(pass ? "PASS" : "FAIL", colour ? (pass ? "\033[1;32m" : "\033[1;31m") : "");
        }
        out << "\nPassed " << counts.passed << ", failed " << counts.failed << " of " << counts.units
            << (counts.units == 1 ? " unit" : " units") << " (yield " << Yield(counts.passed, counts.units) << ")\n"
            << std::endl;
        for (size_t k = 0; k < away.size(); ++k) away[k] = false;
        if (code == kExitInterrupted || lost) {
            if (lost) *ctx.err << "quillrom: the record cannot be written; the station stops" << std::endl;
            ShowSummary(counts, out);
            return lost ? kExitIo : kExitInterrupted;
        }
    }
}

// --job: the job's command, files and options, with only this station's own
// (ports, record, operator) from the command line.
int LoadJob(StationArgs &a, CLI::App *cmd, CliContext &ctx) {
    std::string given;
    if (!a.command.empty()) given = a.command;
    if (!a.device.files.empty()) given = a.device.files[0];
    for (const std::string &name : JobOptionNames())
        if (cmd->get_option(name)->count() > 0) given = name;
    if (!given.empty()) {
        *ctx.err << "quillrom: the job fixes the command, its files and its options: " << given
                 << " is not taken with --job (no device was touched)\n";
        return kExitUsage;
    }
    ProductionJob job;
    std::string sha256, why;
    if (const int code = ReadJobFile(a.jobPath, a.keyPath, &job, &sha256, &why); code != kExitOk) {
        *ctx.err << "quillrom: " << why << " (no device was touched)\n";
        return code;
    }
    DeviceArgs fixed;
    if (const int code = DeviceArgsOfJob(job, &fixed, &why); code != kExitOk) {
        *ctx.err << "quillrom: " << a.jobPath << ": " << why << '\n';
        return code;
    }
    const DeviceArgs &own = a.device;
    fixed.ports = own.ports;
    fixed.log = own.log;
    fixed.json = own.json;
    fixed.quiet = own.quiet;
    fixed.db = own.db;
    fixed.noRecord = own.noRecord;
    fixed.station = own.station;
    fixed.operatorName = own.operatorName;
    fixed.jobSha256 = sha256;
    fixed.jobSigner = job.keyId;
    std::vector<std::string> record = own.given;
    record.insert(record.end(), fixed.given.begin(), fixed.given.end());
    fixed.given = record;
    a.device = fixed;
    a.command = job.command;
    *ctx.out << "Job " << a.jobPath << ": " << job.command << ", "
             << (job.keyId.empty() ? "not signed" : "signed by key " + job.keyId) << ", files unchanged" << std::endl;
    a.job = job;
    return kExitOk;
}

}  // namespace

void AddStationCommand(CLI::App &app, CliContext &ctx) {
    auto *cmd = app.add_subcommand(
        "station", "Operator loop: run COMMAND on every port at each Enter (or plug), show PASS or FAIL, repeat");
    auto args = std::make_shared<StationArgs>();
    cmd->add_option("COMMAND", args->command, "The device command: program, auto, verify, erase, ... (not with --job)");
    AddSourceOptions(cmd, args->device, false);
    AddJobOptions(cmd, args->device, false);
    AddRunOptions(cmd, args->device);
    cmd->add_option("--job", args->jobPath, "Run this production job (quillrom job create), and nothing else")
        ->type_name("JOB.qjob");
    cmd->add_option("--key", args->keyPath, "The public key the job must be signed with")->type_name("NAME.pub");
    cmd->add_flag("--verbose", args->verbose, "Show every line of each unit's run (default: a verdict per unit)");
    cmd->add_flag("--on-plug", args->onPlug,
                  "Start each round when every port has come back (a new unit plugged in) instead of at Enter");
    cmd->footer(
        "q or Ctrl+D ends the loop with a summary. Exit codes: 0 every unit passed; 1 a unit failed; 2 usage; "
        "3 the record, a file or a port name stopped the station; 130 Ctrl+C.");
    cmd->callback([&ctx, args, cmd] {
        CollectGiven(cmd, args->device);
        if (!args->jobPath.empty()) {
            ctx.exitCode = LoadJob(*args, cmd, ctx);
            if (ctx.exitCode != kExitOk) return;
        } else if (!args->keyPath.empty()) {
            *ctx.err << "quillrom: --key checks the signature of a --job\n";
            ctx.exitCode = kExitUsage;
            return;
        } else if (args->command.empty() || args->device.prm.empty()) {
            *ctx.err << "quillrom: station needs COMMAND and --prm, or --job JOB.qjob\n";
            ctx.exitCode = kExitUsage;
            return;
        }
        args->device.commandName = args->command;
        ctx.exitCode = RunStation(*args, ctx);
    });
}

}  // namespace quillcli
