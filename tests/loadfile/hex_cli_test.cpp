// `quillrom hex info`, run in-process as the command line would run it, and
// the demo load files the samples folder ships.
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands.h"
#include "e2e/image_files.h"
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
    const std::string elf = dir.Write("app.elf", MakeElf(true, true, {{0x100, {1, 2, 3}}, {0x103, {4}}, {0x400, {5}}}, 0));
    const std::string bin = dir.Write("cal.bin", "\x11\x22");
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
        {{"hex", "info", elf},
         0,
         {"File:             " + elf + "\nFormat:           ELF\nData:             2 runs\n", "  000100h-000103h (4 bytes)\n",
          "Lowest address:   000100h\n", "Highest address:  000400h\n"},
         {}},
        {{"hex", "info", elf, bin + "@0x200", "--fill", "0"},
         0,
         {"File:             " + bin + "@0x200\nFormat:           raw binary\n",
          "Image map:        3 runs\n  000100h-000103h (4 bytes)\n  000200h-000201h (2 bytes)\n  000400h-000400h (1 byte)\n"},
         {}},
        {{"hex", "info", elf, bin + "@0x3FF"}, 1, {}, {elf + " and " + bin + " both write 0x400 (ERROR: "}},
        {{"hex", "info", bin}, 2, {}, {"say where its first byte goes"}},
        {{"hex", "info", elf, "--prm", dir.path() + "/none.prm"}, 1, {}, {"none.prm: No such file"}},
        {{"hex", "info"}, 2, {}, {"SOURCE is required"}},
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

// What `hex convert` writes reads back as the image it was made of, in each
// format; the gaps are left out unless a fill byte makes them part of it.
TEST(HexConvertCommand, WritesTheMergedImageInEachFormat) {
    ScratchDir dir;
    const std::string bin = dir.Write("cal.bin", std::string("\x11\x22\x00\xFF", 4));
    const std::string base = kSamples + "/demo.hex";
    auto figures = [](const std::string &out) {
        const size_t at = out.find("Lowest address:");
        return at == std::string::npos ? std::string() : out.substr(at);
    };
    for (const std::string fill : {"", "0x5A"}) {
        std::vector<std::string> args = {"hex", "info", base, bin + "@0x1FFFE"};
        if (!fill.empty()) args.insert(args.end(), {"--fill", fill});
        const CliRun want = Cli(args);
        ASSERT_EQ(want.code, 0) << want.err;
        for (const char *name : {"out.hex", "out.s19", "out.bin"}) {
            SCOPED_TRACE(std::string(name) + " fill " + fill);
            std::vector<std::string> convert = {"hex", "convert", base, bin + "@0x1FFFE", "-o", dir.path() + "/" + name};
            if (!fill.empty()) convert.insert(convert.end(), {"--fill", fill});
            const CliRun wrote = Cli(convert);
            ASSERT_EQ(wrote.code, 0) << wrote.err;
            const std::string back = dir.path() + "/" + name + (std::string(name) == "out.bin" ? "@0" : "");
            const CliRun got = Cli({"hex", "info", back});
            ASSERT_EQ(got.code, 0) << got.err;
            EXPECT_EQ(figures(got.out), figures(want.out)) << got.out;
        }
    }
    const CliRun r = Cli({"hex", "convert", base, "-o", dir.path() + "/out.txt"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("by its ending"), std::string::npos) << r.err;
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
