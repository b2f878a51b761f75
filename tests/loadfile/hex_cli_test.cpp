// `quillrom hex info`, run in-process as the command line would run it, and
// the demo load files the samples folder ships.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands.h"
#include "load_test_util.h"

using namespace quilltest;

namespace {

const std::string kSamples = QUILL_SAMPLES_DIR;

struct CliRun {
    int code;
    std::string out, err;
};

CliRun Cli(std::vector<std::string> args) {
    args.insert(args.begin(), "quillrom");
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int code = quillcli::RunCli(static_cast<int>(argv.size()), argv.data(), out, err);
    return {code, out.str(), err.str()};
}

TEST(HexInfoCommand, ReportsWhatTheFileHolds) {
    ScratchDir dir;
    // One S-record with a wrong checksum (00 instead of 85).
    const std::string mixed = dir.Write("mixed.txt", SRec(0, 2, 0, {}) + "\r\nS1051000AABB00\r\n" +
                                                         Intel(0, 0x2000, {1, 2}) + "\r\n:00000001FF\r\n");
    const std::string noEnd = dir.Write("noend.hex", Intel(0, 0, {1}) + "\n");
    const std::string high = dir.Write("high.hex", ":020000040020DA\n" + Intel(0, 0, {1}) + "\n:00000001FF\n");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> out, err;
    } cases[] = {
        {{"hex", "info", kSamples + "/demo.hex"},
         0,
         {"Format:           Intel HEX\n", ":00 data                           320\n",
          ":02 extended segment address       1\n", ":04 extended linear address        1\n",
          "Lowest address:   000000h\n", "Highest address:  0083FFh\n", "Image length:     008400h (33792 bytes)\n",
          "Image checksum:   7618h\n", "Checksum errors:  0\n"},
         {}},
        {{"hex", "info", "--strict", kSamples + "/demo.s19"},
         0,
         {"Format:           S-record\n", "S1 data, 16-bit address            320\n", "S9 end, 16-bit start address",
          "Image start:      000000h\n", "Image checksum:   7618h\n", "Checksum errors:  0\n"},
         {}},
        {{"hex", "info", mixed},
         0,
         {"Format:           mixed (Intel HEX and S-record)\n", "Records:          4\n", "Lowest address:   001000h\n",
          "Highest address:  002001h\n", "Checksum errors:  1\n"},
         {}},
        {{"hex", "info", mixed, "--strict"}, 1, {"Checksum errors:  1\n"}, {"1 record(s) with a wrong checksum"}},
        {{"hex", "info", dir.path() + "/missing.hex"}, 1, {}, {"cannot read"}},
        {{"hex", "info", noEnd}, 1, {}, {"Error read HEX file. (ERROR: Illegal file type!)"}},
        {{"hex", "info", high}, 1, {}, {"(ERROR: Illegal parameter!)"}},
        {{"hex", "info"}, 2, {}, {"FILE is required"}},
        {{"hex", "info", mixed, "--bogus"}, 2, {}, {"--bogus"}},
        {{"hex"}, 2, {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const CliRun r = Cli(c.args);
        EXPECT_EQ(r.code, c.code) << r.out << r.err;
        for (const std::string &s : c.out) EXPECT_NE(r.out.find(s), std::string::npos) << s << " in\n" << r.out;
        for (const std::string &s : c.err) EXPECT_NE(r.err.find(s), std::string::npos) << s << " in\n" << r.err;
        // A file that cannot be read shows no image figures.
        if (c.out.empty()) {
            EXPECT_EQ(r.out.find("Image checksum"), std::string::npos) << r.out;
        }
    }
}

// The two demo files are one program image in two formats.
TEST(DemoLoadFiles, HexAndS19HoldTheSameImage) {
    LoadRecords hexRecords, s19Records;
    LoadFileHandle *hex = PRRHexOpen((kSamples + "/demo.hex").c_str(), hexRecords.window(), 2024, nullptr);
    LoadFileHandle *s19 = PRRHexOpen((kSamples + "/demo.s19").c_str(), s19Records.window(), 2024, nullptr);
    ASSERT_NE(hex, nullptr);
    ASSERT_NE(s19, nullptr);
    ASSERT_EQ(hexRecords.UntilFinal(hex).back().percent, 100);
    ASSERT_EQ(s19Records.UntilFinal(s19).back().percent, 100);
    EXPECT_EQ(hex->lowestAddress, s19->lowestAddress);
    EXPECT_EQ(hex->highestAddress, s19->highestAddress);
    EXPECT_LE(hex->highestAddress, 0xFFFFu);  // fits the demo device's 64 KiB
    EXPECT_EQ(hex->imageChecksum, s19->imageChecksum);
    EXPECT_EQ(std::memcmp(hex->imageBuffer, s19->imageBuffer, PRR_IMAGE_SIZE), 0);
    // A gap between the code and the data table.
    EXPECT_EQ(hex->imageBuffer[0x4000], 0xFF);
    PRRHexClose(s19);
    PRRHexClose(hex);
}

}  // namespace
