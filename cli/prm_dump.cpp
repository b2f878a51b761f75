#include "prm_dump.h"

#include "commands.h"
#include "prm_lines.h"
#include "prm_render.h"
#include "quillctl.h"

namespace quillcli::prm {
namespace {

struct LineEndReport {
    size_t lfOnly = 0;
    size_t longLines = 0;
    size_t firstLfOnly = 0;  // 1-based line numbers
    size_t firstLong = 0;
    bool unterminatedTail = false;
    bool hasChecksumSection = false;
};

LineEndReport ScanLineEnds(const std::string &text) {
    LineEndReport r;
    size_t begin = 0, number = 0;
    while (begin < text.size()) {
        size_t lf = text.find('\n', begin);
        ++number;
        if (lf == std::string::npos) {
            // The reader drops a last line without CR LF; only text there matters.
            r.unterminatedTail = text.find_first_not_of(" \t\r", begin) != std::string::npos;
            if (text.size() - begin > kLineMax && r.longLines++ == 0) r.firstLong = number;
            break;
        }
        bool crlf = lf > begin && text[lf - 1] == '\r';
        if (!crlf && r.lfOnly++ == 0) r.firstLfOnly = number;
        if (lf + 1 - begin > kLineMax && r.longLines++ == 0) r.firstLong = number;
        Line line{begin, crlf ? lf - 1 : lf, lf + 1};
        if (IsHeader(text, line, "[CHECKSUM")) r.hasChecksumSection = true;
        begin = lf + 1;
    }
    return r;
}

}  // namespace

int Show(const std::string &file, bool json, std::ostream &out, std::ostream &err) {
    DeviceParameters *d = PRRReadPRM(file.c_str(), 0);
    if (d == nullptr) {
        err << "quillrom: " << file << ": ParameterFile Read Error\n";
        return kExitFailed;
    }
    WriteRecord(file, *d, json ? RecordFormat::Json : RecordFormat::Text, out);
    PRRFreePRM(d);
    return kExitOk;
}

int Check(const std::string &file, std::ostream &out, std::ostream &err) {
    std::string text;
    if (!ReadWholeFile(file, text)) {
        err << "quillrom: " << file << ": cannot read the file\n";
        return kExitFailed;
    }
    LineEndReport r = ScanLineEnds(text);
    if (r.lfOnly > 0) {
        err << "warning: " << file << ": " << r.lfOnly << " line(s) end in LF only (first: line " << r.firstLfOnly
            << "); the reader needs CR LF and loses the keys on them\n";
    }
    if (r.longLines > 0) {
        err << "warning: " << file << ": " << r.longLines << " line(s) longer than 255 bytes (first: line "
            << r.firstLong << "); the reader splits them and loses what follows the split\n";
    }
    if (r.unterminatedTail) {
        err << "warning: " << file << ": the last line has no CR LF; the reader drops it\n";
    }
    if (!r.hasChecksumSection) {
        err << "warning: " << file << ": no [CHECKSUM] section; the check compares with the value of an "
            << "earlier file, or 0\n";
    }
    // The verdict is the program's own sequence: read the file, then compare.
    DeviceParameters *d = PRRReadPRM(file.c_str(), 0);
    if (d == nullptr) {
        err << "quillrom: " << file << ": ParameterFile Read Error\n";
        return kExitFailed;
    }
    PRRFreePRM(d);
    uint32_t computed = 0, expected = 0;
    if (PRRChecksumValuesPRM(file.c_str(), &computed, &expected) != 0) {
        err << "quillrom: " << file << ": cannot read the file\n";
        return kExitFailed;
    }
    if (PRRChecksumPRM(file.c_str(), 0) == 1) {
        out << file << ": checksum OK (SUM=" << Hex8(computed) << ")\n";
        return kExitOk;
    }
    out << file << ": ParameterFile CHECKSUM Error: the file says SUM=" << Hex8(expected)
        << ", its content gives " << Hex8(computed) << "\n";
    return kExitFailed;
}

}  // namespace quillcli::prm
