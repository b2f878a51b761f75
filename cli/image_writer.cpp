#include "image_writer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace quillcli {
namespace {

constexpr uint32_t kRecordBytes = 16;

std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool EndsWith(const std::string &s, const char *suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() > n && s.compare(s.size() - n, n, suffix) == 0;
}

void AppendHex(std::string &out, unsigned byte) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", byte & 0xFFu);
    out += pair;
}

// Splits the runs into records of at most 16 bytes that never cross a
// 64 KiB boundary (an Intel HEX record's offset cannot wrap).
template <typename Emit>
void ForEachRecord(const AddressRuns &runs, Emit emit) {
    for (const auto &[first, last] : runs) {
        uint64_t at = first;
        while (at <= last) {
            const uint64_t boundary = (at | 0xFFFF) + 1;
            const uint64_t end = std::min<uint64_t>({at + kRecordBytes, uint64_t{last} + 1, boundary});
            emit(static_cast<uint32_t>(at), static_cast<uint32_t>(end - at));
            at = end;
        }
    }
}

}  // namespace

bool FormatOfName(const std::string &path, ImageFormat *format) {
    const std::string name = Lower(path);
    for (const char *s : {".hex", ".ihx"})
        if (EndsWith(name, s)) return *format = ImageFormat::kIntelHex, true;
    for (const char *s : {".s19", ".s28", ".s37", ".srec", ".mot"})
        if (EndsWith(name, s)) return *format = ImageFormat::kSRecord, true;
    if (EndsWith(name, ".bin")) return *format = ImageFormat::kBinary, true;
    return false;
}

AddressRuns Coalesced(AddressRuns runs) {
    std::sort(runs.begin(), runs.end());
    AddressRuns out;
    for (const auto &r : runs) {
        if (!out.empty() && uint64_t{out.back().second} + 1 >= r.first) out.back().second = std::max(out.back().second, r.second);
        else out.push_back(r);
    }
    return out;
}

std::string IntelHexText(const uint8_t *image, const AddressRuns &runs) {
    std::string out;
    auto record = [&](unsigned type, unsigned offset, const uint8_t *data, uint32_t count) {
        std::string line = ":";
        unsigned sum = count + (offset >> 8) + (offset & 0xFF) + type;
        AppendHex(line, count);
        AppendHex(line, offset >> 8);
        AppendHex(line, offset);
        AppendHex(line, type);
        for (uint32_t i = 0; i < count; ++i) {
            AppendHex(line, data[i]);
            sum += data[i];
        }
        AppendHex(line, 0x100 - (sum & 0xFF));
        out += line + "\n";
    };
    uint32_t upper = 0;
    ForEachRecord(runs, [&](uint32_t address, uint32_t count) {
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const uint8_t base[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            record(0x04, 0, base, 2);
        }
        record(0x00, address & 0xFFFF, image + address, count);
    });
    record(0x01, 0, nullptr, 0);
    return out;
}

std::string SRecordText(const uint8_t *image, const AddressRuns &runs) {
    const uint32_t highest = runs.empty() ? 0 : runs.back().second;
    const int width = highest <= 0xFFFF ? 2 : highest <= 0xFFFFFF ? 3 : 4;
    std::string out;
    auto record = [&](int type, uint32_t address, int addressBytes, const uint8_t *data, uint32_t count) {
        std::string line = "S" + std::to_string(type);
        const unsigned length = static_cast<unsigned>(addressBytes) + count + 1;
        unsigned sum = length;
        AppendHex(line, length);
        for (int i = addressBytes - 1; i >= 0; --i) {
            const unsigned b = (address >> (8 * i)) & 0xFF;
            AppendHex(line, b);
            sum += b;
        }
        for (uint32_t i = 0; i < count; ++i) {
            AppendHex(line, data[i]);
            sum += data[i];
        }
        AppendHex(line, ~sum & 0xFF);
        out += line + "\n";
    };
    const uint8_t header[] = {'q', 'u', 'i', 'l', 'l', 'r', 'o', 'm'};
    record(0, 0, 2, header, sizeof header);
    uint32_t count = 0;
    ForEachRecord(runs, [&](uint32_t address, uint32_t n) {
        record(width - 1, address, width, image + address, n);
        ++count;
    });
    if (count <= 0xFFFF) record(5, count, 2, nullptr, 0);
    record(11 - width, 0, width, nullptr, 0);  // S9, S8 or S7 with S1, S2 or S3
    return out;
}

}  // namespace quillcli
