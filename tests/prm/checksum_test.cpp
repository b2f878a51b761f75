// The file checksum, the SUM line, and both samples.
#include <gtest/gtest.h>

#include <string>

#include "prm_support.h"

namespace {

using prmtest::Checksum;
using prmtest::Lines;
using prmtest::Read;

TEST(ChecksumTest, CrcCheckValue) { EXPECT_EQ(quill::Crc32Mpeg2("123456789", 9), 0x0376E6E7u); }

TEST(ChecksumTest, ExampleFileChecksThroughTheExports) {
    prmtest::TempFile file(Lines({"FNAME = ABC", "[CHECKSUM]", "SUM=D8C48FCA", "[EOF]"}));
    EXPECT_EQ(quill::Crc32Mpeg2("FNAMEABC[CHECKSUM]SUM", 21), 0xD8C48FCAu);
    DeviceParameters *d = PRRReadPRM(file.path().c_str(), 0);
    ASSERT_NE(d, nullptr);
    PRRFreePRM(d);
    EXPECT_EQ(PRRChecksumPRM(file.path().c_str(), 0), 1);
    uint32_t computed = 0, expected = 0;
    EXPECT_EQ(PRRChecksumValuesPRM(file.path().c_str(), &computed, &expected), 0);
    EXPECT_EQ(computed, 0xD8C48FCAu);
    EXPECT_EQ(expected, 0xD8C48FCAu);
    EXPECT_EQ(PRRChecksumValuesPRM((file.dir() + "/none").c_str(), &computed, nullptr), 1);
    EXPECT_EQ(PRRChecksumPRM((file.dir() + "/none").c_str(), 0), 0);

    // The SUM = X trap: the value token is "=", which reads as 0.
    file.Write(Lines({"FNAME = ABC", "[CHECKSUM]", "SUM = D8C48FCA", "[EOF]"}));
    d = PRRReadPRM(file.path().c_str(), 0);
    PRRFreePRM(d);
    EXPECT_EQ(quill::expectedPrmChecksum.load(), 0u);
    EXPECT_EQ(PRRChecksumPRM(file.path().c_str(), 0), 0);
}

TEST(ChecksumTest, InvariantToLayoutSensitiveToContent) {
    const uint32_t base = Checksum(Lines({"[PRC 0]", "FNAME = ABC 0316", "[CHECKSUM]", "SUM=0"}));
    const std::string same[] = {
        Lines({"[PRC 0]", "FNAME=ABC\t0316", "[CHECKSUM]", "SUM=0"}),
        Lines({"; comment", "  [PRC 0]", "", "FNAME = ABC 0316 ;note", "[CHECKSUM]", "SUM=0"}),
        Lines({"[PRC 0]", "FNAME == ABC 0316", "[CHECKSUM]", "anything", "[EOF]"}),
        Lines({"[PRC 0]", "FNAME = ABC 0316", "[CHECKSUM]"}),
    };
    for (const std::string &text : same) EXPECT_EQ(Checksum(text), base) << text;
    const std::string different[] = {
        Lines({"[PRC 0]", "FNAME = ABC 0317", "[CHECKSUM]", "SUM=0"}),
        Lines({"[PRC 1]", "FNAME = ABC 0316", "[CHECKSUM]", "SUM=0"}),
        Lines({"[PRC 0]", "FNAME = abc 0316", "[CHECKSUM]", "SUM=0"}),
        Lines({"[PRC 0]", "FNAME = ABC 0316", "[CHECKSUMS]", "SUM=0"}),  // not the header: summed on
    };
    for (const std::string &text : different) EXPECT_NE(Checksum(text), base) << text;
}

TEST(ChecksumTest, SumLineForms) {
    struct {
        const char *line;
        uint32_t value;
    } cases[] = {
        {"SUM=D8C48FCA", 0xD8C48FCA}, {"SUM 0x1234", 0x1234},   {"  SUM=12 ;x", 0x12},   {"SUM = D8C48FCA", 0},
        {"SUM", 0},                   {"SUM=", 0},              {"SUMX=55", 7},          {"sum=55", 7},
        {"SUM=000000000000000000012", 0},
    };
    for (auto c : cases) {
        quill::expectedPrmChecksum = 7;
        auto d = Read(Lines({"[CHECKSUM]", c.line}));
        ASSERT_TRUE(d);
        EXPECT_EQ(quill::expectedPrmChecksum.load(), c.value) << c.line;
    }
    // A SUM key outside [CHECKSUM] is the device checksum, not the file's.
    quill::expectedPrmChecksum = 7;
    auto d = Read(Lines({"SUM = 0000ABCD", "[CHECKSUM]", "[PRC 0]", "SUM = 12345678"}));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->deviceChecksum, 0x12345678u);
    EXPECT_EQ(quill::expectedPrmChecksum.load(), 7u);  // a file without a SUM line leaves it
}

TEST(ChecksumTest, SamplesReadAndCheckClean) {
    for (const char *name : {"demo.prm", "demo-addr.prm"}) {
        SCOPED_TRACE(name);
        std::string path = prmtest::SamplePath(name);
        DeviceParameters *d = PRRReadPRM(path.c_str(), 0);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->blockCount, 16);
        EXPECT_EQ(d->commandSetCount, 1);
        EXPECT_NE(d->rangeSet5 & 0x02, 0);  // blank check supported
        EXPECT_NE(d->typeSet7, 0.0);
        const bool address = std::string(name) == "demo-addr.prm";
        EXPECT_EQ((d->parseFlags & PRR_PARSE_ADDRESS_FORM) != 0, address);
        // Every command the flash sequences read is present.
        for (int slot : {3, 5, 7, 8, 9, 10, 11, 12, 13, 19}) EXPECT_NE(d->commandSets[0][slot].commandCode, 0) << slot;
        EXPECT_NE(d->commandSets[0][19].payload.w12.words[9], 0xFFFF);
        PRRFreePRM(d);
        EXPECT_EQ(PRRChecksumPRM(path.c_str(), 0), 1);
    }
    DeviceParameters *d = PRRReadPRM(prmtest::SamplePath("demo.prm").c_str(), 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->blockTable[15].start, 0xF000u);
    EXPECT_EQ(d->blockTable[15].end, 0xFFFFu);
    EXPECT_DOUBLE_EQ(d->typeSet7, 8.0);
    EXPECT_DOUBLE_EQ(d->voltageSet10, d->commandSets[0][5].payload.volt.voltage);
    PRRFreePRM(d);
}

}  // namespace
