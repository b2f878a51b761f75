// The reader: sections, key handlers, failures, finishing, and file access.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "prm_support.h"

namespace {

using prmtest::Lines;
using prmtest::Read;

TEST(PrmReaderTest, ExampleFileFillsTheRecord) {
    auto d = Read(Lines({"[BurnstarParameterFile]", "; sample device", "[PRC 0]", "FFVER = V1.00",
                         "FNAME = SAMPLE 0412 REV1", "BLKNUM = 2", "BLK = 1 07FF", "BLK = 0 03FF", "[Commands 0]",
                         "PMT = 32 02 00 00000000 0010 0020 0030 FFFF", "[STable 0]", "DB00112233", "[EOF]"}));
    ASSERT_TRUE(d);
    EXPECT_STREQ(d->fileVersion, "V1.00");
    EXPECT_STREQ(d->deviceName, "SAMPLE");
    EXPECT_EQ(d->deviceCode, 0x0412);
    EXPECT_STREQ(d->deviceSubName, "REV1");
    EXPECT_EQ(d->parseFlags, 0u);
    ASSERT_EQ(d->blockCount, 2);
    EXPECT_EQ(d->blockTable[0].start, 0u);
    EXPECT_EQ(d->blockTable[1].start, 0x400u);
    EXPECT_EQ(d->blockTable[1].end, 0x7FFu);
    const CommandSlot &s = d->commandSets[0][8];
    EXPECT_EQ(s.commandCode, 0x32);
    EXPECT_EQ(s.payload.l4.words[3], 0xFFFF);
    EXPECT_EQ(d->sTableData[0][3], 0x33);
    EXPECT_EQ(d->commandSetCount, 1);
}

// One case: the lines of a file and what must hold for the record.
struct Case {
    const char *name;
    std::string text;
    std::function<void(const DeviceParameters &)> check;
};

void RunCases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto d = Read(c.text);
        ASSERT_TRUE(d);
        c.check(*d);
    }
}

TEST(PrmReaderTest, SectionsAndSetNumbers) {
    RunCases({
        {"no number keeps the set", Lines({"[PRC 3]", "[PRC]", "PMT = 20 12 00 0001 0002"}),
         [](const DeviceParameters &d) { EXPECT_EQ(d.commandSets[3][2].commandCode, 0x20); }},
        {"last numbered header decides the count", Lines({"[PRC 3]", "[CHECKSUM]"}),
         [](const DeviceParameters &d) { EXPECT_EQ(d.commandSetCount, 4); }},
        {"table header counts too", Lines({"[PRC 3]", "[DTable 0]"}),
         [](const DeviceParameters &d) { EXPECT_EQ(d.commandSetCount, 1); }},
        {"no headers", Lines({"FNAME = A"}), [](const DeviceParameters &d) { EXPECT_EQ(d.commandSetCount, 1); }},
        {"non-numeric number reads as 0", Lines({"[PRC 5]", "[PRC x]"}),
         [](const DeviceParameters &d) { EXPECT_EQ(d.commandSetCount, 1); }},
        {"wrong case is unlisted and keeps the mode", Lines({"[STable 0]", "[stable 1]", "DB0102"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.sTableData[0][1], 0x02);
             EXPECT_EQ(d.commandSetCount, 1);
         }},
        {"names match by prefix", Lines({"[PRCX 2]", "BLKNUM = 2", "BLKX = 1 0FFF"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.commandSetCount, 3);
             EXPECT_EQ(d.blockTable[1].end, 0xFFFu);
         }},
        {"blank before ';' is a key line, ignored", Lines({"[PRC 0]", "  ;FNAME = X", "FNAME = Y"}),
         [](const DeviceParameters &d) { EXPECT_STREQ(d.deviceName, "Y"); }},
        {"boot lines store nothing", Lines({"[Boot]", "DB0102", "FNAME = X"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.sTableData[0][0], 0);
             EXPECT_STREQ(d.deviceName, "");
         }},
        {"unterminated last line is dropped", "FNAME = A\r\nFFVER = V1",
         [](const DeviceParameters &d) {
             EXPECT_STREQ(d.deviceName, "A");
             EXPECT_STREQ(d.fileVersion, "");
         }},
        {"LF-only lines are mostly lost", "FNAME = A\nFFVER = V2\n" + std::string(300, ' ') + "\r\n",
         [](const DeviceParameters &d) {
             EXPECT_STREQ(d.deviceName, "A");
             EXPECT_STREQ(d.fileVersion, "");
         }},
        {"line after a split CR LF is still read", Lines({"FFVER = V1" + std::string(244, ' '), "FNAME = B"}),
         [](const DeviceParameters &d) {
             EXPECT_STREQ(d.fileVersion, "V1");
             EXPECT_STREQ(d.deviceName, "B");
         }},
    });
}

