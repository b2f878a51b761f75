// Security flags, checksum, signature read and the autoprocedure with its
// hand-overs, against the virtual target.
#include <algorithm>
#include <random>
#include <string>

#include "e2e_fixture.h"
#include "image_files.h"

using namespace quilltest;

namespace {

constexpr int kPort = 24;

class CommandsTest : public TargetHostTest {
protected:
    CommandsTest() : TargetHostTest(kPort) {}
    LoadFileHandle *Image(uint32_t from, uint32_t to, uint8_t seed) {
        ImageMap image;
        for (uint32_t a = from; a <= to; ++a) image[a] = static_cast<uint8_t>(a * 31 + seed);
        std::mt19937 rng(seed);
        const std::string path = aliasDir + "/img" + std::to_string(seed) + ".hex";
        EXPECT_TRUE(WriteText(path, IntelHex(image, rng, "\r\n")));
        return host->Load(path);
    }
    std::vector<std::string> Texts(const std::vector<Rec> &recs) {
        std::vector<std::string> t;
        for (const auto &r : recs) t.push_back(r.text);
        return t;
    }
    std::vector<Rec> Run(uint32_t message, LoadFileHandle *file = nullptr, AreaRecord area = {PRR_AREA_CHIP, 0, 0, 0, 0}) {
        host->area = area;
        switch (message) {
        case 1127: EXPECT_EQ(PRRFlshEPV(host->h, host->device, &host->area, file, 0), 0); break;
        case 1129: EXPECT_EQ(PRRFlshErase(host->h, host->device, &host->area, 0), 0); break;
        case 1130: EXPECT_EQ(PRRFlshProg(host->h, host->device, &host->area, file, 0), 0); break;
        case 1131: EXPECT_EQ(PRRFlshVerify(host->h, host->device, &host->area, file, 0), 0); break;
        case 1132: EXPECT_EQ(PRRFlshSecurity(host->h, host->device, 0, 0), 0); break;
        case 1133: EXPECT_EQ(PRRFlshChecksum(host->h, host->device, &host->area, file), 0); break;
        case 1134: EXPECT_EQ(PRRFlshSigread(host->h, host->device), 0); break;
        }
        return host->Finish();
    }
    const PRROutcome &outcome() const { return host->outcome; }
};

// The four hex digits inside "...: [XXXX]".
uint16_t BracketedSum(const std::string &text) {
    const size_t open = text.find('[');
    return open == std::string::npos ? 0 : static_cast<uint16_t>(std::stoul(text.substr(open + 1, 4), nullptr, 16));
}

TEST_F(CommandsTest, EachSecurityFlagRefusesItsCommand) {
    struct {
        uint8_t flags;
        uint32_t refused;  // message of the command that must now fail
        AreaRecord area;
        int32_t status;
        int32_t endState;
    } cases[] = {
        {0x01, 1130, {PRR_AREA_BLOCK, 0, 0, 0, 0}, PRR_STATUS_FLASH_WRITE, PRR_STATE_PROGRAM},
        {0x02, 1129, {PRR_AREA_BLOCK, 1, 1, 0, 0}, PRR_STATUS_ILLEGAL_STATUS, PRR_STATE_ERASE},
        {0x04, 1129, {PRR_AREA_CHIP, 0, 0, 0, 0}, PRR_STATUS_ILLEGAL_STATUS, PRR_STATE_ERASE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.flags));
        TearDown();
        SetUp();
        LoadFileHandle *file = Image(0, 0x3FF, 1);
        host->reset.securityFlags = c.flags;
        ASSERT_TRUE(host->ConnectOk());
        ExpectTranscript(Run(1132), {{"Security Flag Set Start...", 10, 0, 0},
                                     {"Send Security Flag...", 6, 0, 30},
                                     {"Internal Verifying...", 6, 0, 60},
                                     {"Security Flag Setting finish!", 6, 0, 100}});
        EXPECT_EQ(outcome().securitySet, 1);
        EXPECT_EQ(outcome().endState, PRR_STATE_SECURITY);
        auto recs = Run(c.refused, file, c.area);
        EXPECT_EQ(recs.back().status, c.status) << Show(recs);
        ExpectFailed(outcome(), c.status, c.endState);
        EXPECT_EQ(outcome().message, c.refused);
        // The other commands still work: the chip erase unless it is the one
        // disabled, the programming unless it is.
        if (c.flags != 0x04) {
            EXPECT_EQ(Run(1129, nullptr, {PRR_AREA_CHIP, 0, 0, 0, 0}).back().status, 0);
        }
    }
}

