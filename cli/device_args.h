// The options every device command takes, and the job they make; the
// device commands and station mode share them.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "device_run.h"

namespace quillcli {

struct DeviceArgs {
    std::vector<std::string> files;  // the load image's sources: PATH or PATH@ADDR
    std::string fill;                // --fill BYTE; "" for the erased value
    std::string prm;
    std::vector<std::string> ports;
    double freq = 0;
    double multiply = 0;
    std::string range = "chip";
    bool autoRange = false;
    bool blankCheckFirst = false, verify = false, checksum = false, security = false;
    bool disableProgram = false, disableBlockErase = false, disableChipErase = false;
    bool powerPrompt = false;
    std::string log;
    bool json = false;
    bool quiet = false;
    std::string db;
    bool noRecord = false;
    std::string station;
    std::string operatorName;
    std::string commandName;
    std::vector<std::string> given;  // the command line after the command's name
    std::string serialNumber;
    std::optional<int64_t> serialStart;  // 1 when not given
    std::vector<std::string> fields;     // --field NAME@ADDR:LEN[:FORMAT]=SOURCE
    double fieldTimeout = 10;            // seconds an exec field's command may take
    std::string jobSha256, jobSigner;    // station --job: the job's file and its checked signer, for the record
};

// Adds the options to `cmd`, bound to `a`: what a production job fixes
// (the parameter file, the range, the follow-ons, the fields: everything but
// the load image), and what each run chooses (ports, log, record, station).
void AddJobOptions(CLI::App *cmd, DeviceArgs &a, bool prmRequired);
void AddRunOptions(CLI::App *cmd, DeviceArgs &a);
void AddCommonOptions(CLI::App *cmd, DeviceArgs &a);
// SOURCE... and --fill, for the commands that take a load image; `required`
// unless the command decides later (station).
void AddSourceOptions(CLI::App *cmd, DeviceArgs &a, bool required);
// The sources and the fill byte as the job takes them; false with the reason.
bool ParseSources(const std::vector<std::string> &texts, const std::string &fillText,
                  std::vector<quillclient::LoadSource> *sources, int *fill, std::string *why);
// Keeps the options `cmd` was given in a.given, for the record.
void CollectGiven(CLI::App *cmd, DeviceArgs &a);
// Turns the options into a job. kExitOk, or the exit code with the reason on stderr.
int BuildJob(DeviceCommand command, const DeviceArgs &a, CliContext &ctx, DeviceJob *job);

// The device commands by name: "program", "auto", ...
struct CommandInfo {
    const char *name;
    DeviceCommand command;
    const char *help;
};
const std::vector<CommandInfo> &DeviceCommands();

struct ProductionJob;
// The options a job fixes (--prm, --range, --field, ...), by name.
std::vector<std::string> JobOptionNames();
// A job's command line as the device commands take it (the files' paths
// resolved); kExitOk or kExitUsage with the reason.
int DeviceArgsOfJob(const ProductionJob &job, DeviceArgs *out, std::string *why);

}  // namespace quillcli
