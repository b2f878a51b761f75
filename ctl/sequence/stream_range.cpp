#include "sequence/stream_range.h"
#include "platform/export_guard.h"

#include <algorithm>
#include <cmath>

#include "link/frames.h"
#include "loadfile/load_image.h"
#include "platform/handle_core.h"
#include "sequence/sequence_common.h"
#include "worker/progress.h"

namespace quill {
namespace {

struct Selection {
    uint32_t start;
    uint32_t end;
};

constexpr uint32_t kNoBlock = 0xFFFFFFFF;

// Start (which 0) or end (which 1) of the block holding `address`.
uint32_t BlockBoundAt(const DeviceParameters &d, uint32_t address, int which) {
    if (d.blockTable == nullptr) return kNoBlock;
    for (int i = 0; i < d.blockCount; ++i) {
        const RangeEntry &e = d.blockTable[i];
        if (e.start <= address && address <= e.end) return which == 1 ? e.end : e.start;
    }
    return kNoBlock;
}

// The address range of the chosen blocks; false when the blocks do not exist.
bool SelectedAddresses(const DeviceParameters &d, const AreaRecord &area, Selection *out) {
    int first = 0, last = d.blockCount - 1;
    if ((area.mode & 0xFF) != PRR_AREA_CHIP) {
        first = area.first & 0xFF;
        last = area.last & 0xFF;
    }
    if (d.blockTable == nullptr || d.blockCount <= 0 || first > last || last >= d.blockCount) return false;
    out->start = d.blockTable[first].start;
    out->end = d.blockTable[last].end;
    return out->start <= out->end;
}

// The range a program or verify streams: the selection, or with autoRange the
// blocks the image touches (cut at the device's end). 3 without such blocks,
// 1 without an image, 17 for an image outside every block.
int32_t ProgramRange(const DeviceParameters &d, const AreaRecord &area, int32_t autoRange, uint32_t imageStart,
                     uint32_t imageLength, Selection *range, bool *cut) {
    Selection sel{};
    if (!SelectedAddresses(d, area, &sel)) return PRR_STATUS_ILLEGAL_PARAMETER;
    if (imageLength == 0) return PRR_STATUS_NOT_INITIALIZED;
    const uint32_t imageEnd = imageStart + imageLength - 1;
    *cut = false;
    if (autoRange) {
        const uint32_t deviceEnd = d.blockTable[d.blockCount - 1].end;
        uint32_t dataEnd = imageEnd;
        if (deviceEnd < imageEnd) {
            dataEnd = deviceEnd;
            *cut = true;
        }
        range->start = BlockBoundAt(d, imageStart, 0);
        range->end = BlockBoundAt(d, dataEnd, 1);
        // An image that starts or ends outside every block has no range to follow.
        if (range->start == kNoBlock || range->end == kNoBlock || range->start > range->end)
            return PRR_STATUS_ADDRESS_MISMATCH;
    } else {
        *range = sel;
        *cut = sel.start > imageStart || sel.end < imageEnd;
    }
    return 0;
}

void ClearStream(FlashHandle *h) {
    h->leadPad = h->leadDone = 0;
    h->imageBytes = h->imageDone = 0;
    h->tailPad = h->tailDone = 0;
    h->imageCursor = nullptr;
}

// Splits rangeStart..rangeEnd into 0xFF before the image, the image bytes
// that fall inside the range, and 0xFF after. Only bytes of the image's own
// extent are ever streamed from the image buffer.
void SplitStream(FlashHandle *h, const uint8_t *image, uint32_t imageStart, uint32_t imageEnd) {
    const uint32_t from = std::max(imageStart, h->rangeStart);
    const uint32_t to = std::min(imageEnd, h->rangeEnd);
    if (from <= to) {
        h->leadPad = from - h->rangeStart;
        h->imageBytes = to - from + 1;
        h->tailPad = h->rangeEnd - to;
        h->imageCursor = image + from;
    } else {
        h->leadPad = h->rangeEnd - h->rangeStart + 1;
        h->imageBytes = 0;
        h->tailPad = 0;
        h->imageCursor = nullptr;
    }
    h->totalBytes = h->rangeEnd - h->rangeStart + 1;
    h->bytesSent = 0;
}

struct ImageExtent {
    const uint8_t *bytes;
    uint32_t start;
    uint32_t length;
};

// The load file's ready image; length 0 when there is none.
ImageExtent TakeImage(const LoadFileHandle *loadFile) {
    ImageExtent img{};
    if (LoadImageExtent(loadFile, &img.start, &img.length) != 0) img.length = 0;
    img.bytes = img.length != 0 ? LoadImageBytes(loadFile) : nullptr;
    // A handle closed between the two calls has no bytes: no image, not a short stream.
    if (img.bytes == nullptr) img.length = 0;
    return img;
}

}  // namespace

int32_t SetUpProgramRange(FlashHandle *h) {
    if (h->port == PRR_INVALID_PORT) return PRR_STATUS_NOT_CONNECTED;
    ClearStream(h);
    const ImageExtent img = TakeImage(h->loadFile);
    Selection range{};
    bool cut = false;
    if (int32_t code = ProgramRange(h->device, h->area, h->autoRange, img.start, img.length, &range, &cut))
        return code;
    h->rangeStart = range.start;
    h->rangeEnd = range.end;
    SplitStream(h, img.bytes, img.start, img.start + img.length - 1);
    if (cut) ReportProgress(h, 0, 0, 100, "Since the address of HEX was over the specification range, it cut.");
    return 0;
}

int32_t SetUpChecksumRange(FlashHandle *h) {
    ClearStream(h);
    Selection sel{};
    if (!SelectedAddresses(h->device, h->area, &sel)) return PRR_STATUS_ILLEGAL_PARAMETER;
    const ImageExtent img = TakeImage(h->loadFile);
    if (img.length == 0) return PRR_STATUS_NOT_INITIALIZED;
    h->rangeStart = sel.start;
    h->rangeEnd = sel.end;
    // Addresses below the image read from the image too (they hold 0xFF):
    // the stream starts at the selection start.
    const uint32_t last = std::min(img.start + img.length - 1, sel.end);
    h->totalBytes = sel.end - sel.start + 1;
    h->bytesSent = 0;
    if (sel.start <= last && sel.start < PRR_IMAGE_SIZE) {
        h->imageBytes = last - sel.start + 1;
        h->imageCursor = img.bytes + sel.start;
    }
    h->tailPad = h->totalBytes - h->imageBytes;
    return 0;
}

void FillProgramChunk(FlashHandle *h, uint8_t *buf, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (h->leadDone < h->leadPad) {
            ++h->leadDone;
            buf[i] = 0xFF;
        } else if (h->imageDone < h->imageBytes && h->imageCursor != nullptr) {
            ++h->imageDone;
            buf[i] = *h->imageCursor++;
        } else if (h->tailDone < h->tailPad) {
            ++h->tailDone;
            buf[i] = 0xFF;
        } else {
            return;  // the stream is used up; the rest stays as it was
        }
    }
}

