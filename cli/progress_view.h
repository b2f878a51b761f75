// How a device run shows itself: plain log lines when the output is a file
// or a pipe, progress bars redrawn in place on a terminal, or one JSON object
// per record for programs that read the output.
#pragma once
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client/gang.h"
#include "quillctl.h"

namespace quillcli {

using quillclient::TargetReport;
using quillclient::Verdict;

// Pieces of a progress line, exposed for tests.
const char *PhaseName(int32_t state);          // "program"; "" for idle
std::string FormatBar(uint32_t percent, int width);
std::string FormatRate(double bytesPerSecond); // "12.3 KiB/s"; "" when unknown
std::string FormatEta(double seconds);         // "ETA 1:05"; "" when unknown
std::string FormatByteTime(double ms);         // "0.31 ms/byte"; "" when unknown
std::string ProgressLine(const TargetReport &t, bool withPort, size_t width);
// One line of JSON each, ASCII only; device texts as Latin-1 (json_text.h).
std::string JsonRecord(const std::string &port, const ProgressRecord &r);
std::string JsonResult(const TargetReport &t);
std::string JsonWarning(const std::string &port, const std::string &text);
std::string SummaryTable(const std::vector<TargetReport> &targets);
const char *VerdictName(Verdict v);

class ProgressView {
public:
    virtual ~ProgressView() = default;
    // A line of the tool's own (">>COMMAND: Program").
    virtual void Note(const std::vector<TargetReport> &targets, size_t index, const std::string &line) = 0;
    virtual void Record(const std::vector<TargetReport> &targets, size_t index, const ProgressRecord &r) = 0;
    // Something the user should act on that does not fail the run (a slow adapter).
    virtual void Warn(const std::vector<TargetReport> &targets, size_t index, const std::string &text) = 0;
    // Called often while waiting; a terminal view redraws its bars.
    virtual void Tick(const std::vector<TargetReport> &) {}
    virtual void Finish(const std::vector<TargetReport> &targets) = 0;
};

enum class ViewKind { Lines, Terminal, Json };

// `gang` is true for more than one target; `quiet` keeps only failures.
std::unique_ptr<ProgressView> MakeView(ViewKind kind, bool gang, bool quiet, std::ostream &out, std::ostream &err);

}  // namespace quillcli
