#include "loadfile/elf_reader.h"

#include <algorithm>
#include <cstdio>

namespace quill {
namespace {

constexpr uint32_t kPtLoad = 1;
constexpr uint32_t kShtProgbits = 1;
constexpr uint64_t kShfAlloc = 2;
constexpr uint16_t kPnXnum = 0xFFFF;
constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

// Fixed-width fields of the file in its own byte order; the caller has
// checked that they lie inside it.
struct Fields {
    const uint8_t *file;
    bool big;
    uint64_t Get(uint64_t at, unsigned width) const {
        uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) {
            const uint64_t b = file[at + i];
            v |= big ? b << (8 * (width - 1 - i)) : b << (8 * i);
        }
        return v;
    }
};

// [offset, offset + length) lies inside a file of `size` bytes.
bool Inside(uint64_t offset, uint64_t length, uint64_t size) { return offset <= size && length <= size - offset; }

bool Fail(std::string *reason, const std::string &why) {
    if (reason != nullptr) *reason = why;
    return false;
}

// A table of `count` entries of `entry` bytes from `offset`, each at least `least` long.
bool TableFits(uint64_t offset, uint64_t count, uint64_t entry, uint64_t least, uint64_t size) {
    return entry >= least && count <= size / entry && Inside(offset, count * entry, size);
}

}  // namespace

std::string HexAddress(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

bool LooksLikeElf(const uint8_t *file, std::size_t size) {
    return size >= 4 && file[0] == 0x7F && file[1] == 'E' && file[2] == 'L' && file[3] == 'F';
}

namespace {

bool ReadChunks(const uint8_t *file, std::size_t size, std::vector<ElfChunk> *chunks, std::string *reason) {
    if (!LooksLikeElf(file, size) || size < 16) return Fail(reason, "not an ELF file");
    const uint8_t cls = file[4], data = file[5];
    if (cls != 1 && cls != 2) return Fail(reason, "unknown ELF class " + std::to_string(cls));
    if (data != 1 && data != 2) return Fail(reason, "unknown ELF byte order " + std::to_string(data));
    const bool wide = cls == 2;
    const Fields f{file, data == 2};
    const uint64_t headerSize = wide ? 64 : 52;
    if (size < headerSize) return Fail(reason, "truncated ELF header");
    const unsigned word = wide ? 8 : 4;  // addresses and offsets
    const uint64_t phoff = f.Get(wide ? 32 : 28, word);
    const uint64_t shoff = f.Get(wide ? 40 : 32, word);
    const uint64_t phentsize = f.Get(wide ? 54 : 42, 2);
    uint64_t phnum = f.Get(wide ? 56 : 44, 2);
    const uint64_t shentsize = f.Get(wide ? 58 : 46, 2);
    uint64_t shnum = f.Get(wide ? 60 : 48, 2);
    const uint64_t shMin = wide ? 64 : 40, phMin = wide ? 56 : 32;

    // Counts too large for the header live in section 0.
    const bool sectionZero = shoff != 0 && (shnum == 0 || phnum == kPnXnum);
    if (sectionZero) {
        if (!TableFits(shoff, 1, shentsize, shMin, size)) return Fail(reason, "section header table past the end of the file");
        if (shnum == 0) shnum = f.Get(shoff + (wide ? 32 : 20), word);
        if (phnum == kPnXnum) phnum = f.Get(shoff + (wide ? 44 : 28), 4);
    }

    auto add = [&](uint64_t address, uint64_t offset, uint64_t length, const char *what, uint64_t index) {
        if (!Inside(offset, length, size))
            return Fail(reason, std::string(what) + " " + std::to_string(index) + " runs past the end of the file");
        if (address >= kAddressSpace || length > kAddressSpace - address)
            return Fail(reason, std::string(what) + " " + std::to_string(index) + " at " + HexAddress(address) + " runs past 32-bit addresses");
        chunks->push_back(ElfChunk{static_cast<uint32_t>(address), offset, length});
        return true;
    };

    if (phnum > 0) {
        if (!TableFits(phoff, phnum, phentsize, phMin, size)) return Fail(reason, "program header table past the end of the file");
        for (uint64_t i = 0; i < phnum; ++i) {
            const uint64_t at = phoff + i * phentsize;
            if (f.Get(at, 4) != kPtLoad) continue;
            const uint64_t offset = f.Get(at + (wide ? 8 : 4), word);
            const uint64_t paddr = f.Get(at + (wide ? 24 : 12), word);
            const uint64_t filesz = f.Get(at + (wide ? 32 : 16), word);
            if (filesz == 0) continue;  // all of it is zero-filled memory, nothing for flash
            if (!add(paddr, offset, filesz, "segment", i)) return false;
        }
    } else if (shoff != 0 && shnum > 0) {
        if (!TableFits(shoff, shnum, shentsize, shMin, size)) return Fail(reason, "section header table past the end of the file");
        for (uint64_t i = 0; i < shnum; ++i) {
            const uint64_t at = shoff + i * shentsize;
            const uint64_t type = f.Get(at + 4, 4);
            const uint64_t flags = f.Get(at + 8, word);
            const uint64_t addr = f.Get(at + (wide ? 16 : 12), word);
            const uint64_t offset = f.Get(at + (wide ? 24 : 16), word);
            const uint64_t length = f.Get(at + (wide ? 32 : 20), word);
            if (type != kShtProgbits || !(flags & kShfAlloc) || length == 0) continue;
            if (!add(addr, offset, length, "section", i)) return false;
        }
    }
    if (chunks->empty()) return Fail(reason, "no loadable bytes (no PT_LOAD segment or allocated section with file data)");

    std::stable_sort(chunks->begin(), chunks->end(), [](const ElfChunk &a, const ElfChunk &b) { return a.address < b.address; });
    for (std::size_t i = 1; i < chunks->size(); ++i) {
        const ElfChunk &a = (*chunks)[i - 1], &b = (*chunks)[i];
        if (uint64_t{a.address} + a.size > b.address) return Fail(reason, "loadable parts overlap at " + HexAddress(b.address));
    }
    return true;
}

}  // namespace

bool ReadElf(const uint8_t *file, std::size_t size, std::vector<ElfChunk> *chunks, std::string *reason) {
    chunks->clear();
    if (ReadChunks(file, size, chunks, reason)) return true;
    chunks->clear();  // a failed read hands out nothing
    return false;
}

}  // namespace quill
