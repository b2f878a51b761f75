#include "sequence/stream_range.h"

#include <algorithm>

#include "link/primitives.h"
#include "loadfile/load_image.h"
#include "sequence/sequence_common.h"
#include "worker/progress.h"

namespace quill {
namespace {

struct Selection {
    uint32_t start;
    uint32_t end;
};

// The address range of the chosen blocks; false when the blocks do not exist.
bool SelectedAddresses(const FlashHandle *h, Selection *out) {
    const BlockSelection sel = SelectBlocks(h, false);
    if (!ValidBlockRange(h, sel.first, sel.last)) return false;
    out->start = GetBlockBound(h, sel.first, 0);
    out->end = GetBlockBound(h, sel.last, 1);
    return out->start <= out->end;
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
    uint32_t end;  // start + length - 1
};

// What a program, verify or checksum starts from: an empty stream, the chosen
// blocks' addresses (3 when they do not exist) and a ready image (1 when not).
int32_t TakeSelectionAndImage(FlashHandle *h, Selection *sel, ImageExtent *img) {
    ClearStream(h);
    if (!SelectedAddresses(h, sel)) return PRR_STATUS_ILLEGAL_PARAMETER;
    uint32_t length = 0;
    if (LoadImageExtent(h->loadFile, &img->start, &length) != 0 || length == 0) return PRR_STATUS_NOT_INITIALIZED;
    img->bytes = LoadImageBytes(h->loadFile);
    img->end = img->start + length - 1;
    return 0;
}

}  // namespace

int32_t SetUpProgramRange(FlashHandle *h) {
    if (h->port == PRR_INVALID_PORT) return PRR_STATUS_NOT_CONNECTED;
    Selection sel{};
    ImageExtent img{};
    if (int32_t code = TakeSelectionAndImage(h, &sel, &img)) return code;
    const uint8_t *image = img.bytes;
    const uint32_t imageStart = img.start, imageEnd = img.end;
    bool cut = false;
    if (h->autoRange) {
        const uint32_t deviceEnd = GetBlockBound(h, h->device.blockCount - 1, 1);
        uint32_t dataEnd = imageEnd;
        if (deviceEnd < imageEnd) {
            dataEnd = deviceEnd;
            cut = true;
        }
        h->rangeStart = FindBlockBound(h, imageStart, 0);
        h->rangeEnd = FindBlockBound(h, dataEnd, 1);
        // An image that starts or ends outside every block has no range to follow.
        if (h->rangeStart == kNoBlockBound || h->rangeEnd == kNoBlockBound || h->rangeStart > h->rangeEnd)
            return PRR_STATUS_ADDRESS_MISMATCH;
    } else {
        h->rangeStart = sel.start;
        h->rangeEnd = sel.end;
        cut = sel.start > imageStart || sel.end < imageEnd;
    }
    SplitStream(h, image, imageStart, imageEnd);
    if (cut) ReportProgress(h, 0, 0, 100, "Since the address of HEX was over the specification range, it cut.");
    return 0;
}

int32_t SetUpChecksumRange(FlashHandle *h) {
    Selection sel{};
    ImageExtent img{};
    if (int32_t code = TakeSelectionAndImage(h, &sel, &img)) return code;
    h->rangeStart = sel.start;
    h->rangeEnd = sel.end;
    // Addresses below the image read from the image too (they hold 0xFF):
    // the stream starts at the selection start.
    const uint32_t last = std::min(img.end, sel.end);
    h->totalBytes = sel.end - sel.start + 1;
    h->bytesSent = 0;
    if (sel.start <= last && sel.start < PRR_IMAGE_SIZE) {
        h->imageBytes = last - sel.start + 1;
        h->imageCursor = img.bytes + sel.start;
    }
    h->tailPad = h->totalBytes - h->imageBytes;
    return 0;
}

}  // namespace quill
