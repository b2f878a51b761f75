// The device commands: blank-check, erase, program, verify, checksum,
// security, signature and auto, on one target or on several at once.
#include "os_compat.h"

#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "device_args.h"
#include "device_run.h"

namespace quillcli {

void AddJobOptions(CLI::App *cmd, DeviceArgs &a, bool prmRequired) {
    CLI::Option *prm = cmd->add_option("--prm", a.prm, "Parameter file of the device");
    if (prmRequired) prm->required();
    cmd->add_option("--freq", a.freq, "Oscillator frequency in MHz (default: the parameter file's)")
        ->check(CLI::PositiveNumber);
    cmd->add_option("--multiply", a.multiply, "Oscillator multiply rate (default: the parameter file's)")
        ->check(CLI::PositiveNumber);
    cmd->add_option("--range", a.range, "Operation range: chip, block:A-B or area:A-B")->capture_default_str();
    cmd->add_flag("--auto-range", a.autoRange,
                  "Blank check and erase the whole device; program and verify the load file's blocks");
    cmd->add_flag("--blank-check-first", a.blankCheckFirst, "Erase and auto: blank check first, erase only if needed");
    cmd->add_flag("--verify", a.verify, "After programming: verify");
    cmd->add_flag("--checksum", a.checksum, "After programming: compare the checksum");
    cmd->add_flag("--security", a.security, "After programming: write the security flags");
    cmd->add_flag("--disable-program", a.disableProgram, "Security flag: forbid programming");
    cmd->add_flag("--disable-block-erase", a.disableBlockErase, "Security flag: forbid block erase");
    cmd->add_flag("--disable-chip-erase", a.disableChipErase, "Security flag: forbid chip erase");
    cmd->add_flag("--power-prompt", a.powerPrompt, "Wait for Enter between the two connect phases (power the target off and on)");
    cmd->add_option("--serial-number", a.serialNumber,
                    "program, auto: write the next free serial number into each target's image at ADDR:LEN[:le|be|bcd|ascii]");
    cmd->add_option("--serial-start", a.serialStart, "The lowest serial number to hand out (default 1)");
    cmd->add_option("--field", a.fields,
                    "program, auto: a per-unit value written into each target's image, NAME@ADDR:LEN[:FORMAT]=SOURCE "
                    "(FORMAT le, be, bcd, ascii or hex; SOURCE counter[:START[:STEP]], list:FILE.csv[:COLUMN], "
                    "scan[:REGEX] (station) or exec:COMMAND); repeatable")
        ->type_name("SPEC");
    cmd->add_option("--field-timeout", a.fieldTimeout, "Seconds an exec field's command may take (default 10)")
        ->check(CLI::PositiveNumber);
}

void AddRunOptions(CLI::App *cmd, DeviceArgs &a) {
    cmd->add_option("--port", a.ports,
                    "COMn or a device path; repeat it to run the command on several targets at once")
        ->required()
        ->type_name("COMn|DEVICE");
    cmd->add_option("--log", a.log, "Append every line to this file");
    cmd->add_flag("--json", a.json, "One JSON object per record and per result");
    cmd->add_flag("--quiet", a.quiet, "Print only failures");
    cmd->add_option("--db", a.db, "Record database: sqlite:PATH or postgresql://... (default: sqlite:$XDG_DATA_HOME/quillrom/history.db)");
    cmd->add_flag("--no-record", a.noRecord, "Do not record the run");
    cmd->add_option("--station", a.station, "Station name in the record (default: the host name)");
    cmd->add_option("--operator", a.operatorName, "Operator name in the record");
}

void AddCommonOptions(CLI::App *cmd, DeviceArgs &a) {
    AddJobOptions(cmd, a, true);
    AddRunOptions(cmd, a);
}

void AddSourceOptions(CLI::App *cmd, DeviceArgs &a, bool required) {
    CLI::Option *files = cmd->add_option(
        "SOURCE", a.files,
        "Load file(s) merged into one image: Intel HEX, S-record or ELF (told by content), or a raw binary as "
        "PATH@ADDR (ADDR hex with 0x, or decimal)");
    if (required) files->required();
    cmd->add_option("--fill", a.fill, "The byte for the gaps between the sources' data (default 0xFF, the erased value)")
        ->type_name("BYTE");
}

bool ParseSources(const std::vector<std::string> &texts, const std::string &fillText,
                  std::vector<quillclient::LoadSource> *sources, int *fill, std::string *why) {
    sources->clear();
    for (const std::string &text : texts) {
        quillclient::LoadSource source;
        if (!quillclient::ParseLoadSource(text, &source, why)) return false;
        sources->push_back(source);
    }
    *fill = -1;
    if (!fillText.empty()) {
        uint32_t value = 0;
        if (!quillclient::ParseNumberText(fillText, &value) || value > 0xFF) {
            *why = "--fill takes a byte, 0..255 or 0x00..0xFF, not '" + fillText + "'";
            return false;
        }
        *fill = static_cast<int>(value);
    }
    return true;
}

int BuildJob(DeviceCommand command, const DeviceArgs &a, CliContext &ctx, DeviceJob *out) {
    DeviceJob &job = *out;
    job = DeviceJob{};
    quillclient::JobSpec &spec = job.spec;
    spec.command = command;
    spec.prmPath = a.prm;
    spec.frequency = a.freq;
    spec.multiplier = a.multiply;
    std::string why;
    if (!ParseSources(a.files, a.fill, &spec.sources, &spec.fill, &why)) {
        *ctx.err << "quillrom: " << why << '\n';
        return kExitUsage;
    }
    if (!ParseRange(a.range, &spec.area, &why)) {
        *ctx.err << "quillrom: " << why << '\n';
        return kExitUsage;
    }
    spec.autoRange = a.autoRange ? 1 : 0;
    spec.commandOptions = static_cast<uint8_t>(
        (a.blankCheckFirst ? PRR_OPT_BLANK_CHECK_FIRST : 0) | (a.verify ? PRR_OPT_VERIFY : 0) |
        (a.security ? PRR_OPT_SECURITY : 0) | (a.checksum ? PRR_OPT_CHECKSUM : 0));
    spec.securityFlags = static_cast<uint8_t>((a.disableProgram ? PRR_SECURITY_DISABLE_PROGRAM : 0) |
                                              (a.disableBlockErase ? PRR_SECURITY_DISABLE_BLOCK_ERASE : 0) |
                                              (a.disableChipErase ? PRR_SECURITY_DISABLE_CHIP_ERASE : 0));
    spec.powerPrompt = a.powerPrompt;
    job.logPath = a.log;
    job.quiet = a.quiet;
    job.record.enabled = !a.noRecord;
    if (!a.serialNumber.empty()) {
        if (command != DeviceCommand::Program && command != DeviceCommand::Autoprocedure) {
            *ctx.err << "quillrom: --serial-number is for program and auto\n";
            return kExitUsage;
        }
        if (a.noRecord) {
            *ctx.err << "quillrom: serial numbers are handed out by the record: --serial-number needs it (drop --no-record)\n";
            return kExitUsage;
        }
        if (a.serialStart.value_or(1) < 0) {
            *ctx.err << "quillrom: --serial-start cannot be negative\n";
            return kExitUsage;
        }
        if (!quillrecord::ParseSerialSpec(a.serialNumber, &job.serialRequest.spec, &why)) {
            *ctx.err << "quillrom: " << why << '\n';
            return kExitUsage;
        }
        job.serial = true;
        job.serialRequest.start = a.serialStart.value_or(1);
    } else if (a.serialStart) {
        // Without a place to write them, no number would reach the units.
        *ctx.err << "quillrom: --serial-start goes with --serial-number ADDR:LEN[:FORMAT]\n";
        return kExitUsage;
    }
    for (const std::string &text : a.fields) {
        quillrecord::FieldSpec field;
        if (!quillrecord::ParseFieldSpec(text, &field, &why)) {
            *ctx.err << "quillrom: " << why << '\n';
            return kExitUsage;
        }
        job.fields.fields.push_back(field);
    }
    if (!job.fields.fields.empty()) {
        if (command != DeviceCommand::Program && command != DeviceCommand::Autoprocedure) {
            *ctx.err << "quillrom: --field is for program and auto\n";
            return kExitUsage;
        }
        if (a.noRecord) {
            *ctx.err << "quillrom: field values are handed out by the record: --field needs it (drop --no-record)\n";
            return kExitUsage;
        }
        for (const quillrecord::FieldSpec &f : job.fields.fields)
            if (job.serial && f.name == quillrecord::kSerialField) {
                *ctx.err << "quillrom: --serial-number is the field serial: give one of them\n";
                return kExitUsage;
            }
    }
    job.fields.timeoutMs = static_cast<int>(a.fieldTimeout * 1000 + 0.5);
    job.record.url = a.db;
    job.record.jobSha256 = a.jobSha256;
    job.record.jobSigner = a.jobSigner;
    job.record.station = a.station;
    job.record.operatorName = a.operatorName;
    job.record.commandName = a.commandName;
    for (const std::string &g : a.given) job.record.optionsText += (job.record.optionsText.empty() ? "" : " ") + g;
    if (a.json) job.view = ViewKind::Json;
    else if (ctx.out == &std::cout && ::isatty(STDOUT_FILENO)) job.view = ViewKind::Terminal;
    else job.view = ViewKind::Lines;

    std::set<int> seen;
    for (const std::string &spec : a.ports) {
        PortChoice port;
        switch (ResolvePort(spec, &port, &why)) {
        case ResolveError::None: break;
        case ResolveError::BadName:
            *ctx.err << "quillrom: " << why << '\n';
            return kExitUsage;
        case ResolveError::NoSuchPort:
        case ResolveError::NoComNumber:
            *ctx.err << "quillrom: " << why << '\n';
            return kExitIo;
        }
        if (!seen.insert(port.number).second) {
            *ctx.err << "quillrom: " << port.name << " is named twice; each target needs a port of its own\n";
            return kExitUsage;
        }
        job.spec.ports.push_back(port);
    }
    return kExitOk;
}

void CollectGiven(CLI::App *cmd, DeviceArgs &a) {
    a.given.clear();
    for (const std::string &r : cmd->remaining()) a.given.push_back(r);
    for (const CLI::Option *o : cmd->get_options()) {
        if (o->count() == 0 || o->get_name() == "--help") continue;
        const std::string name = o->get_name();
        if (o->get_items_expected_max() == 0) {
            a.given.push_back(name);
        } else {
            for (const std::string &v : o->results()) a.given.push_back(name.rfind("-", 0) == 0 ? name + "=" + v : v);
        }
    }
}

const std::vector<CommandInfo> &DeviceCommands() {
    static const std::vector<CommandInfo> commands = {
        {"blank-check", DeviceCommand::BlankCheck, "Check that the range is blank (exit 1 when it is not)"},
        {"erase", DeviceCommand::Erase, "Erase the range"},
        {"program", DeviceCommand::Program, "Program the load image (SOURCE...) into the range"},
        {"verify", DeviceCommand::Verify, "Compare the range with the load image"},
        {"checksum", DeviceCommand::Checksum, "Compare the device's checksum with the load image's (exit 1 on a mismatch)"},
        {"security", DeviceCommand::Security, "Write the security flags (--disable-...)"},
        {"signature", DeviceCommand::Signature, "Read the device signature"},
        {"auto", DeviceCommand::Autoprocedure, "Autoprocedure: erase (or blank check), program the load image, then the chosen follow-ons"},
    };
    return commands;
}

void AddDeviceCommands(CLI::App &app, CliContext &ctx) {
    for (const CommandInfo &info : DeviceCommands()) {
        auto *cmd = app.add_subcommand(info.name, info.help);
        auto args = std::make_shared<DeviceArgs>();
        if (NeedsLoadFile(info.command)) AddSourceOptions(cmd, *args, true);
        AddCommonOptions(cmd, *args);
        cmd->footer(
            "Exit codes: 0 success; 1 the device or the command failed (also CHECKSUM COMPARE: ERROR, and not "
            "blank for blank-check; in a gang, any target); 2 usage; 3 port or file problem; 130 Ctrl+C.");
        const DeviceCommand command = info.command;
        args->commandName = info.name;
        cmd->callback([&ctx, args, command, cmd] {
            // What the row records as the options: the arguments as given.
            CollectGiven(cmd, *args);
            DeviceJob job;
            const int code = BuildJob(command, *args, ctx, &job);
            ctx.exitCode = code != kExitOk ? code : RunDeviceJob(job, ctx);
        });
    }
}

}  // namespace quillcli