TEST_F(CommandsTest, ChecksumComparesDeviceAndFile) {
    LoadFileHandle *file = Image(0x100, 0x8FF, 2);
    const AreaRecord block0{PRR_AREA_BLOCK, 0, 0, 0, 0};
    ASSERT_TRUE(host->ConnectOk());
    Run(1129);
    ASSERT_EQ(Run(1130, file, block0).back().text, "Flash Internal Verify OK!");
    auto recs = Run(1133, file, block0);
    ASSERT_EQ(recs.size(), 4u) << Show(recs);
    EXPECT_EQ(recs[0].text, "CheckSum Read Start...");
    // The device line shows the high byte first, like the file line.
    EXPECT_EQ(recs[1].text.substr(0, 18), "DEVICE CHECK SUM: ");
    EXPECT_EQ(recs[1].text.substr(18), recs[2].text.substr(16)) << Show(recs);
    EXPECT_EQ(recs[3].text, "CHECKSUM COMPARE: OK");
    EXPECT_EQ(outcome().checksumCompared, 1);
    EXPECT_EQ(outcome().checksumEqual, 1);
    EXPECT_EQ(outcome().deviceChecksum, BracketedSum(recs[1].text));
    EXPECT_EQ(outcome().fileChecksum, BracketedSum(recs[2].text));
    EXPECT_EQ(outcome().endState, PRR_STATE_CHECKSUM);
    const uint16_t fileSum = outcome().fileChecksum;
    target->sim.flipBit(0x200, 0);
    recs = Run(1133, file, block0);
    EXPECT_EQ(recs.back().text, "CHECKSUM COMPARE: ERROR");
    EXPECT_EQ(recs.back().status, 0) << "a mismatch is reported, not failed";
    ASSERT_EQ(recs.size(), 4u) << Show(recs);
    EXPECT_EQ(outcome().status, PRR_STATUS_OK);
    EXPECT_EQ(outcome().checksumCompared, 1);
    EXPECT_EQ(outcome().checksumEqual, 0);
    EXPECT_EQ(outcome().fileChecksum, fileSum) << "the file did not change";
    EXPECT_EQ(outcome().deviceChecksum, BracketedSum(recs[1].text));
    EXPECT_NE(outcome().deviceChecksum, outcome().fileChecksum);
}

