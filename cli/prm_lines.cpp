#include "prm_lines.h"

#include "os_compat.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quillcli::prm {

bool ReadWholeFile(const std::string &path, std::string &text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | kOpenBinary);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    text.clear();
    char buf[65536];
    while (ok) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
}

std::vector<Line> CrLfLines(const std::string &text) {
    std::vector<Line> lines;
    size_t begin = 0;
    for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", begin)) {
        lines.push_back({begin, pos, pos + 2});
        begin = pos + 2;
    }
    return lines;
}

size_t SkipBlanks(const std::string &text, size_t pos, size_t end) {
    while (pos < end && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    return pos;
}

std::string FirstToken(const std::string &text, const Line &line, const char *separators) {
    size_t p = SkipBlanks(text, line.begin, line.end);
    size_t q = p;
    while (q < line.end && std::strchr(separators, text[q]) == nullptr) ++q;
    return text.substr(p, q - p);
}

bool IsComment(const std::string &text, const Line &line) { return line.begin < line.end && text[line.begin] == ';'; }

bool IsHeader(const std::string &text, const Line &line, const char *name) {
    return !IsComment(text, line) && FirstToken(text, line, " \t]") == name;
}

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

}  // namespace quillcli::prm
