#include "prm/prm_text.h"

#include "platform/file_compat.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quill {

namespace {
constexpr size_t kReadBlock = 64 * 1024;
}

ByteSource::ByteSource(const void *data, size_t size)
    : buf_(static_cast<const uint8_t *>(data)), len_(data != nullptr ? size : 0) {}

ByteSource::ByteSource(int fd) : buf_(nullptr), len_(0), fd_(fd) {
    block_ = static_cast<uint8_t *>(std::malloc(kReadBlock));
    if (block_ == nullptr) ended_ = failed_ = true;
    buf_ = block_;
}

ByteSource::~ByteSource() { std::free(block_); }

int ByteSource::Refill() {
    if (fd_ < 0 || ended_) return -1;
    for (;;) {
        ssize_t n = ::read(fd_, block_, kReadBlock);
        if (n > 0) {
            len_ = static_cast<size_t>(n);
            pos_ = 1;
            return block_[0];
        }
        if (n < 0 && errno == EINTR) continue;
        // End of file or a failed read: no further bytes, ever.
        ended_ = true;
        failed_ = n < 0;
        len_ = pos_ = 0;
        return -1;
    }
}

int OpenPrmFile(const char *path) {
    if (path == nullptr || path[0] == '\0') return -1;
    int fd;
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below.
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | kOpenBinary);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
#if !defined(_WIN32)
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
#endif
    // A writer holding the exclusive lock means the file is in use.
    int rc;
    do {
        rc = ::flock(fd, LOCK_SH | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReadTextLine(char *buffer, int max, ByteSource &src) {
    int count = 0;
    while (count < max) {
        int c = src.Next();
        if (c < 0) {
            buffer[0] = '\0';
            return false;
        }
        buffer[count++] = static_cast<char>(c);
        if (c == '\n' && count >= 2 && buffer[count - 2] == '\r') {
            buffer[count - 2] = '\n';
            buffer[count - 1] = '\0';
            return true;
        }
    }
    buffer[count] = '\0';
    return true;
}

const char *NextToken(const char *text, char *token, size_t capacity, const char *separators,
                      size_t *length) {
    size_t n = 0;
    const char *p = text;
    while (*p != '\0' && *p != '\r' && *p != '\n' && std::strchr(separators, *p) == nullptr) {
        if (n + 1 < capacity) token[n] = *p;
        ++n;
        ++p;
    }
    if (capacity > 0) token[n + 1 < capacity ? n : capacity - 1] = '\0';
    if (length != nullptr) *length = n;
    return p;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

const char *SkipBlanks(const char *text) {
    while (IsBlank(*text)) ++text;
    return text;
}

const char *SkipBlanksAnd(const char *text, char c) {
    while (IsBlank(*text) || *text == c) ++text;
    return text;
}

bool IsBlankLine(const char *line) {
    for (; *line != '\0'; ++line) {
        if (!IsBlank(*line)) return false;
    }
    return true;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

namespace {
unsigned Nibble(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return 0;
}
int Digit(char c) { return c >= '0' && c <= '9' ? c - '0' : 0; }
}  // namespace

uint8_t HexByte(char hi, char lo) { return static_cast<uint8_t>(Nibble(hi) << 4 | Nibble(lo)); }

uint16_t HexWord(const char *four) { return static_cast<uint16_t>(HexByte(four[0], four[1]) << 8 | HexByte(four[2], four[3])); }

uint32_t HexLong(const char *eight) {
    return static_cast<uint32_t>(HexByte(eight[0], eight[1])) << 24 |
           static_cast<uint32_t>(HexByte(eight[2], eight[3])) << 16 |
           static_cast<uint32_t>(HexByte(eight[4], eight[5])) << 8 | HexByte(eight[6], eight[7]);
}

int DecimalPair(char t, char u) { return Digit(t) * 10 + Digit(u); }

double FixedDecimal9(const char *nine) {
    char group[4] = {};
    int value[3];
    for (int g = 0; g < 3; ++g) {
        std::memcpy(group, nine + 3 * g, 3);
        value[g] = DecimalInteger(group);
    }
    return value[0] + value[1] * 0.001 + value[2] * 0.000001;
}

int32_t DecimalInteger(const char *text) {
    const char *p = SkipBlanks(text);
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX + int64_t{1}) value = INT32_MAX + int64_t{1};  // keeps the sum bounded
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

uint32_t HexInteger(const char *text) {
    const char *p = SkipBlanks(text);
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && IsHexDigit(p[2])) p += 2;
    uint32_t value = 0;
    for (; IsHexDigit(*p); ++p) value = value << 4 | Nibble(*p);
    return negative ? 0u - value : value;
}

uint32_t DecimalDigits3(uint16_t v) { return ((v >> 12) * 10u + ((v >> 8) & 15u)) * 10u + ((v >> 4) & 15u); }

uint64_t PowerOfTen(uint32_t n) {
    n &= 0xFFFF;
    if (n > 19) return UINT64_MAX;
    uint64_t value = 1;
    while (n-- > 0) value *= 10;
    return value;
}

uint64_t DecimalExponentValue(uint16_t v) { return DecimalDigits3(v) * PowerOfTen(v & 15u); }

}  // namespace quill
