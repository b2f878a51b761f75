// The parameter file's own checksum: the expected value from its [CHECKSUM]
// section and the CRC over its significant characters.
#include "platform/file_compat.h"

#include <array>
#include <cstring>

#include "prm/prm_internal.h"
#include "platform/export_guard.h"

namespace quill {

std::atomic<uint32_t> expectedPrmChecksum{0};

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) != 0 ? crc << 1 ^ 0x04C11DB7u : crc << 1;
        table[i] = crc;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

// Exactly "[CHECKSUM": here the name is not taken as a prefix.
bool IsChecksumHeader(const char *line) {
    char name[kPrmLineMax + 1];
    NextToken(line, name, sizeof name, " \t]");
    return std::strcmp(name, "[CHECKSUM") == 0;
}

}  // namespace

uint32_t Crc32Mpeg2(const void *data, size_t size, uint32_t crc) {
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; ++i) crc = crc << 8 ^ kCrcTable[(crc >> 24 ^ p[i]) & 0xFF];
    return crc;
}

uint32_t PrmChecksum(ByteSource &src) {
    uint32_t crc = 0xFFFFFFFFu;
    char line[kPrmLineMax + 1];
    char kept[kPrmLineMax + 1];
    while (ReadTextLine(line, kPrmLineMax, src)) {
        size_t n = std::strlen(line);
        if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
        if (line[0] == ';' || IsBlankLine(line)) continue;
        const char *p = SkipBlanks(line);
        // Blanks, "=" and everything after ";" do not count.
        size_t count = 0;
        for (const char *q = p; *q != '\0' && *q != ';' && *q != '\r' && *q != '\n'; ++q) {
            if (*q != ' ' && *q != '\t' && *q != '=') kept[count++] = *q;
        }
        crc = Crc32Mpeg2(kept, count, crc);
        if (IsChecksumHeader(p)) break;  // nothing after the header counts
    }
    return Crc32Mpeg2("SUM", 3, crc);
}

bool PrmChecksumOfFile(const char *path, uint32_t *value) {
    int fd = OpenPrmFile(path);
    if (fd < 0) return false;
    bool ok;
    {
        ByteSource src(fd);
        *value = PrmChecksum(src);
        ok = !src.failed();
    }
    ::close(fd);
    return ok;
}

void ReadChecksumLine(const char *line) {
    char token[kPrmTokenMax + 1];
    size_t length = 0;
    const char *end = NextToken(line, token, sizeof token, " =\t\n;", &length);
    if (length != 3 || std::strcmp(token, "SUM") != 0) return;
    // The value starts one character after "SUM", so "SUM = X" reads "=" and
    // stores 0. A line that ends right after "SUM" has no value and stores 0 too.
    const char *value = *end != '\0' ? end + 1 : end;
    length = 0;
    NextToken(value, token, sizeof token, " \t\r\n;", &length);
    expectedPrmChecksum.store(length <= kPrmTokenMax ? HexInteger(token) : 0u);
}

}  // namespace quill

extern "C" QUILLCTL_API int32_t PRRChecksumPRM(const char *path, intptr_t /*reserved*/) {
    return quill::Guarded<int32_t>(0, [&]() -> int32_t {
        uint32_t value = 0;
        if (!quill::PrmChecksumOfFile(path, &value)) return 0;
        return value == quill::expectedPrmChecksum.load() ? 1 : 0;
    });
}

extern "C" QUILLCTL_API int32_t PRRChecksumValuesPRM(const char *path, uint32_t *computed, uint32_t *expected) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        uint32_t value = 0;
        if (!quill::PrmChecksumOfFile(path, &value)) return 1;
        if (computed != nullptr) *computed = value;
        if (expected != nullptr) *expected = quill::expectedPrmChecksum.load();
        return 0;
    });
}
