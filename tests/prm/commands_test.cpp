// PMT lines, payload layouts, SEQ and the data tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "prm_support.h"

namespace {

using prmtest::Lines;
using prmtest::Read;

const CommandSlot &SlotOf(const DeviceParameters &d, int set, int slot) { return d.commandSets[set][slot]; }

TEST(PmtTest, PlaceholderAndOptionRules) {
    auto d = Read(Lines({"PMT = 20 12 FF 0100 0200", "PMT = 21 11 0100 0200", "PMT = 22 0E - 0300 0400",
                         "PMT = 20 09 00 1234"}));
    ASSERT_TRUE(d);
    const CommandSlot &s2 = SlotOf(*d, 0, 2);
    EXPECT_EQ(s2.commandType, 0x12);
    EXPECT_EQ(s2.commandOption, 0xFF);
    EXPECT_EQ(s2.payload.w2.words[0], 0x0100);
    EXPECT_EQ(s2.payload.w2.words[1], 0x0200);
    // Without a placeholder the first payload value is taken as the option.
    const CommandSlot &s1 = SlotOf(*d, 0, 1);
    EXPECT_EQ(s1.commandOption, 0xFF);
    EXPECT_EQ(s1.payload.w2.words[0], 0x0200);
    EXPECT_EQ(s1.payload.w2.words[1], 0);
    EXPECT_EQ(SlotOf(*d, 0, 18).payload.w2.words[1], 0x0400);
    // Type 0x09 is accepted and stored nowhere.
    for (const auto &set : d->commandSets)
        for (const auto &slot : set) EXPECT_NE(slot.commandType, 0x09);
}

TEST(PmtTest, LaterLineKeepsWhatItDoesNotGive) {
    auto d = Read(Lines({"[Commands 2]", "PMT = 40 04 00 11111111 0001 0002 0003", "PMT = 41 04 00 ABC 0009"}));
    ASSERT_TRUE(d);
    const PRRPayloadL10 &p = SlotOf(*d, 2, 10).payload.l10;
    EXPECT_EQ(SlotOf(*d, 2, 10).commandCode, 0x41);
    EXPECT_EQ(p.long1, 0x11111111u);
    EXPECT_EQ(p.words[0], 0x0009);
    EXPECT_EQ(p.words[1], 0x0002);
    EXPECT_EQ(p.words[2], 0x0003);
}

TEST(PmtTest, EveryLayoutTakesItsValuesInOrder) {
    auto d = Read(Lines({
        "PMT = 01 00 00 0001 0002 0003 0004 0005 0006 0007 0008 0009",
        "PMT = 01 01 00 -12 0325 0001 0002 0003 0004 0005 0006 0007 0008 0009 000A 000B 8001",
        "PMT = 01 03 00 01020304 1603 0002 0003 0004 0005 0006 0007 0008 0009 000A 000B 000C",
        "PMT = 01 05 00 01020304 8001 0002 0003 0004 0005 0006",
        "PMT = 01 06 00 01020304 05060708 0001 0002 0003 0004 0005 0006 0007 0008 0009",
        "PMT = 01 07 00 01020304 05060708 8002 0064",
        "PMT = 01 08 00 0001 0002 01020304 0003 0004 0005 0006",
        "PMT = 01 0C 00 0001 0002 0003",
        "PMT = 01 0F 00 0001 0002 0003 0004 0005 0006 0007 0008 0009 0010 0011 0012",
        "PMT = 01 13 00 1503 4003 0150 5001 0005 7F 0020",
        "PMT = 01 14 00 2504 0007",
        "PMT = 01 15 00 0500 0003",
    }));
    ASSERT_TRUE(d);
    const auto &s = d->commandSets[0];
    EXPECT_EQ(s[6].payload.w9.words[8], 9);
    EXPECT_EQ(s[7].payload.nv12.number, -12);
    EXPECT_DOUBLE_EQ(s[7].payload.nv12.value, 3.25);
    EXPECT_EQ(s[7].payload.nv12.words[11], 0x8001);
    EXPECT_EQ(s[9].payload.l12.long1, 0x01020304u);
    EXPECT_EQ(s[9].payload.l12.words[11], 0x000C);
    EXPECT_EQ(s[11].payload.l6.words[5], 0x0006);
    EXPECT_EQ(s[12].payload.ll9.long2, 0x05060708u);
    EXPECT_EQ(s[12].payload.ll9.words[8], 9);
    EXPECT_EQ(s[13].payload.ll2.words[1], 0x0064);
    EXPECT_EQ(s[14].payload.wwl4.word2, 2);
    EXPECT_EQ(s[14].payload.wwl4.long1, 0x01020304u);
    EXPECT_EQ(s[14].payload.wwl4.words[3], 6);
    EXPECT_EQ(s[16].payload.w3.words[2], 3);
    EXPECT_EQ(s[19].payload.w12.words[9], 0x0010);
    const PRRPayloadTIMES &t = s[3].payload.times;
    EXPECT_DOUBLE_EQ(t.time1, 150.0);  // "1503": 150000 x 0.001
    EXPECT_DOUBLE_EQ(t.time2, 400.0);
    EXPECT_DOUBLE_EQ(t.value3, static_cast<double>(1.0f + 50.0f * 0.01f));
    EXPECT_DOUBLE_EQ(t.time4, 500 * 10 * 0.000001);
    EXPECT_EQ(t.byte6, 0x7F);
    EXPECT_EQ(t.word7, 0x0020);
    EXPECT_DOUBLE_EQ(s[4].payload.micro.micro, 250 * 10000 * 0.000001);
    EXPECT_EQ(s[4].payload.micro.word, 7);
    EXPECT_DOUBLE_EQ(s[5].payload.volt.voltage, 5.0);
}

TEST(SeqTest, FourthValueDependsOnParseFlagBit0) {
    const std::string seq = "PMT = 51 10 00 01 7F 02 05 06 07 41 42 C3 4";
    auto clear = Read(Lines({"FNAME = A 0412", seq}));
    auto set = Read(Lines({"FNAME = A 0413", seq}));
    ASSERT_TRUE(clear && set);
    const PRRPayloadSEQ &a = clear->commandSets[0][0].payload.seq;
    EXPECT_EQ(a.b4, 0);
    EXPECT_EQ(a.combined, 0x05u | 0x06u << 7 | 0x07u << 14);
    EXPECT_STREQ(reinterpret_cast<const char *>(a.text), "ABC");  // C3 & 7F, ended by "4"
    const PRRPayloadSEQ &b = set->commandSets[0][0].payload.seq;
    EXPECT_EQ(b.b4, 0x05);
    EXPECT_EQ(b.combined, 0x06u | 0x07u << 7 | 0x41u << 14);
    EXPECT_STREQ(reinterpret_cast<const char *>(b.text), "BC");
}

TEST(SeqTest, AlwaysWritesCombinedAndStringWithinRoom) {
    std::string longSeq = "PMT = 51 10 00 01 02 03 00 00 00";
    for (int i = 0; i < 40; ++i) longSeq += " 41";
    auto d = Read(Lines({longSeq, "PMT = 52 10 00 09"}));
    ASSERT_TRUE(d);
    const PRRPayloadSEQ &q = d->commandSets[0][0].payload.seq;
    EXPECT_EQ(q.b1, 0x09);
    EXPECT_EQ(q.b2, 0x02);  // not given by the later line
    EXPECT_EQ(q.combined, 0u);
    EXPECT_EQ(q.text[0], 0);
    auto full = Read(Lines({longSeq}));
    EXPECT_EQ(std::strlen(reinterpret_cast<const char *>(full->commandSets[0][0].payload.seq.text)), 31u);
}

TEST(SeqTest, AddressFormFlag) {
    struct {
        const char *seq;
        bool address;
    } cases[] = {
        {"01 7F 02", true},       {"01 7F 01 00 00 04", true}, {"01 7F 01 FF FF 03", false},
        {"01 7E 02", false},      {"01 7F 03", false},
    };
    for (auto c : cases) {
        auto d = Read(Lines({"[Commands 1]", std::string("PMT = 51 10 00 ") + c.seq}));
        ASSERT_TRUE(d);
        EXPECT_EQ((d->parseFlags & PRR_PARSE_ADDRESS_FORM) != 0, c.address) << c.seq;
    }
    // Only sets below commandSetCount are looked at.
    auto d = Read(Lines({"[Commands 1]", "PMT = 51 10 00 01 7F 02", "[STable 0]"}));
    EXPECT_EQ(d->parseFlags & PRR_PARSE_ADDRESS_FORM, 0u);
}

TEST(TableTest, PairsCounterAndRoom) {
    auto d = Read(Lines({"[STable 0]", "DB0102ZZ03", "DB01 02", "DB", "[DTable 3]", "  DBAABB", "DBCC",
                         "[STable 0]", "DB77"}));
    ASSERT_TRUE(d);
    // The second [STable 0] resets the counter.
    const uint8_t s0[] = {0x77, 0x02, 0x03, 0x01, 0x00};
    EXPECT_EQ(std::memcmp(d->sTableData[0], s0, sizeof s0), 0);
    EXPECT_EQ(d->dTableData[3][0], 0xAA);
    EXPECT_EQ(d->dTableData[3][2], 0xCC);

    std::string many = "DB";
    for (int i = 0; i < 125; ++i) many += "5A";
    auto full = Read(Lines({"[STable 7]", many, many, "[DTable 7]", many, many, many}));
    ASSERT_TRUE(full);
    EXPECT_EQ(full->sTableData[7][PRR_STABLE_BYTES - 1], 0x5A);
    EXPECT_EQ(full->dTableData[7][PRR_DTABLE_BYTES - 1], 0x5A);
    EXPECT_EQ(full->deviceChecksum, 0u);  // nothing spilled past the tables
}

}  // namespace
