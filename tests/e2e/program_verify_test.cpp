// Program and verify against the virtual target: the target's flash must
// hold exactly the image over the programmed range, and verify must agree.
#include <algorithm>
#include <random>
#include <thread>

#include "e2e_fixture.h"
#include "image_files.h"

using namespace quilltest;
using quillsim::FaultKind;
using quillsim::Fault;

namespace {

constexpr int kPort = 23;
constexpr uint32_t kDeviceSize = 0x10000;
constexpr uint32_t kBlock = 0x1000;

class ProgramVerifyTest : public TargetHostTest {
public:
    ProgramVerifyTest() : TargetHostTest(kPort) {}

    LoadFileHandle *LoadImage(const ImageMap &image, std::mt19937 &rng, bool srec) {
        const char *eols[] = {"\r\n", "\n", "\r"};
        const char *eol = eols[rng() % 3];
        const std::string path = aliasDir + "/image" + std::to_string(files_++) + (srec ? ".s19" : ".hex");
        EXPECT_TRUE(WriteText(path, srec ? SRecords(image, rng, eol) : IntelHex(image, rng, eol)));
        return host->Load(path);
    }

    std::vector<Rec> Command(uint32_t message, LoadFileHandle *file, int mode, int first, int last, int autoRange) {
        host->area = AreaRecord{mode, first, last, 0, 0};
        switch (message) {
        case 1130: EXPECT_EQ(PRRFlshProg(host->h, host->device, &host->area, file, autoRange), 0); break;
        case 1131: EXPECT_EQ(PRRFlshVerify(host->h, host->device, &host->area, file, autoRange), 0); break;
        case 1129: EXPECT_EQ(PRRFlshErase(host->h, host->device, &host->area, autoRange), 0); break;
        case 1127: EXPECT_EQ(PRRFlshEPV(host->h, host->device, &host->area, file, autoRange), 0); break;
        case 1133: EXPECT_EQ(PRRFlshChecksum(host->h, host->device, &host->area, file), 0); break;
        }
        return host->Finish();
    }

    // Flash after programming `image` over first..last (addresses): image
    // bytes inside the range, 0xFF everywhere else.
    static std::vector<uint8_t> Expected(const ImageMap &image, uint32_t first, uint32_t last) {
        std::vector<uint8_t> f(kDeviceSize, 0xFF);
        for (const auto &[a, b] : image)
            if (a >= first && a <= last) f[a] = b;
        return f;
    }

