// A device command as the user asked for it, and the files read for it: a
// parameter record for each target (the library keeps pointers into each),
// the load image, the defaults filled in from the parameter file. The gang
// runs it; the record takes its facts.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "client/files.h"
#include "client/gang.h"

namespace quillclient {

struct JobSpec {
    Command command = Command::Signature;
    std::string prmPath;
    std::vector<LoadSource> sources;  // the load image, for the commands that need one
    int fill = -1;                    // the gaps' byte; -1: the erased value
    // The sources as the command line names them: "app.elf cal.bin@0x7C00".
    std::string sourcesText() const;
    std::vector<PortChoice> ports;
    double frequency = 0;   // 0: the parameter file's
    double multiplier = 0;  // 0: the parameter file's
    AreaRecord area{PRR_AREA_CHIP, -1, -1, 0, 0};  // first/last -1: the parameter file's
    int32_t autoRange = 0;
    uint8_t commandOptions = 0;
    uint8_t securityFlags = 0;
    bool powerPrompt = false;
};

// The words the command line (and the Python package) give a file's fault:
// "No such file or directory", and with its path in front,
// "demo.hex: No such file or directory" ("interrupted" alone).
std::string FileFaultText(const FileStatus &status);
std::string DescribeFileStatus(const std::string &path, const FileStatus &status);
// The same for a load image's fault, naming the source it is about.
std::string DescribeLoadStatus(const FileStatus &status);

class Job {
public:
    Job() = default;
    ~Job();  // frees what it holds, unless Abandon() was called
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // Reads the parameter file (one record per target, its checksum checked
    // once) and the load image, waiting on `waiter`. kExitOk, or the exit
    // code (kExitIo, kExitUsage, kExitInterrupted) with the reason.
    int Prepare(const JobSpec &spec, Waiter &waiter, std::string *why);

    // Targets after the first get an image of their own (read again), so
    // each can be changed alone (a serial number); kExitOk or as Prepare.
    int GiveEachTargetItsImage(Waiter &waiter, std::string *why);

    const JobSpec &spec() const { return spec_; }
    const CommandRequest &request() const { return request_; }
    const std::vector<GangTarget> &targets() const { return targets_; }
    GangTarget &target(size_t i) { return targets_[i]; }
    const DeviceParameters &device() const { return *targets_.at(0).device; }
    // The parameter file's SUM as hex; "" when unreadable.
    const std::string &prmChecksum() const { return prmChecksum_; }

    // A worker that never stopped may still read the records and images:
    // they are left to it (the process ends soon).
    void Abandon() { abandoned_ = true; }

private:
    LoadFileHandle *LoadSources(Waiter &waiter, FileStatus *status) const;

    JobSpec spec_;
    CommandRequest request_{};
    std::vector<GangTarget> targets_;
    LoadFileHandle *image_ = nullptr;         // the first target's, and every target's without their own
    std::vector<LoadFileHandle *> ownImages_; // targets 2..
    std::string prmChecksum_;
    bool abandoned_ = false;
};

}  // namespace quillclient