void ReportStreamProgress(FlashHandle *h, StreamProgress p, const char *format) {
    const uint32_t sent = h->bytesSent;
    const uint32_t total = h->totalBytes;
    if (total == 0) return;
    const double limit = double(total) * 0.1 * p.step;
    const int32_t percentage =
        h->autoRange ? static_cast<int32_t>((uint64_t(sent) * 100 / total) / 10 * 10) : p.step * 10;
    p.current = percentage;
    if (double(sent) > std::trunc(limit) && percentage != p.last && percentage != 0) {
        ReportProgress(h, 0, static_cast<uint32_t>(percentage), 100, format, percentage);
        ++p.step;
        p.last = percentage;
    }
}

StreamProgress ProgramProgress(FlashHandle *h) { return {h->progressStep, h->progressLast, h->progressCurrent}; }

StreamProgress VerifyProgress(FlashHandle *h) {
    StreamCounters &v = CoreOf(h).verifyProgress;
    return {v.step, v.last, v.current};
}

void RestartProgress(StreamProgress p) {
    p.step = 1;
    p.last = 0;
    p.current = 0;
}

}  // namespace quill

namespace quill {
namespace {
// The range a program or verify with these arguments streams, and the image
// it streams from; false when it cannot be told.
bool StreamRange(const DeviceParameters *device, const AreaRecord *area, int32_t autoRange,
                 const LoadFileHandle *loadFile, Selection *range, ImageExtent *img) {
    if (device == nullptr || area == nullptr) return false;
    *img = TakeImage(loadFile);
    bool cut = false;
    return img->length != 0 && ProgramRange(*device, *area, autoRange, img->start, img->length, range, &cut) == 0;
}
}  // namespace
}  // namespace quill

extern "C" QUILLCTL_API uint32_t PRRStreamBytes(const DeviceParameters *device, const AreaRecord *area,
                                                int32_t autoRange, const LoadFileHandle *loadFile) {
    return quill::Guarded<uint32_t>(0u, [&]() -> uint32_t {
        quill::Selection range{};
        quill::ImageExtent img{};
        if (!quill::StreamRange(device, area, autoRange, loadFile, &range, &img)) return 0;
        return range.end - range.start + 1;
    });
}

extern "C" QUILLCTL_API uint32_t PRRStreamCopy(const DeviceParameters *device, const AreaRecord *area,
                                               int32_t autoRange, const LoadFileHandle *loadFile, uint8_t *out,
                                               uint32_t capacity) {
    return quill::Guarded<uint32_t>(0u, [&]() -> uint32_t {
        quill::Selection range{};
        quill::ImageExtent img{};
        if (out == nullptr || !quill::StreamRange(device, area, autoRange, loadFile, &range, &img)) return 0;
        const uint32_t total = range.end - range.start + 1;
        if (capacity < total) return 0;
        // The same split the program sequence streams: 0xFF, the image's bytes inside the range, 0xFF.
        const uint32_t imageEnd = img.start + img.length - 1;
        const uint32_t from = std::max(img.start, range.start), to = std::min(imageEnd, range.end);
        std::fill(out, out + total, uint8_t{0xFF});
        if (from <= to) std::copy(img.bytes + from, img.bytes + to + 1, out + (from - range.start));
        return total;
    });
}

extern "C" QUILLCTL_API int32_t PRRRangeChecksum(const DeviceParameters *device, const AreaRecord *area,
                                               const LoadFileHandle *loadFile, uint16_t *checksum) {
    return quill::Guarded<int32_t>(PRR_STATUS_ILLEGAL_PARAMETER, [&]() -> int32_t {
        quill::Selection sel{};
        if (device == nullptr || area == nullptr || checksum == nullptr || !quill::SelectedAddresses(*device, *area, &sel))
            return PRR_STATUS_ILLEGAL_PARAMETER;
        const quill::ImageExtent img = quill::TakeImage(loadFile);
        if (img.length == 0) return PRR_STATUS_NOT_INITIALIZED;
        // The stream the checksum command compares: the image from the
        // selection start (0xFF below the image) and 0xFF past its end.
        const uint64_t last = std::min<uint64_t>(uint64_t{img.start} + img.length - 1, sel.end);
        quill::proto::StreamChecksum sum;
        for (uint64_t a = sel.start; a <= sel.end; ++a) sum.Add(a <= last && a < PRR_IMAGE_SIZE ? img.bytes[a] : 0xFF);
        *checksum = sum.value();
        return 0;
    });
}
