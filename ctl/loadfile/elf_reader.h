// The loadable bytes of an ELF file held in memory, read from its headers
// directly (32- and 64-bit, either byte order): each PT_LOAD segment's file
// bytes at its physical address, or, in a file without program headers, each
// allocated PROGBITS section at its address. Never reads outside the file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quill {

// `size` bytes of the file from `offset` belong at device address `address`.
struct ElfChunk {
    uint32_t address;
    uint64_t offset;
    uint64_t size;
};

// An address as the load reasons print it: "0x7C00".
std::string HexAddress(uint64_t v);

// True when the file starts with the ELF magic.
bool LooksLikeElf(const uint8_t *file, std::size_t size);

// The chunks in address order; false with a reason (truncated headers, a
// segment past the file's end, chunks that overlap, an address past 32 bits,
// nothing to load).
bool ReadElf(const uint8_t *file, std::size_t size, std::vector<ElfChunk> *chunks, std::string *reason);

}  // namespace quill