    int files_ = 0;
};

ImageMap RandomImage(std::mt19937 &rng, uint32_t limit) {
    ImageMap image;
    const int segments = 1 + static_cast<int>(rng() % 3);
    for (int s = 0; s < segments; ++s) {
        const uint32_t length = 1 + rng() % 2500;
        const uint32_t start = rng() % (limit - length);
        for (uint32_t i = 0; i < length; ++i) image[start + i] = static_cast<uint8_t>(rng());
    }
    return image;
}

// Erase, then program with verify as its follow-on, over random images and
// selections; the flash must match and verify must pass.
void RandomImages(ProgramVerifyTest &t, Host &host, quillsim::VirtualTarget &sim, int count, uint32_t seed,
                  LoadFileHandle *(ProgramVerifyTest::*load)(const ImageMap &, std::mt19937 &, bool)) {
    std::mt19937 rng(seed);
    host.reset.commandOptions = 0x02;  // verify after program
    ASSERT_TRUE(host.ConnectOk());
    int verified = 0;
    for (int i = 0; i < count; ++i) {
        // Mostly images inside the first 16 KiB, so a run stays short; some anywhere.
        const ImageMap image = RandomImage(rng, i % 10 == 0 ? kDeviceSize : 0x4000);
        const bool srec = rng() % 2;
        LoadFileHandle *file = (t.*load)(image, rng, srec);
        ASSERT_NE(file, nullptr);
        const int autoRange = rng() % 2;
        const uint32_t lo = image.begin()->first, hi = image.rbegin()->first;
        int mode = PRR_AREA_BLOCK, first = 0, last = 0;
        uint32_t rangeFirst, rangeLast;
        if (autoRange) {
            // The range follows the image: whole blocks around its extent
            // (the extent rounds its end up to 256 bytes).
            rangeFirst = (lo & ~0xFu) / kBlock * kBlock;
            const uint32_t length = ((hi - (lo & ~0xFu) + 256) / 256) * 256;
            rangeLast = std::min<uint32_t>(((lo & ~0xFu) + length - 1) / kBlock * kBlock + kBlock - 1, kDeviceSize - 1);
        } else if (i % 25 == 0) {
            mode = PRR_AREA_CHIP;
            rangeFirst = 0;
            rangeLast = kDeviceSize - 1;
        } else {
            // Blocks around the image, sometimes cutting it on either side.
            first = static_cast<int>(lo / kBlock) + (rng() % 4 == 0 ? 1 : 0);
            last = static_cast<int>(hi / kBlock) - (rng() % 4 == 0 ? 1 : 0);
            first = std::min(first, 15);
            last = std::max(last, first);
            rangeFirst = first * kBlock;
            rangeLast = last * kBlock + kBlock - 1;
        }
        SCOPED_TRACE("image " + std::to_string(i) + (srec ? " srec" : " hex") + (autoRange ? " auto" : "") +
                     " mode " + std::to_string(mode) + " blocks " + std::to_string(first) + "-" +
                     std::to_string(last));
        host.area = AreaRecord{PRR_AREA_CHIP, 0, 0, 0, 0};
        ASSERT_EQ(PRRFlshErase(host.h, host.device, &host.area, 0), 0);
        auto erased = host.Finish();
        ASSERT_EQ(erased.back().text, "chip erase finish.");
        host.area = AreaRecord{mode, first, last, 0, 0};
        ASSERT_EQ(PRRFlshProg(host.h, host.device, &host.area, file, autoRange), 0);
        auto recs = host.Finish();
        ASSERT_FALSE(recs.empty());
        EXPECT_EQ(recs.back().text, "Flash Verifying finish!") << Show(recs);
        EXPECT_EQ(recs.back().status, 0);
        EXPECT_EQ(host.outcome.programmed, 1);
        EXPECT_EQ(host.outcome.verified, 1);
        const auto flash = sim.flash();
        const auto want = ProgramVerifyTest::Expected(image, rangeFirst, rangeLast);
        ASSERT_EQ(flash.size(), want.size());
        size_t wrong = 0;
        for (size_t a = 0; a < flash.size(); ++a) wrong += flash[a] != want[a];
        EXPECT_EQ(wrong, 0u) << "bytes differing from the image";
        if (wrong == 0 && recs.back().status == 0) ++verified;
    }
    std::printf("%d of %d random images programmed byte-exact and verified\n", verified, count);
}

#ifdef QUILLROM_LONG_SUITE
class ProgramVerifyLongTest : public ProgramVerifyTest {};
TEST_F(ProgramVerifyLongTest, TwoHundredRandomImages) {
    RandomImages(*this, *host, target->sim, 200, 20261208, &ProgramVerifyTest::LoadImage);
}
#else
TEST_F(ProgramVerifyTest, RandomImagesProgramAndVerify) {
    RandomImages(*this, *host, target->sim, 24, 1234, &ProgramVerifyTest::LoadImage);
}

TEST_F(ProgramVerifyTest, FlippedBitMakesVerifyFail) {
    std::mt19937 rng(7);
    ImageMap image;
    for (uint32_t a = 0x1000; a < 0x1800; ++a) image[a] = static_cast<uint8_t>(a * 3);
    LoadFileHandle *file = LoadImage(image, rng, false);
    ASSERT_TRUE(host->ConnectOk());
    Command(1129, nullptr, PRR_AREA_CHIP, 0, 0, 0);
    auto recs = Command(1130, file, PRR_AREA_BLOCK, 1, 1, 0);
    ASSERT_EQ(recs.back().text, "Flash Internal Verify OK!");
    ExpectTranscript(Command(1131, file, PRR_AREA_BLOCK, 1, 1, 0),
                     {{"Flash Verifying Start...", 10, 0, 0},
                      {"Flash Verifying <10%>...", 4, 0, 10},
                      {"Flash Verifying <20%>...", 4, 0, 20},
                      {"Flash Verifying <30%>...", 4, 0, 30},
                      {"Flash Verifying <40%>...", 4, 0, 40},
                      {"Flash Verifying <50%>...", 4, 0, 50},
                      {"Flash Verifying <60%>...", 4, 0, 60},
                      {"Flash Verifying <70%>...", 4, 0, 70},
                      {"Flash Verifying <80%>...", 4, 0, 80},
                      {"Flash Verifying <90%>...", 4, 0, 90},
                      {"Flash Verifying finish!", 4, 0, 100}});
    EXPECT_EQ(host->outcome.verified, 1);
    target->sim.flipBit(0x1234, 3);
    recs = Command(1131, file, PRR_AREA_BLOCK, 1, 1, 0);
    EXPECT_EQ(recs.back().text, "ERROR: Flash verify error!");
    EXPECT_EQ(recs.back().status, PRR_STATUS_VERIFY);
    EXPECT_EQ(recs.back().state, PRR_STATE_VERIFY);
    ExpectFailed(host->outcome, PRR_STATUS_VERIFY, PRR_STATE_VERIFY);
}

TEST_F(ProgramVerifyTest, ImageCutAtTheSelectionAndSelectionStartingInsideTheImage) {
    std::mt19937 rng(8);
    ImageMap image;
    for (uint32_t a = 0x0800; a < 0x2800; ++a) image[a] = static_cast<uint8_t>(a ^ 0x5A);
    LoadFileHandle *file = LoadImage(image, rng, true);
    ASSERT_TRUE(host->ConnectOk());
    Command(1129, nullptr, PRR_AREA_CHIP, 0, 0, 0);
    auto recs = Command(1130, file, PRR_AREA_BLOCK, 1, 1, 0);
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(std::count_if(recs.begin(), recs.end(),
                            [](const Rec &r) {
                                return r.text == "Since the address of HEX was over the specification range, it cut.";
                            }),
              1);
    EXPECT_EQ(recs.back().text, "Flash Internal Verify OK!");
    EXPECT_EQ(target->sim.flash(), Expected(image, 0x1000, 0x1FFF)) << "only block 1, from inside the image";
}

TEST_F(ProgramVerifyTest, WriteFailureAtByteNEndsWith18) {
    std::mt19937 rng(9);
    ImageMap image;
    for (uint32_t a = 0; a < 0x900; ++a) image[a] = 0x00;
    LoadFileHandle *file = LoadImage(image, rng, false);
    ASSERT_TRUE(host->ConnectOk());
    Command(1129, nullptr, PRR_AREA_CHIP, 0, 0, 0);
    Fault fail;
    fail.kind = FaultKind::WriteFail;
    fail.status = 0x1E;
    fail.byte = 700;
    target->sim.addFault(fail);
    auto recs = Command(1130, file, PRR_AREA_BLOCK, 0, 0, 0);
    EXPECT_EQ(recs.back().text, "ERROR: Flash write error!");
    EXPECT_EQ(recs.back().state, PRR_STATE_PROGRAM);
    ExpectFailed(host->outcome, PRR_STATUS_FLASH_WRITE, PRR_STATE_PROGRAM);
    // The handle recovers: the next program works.
    recs = Command(1130, file, PRR_AREA_BLOCK, 0, 0, 0);
    EXPECT_EQ(recs.back().text, "Flash Internal Verify OK!") << Show(recs);
    EXPECT_EQ(host->outcome.status, PRR_STATUS_OK);
    EXPECT_EQ(host->outcome.programmed, 1);
}

TEST_F(ProgramVerifyTest, RefusedCommandAndAbortBetweenChunks) {
    std::mt19937 rng(10);
    ImageMap image;
    for (uint32_t a = 0; a < 0x4000; ++a) image[a] = static_cast<uint8_t>(a);
    LoadFileHandle *file = LoadImage(image, rng, false);
    ASSERT_TRUE(host->ConnectOk());
    Command(1129, nullptr, PRR_AREA_CHIP, 0, 0, 0);
    host->area = AreaRecord{PRR_AREA_BLOCK, 0, 3, 0, 0};
    ASSERT_EQ(PRRFlshProg(host->h, host->device, &host->area, file, 0), 0);
    // Wait until programming is under way, then refuse a command and abort.
    Rec r{};
    do {
        ASSERT_TRUE(host->records.Next(host->h, r));
    } while (r.text != "Flash Programming <10%>...");
    ASSERT_EQ(PRRFlshSigread(host->h, host->device), 0);
    ASSERT_EQ(PRRFlshAbort(host->h, host->device), 0);
    auto recs = host->Finish();
    ASSERT_GE(recs.size(), 2u);
    EXPECT_TRUE(Contains(recs, "ERROR: sequence error, please Aborted current sequence."));
    EXPECT_EQ(recs.back().text, "Sequence Aborted.");
    EXPECT_FALSE(Contains(recs, "Flash Programming finish!"));
    EXPECT_EQ(host->outcome.message, PRR_MSG_PROGRAM);
    EXPECT_EQ(host->outcome.aborted, 1);
    EXPECT_EQ(host->outcome.refused, 1) << "the signature read sent while busy";
    EXPECT_EQ(host->outcome.programmed, 0);
    EXPECT_EQ(host->outcome.endState, PRR_STATE_PROGRAM);
    EXPECT_EQ(target->sim.observedBaud(), 9600u);
}

TEST_F(ProgramVerifyTest, TwoHandlesProgramTwoTargetsAtOnce) {
    Target second(SamplePath("demo.prm"), kPort + 10, aliasDir);
    Host other(SamplePath("demo.prm"), kPort + 10);
    std::mt19937 rng(11);
    ImageMap a, b;
    for (uint32_t x = 0; x < 0x2000; ++x) {
        a[x] = static_cast<uint8_t>(x * 7);
        b[x] = static_cast<uint8_t>(~x * 13);
    }
    LoadFileHandle *fa = LoadImage(a, rng, false);
    LoadFileHandle *fb = LoadImage(b, rng, true);
    ASSERT_TRUE(host->ConnectOk());
    ASSERT_TRUE(other.ConnectOk());
    AreaRecord blocks{PRR_AREA_BLOCK, 0, 1, 0, 0};
    ASSERT_EQ(PRRFlshProg(host->h, host->device, &blocks, fa, 0), 0);
    ASSERT_EQ(PRRFlshProg(other.h, other.device, &blocks, fb, 0), 0);
    auto ra = host->Finish();
    auto rb = other.Finish();
    EXPECT_EQ(ra.back().text, "Flash Internal Verify OK!");
    EXPECT_EQ(rb.back().text, "Flash Internal Verify OK!");
    EXPECT_EQ(host->outcome.programmed, 1);
    EXPECT_EQ(other.outcome.programmed, 1);
    EXPECT_EQ(target->sim.flash(), Expected(a, 0, 0x1FFF));
    EXPECT_EQ(second.sim.flash(), Expected(b, 0, 0x1FFF));
}

TEST_F(ProgramVerifyTest, ImageOutsideEveryBlockWithAutoRangeEndsWith17) {
    std::mt19937 rng(12);
    ImageMap image;
    for (uint32_t a = 0x10000; a < 0x10100; ++a) image[a] = 1;
    LoadFileHandle *file = LoadImage(image, rng, false);
    ASSERT_TRUE(host->ConnectOk());
    ExpectTranscript(Command(1130, file, PRR_AREA_CHIP, 0, 0, 1),
                     {{"ERROR: Address of HEX & Setting is not correct error!", 10, 17, 100}});
    ExpectFailed(host->outcome, PRR_STATUS_ADDRESS_MISMATCH, PRR_STATE_PROGRAM);
}

TEST_F(ProgramVerifyTest, ProgramWithoutAReadyImageEndsWith1) {
    ASSERT_TRUE(host->ConnectOk());
    ExpectTranscript(Command(1130, nullptr, PRR_AREA_CHIP, 0, 0, 0), {{"ERROR: Not Initialized!", 10, 1, 100}});
    ExpectFailed(host->outcome, PRR_STATUS_NOT_INITIALIZED, PRR_STATE_PROGRAM);
    ExpectTranscript(Command(1130, nullptr, PRR_AREA_BLOCK, 3, 2, 0), {{"ERROR: Illegal parameter!", 10, 3, 100}});
    ExpectFailed(host->outcome, PRR_STATUS_ILLEGAL_PARAMETER, PRR_STATE_PROGRAM);
}
#endif

}  // namespace
