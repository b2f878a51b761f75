// The record readers over an in-memory file: what lands in the image, the
// extent and checksum, framing, and every way a file fails.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "load_test_util.h"
#include "loadfile/hex_records.h"

using namespace quilltest;
using quill::HexParser;
using quill::ImageExtent;
using quill::RecordResult;

namespace {

const std::string kEnd = ":00000001FF\r\n";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

class HexRecordsTest : public ::testing::Test {
protected:
    struct Parsed {
        RecordResult result;
        HexParser parser;
        ImageExtent extent;
    };

    // Parses `text` held in a buffer of exactly its size, so reading past the
    // end shows under ASan.
    Parsed Parse(const std::string &text) {
        std::fill(image_.begin(), image_.end(), 0xFF);
        const std::vector<uint8_t> file(text.begin(), text.end());
        Parsed p{};
        p.result = quill::ReadAllRecords(file.data(), file.size(), p.parser, image_.data());
        p.extent = quill::ComputeExtent(p.parser, image_.data());
        return p;
    }

    // The slack after the image must never be written.
    bool SlackIntact() const {
        return std::all_of(image_.begin() + quill::kImageSize, image_.end(), [](uint8_t b) { return b == 0xFF; });
    }

    std::vector<uint8_t> image_ = std::vector<uint8_t>(quill::kImageSize + quill::kImageSlack);
};

TEST_F(HexRecordsTest, ExtentChecksumAndBytes) {
    struct Case {
        const char *name;
        std::string text;
        uint32_t lowest, highest, start, length;
        uint16_t checksum;
        uint32_t probe;  // an address the file sets
        uint8_t value;
    } cases[] = {
        {"intel worked example", ":020000040001F9\r\n:0400100012345678D8\r\n:00000001FF\r\n", 0x10010, 0x10013,
         0x10010, 256, 0xFEEC, 0x10013, 0x78},
        {"srec worked example", "S1051000AABB85\r\nS9030000FC\r\n", 0, 0x1001, 0, 0x1100, 0x0E9B, 0x1001, 0xBB},
        {"start rounds down to 16", Intel(0, 0x1234, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) + "\n" + kEnd,
         0x1234, 0x1243, 0x1230, 256, 0xFF88, 0x1243, 15},
        {"0 to 0xFF is one unit", Intel(0, 0, std::vector<uint8_t>(128, 0)) + "\n" + Intel(0, 0x80, std::vector<uint8_t>(128, 0)) + "\n" + kEnd,
         0, 0xFF, 0, 256, 0, 0xFF, 0},
        {"0 to 0x100 is two units", Intel(0, 0, {0}) + "\n" + Intel(0, 0x100, {0}) + "\n" + kEnd, 0, 0x100, 0, 512,
         0x01FF, 0x100, 0},
        {"single byte 0x01", Intel(0, 0x40, {1}) + "\n" + kEnd, 0x40, 0x40, 0x40, 256, 0xFFFF, 0x40, 1},
        {"intel LL 0 at 0 stays out", Intel(0, 0, {}) + "\n" + Intel(0, 0x100, {0x5A}) + "\n" + kEnd, 0x100, 0x100,
         0x100, 256, 0xFFA6, 0x100, 0x5A},
        {"empty S1 at 0 stays out", SRec(1, 2, 0, {}) + "\n" + SRec(1, 2, 0x100, {0x5A}) + "\n" + SRec(9, 2, 0x100, {}) + "\n",
         0x100, 0x100, 0x100, 256, 0xFFA6, 0x100, 0x5A},
        {"empty record elsewhere ends at address - 1", Intel(0, 0x200, {}) + "\n" + Intel(0, 0x100, {1}) + "\n" + kEnd,
         0x100, 0x1FF, 0x100, 256, 0x01FE, 0x100, 1},
        {"S8 start address lowers the extent", SRec(2, 3, 0x12000, {0xAA}) + "\n" + SRec(8, 3, 0x11000, {}) + "\n",
         0x11000, 0x12000, 0x11000, 0x1100, 0x0F56, 0x12000, 0xAA},
        {"last address of the image", SRec(3, 4, 0x1FFFFF, {0x42}) + "\r" + SRec(7, 4, 0x1FFFFF, {}) + "\r", 0x1FFFFF,
         0x1FFFFF, 0x1FFFF0, 256, 0xFFBE, 0x1FFFFF, 0x42},
        {"segment record", ":020000021000EC\n" + Intel(0, 0x10, {0x12, 0x34, 0x56, 0x78}) + "\n" + kEnd, 0x10010,
         0x10013, 0x10010, 256, 0xFEEC, 0x10010, 0x12},
        {"the later base record wins", Intel(4, 0, {0, 1}) + "\n" + Intel(2, 0, {0x20, 0}) + "\n" + Intel(0, 0x10, {0x42}) + "\n" + kEnd,
         0x20010, 0x20010, 0x20010, 256, 0xFFBE, 0x20010, 0x42},
        {"lower-case digits", Lower(Intel(0, 0x10, {0xAB, 0xCD}) + "\n" + kEnd), 0x10, 0x11, 0x10, 256,
         0xFE88, 0x11, 0xCD},
        {"wrong record checksum is applied", ":0100200055FF\n" + kEnd, 0x20, 0x20, 0x20, 256, 0xFFAB, 0x20, 0x55},
        {"mixed file, ignored types",
         SRec(0, 2, 0, {'h'}) + "\n" + Intel(3, 0, {1, 2, 3, 4}) + "\n" + Intel(5, 0, {1, 2, 3, 4}) + "\n" +
             SRec(5, 2, 1, {}) + "\n" + Intel(0, 0x30, {0x66}) + "\n" + SRec(1, 2, 0x31, {0x77}) + "\n" + kEnd,
         0x30, 0x31, 0x30, 256, 0xFF23, 0x31, 0x77},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Parsed p = Parse(c.text);
        ASSERT_EQ(p.result, RecordResult::kEnd);
        EXPECT_TRUE(p.parser.extentSeen);
        EXPECT_EQ(p.extent.lowest, c.lowest);
        EXPECT_EQ(p.extent.highest, c.highest);
        EXPECT_EQ(p.extent.start, c.start);
        EXPECT_EQ(p.extent.end, c.highest);
        EXPECT_EQ(p.extent.length, c.length);
        EXPECT_EQ(p.extent.checksum, c.checksum);
        EXPECT_EQ(image_[c.probe], c.value);
        // Bytes next to the data are unset.
        if (c.lowest > 0) {
            EXPECT_EQ(image_[c.lowest - 1], 0xFF);
        }
        EXPECT_TRUE(SlackIntact());
    }
}

TEST_F(HexRecordsTest, UpToTwoLineEndCharactersFollowARecord) {
    struct Case {
        const char *separator;
        RecordResult result;
    } cases[] = {
        {"\r\n", RecordResult::kEnd},       {"\n", RecordResult::kEnd},
        {"\r", RecordResult::kEnd},         {"\n\n", RecordResult::kEnd},  // a blank line in an LF file
        {"", RecordResult::kEnd},           {"\r\n\r\n", RecordResult::kBadFormat},
        {"\n\r\n", RecordResult::kBadFormat}, {" \r\n", RecordResult::kBadFormat},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.separator)));
        const std::string sep = c.separator;
        const Parsed p = Parse(Intel(0, 0x10, {1}) + sep + SRec(1, 2, 0x11, {2}) + sep + ":00000001FF" + sep);
        EXPECT_EQ(p.result, c.result);
        if (c.result == RecordResult::kEnd) {
            EXPECT_EQ(image_[0x11], 2);
        }
    }
}