TEST(PrmReaderTest, KeyValues) {
    RunCases({
        {"FNAME with comment and no '='", Lines({"FNAME ABC ;x 0413"}),
         [](const DeviceParameters &d) {
             EXPECT_STREQ(d.deviceName, "ABC");
             EXPECT_EQ(d.deviceCode, 0);
         }},
        {"FNAME code above 0412 sets bit 0", Lines({"FNAME = ABC 0413 XY"}),
         [](const DeviceParameters &d) {
             EXPECT_STREQ(d.deviceSubName, "XY");
             EXPECT_EQ(d.parseFlags, PRR_PARSE_CODE_ABOVE_0412);
         }},
        {"later lower code keeps bit 0", Lines({"FNAME = A 0500", "FNAME = B 0100"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.deviceCode, 0x0100);
             EXPECT_EQ(d.parseFlags & 1u, 1u);
         }},
        {"wrong lengths leave fields unchanged",
         Lines({"FNAME = ABC 0316 SUB", "FNAME = DEF 413", "DBGSET = 1", "SUM = 1234", "TYPSET = 1 010 08000000"}),
         [](const DeviceParameters &d) {
             EXPECT_STREQ(d.deviceName, "DEF");
             EXPECT_EQ(d.deviceCode, 0x0316);
             EXPECT_STREQ(d.deviceSubName, "SUB");
             EXPECT_EQ(d.debugSetting, 0);
             EXPECT_EQ(d.deviceChecksum, 0u);
             EXPECT_EQ(d.typeSet1, 0);
             EXPECT_EQ(d.typeSet2, 0.0f);
         }},
        {"tokens over 19 characters are not used", Lines({"FNAME = ABCDEFGHIJKLMNOPQRST 0316", "FNAME = ABCDEFGHIJKLMNOPQRS"}),
         [](const DeviceParameters &d) {
             EXPECT_STREQ(d.deviceName, "ABCDEFGHIJKLMNOPQRS");
             EXPECT_EQ(d.deviceCode, 0x0316);
         }},
        {"long texts are cut to their field", Lines({"FFVER = V1.00beta", "FNAME = A 0001 SUBNAME12345X"}),
         [](const DeviceParameters &d) {
             EXPECT_STREQ(d.fileVersion, "V1.00");
             EXPECT_STREQ(d.deviceSubName, "SUBNAME1234");
         }},
        {"FLMD entry, and without voltage", Lines({"FLMD = 3 2 0330", "FLMD = 0x104 0x0F"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.flmdTable[2].present, 1);
             EXPECT_EQ(d.flmdTable[2].code, 3);
             EXPECT_FLOAT_EQ(d.flmdTable[2].voltage, 3.30f);
             EXPECT_EQ(d.flmdTable[15].code, 4);
             EXPECT_EQ(d.flmdTable[15].voltage, 0.0f);
             EXPECT_EQ(d.flmdTable[0].present, 0);
         }},
        {"TYPSET", Lines({"TYPSET = 01 0150 002500000 04 05 42 008000000 ABCDEF 123456 7Fxxxx 300 -1"}),
         [](const DeviceParameters &d) {
             EXPECT_FLOAT_EQ(d.typeSet2, 1.50f);
             EXPECT_DOUBLE_EQ(d.typeSet3, 2.5);
             EXPECT_EQ(d.typeSet5, 5);
             EXPECT_DOUBLE_EQ(d.typeSet6, 42.0);
             EXPECT_DOUBLE_EQ(d.typeSet7, 8.0);
             EXPECT_EQ(d.typeSet8, 0xABCDEFu);
             EXPECT_EQ(d.typeSet10, 0x7F);
             EXPECT_EQ(d.typeSet11, 300 & 0xFF);
             EXPECT_EQ(d.typeSet12, 0xFF);
         }},
        {"OPTSET, RANSET and parse flag bit 2",
         Lines({"OPTSET = 2F 1F First Second", "RANSET = 001000000 002000000 003000000 004000000 27 0500 0330"}),
         [](const DeviceParameters &d) {
             EXPECT_STREQ(d.optionText2, "Second");
             EXPECT_DOUBLE_EQ(d.rangeSet3, 3.0);
             EXPECT_DOUBLE_EQ(d.rangeSet4, 4.0);
             EXPECT_DOUBLE_EQ(d.rangeSet7, 3.30);
             EXPECT_EQ(d.rangeSet8, 0.0);
             EXPECT_EQ(d.parseFlags, PRR_PARSE_NAME_MASKED);
         }},
        {"VOLSET keeps what it is not given", Lines({"VOLSET = 0500 0300"}),
         [](const DeviceParameters &d) {
             EXPECT_DOUBLE_EQ(d.voltageSet1, 5.0);
             EXPECT_DOUBLE_EQ(d.voltageSet2, 3.0);
             EXPECT_EQ(d.voltageSet3, 0);
         }},
        {"VOLSET 9999 copies the set-0 voltage as it stands",
         Lines({"[Commands 0]", "PMT = 20 15 00 0500 0003", "VOLSET = 0 0 0 0 0 0 0 0 0 9999",
                "PMT = 20 15 00 0400 0003", "[Commands 1]", "PMT = 20 15 00 0300 0003"}),
         [](const DeviceParameters &d) { EXPECT_DOUBLE_EQ(d.voltageSet10, 5.0); }},
        {"VOLSET tenth value as hundredths", Lines({"VOLSET = 0 0 0 0 0 0 0 0 0 1250"}),
         [](const DeviceParameters &d) { EXPECT_DOUBLE_EQ(d.voltageSet10, 12.5); }},
    });
}

