#include "progress_view.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

#include "json_text.h"

namespace quillcli {
namespace {

std::string RecordText(const ProgressRecord &r) { return std::string(r.text, strnlen(r.text, sizeof r.text)); }

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

// Columns of the terminal, or 80 when it does not say.
size_t TerminalWidth() {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns >= 20) return static_cast<size_t>(columns);
    }
#else
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
#endif
    return 80;
}

void FinalLines(const std::vector<TargetReport> &targets, bool gang, bool quiet, std::ostream &out, std::ostream &err) {
    if (gang && !quiet) out << '\n' << SummaryTable(targets);
    for (const TargetReport &t : targets) {
        switch (t.verdict) {
        case Verdict::Ok:
            if (!gang && !quiet) out << "done: " << t.port << " in " << Seconds(t.seconds) << '\n';
            break;
        case Verdict::PortProblem:
            err << "quillrom: " << t.detail << '\n';
            break;
        case Verdict::Interrupted:
            err << "quillrom: " << t.port << ": interrupted" << '\n';
            break;
        case Verdict::Failed:
        case Verdict::Pending:
            err << "quillrom: " << t.port << ": failed: " << t.detail << '\n';
            break;
        }
    }
    out.flush();
}

class LinesView : public ProgressView {
public:
    LinesView(bool gang, bool quiet, std::ostream &out, std::ostream &err)
        : gang_(gang), quiet_(quiet), out_(out), err_(err) {}
    void Note(const std::vector<TargetReport> &targets, size_t index, const std::string &line) override {
        if (!quiet_) Print(targets[index], line);
    }
    void Record(const std::vector<TargetReport> &targets, size_t index, const ProgressRecord &r) override {
        // The connect's final record has no text; the run notes the connect itself.
        if (!quiet_ && r.text[0] != '\0') Print(targets[index], RecordText(r));
    }
    void Warn(const std::vector<TargetReport> &targets, size_t index, const std::string &text) override {
        out_.flush();
        err_ << "quillrom: warning: " << (gang_ ? targets[index].port + ": " : std::string()) << text << '\n';
        err_.flush();
    }
    void Finish(const std::vector<TargetReport> &targets) override { FinalLines(targets, gang_, quiet_, out_, err_); }

private:
    void Print(const TargetReport &t, const std::string &line) {
        if (gang_) out_ << t.port << ": ";
        out_ << line << '\n';
        out_.flush();
    }
    bool gang_, quiet_;
    std::ostream &out_, &err_;
};

// One target: its log lines scroll above a bar kept on the last line. A gang:
// one bar per target, redrawn in place.
class TerminalView : public ProgressView {
public:
    TerminalView(bool gang, bool quiet, std::ostream &out, std::ostream &err)
        : gang_(gang), quiet_(quiet), out_(out), err_(err) {}
    void Note(const std::vector<TargetReport> &targets, size_t, const std::string &line) override {
        if (gang_ || quiet_) return;
        out_ << "\r\033[K" << line << '\n';
        Tick(targets);
    }
    void Record(const std::vector<TargetReport> &targets, size_t, const ProgressRecord &r) override {
        if (!gang_ && !quiet_ && r.text[0] != '\0') out_ << "\r\033[K" << RecordText(r) << '\n';
        Tick(targets);
    }
    void Warn(const std::vector<TargetReport> &targets, size_t index, const std::string &text) override {
        // Above the bars, which are redrawn after it.
        if (!quiet_) out_ << "\r\033[K";
        out_.flush();
        err_ << "quillrom: warning: " << (gang_ ? targets[index].port + ": " : std::string()) << text << '\n';
        err_.flush();
        Tick(targets);
    }
    void Tick(const std::vector<TargetReport> &targets) override {
        if (quiet_) return;
        const size_t width = TerminalWidth() - 1;
        if (!gang_) {
            out_ << "\r\033[K" << ProgressLine(targets[0], false, width);
        } else {
            if (drawn_ > 0) out_ << "\033[" << drawn_ << 'A';
            for (const TargetReport &t : targets) out_ << "\r\033[K" << ProgressLine(t, true, width) << '\n';
            drawn_ = targets.size();
        }
        out_.flush();
    }
    void Finish(const std::vector<TargetReport> &targets) override {
        if (!quiet_) {
            if (gang_) Tick(targets);  // the bars' final state stays on screen
            else out_ << "\r\033[K";
        }
        FinalLines(targets, gang_, quiet_, out_, err_);
    }

private:
    bool gang_, quiet_;
    std::ostream &out_, &err_;
    size_t drawn_ = 0;
};

class JsonView : public ProgressView {
public:
    JsonView(std::ostream &out, std::ostream &err) : out_(out), err_(err) {}
    void Note(const std::vector<TargetReport> &, size_t, const std::string &) override {}
    void Record(const std::vector<TargetReport> &targets, size_t index, const ProgressRecord &r) override {
        out_ << JsonRecord(targets[index].port, r) << '\n';
        out_.flush();
    }
    void Warn(const std::vector<TargetReport> &targets, size_t index, const std::string &text) override {
        out_ << JsonWarning(targets[index].port, text) << '\n';
        out_.flush();
    }
    void Finish(const std::vector<TargetReport> &targets) override {
        for (const TargetReport &t : targets) {
            out_ << JsonResult(t) << '\n';
            if (t.verdict == Verdict::PortProblem) err_ << "quillrom: " << t.detail << '\n';
        }
        out_.flush();
    }

private:
    std::ostream &out_, &err_;
};

}  // namespace

