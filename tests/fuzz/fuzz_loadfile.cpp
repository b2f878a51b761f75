// Fuzz entry point for the load-file readers: any bytes as a load file held
// in memory, read record by record as the worker reads them, or, when they
// start with the ELF magic, through the ELF reader.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <string>
#include <vector>

#include "loadfile/elf_reader.h"
#include "loadfile/hex_records.h"

using namespace quill;

namespace {

// One image for all inputs, exactly the image's size (no slack), so that a
// write past its end shows under ASan. Only the range an input touched is
// put back to 0xFF, which keeps a run fast.
uint8_t *Image() {
    static uint8_t *image = [] {
        auto *p = static_cast<uint8_t *>(std::malloc(kImageSize));
        std::memset(p, 0xFF, kImageSize);
        return p;
    }();
    return image;
}

// Every chunk lies inside the file and below 4 GiB, in address order
// without overlap; reading each of its bytes shows any overrun under ASan.
void CheckElf(const uint8_t *data, size_t size) {
    std::vector<ElfChunk> chunks;
    std::string reason;
    if (!ReadElf(data, size, &chunks, &reason)) {
        if (reason.empty() || !chunks.empty()) std::abort();
        return;
    }
    if (chunks.empty()) std::abort();
    uint64_t next = 0;
    unsigned sum = 0;
    for (const ElfChunk &c : chunks) {
        if (c.size == 0 || c.offset > size || c.size > size - c.offset) std::abort();
        if (uint64_t{c.address} + c.size > (uint64_t{1} << 32) || c.address < next) std::abort();
        next = uint64_t{c.address} + c.size;
        for (uint64_t i = 0; i < c.size; ++i) sum += data[c.offset + i];
    }
    volatile unsigned keep = sum;
    (void)keep;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (LooksLikeElf(data, size)) {
        CheckElf(data, size);
        return 0;
    }
    uint8_t *image = Image();
    HexParser p;
    RecordResult r;
    do {
        const std::size_t before = p.position;
        r = ReadRecord(data, size, p, image);
        // Every record moves the position forward and stays inside the file:
        // the worker can neither spin nor read past the buffer.
        if (r == RecordResult::kNext && (p.position <= before || p.position > size)) std::abort();
    } while (r == RecordResult::kNext);

    if (r == RecordResult::kEnd && p.extentSeen) {
        const ImageExtent e = ComputeExtent(p, image);
        if (e.highest >= kImageSize || e.lowest > e.highest + 1) std::abort();
        // Consumers stream start..start+length; that must stay within image and slack.
        if (uint64_t{e.start} + e.length > uint64_t{kImageSize} + kImageSlack) std::abort();
    }
    // Every byte written lies between the lowest and highest candidates.
    if (p.lowest < kImageSize && p.lowest <= p.highest) {
        const uint32_t top = p.highest < kImageSize ? p.highest : kImageSize - 1;
        std::memset(image + p.lowest, 0xFF, top - p.lowest + 1);
    }
    return 0;
}