TEST(PrmReaderTest, BlockAndAreaTables) {
    RunCases({
        {"starts follow the previous end; gaps have end 0", Lines({"BLKNUM = 3", "BLK = 0 0FFF", "BLK = 2 2FFF"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.blockTable[1].end, 0u);
             EXPECT_EQ(d.blockTable[1].start, 0x1000u);
             EXPECT_EQ(d.blockTable[2].start, 1u);
         }},
        {"repeated BLKNUM starts a new table", Lines({"BLKNUM = 2", "BLK = 1 07FF", "BLKNUM = 3", "BLK = 0 00FF"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.blockCount, 3);
             EXPECT_EQ(d.blockTable[1].end, 0u);
             EXPECT_EQ(d.blockTable[1].start, 0x100u);
         }},
        {"BLKNUM without value repeats the count", Lines({"BLKNUM = 2", "BLK = 1 07FF", "BLKNUM"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.blockCount, 2);
             EXPECT_EQ(d.blockTable[1].end, 0u);
         }},
        {"block number is the low 16 bits", Lines({"BLKNUM = 2", "BLK = 65537 0x7FF"}),
         [](const DeviceParameters &d) { EXPECT_EQ(d.blockTable[1].end, 0x7FFu); }},
        {"ARANUM 0 ignores ARA lines, even without a number", Lines({"ARANUM = 0", "ARA = 5 FFFF", "ARA"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.areaCount, 0);
             EXPECT_EQ(d.areaTable, nullptr);
         }},
        {"negative ARANUM counts as 0", Lines({"ARANUM = 2", "ARANUM = -4", "ARA = 1 FF"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.areaCount, 0);
             EXPECT_EQ(d.areaTable, nullptr);
         }},
        {"areas", Lines({"ARANUM = 2", "ARA = 1 FFFF", "ARA = 0 7FFF"}),
         [](const DeviceParameters &d) { EXPECT_EQ(d.areaTable[1].start, 0x8000u); }},
        {"no tables", Lines({"FNAME = A"}),
         [](const DeviceParameters &d) {
             EXPECT_EQ(d.blockTable, nullptr);
             EXPECT_EQ(d.areaTable, nullptr);
         }},
    });
}