const char *PhaseName(int32_t state) {
    switch (state) {
    case PRR_STATE_CONNECT: return "connect";
    case PRR_STATE_BLANK_CHECK: return "blank check";
    case PRR_STATE_ERASE: return "erase";
    case PRR_STATE_PROGRAM: return "program";
    case PRR_STATE_VERIFY: return "verify";
    case PRR_STATE_CHECKSUM: return "checksum";
    case PRR_STATE_SECURITY: return "security";
    case PRR_STATE_SIGNATURE: return "signature";
    default: return "";
    }
}

const char *VerdictName(Verdict v) {
    switch (v) {
    case Verdict::Ok: return "ok";
    case Verdict::Failed: return "FAILED";
    case Verdict::PortProblem: return "PORT";
    case Verdict::Interrupted: return "ABORTED";
    case Verdict::Pending: break;
    }
    return "running";
}

std::string FormatBar(uint32_t percent, int width) {
    if (percent > 100) percent = 100;
    if (width < 1) width = 1;
    const int filled = static_cast<int>(percent * static_cast<uint32_t>(width) / 100);
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '-') + "]";
}

std::string FormatRate(double bps) {
    if (!(bps >= 0) || !std::isfinite(bps)) return "";
    char buf[32];
    if (bps < 1024) std::snprintf(buf, sizeof buf, "%.0f B/s", bps);
    else if (bps < 1024 * 1024) std::snprintf(buf, sizeof buf, "%.1f KiB/s", bps / 1024);
    else std::snprintf(buf, sizeof buf, "%.1f MiB/s", bps / (1024 * 1024));
    return buf;
}

std::string FormatEta(double seconds) {
    if (!(seconds >= 0) || !std::isfinite(seconds) || seconds > 359999) return "";
    const long s = std::lround(seconds);
    char buf[32];
    if (s >= 3600) std::snprintf(buf, sizeof buf, "ETA %ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(buf, sizeof buf, "ETA %ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string FormatByteTime(double ms) {
    if (!(ms >= 0) || !std::isfinite(ms) || ms > 100000) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f ms/byte", ms);
    return buf;
}

std::string ProgressLine(const TargetReport &t, bool withPort, size_t width) {
    std::string line;
    char head[48];
    if (withPort) {
        std::snprintf(head, sizeof head, "%-6s ", t.port.c_str());
        line += head;
    }
    if (t.verdict != Verdict::Pending) {
        line += std::string(VerdictName(t.verdict)) + "  " + t.detail;
    } else {
        std::snprintf(head, sizeof head, "%-11s %s %3u%%", PhaseName(t.state), FormatBar(t.percent, 20).c_str(), t.percent);
        line += head;
        for (const std::string &part : {FormatRate(t.rate), FormatByteTime(t.byteMs), FormatEta(t.eta), t.text})
            if (!part.empty()) line += "  " + part;
    }
    if (line.size() > width) line.resize(width);
    return line;
}

std::string JsonRecord(const std::string &port, const ProgressRecord &r) {
    nlohmann::ordered_json j;
    j["event"] = "record";
    j["port"] = Latin1ToUtf8(port);
    j["state"] = r.state;
    j["phase"] = PhaseName(r.state);
    j["status"] = r.status;
    j["percent"] = r.percent;
    j["total"] = r.percentTotal;
    j["text"] = Latin1ToUtf8(RecordText(r));
    if (r.state == PRR_STATE_CONNECT && r.status == 0 && r.percent == 100 && r.text[0] == '\0')
        j["device"] = Latin1ToUtf8(std::string_view(r.deviceName, strnlen(r.deviceName, sizeof r.deviceName)));
    return j.dump(-1, ' ', true);
}

std::string JsonWarning(const std::string &port, const std::string &text) {
    nlohmann::ordered_json j;
    j["event"] = "warning";
    j["port"] = Latin1ToUtf8(port);
    j["text"] = Latin1ToUtf8(text);
    return j.dump(-1, ' ', true);
}

std::string JsonResult(const TargetReport &t) {
    // Milliseconds are all a run's time is good for.
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.3f", t.seconds);
    const char *result = t.verdict == Verdict::Pending ? "failed" : quillclient::ResultName(t.verdict);
    nlohmann::ordered_json j;
    j["event"] = "result";
    j["port"] = Latin1ToUtf8(t.port);
    j["result"] = result;
    j["seconds"] = std::strtod(secs, nullptr);
    j["detail"] = Latin1ToUtf8(t.detail);
    return j.dump(-1, ' ', true);
}

std::string SummaryTable(const std::vector<TargetReport> &targets) {
    std::string s = "PORT    RESULT   TIME      DETAIL\n";
    char line[64];
    for (const TargetReport &t : targets) {
        std::snprintf(line, sizeof line, "%-7s %-8s %-9s ", t.port.c_str(), VerdictName(t.verdict),
                      Seconds(t.seconds).c_str());
        s += line + t.detail + "\n";
    }
    return s;
}

std::unique_ptr<ProgressView> MakeView(ViewKind kind, bool gang, bool quiet, std::ostream &out, std::ostream &err) {
    switch (kind) {
    case ViewKind::Terminal: return std::make_unique<TerminalView>(gang, quiet, out, err);
    case ViewKind::Json: return std::make_unique<JsonView>(out, err);
    case ViewKind::Lines: break;
    }
    return std::make_unique<LinesView>(gang, quiet, out, err);
}

}  // namespace quillcli