TEST_F(CommandsTest, SignatureOfAUnitFormDevice) {
    target->sim.setSignatureName(std::string("\xD1M17F064AB", 10));  // bit 7 set on the first character
    target->sim.setFirmwareVersion(2, 5);
    ASSERT_TRUE(host->ConnectOk());
    auto recs = Run(1134);
    const auto id = target->sim.config().signatureId;
    char idLine[64];
    std::snprintf(idLine, sizeof idLine, "ID:          0x%02x 0x%02x 0x%02x", id[0], id[1], id[2]);
    ExpectTranscript(recs, {{"Reading Flash Signature...", 10, 0, 0},
                            {idLine, 7, 0, 20},
                            {"END ADDRESS: 0x0000ffff", 7, 0, 30},
                            {"BLK/AREAS:   16", 7, 0, 50},
                            {"NAME:        QM17F064AB", 7, 0, 40},
                            {"F/W    Ver.: 2.05", 7, 0, 100}});
    EXPECT_EQ(outcome().signatureRead, 1);
    EXPECT_EQ(outcome().endState, PRR_STATE_SIGNATURE);
    // The identity reaches callers as values, so nothing has to read it back from the lines.
    EXPECT_EQ(std::vector<uint8_t>(outcome().deviceId, outcome().deviceId + 3),
              std::vector<uint8_t>(id.begin(), id.begin() + 3));
    EXPECT_STREQ(outcome().deviceName, "QM17F064AB");
    EXPECT_STREQ(outcome().deviceVersion, "2.05");
    // The next connect carries the ID bytes in its final record.
    ASSERT_TRUE(host->ConnectOk());
    EXPECT_EQ(std::vector<uint8_t>(host->h->ring[(host->h->writeIndex + 999) % 1000].idBytes,
                                   host->h->ring[(host->h->writeIndex + 999) % 1000].idBytes + 3),
              std::vector<uint8_t>(id.begin(), id.begin() + 3));
    // A block count that differs from the parameter file is warned about.
    host->device->blockCount = 8;
    recs = Run(1134);
    EXPECT_TRUE(Contains(recs, "WARNING: Invalid BLK/AREAS [16]")) << Show(recs);
}

TEST_F(CommandsTest, SignatureOfAnAddressFormDevice) {
    TearDown();
    E2ETest::SetUp();
    Start("demo-addr.prm");
    ASSERT_TRUE(host->ConnectOk());
    auto recs = Run(1134);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.back().state, PRR_STATE_SIGNATURE);
    EXPECT_EQ(recs.back().text.rfind("F/W    Ver.: ", 0), 0u) << Show(recs);
    EXPECT_FALSE(Contains(recs, "BLK/AREAS:   16")) << "the address form carries no block count";
    char end[40];
    std::snprintf(end, sizeof end, "END ADDRESS: 0x%08x", target->sim.flashSize() - 1);
    EXPECT_TRUE(Contains(recs, end)) << Show(recs);
    const std::string nameLine = recs[recs.size() - 2].text;
    EXPECT_EQ(nameLine, "NAME:        " + std::string(outcome().deviceName)) << Show(recs);
    EXPECT_EQ(recs.back().text, "F/W    Ver.: " + std::string(outcome().deviceVersion));
}

TEST_F(CommandsTest, AutoprocedureWithoutOptionsErasesThenPrograms) {
    LoadFileHandle *file = Image(0, 0x1FF, 3);
    target->sim.setFlash(0x3000, {0x00});
    ASSERT_TRUE(host->ConnectOk());
    auto texts = Texts(Run(1127, file, {PRR_AREA_AREA, 0, 0, 0, 0}));  // chip erase, block 0 programmed
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "Flash Erasing...");
    EXPECT_EQ(texts.back(), "Flash Internal Verify OK!");
    EXPECT_TRUE(std::find(texts.begin(), texts.end(), "chip erase finish.") != texts.end());
    EXPECT_EQ(outcome().message, PRR_MSG_AUTOPROCEDURE);
    EXPECT_EQ(outcome().erased, 1);
    EXPECT_EQ(outcome().programmed, 1);
    EXPECT_EQ(outcome().blankChecked + outcome().verified + outcome().checksumCompared + outcome().securitySet, 0)
        << "no option was chosen";
    EXPECT_EQ(target->sim.flash()[0x3000], 0xFF) << "the autoprocedure erases the chip";
}