TEST(PrmReaderTest, StructuralErrorsFailTheRead) {
    const char *failing[] = {
        "BLKNUM = 0", "BLKNUM", "BLKNUM = -3", "BLKNUM = 65537", "BLK = 0 0FFF", "BLKNUM = 4\r\nBLK = 4 7FFF",
        "BLKNUM = 4\r\nBLK", "BLKNUM = 4\r\nBLK = 1", "BLKNUM = 4\r\nBLK = -1 FFFF", "ARANUM = 2\r\nARA = 2 FFFF",
        "ARANUM = 2\r\nARA", "ARANUM = 2\r\nARA = 0", "ARANUM = 70000", "FLMD = 3 10", "FLMD = 3", "PMT = 20",
        "PMT = 20 0A", "PMT = 20 16", "PMT = FF 02 00", "PMT = 20 FF", "PMT = 20 2 00", "[PRC 8]", "[PRC -1]",
        "[Commands 12]", "[STable 8]", "[DTable 99999999999999999999]",
    };
    for (const char *text : failing) EXPECT_FALSE(Read(std::string(text) + "\r\n")) << text;
}

// ------------------------------------------------------------------------
// Reading through the file exports.

TEST(PrmFileTest, RefusesWhatIsNotAnUnlockedRegularFile) {
    prmtest::TempFile file(Lines({"FNAME = A"}));
    DeviceParameters *d = PRRReadPRM(file.path().c_str(), 0);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->deviceName, "A");
    PRRFreePRM(d);
    PRRFreePRM(nullptr);

    EXPECT_EQ(PRRReadPRM(nullptr, 0), nullptr);
    EXPECT_EQ(PRRReadPRM((file.dir() + "/missing.prm").c_str(), 0), nullptr);
    EXPECT_EQ(PRRReadPRM(file.dir().c_str(), 0), nullptr);
    // A regular file whose read fails (EIO): no partial record, no verdict.
    EXPECT_EQ(PRRReadPRM("/proc/self/mem", 0), nullptr);
    EXPECT_EQ(PRRChecksumValuesPRM("/proc/self/mem", nullptr, nullptr), 1);
    std::string fifo = file.dir() + "/fifo.prm";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(PRRReadPRM(fifo.c_str(), 0), nullptr);  // and does not block
    EXPECT_EQ(PRRChecksumPRM(fifo.c_str(), 0), 0);

    // A writer's exclusive lock makes the file unavailable until released.
    int fd = ::open(file.path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_EQ(PRRReadPRM(file.path().c_str(), 0), nullptr);
    EXPECT_EQ(PRRChecksumPRM(file.path().c_str(), 0), 0);
    ::close(fd);
    d = PRRReadPRM(file.path().c_str(), 0);
    EXPECT_NE(d, nullptr);
    PRRFreePRM(d);
}

TEST(PrmFileTest, LargeAndBinaryFilesReadWithoutHarm) {
    prmtest::TempFile file("");
    // 100 MB of NUL bytes, sparse on disk.
    ASSERT_EQ(::truncate(file.path().c_str(), 100 << 20), 0);
    DeviceParameters *d = PRRReadPRM(file.path().c_str(), 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->blockCount, 0);
    PRRFreePRM(d);

    std::string binary;
    for (int i = 0; i < 200000; ++i) binary += static_cast<char>((i * 7919) >> 3);
    file.Write(binary);
    d = PRRReadPRM(file.path().c_str(), 0);  // may or may not read; must not harm
    PRRFreePRM(d);
}

}  // namespace
