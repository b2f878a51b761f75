// One device command on one or more targets, as the command line shows it:
// the client layer reads the files and runs the gang, the record writes the
// rows; this shows lines, bars or JSON and turns the ends into an exit code.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "client/job.h"
#include "client/port_diagnosis.h"
#include "commands.h"
#include "progress_view.h"
#include "record/run_recorder.h"
#include "quillctl.h"

namespace quillcli {

using DeviceCommand = quillclient::Command;
using quillclient::CommandTitle;
using quillclient::ComNumberOf;
using quillclient::DescribePortFault;
using quillclient::NeedsLoadFile;
using quillclient::PortChoice;
using quillclient::PortFault;
using quillclient::PortProbe;
using quillclient::ProbePort;
using quillclient::ResolveError;
using quillclient::ResolvePort;

struct DeviceJob {
    quillclient::JobSpec spec;
    std::string logPath;
    ViewKind view = ViewKind::Lines;
    bool quiet = false;
    // A row per target in the record, unless record.enabled is false.
    quillrecord::RecordOptions record;
    // Each target's image gets the next serial number from the record.
    bool serial = false;
    quillrecord::SerialRequest serialRequest;
    // Each target's fields' values, from the record (and for exec, a command).
    quillrecord::FieldRequest fields;
};

// "chip", "block:A-B" or "area:A-B" (numbers decimal or 0x hex, A <= B <= 255).
bool ParseRange(const std::string &text, AreaRecord *area, std::string *why);

// How one unit's run ended, for station mode.
struct UnitResult {
    std::string port;  // "COM40"
    quillclient::Verdict verdict = quillclient::Verdict::Pending;
    std::string detail;
    int64_t serialNumber = -1;  // -1: none
    std::vector<std::pair<std::string, std::string>> fields;  // name, value
    bool recorded = true;       // false: the record was asked for and its row is lost
};

// Runs the job and returns the exit code (kExitOk ... kExitInterrupted).
// `results`, when given, gets a result per target once the targets ran;
// it stays empty when the job ended before any target was started.
int RunDeviceJob(const DeviceJob &job, CliContext &ctx, std::vector<UnitResult> *results = nullptr);

}  // namespace quillcli
