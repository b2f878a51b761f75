#include "client/job.h"

#include <cerrno>
#include <cstring>

namespace quillclient {

std::string FileFaultText(const FileStatus &s) {
    switch (s.fault) {
    case FileStatus::kNone: return "";
    case FileStatus::kMissing:
    case FileStatus::kUnreadable: return std::strerror(s.error);
    case FileStatus::kFolder: return "is a folder, not a file";
    case FileStatus::kNotRegular: return "is not a regular file";
    case FileStatus::kEmpty: return "is empty";
    case FileStatus::kPathTooLong: return "the path is longer than the 255 bytes the reader takes";
    case FileStatus::kNotLoadFile: return "not an Intel HEX, S-record or ELF file (a raw binary goes as PATH@ADDR)";
    case FileStatus::kRefused: return "the library refused to open it";
    case FileStatus::kReadFailed: return s.detail;
    case FileStatus::kNoData: return "holds no data";
    case FileStatus::kNoAnswer: return "no answer from the reader";
    case FileStatus::kInterrupted: return "interrupted";
    case FileStatus::kNotParameterFile: return "not a parameter file that can be read";
    case FileStatus::kBadChecksum: return "checksum error (its SUM= value does not match its contents)";
    case FileStatus::kMergeFailed: return s.detail;
    }
    return "";
}

std::string DescribeFileStatus(const std::string &path, const FileStatus &s) {
    // The merging reader's reasons name their file themselves.
    if (s.fault == FileStatus::kInterrupted || s.fault == FileStatus::kMergeFailed) return FileFaultText(s);
    return path + ": " + FileFaultText(s);
}

std::string DescribeLoadStatus(const FileStatus &s) {
    if (s.path.empty() && s.fault == FileStatus::kNoData) return "the load image holds no data";
    return DescribeFileStatus(s.path, s);
}

std::string JobSpec::sourcesText() const {
    std::string text;
    for (const LoadSource &s : sources) text += (text.empty() ? "" : " ") + SourceText(s);
    return text;
}

Job::~Job() {
    if (abandoned_) return;
    for (GangTarget &t : targets_) PRRFreePRM(t.device);
    PRRHexClose(image_);
    for (LoadFileHandle *load : ownImages_) PRRHexClose(load);
}

int Job::Prepare(const JobSpec &spec, Waiter &waiter, std::string *why) {
    spec_ = spec;
    for (size_t i = 0; i < spec.ports.size(); ++i) {
        FileStatus status;
        GangTarget t;
        t.port = spec.ports[i];
        t.device = ReadParameterFile(spec.prmPath, i == 0, &status);
        if (t.device == nullptr) {
            *why = DescribeFileStatus(spec.prmPath, status);
            return kExitIo;
        }
        targets_.push_back(t);
    }
    if (targets_.empty()) {
        *why = "no port to run on";
        return kExitUsage;
    }
    prmChecksum_ = ParameterChecksumText(spec.prmPath);
    const DeviceParameters &first = device();
    const double frequency = spec.frequency > 0 ? spec.frequency : first.typeSet7;
    const double multiplier = spec.multiplier > 0 ? spec.multiplier : static_cast<double>(first.typeSet2);
    if (!(frequency > 0) || !(multiplier > 0)) {
        *why = spec.prmPath + " gives no oscillator frequency and multiply rate: set --freq and --multiply";
        return kExitUsage;
    }
    AreaRecord area = spec.area;
    if (area.first < 0) area.first = first.typeSet11;
    if (area.last < 0) area.last = first.typeSet12;
    if (NeedsLoadFile(spec.command)) {
        FileStatus status;
        image_ = LoadSources(waiter, &status);
        if (image_ == nullptr) {
            *why = DescribeLoadStatus(status);
            return status.fault == FileStatus::kInterrupted ? kExitInterrupted : kExitIo;
        }
        for (GangTarget &t : targets_) t.load = image_;
    }
    request_ = CommandRequest{};
    request_.command = spec.command;
    request_.reset.frequency = frequency;
    request_.reset.multiplier = multiplier;
    request_.reset.commandOptions = spec.commandOptions;
    request_.reset.securityFlags = spec.securityFlags;
    request_.reset.powerCycleMode = spec.powerPrompt ? PRR_POWER_PROMPT_ON : PRR_POWER_PROMPT_OFF;
    request_.area = area;
    request_.loadFile = image_;
    request_.autoRange = spec.autoRange;
    return kExitOk;
}

LoadFileHandle *Job::LoadSources(Waiter &waiter, FileStatus *status) const {
    if (spec_.sources.empty()) {
        *status = FileStatus{};
        status->fault = FileStatus::kMissing;
        status->error = ENOENT;
        return nullptr;
    }
    LoadOptions options;
    options.fill = spec_.fill;
    return LoadImage(spec_.sources, waiter, status, options);
}

int Job::GiveEachTargetItsImage(Waiter &waiter, std::string *why) {
    for (size_t i = 1; i < targets_.size(); ++i) {
        if (targets_[i].load != image_) continue;
        FileStatus status;
        LoadFileHandle *load = LoadSources(waiter, &status);
        if (load == nullptr) {
            *why = DescribeLoadStatus(status);
            return status.fault == FileStatus::kInterrupted ? kExitInterrupted : kExitIo;
        }
        ownImages_.push_back(load);
        targets_[i].load = load;
    }
    return kExitOk;
}

}  // namespace quillclient