TEST_F(CommandsTest, AutoprocedureWithEveryOptionOnBlankAndDirtyDevices) {
    LoadFileHandle *file = Image(0, 0xFFF, 4);
    const AreaRecord block0{PRR_AREA_BLOCK, 0, 0, 0, 0};
    host->reset.commandOptions = 0x0F;
    ASSERT_TRUE(host->ConnectOk());
    auto recs = Run(1127, file, block0);
    auto texts = Texts(recs);
    auto has = [&](const char *t) { return std::find(texts.begin(), texts.end(), t) != texts.end(); };
    EXPECT_TRUE(has("all block blank check finish."));
    EXPECT_TRUE(has("skip erase."));
    EXPECT_FALSE(has("Flash Erasing..."));
    EXPECT_TRUE(has("Flash Verifying finish!"));
    EXPECT_TRUE(has("CHECKSUM COMPARE: OK"));
    EXPECT_EQ(texts.back(), "Security Flag Setting finish!") << Show(recs);
    EXPECT_EQ(recs.back().state, PRR_STATE_SECURITY);
    // Every step of the chain, in one outcome.
    auto expectChain = [&](int notBlank) {
        const PRROutcome &o = outcome();
        EXPECT_EQ(o.status, PRR_STATUS_OK);
        EXPECT_EQ(o.endState, PRR_STATE_SECURITY);
        EXPECT_EQ(o.blankChecked, 1);
        EXPECT_EQ(o.notBlank, notBlank);
        EXPECT_EQ(o.erased, notBlank) << "erased only when not blank";
        EXPECT_EQ(o.programmed, 1);
        EXPECT_EQ(o.verified, 1);
        EXPECT_EQ(o.checksumCompared, 1);
        EXPECT_EQ(o.checksumEqual, 1);
        EXPECT_EQ(o.securitySet, 1);
    };
    expectChain(0);

    // Now the device is not blank: blank check, then erase, then the rest.
    recs = Run(1127, file, block0);
    texts = Texts(recs);
    EXPECT_TRUE(has("not blank, then erase."));
    EXPECT_TRUE(has("all block erase finish."));
    EXPECT_EQ(texts.back(), "Security Flag Setting finish!") << Show(recs);
    expectChain(1);
}

TEST_F(CommandsTest, AutoprocedureOnADeviceWithoutBlankCheckStartsWithTheErase) {
    host->device->rangeSet5 &= ~0x02;
    host->reset.commandOptions = 0x01;
    LoadFileHandle *file = Image(0, 0xFF, 5);
    ASSERT_TRUE(host->ConnectOk());
    auto texts = Texts(Run(1127, file, {PRR_AREA_BLOCK, 0, 0, 0, 0}));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "Flash Erasing...");
    EXPECT_EQ(texts.back(), "Flash Internal Verify OK!");
}

TEST_F(CommandsTest, PlainProgramHandsOverAndVerifyAloneDoesNot) {
    LoadFileHandle *file = Image(0, 0x2FF, 6);
    const AreaRecord block0{PRR_AREA_BLOCK, 0, 0, 0, 0};
    host->reset.commandOptions = 0x0A;  // verify and checksum after program
    ASSERT_TRUE(host->ConnectOk());
    Run(1129);
    auto texts = Texts(Run(1130, file, block0));
    ASSERT_GE(texts.size(), 3u);
    EXPECT_TRUE(std::find(texts.begin(), texts.end(), "Flash Verifying finish!") != texts.end());
    EXPECT_EQ(texts.back(), "CHECKSUM COMPARE: OK");
    EXPECT_EQ(outcome().programmed, 1);
    EXPECT_EQ(outcome().verified, 1);
    EXPECT_EQ(outcome().checksumEqual, 1);
    EXPECT_EQ(outcome().endState, PRR_STATE_CHECKSUM);
    // Verify as a command of its own ends after itself.
    texts = Texts(Run(1131, file, block0));
    EXPECT_EQ(texts.back(), "Flash Verifying finish!");
    EXPECT_EQ(outcome().verified, 1);
    EXPECT_EQ(outcome().programmed, 0);
    EXPECT_EQ(outcome().endState, PRR_STATE_VERIFY);
    // Checksum alone does not go on to security even when asked for.
    ASSERT_EQ(PRRFlshCmdOpt(host->h, 0x04), 0);
    texts = Texts(Run(1133, file, block0));
    EXPECT_EQ(texts.back(), "CHECKSUM COMPARE: OK");
}

}  // namespace