TEST_F(HexRecordsTest, BadFilesFailWithoutTouchingOutsideTheImage) {
    struct Case {
        const char *name;
        std::string text;
        RecordResult result;
    } cases[] = {
        {"empty", "", RecordResult::kBadFormat},
        {"no end record", Intel(0, 0, {1}) + "\r\n", RecordResult::kBadFormat},
        {"truncated last record", Intel(0, 0x10, {1, 2, 3, 4}).substr(0, 15), RecordResult::kBadFormat},
        {"count runs past the file", ":FF000000", RecordResult::kBadFormat},
        {"odd-length last record", ":0100100001E", RecordResult::kBadFormat},
        {"truncated S-record", "S10", RecordResult::kBadFormat},
        {"stray character at a record start", Intel(0, 0, {1}) + "\r\nX" + kEnd, RecordResult::kBadFormat},
        {"lower-case s", "s1051000AABB85\r\n" + kEnd, RecordResult::kBadFormat},
        {"malformed extended address example", ":02000004002000DA\r\n" + Intel(0, 0, {1}) + "\r\n" + kEnd,
         RecordResult::kBadFormat},
        {"address record without its bytes", Intel(4, 0, {0}) + "\n" + Intel(0, 0, {1}) + "\n" + kEnd,
         RecordResult::kBadFormat},
        {"S1 count too small for its address", "S1020000\n" + kEnd, RecordResult::kBadFormat},
        {"S9 count too small for its address", Intel(0, 0, {1}) + "\nS90200FD\n", RecordResult::kBadFormat},
        {"data at 0x200000", ":020000040020DA\r\n" + Intel(0, 0, {1}) + "\r\n" + kEnd, RecordResult::kOutOfRange},
        {"data running past 0x1FFFFF", ":02000004001FDB\r\n" + Intel(0, 0xFFFF, {1, 2}) + "\r\n" + kEnd,
         RecordResult::kOutOfRange},
        {"empty record at 0x200000", SRec(2, 3, 0x200000, {}) + "\n" + kEnd, RecordResult::kOutOfRange},
        {"S3 at the top of the address space", SRec(3, 4, 0xFFFFFFFF, {1}) + "\n" + kEnd, RecordResult::kOutOfRange},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Parse(c.text).result, c.result);
        EXPECT_EQ(image_[quill::kImageSize - 1], 0xFF);
        EXPECT_TRUE(SlackIntact());
    }
    EXPECT_EQ(quill::RecordFailureStatus(RecordResult::kBadFormat), PRR_STATUS_ILLEGAL_FILE_TYPE);
    EXPECT_EQ(quill::RecordFailureStatus(RecordResult::kOutOfRange), PRR_STATUS_ILLEGAL_PARAMETER);
}

TEST_F(HexRecordsTest, EndWithoutDataLeavesTheExtentUnset) {
    for (const std::string &text : {kEnd, ":0000000000\r\n" + kEnd, std::string("S9030000FC\r\n")}) {
        const Parsed p = Parse(text);
        EXPECT_EQ(p.result, RecordResult::kEnd);
        EXPECT_FALSE(p.parser.extentSeen) << text;
    }
}

}  // namespace
