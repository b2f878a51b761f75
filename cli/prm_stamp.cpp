#include "prm_stamp.h"

#include "os_compat.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commands.h"
#include "prm_lines.h"
#include "quillctl.h"

namespace quillcli::prm {
namespace {

// Where the SUM= text goes, and what replaces which bytes.
struct StampEdit {
    size_t at = 0;
    size_t length = 0;  // bytes replaced
    std::string prefix;  // text before the eight digits
    std::string suffix;  // text after them
};

// Finds the SUM line of the [CHECKSUM] section and plans its rewrite. A
// section without one gets a SUM line right after its header; a file without
// the section gets one before its [EOF] line, or at its end.
StampEdit PlanStamp(const std::string &text) {
    std::vector<Line> lines = CrLfLines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!IsHeader(text, lines[i], "[CHECKSUM")) continue;
        for (size_t j = i + 1; j < lines.size(); ++j) {
            const Line &line = lines[j];
            if (IsComment(text, line)) continue;
            size_t p = SkipBlanks(text, line.begin, line.end);
            if (p < line.end && text[p] == '[') break;  // next section
            if (FirstToken(text, line, " =\t;") != "SUM") continue;
            // Replace "SUM", its blanks and "=" signs and the value token.
            size_t q = SkipBlanks(text, p + 3, line.end);
            while (q < line.end && (text[q] == '=' || text[q] == ' ' || text[q] == '\t')) ++q;
            while (q < line.end && std::strchr(" \t;", text[q]) == nullptr) ++q;
            return {p, q - p, "SUM=", ""};
        }
        return {lines[i].next, 0, "SUM=", "\r\n"};
    }
    size_t at = lines.empty() ? 0 : lines.back().next;
    for (const Line &line : lines) {
        if (IsHeader(text, line, "[EOF")) at = line.begin;
    }
    return {at, 0, "[CHECKSUM]\r\nSUM=", "\r\n"};
}

std::string ApplyStamp(const std::string &text, const StampEdit &edit, uint32_t sum) {
    std::string out = text.substr(0, edit.at);
    out += edit.prefix + Hex8(sum) + edit.suffix;
    out += text.substr(edit.at + edit.length);
    return out;
}

bool WriteAll(int fd, const std::string &data) {
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) return false;
    const char *p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int Stamp(const std::string &file, std::ostream &out, std::ostream &err) {
    // Rewrite the file a link points to, not the link.
    char resolved[PATH_MAX];
    if (::realpath(file.c_str(), resolved) == nullptr) {
        err << "quillrom: " << file << ": cannot read the file\n";
        return kExitFailed;
    }
    std::string path = resolved;
    struct stat st;
    std::string text;
    if (::stat(path.c_str(), &st) != 0 || !ReadWholeFile(path, text)) {
        err << "quillrom: " << file << ": cannot read the file\n";
        return kExitFailed;
    }
    StampEdit edit = PlanStamp(text);

    // The temporary file sits beside the original, so the rename is atomic.
    std::string temp = path + ".stampXXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        err << "quillrom: " << file << ": cannot create a file beside it: " << std::strerror(errno) << "\n";
        return kExitIo;
    }
    temp = name.data();
    auto fail = [&](int code, const std::string &message) {
        ::close(fd);
        ::unlink(temp.c_str());
        err << "quillrom: " << file << ": " << message << "\n";
        return code;
    };
    // The checksum covers nothing from the [CHECKSUM] header on, so the value
    // written does not change it: sum the file with a placeholder first.
    std::string stamped = ApplyStamp(text, edit, 0);
    uint32_t sum = 0;
    if (!WriteAll(fd, stamped) || PRRChecksumValuesPRM(temp.c_str(), &sum, nullptr) != 0) {
        return fail(kExitIo, std::string("cannot write the new file: ") + std::strerror(errno));
    }
    stamped = ApplyStamp(text, edit, sum);
    if (!WriteAll(fd, stamped) || ::fchmod(fd, st.st_mode & 07777) != 0 || ::fsync(fd) != 0) {
        return fail(kExitIo, std::string("cannot write the new file: ") + std::strerror(errno));
    }
    // Only a result that reads and checks replaces the original.
    DeviceParameters *d = PRRReadPRM(temp.c_str(), 0);
    bool checks = d != nullptr && PRRChecksumPRM(temp.c_str(), 0) == 1;
    PRRFreePRM(d);
    if (!checks) {
        return fail(kExitFailed, d == nullptr ? "ParameterFile Read Error; not stamped"
                                              : "the stamped file would still not check (lines over 255 bytes or "
                                                "without CR LF?); not stamped");
    }
    if (stamped == text) {
        ::close(fd);
        ::unlink(temp.c_str());
        out << file << ": SUM=" << Hex8(sum) << " already correct\n";
        return kExitOk;
    }
    if (::close(fd) != 0 || ReplaceByRename(temp.c_str(), path.c_str()) != 0) {
        std::string why = std::strerror(errno);
        ::unlink(temp.c_str());
        err << "quillrom: " << file << ": cannot replace the file: " << why << "\n";
        return kExitIo;
    }
    out << file << ": SUM=" << Hex8(sum) << " written\n";
    return kExitOk;
}

}  // namespace quillcli::prm
