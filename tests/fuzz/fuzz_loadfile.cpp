// Fuzz entry point for the load-file record readers: any bytes as a load file
// held in memory, read record by record as the worker reads them.
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
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
