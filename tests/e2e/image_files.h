// Load files written by the tests themselves: Intel HEX and S-records of an
// image given as address -> byte, with varied record sizes and address
// records, and executable ELF files of blocks.
#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

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

// An ELF file with one PT_LOAD segment per block at its address (p_paddr),
// run from RAM (p_vaddr = address + vaddrShift), with a zero-filled segment and
// a note segment beside them, which carry nothing for flash.
struct Block {
    uint32_t address;
    std::vector<uint8_t> data;
};

inline std::string MakeElf(bool wide, bool big, const std::vector<Block> &blocks, uint64_t vaddrShift, uint64_t paddrHigh = 0) {
    const size_t ehsize = wide ? 64 : 52, phentsize = wide ? 56 : 32;
    const size_t phnum = blocks.size() + 2;
    std::string f(ehsize + phnum * phentsize, '\0');
    auto put = [&](size_t at, uint64_t v, unsigned width) {
        for (unsigned i = 0; i < width; ++i)
            f[at + i] = static_cast<char>(big ? v >> (8 * (width - 1 - i)) : v >> (8 * i));
    };
    f[0] = 0x7F, f[1] = 'E', f[2] = 'L', f[3] = 'F', f[4] = wide ? 2 : 1, f[5] = big ? 2 : 1, f[6] = 1;
    const unsigned word = wide ? 8 : 4;
    put(16, 2, 2);                        // executable
    put(18, 0x28, 2);
    put(20, 1, 4);
    put(wide ? 32 : 28, ehsize, word);    // phoff
    put(wide ? 52 : 40, ehsize, 2);
    put(wide ? 54 : 42, phentsize, 2);
    put(wide ? 56 : 44, phnum, 2);
    auto header = [&](size_t i, uint32_t type, uint64_t offset, uint64_t vaddr, uint64_t paddr, uint64_t filesz, uint64_t memsz) {
        const size_t at = ehsize + i * phentsize;
        put(at, type, 4);
        put(at + (wide ? 8 : 4), offset, word);
        put(at + (wide ? 16 : 8), vaddr, word);
        put(at + (wide ? 24 : 12), paddr, word);
        put(at + (wide ? 32 : 16), filesz, word);
        put(at + (wide ? 40 : 20), memsz, word);
    };
    size_t i = 0;
    for (const Block &b : blocks) {
        header(i++, 1, f.size(), b.address + vaddrShift, b.address + paddrHigh, b.data.size(), b.data.size());
        f.append(b.data.begin(), b.data.end());
    }
    header(i++, 1, f.size(), 0x20001000, 0x20001000, 0, 0x400);  // .bss
    header(i++, 4, 0, 0, 0, 16, 16);                             // a note
    return f;
}

}  // namespace quilltest
