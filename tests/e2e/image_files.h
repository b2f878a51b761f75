// Load files written by the tests themselves: Intel HEX and S-records of an
// image given as address -> byte, with varied record sizes and address records.
#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>

namespace quilltest {

using ImageMap = std::map<uint32_t, uint8_t>;

inline std::string Hex2(unsigned v) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

// Contiguous runs of the image, split into records of at most `maxRecord` bytes.
template <typename Emit>
void ForEachRecord(const ImageMap &image, std::mt19937 &rng, unsigned maxRecord, Emit emit) {
    auto it = image.begin();
    while (it != image.end()) {
        const unsigned limit = 1 + rng() % maxRecord;
        const uint32_t start = it->first;
        std::string bytes;
        uint32_t next = start;
        while (it != image.end() && it->first == next && bytes.size() < limit &&
               ((next & 0xFFFF) != 0 || next == start)) {
            bytes.push_back(static_cast<char>(it->second));
            ++next;
            ++it;
        }
        emit(start, bytes);
    }
}

// Intel HEX with 02 (segment) and 04 (linear) address records chosen at random.
inline std::string IntelHex(const ImageMap &image, std::mt19937 &rng, const char *eol) {
    std::string out;
    auto line = [&](unsigned type, unsigned offset, const std::string &data) {
        unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + (offset & 0xFF) + type;
        std::string rec = ":" + Hex2(static_cast<unsigned>(data.size())) + Hex2(offset >> 8) + Hex2(offset) + Hex2(type);
        for (unsigned char c : data) {
            rec += Hex2(c);
            sum += c;
        }
        out += rec + Hex2(0x100 - (sum & 0xFF)) + eol;
    };
    uint32_t base = 0;
    ForEachRecord(image, rng, 32, [&](uint32_t address, const std::string &bytes) {
        // Pick a base that reaches the record: segment or linear, at random.
        if (address < base || address + bytes.size() - 1 > base + 0xFFFF || rng() % 8 == 0) {
            if (rng() % 2 == 0 && address <= 0xFFFFF) {
                const uint32_t segment = (address >> 4) & 0xF000;
                line(0x02, 0, std::string{char(segment >> 8), char(segment & 0xFF)});
                base = segment << 4;
            } else {
                const uint32_t upper = address >> 16;
                line(0x04, 0, std::string{char(upper >> 8), char(upper & 0xFF)});
                base = upper << 16;
            }
        }
        line(0x00, address - base, bytes);
    });
    line(0x01, 0, "");
    return out;
}

// S-records with S1, S2 or S3 data records (whichever reaches), and a matching end record.
inline std::string SRecords(const ImageMap &image, std::mt19937 &rng, const char *eol) {
    std::string out = std::string("S00600004844521B") + eol;
    const int kind = 1 + static_cast<int>(rng() % 3);
    auto record = [&](int type, uint32_t address, const std::string &data) {
        const int alen = (type == 1 || type == 9) ? 2 : (type == 2 || type == 8) ? 3 : 4;
        const unsigned count = static_cast<unsigned>(alen + data.size() + 1);
        unsigned sum = count;
        std::string rec = "S" + std::to_string(type) + Hex2(count);
        for (int i = alen - 1; i >= 0; --i) {
            rec += Hex2(address >> (8 * i));
            sum += (address >> (8 * i)) & 0xFF;
        }
        for (unsigned char c : data) {
            rec += Hex2(c);
            sum += c;
        }
        out += rec + Hex2(~sum & 0xFF) + eol;
    };
    ForEachRecord(image, rng, 32, [&](uint32_t address, const std::string &bytes) {
        int type = kind;
        if (address + bytes.size() > 0x10000 && type == 1) type = 2;
        record(type, address, bytes);
    });
    // The end record's start address takes part in the extent: use the lowest address.
    const uint32_t entry = image.empty() ? 0 : image.begin()->first;
    record(kind == 1 ? 9 : kind == 2 ? 8 : 7, entry, "");
    return out;
}

inline bool WriteText(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace quilltest
