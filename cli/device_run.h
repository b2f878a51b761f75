// One device command on one or more targets: read the parameter file and the
// load file, connect each target, run the command, and report. Every target
// has a flash handle of its own; one thread drives them all, woken by the
// handles' notifications.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "client/flash_session.h"
#include "commands.h"
#include "port_diagnosis.h"
#include "production/serial_number.h"
#include "progress_view.h"
#include "quillctl.h"

namespace quillcli {

using DeviceCommand = quillclient::Command;
using quillclient::NeedsLoadFile;

const char *CommandTitle(DeviceCommand c);  // ">>COMMAND: Program"

struct DeviceJob {
    DeviceCommand command = DeviceCommand::Signature;
    std::string prmPath;
    std::string loadPath;  // commands that need a load file
    std::vector<PortChoice> ports;
    double frequency = 0;   // 0: the parameter file's
    double multiplier = 0;  // 0: the parameter file's
    AreaRecord area{PRR_AREA_CHIP, -1, -1, 0, 0};  // first/last -1: the parameter file's
    int32_t autoRange = 0;
    uint8_t commandOptions = 0;
    uint8_t securityFlags = 0;
    bool powerPrompt = false;
    std::string logPath;
    ViewKind view = ViewKind::Lines;
    bool quiet = false;
    // The production record: a row per target in the database at `dbUrl`
    // (empty: the default SQLite file), unless `record` is false.
    bool record = true;
    std::string dbUrl;
    std::string station;       // empty: the host name
    std::string operatorName;
    std::string commandName;   // "program"
    std::string optionsText;   // the options as given, for the row
    // Each target's image gets the next serial number from the record at
    // serialSpec before programming.
    bool serial = false;
    SerialSpec serialSpec;
    int64_t serialStart = 1;
};

// "chip", "block:A-B" or "area:A-B" (numbers decimal or 0x hex, A <= B <= 255).
bool ParseRange(const std::string &text, AreaRecord *area, std::string *why);

// How one target's run ended.
struct TargetResult {
    std::string port;  // "COM40"
    Verdict verdict = Verdict::Pending;
    std::string detail;
    int64_t serialNumber = -1;  // -1: none
    bool recorded = true;       // false: the record was asked for and its row is lost
};

// Runs the job and returns the exit code (kExitOk ... kExitInterrupted).
// `results`, when given, gets a result per target once the targets ran;
// it stays empty when the job ended before any target was started.
int RunDeviceJob(const DeviceJob &job, CliContext &ctx, std::vector<TargetResult> *results = nullptr);

}  // namespace quillcli
