// Frames, time codes and block bounds: pure functions, compared byte for byte.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "link/frames.h"
#include "link/primitives.h"
#include "sequence/sequence_common.h"

using namespace quill;
using namespace quill::proto;

namespace {

std::vector<uint8_t> Wire(const Frame &f) { return {f.bytes.begin(), f.bytes.begin() + f.length}; }

TEST(FramesTest, LayoutsHaveTheirLengthsAndBytes) {
    EXPECT_EQ(Wire(UnitFrame(0x22, 5)), (std::vector<uint8_t>{0x22, 0x05, 0x00, 0xFF}));
    EXPECT_EQ(Wire(UnitFrame(0x40, 0x80, 0x00, 0x00)), (std::vector<uint8_t>{0x40, 0x80, 0x00, 0x00}));
    EXPECT_EQ(Wire(AddressFrame(0x13, 0x012345, 0x1FFFFF)),
              (std::vector<uint8_t>{0x13, 0x01, 0x23, 0x45, 0x1F, 0xFF, 0xFF, 0, 0, 0, 0}));
    EXPECT_EQ(Wire(NoDataFrame(0xC0)), (std::vector<uint8_t>{0xC0, 0, 0, 0, 0}));
}

TEST(FramesTest, StreamChecksumMatchesKnownValues) {
    struct {
        std::vector<uint8_t> bytes;
        uint16_t sum;
    } cases[] = {{{'a', 'b', 'c'}, 0x0DCA}, {{0x01, 0x00}, 0x1B00}, {{0x12}, 0x0012}};
    for (const auto &c : cases) {
        StreamChecksum s;
        for (uint8_t b : c.bytes) s.Add(b);
        EXPECT_EQ(s.value(), c.sum);
    }
}

TEST(TimeCodeTest, ConvertsCyclesToWholeMilliseconds) {
    struct {
        uint16_t code;
        double mhz;
        uint32_t ms;
    } cases[] = {
        {0x1234, 20.0, 61},  // 123e4 cycles = 61.5 ms
        {0x5003, 8.0, 62},   // 500e3 cycles = 62.5 ms
        {0x1000, 8.0, 0},    // 100 cycles
        {0x9996, 1.0, 600000},  // 999 s: capped
    };
    for (const auto &c : cases) EXPECT_EQ(TimeCodeToMs(c.code, c.mhz), c.ms) << std::hex << c.code;
}

TEST(TimeCodeTest, UnusableClockSaturatesInsteadOfMisbehaving) {
    for (double clock : {0.0, -8.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e-300})
        EXPECT_EQ(TimeCodeToMs(0x1234, clock), kTimeCodeCeilingMs) << clock;
    EXPECT_EQ(TimeCodeToMs(0x999F, 1e-9), kTimeCodeCeilingMs);  // exponent 15
}

TEST(BlockBoundTest, FindsTheBlockOrSaysNone) {
    RangeEntry blocks[3] = {{0, {0, 0}, 0x0000, 0x0FFF}, {1, {0, 0}, 0x1000, 0x1FFF}, {2, {0, 0}, 0x2000, 0x3FFF}};
    FlashHandle *h = new FlashHandle{};
    h->device.blockTable = blocks;
    h->device.blockCount = 3;
    EXPECT_EQ(FindBlockBound(h, 0x1234, 0), 0x1000u);
    EXPECT_EQ(FindBlockBound(h, 0x1234, 1), 0x1FFFu);
    EXPECT_EQ(FindBlockBound(h, 0x3FFF, 1), 0x3FFFu);
    EXPECT_EQ(FindBlockBound(h, 0x4000, 1), kNoBlockBound);
    EXPECT_EQ(GetBlockBound(h, 2, 0), 0x2000u);
    EXPECT_EQ(GetBlockBound(h, 3, 0), kNoBlockBound);
    h->device.blockTable = nullptr;
    EXPECT_EQ(FindBlockBound(h, 0, 1), kNoBlockBound);
    delete h;
}

}  // namespace
