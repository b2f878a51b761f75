// The exports' argument handling: null handles, the security byte, the
// parse-flag write-back, the option byte, the log writer.
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <memory>

#include <gtest/gtest.h>

#include "common/record_collector.h"
#include "quillctl.h"
#include "worker/flash_worker.h"

namespace {

TEST(ApiTest, VersionIs273) { EXPECT_EQ(PRRGetVersion(), 273); }

TEST(ApiTest, NullHandlesAreRefusedWithoutHarm) {
    DeviceParameters d{};
    AreaRecord a{};
    ResetRecord r{};
    EXPECT_EQ(PRRFlshReset(nullptr, &r, &d), 1);
    EXPECT_EQ(PRRFlshCmdOpt(nullptr, 1), 1);
    EXPECT_EQ(PRRFlshEPV(nullptr, &d, &a, nullptr, 0), 1);
    EXPECT_EQ(PRRFlshBlnk(nullptr, &d, &a, 0), 1);
    EXPECT_EQ(PRRFlshErase(nullptr, &d, &a, 0), 1);
    EXPECT_EQ(PRRFlshProg(nullptr, &d, &a, nullptr, 0), 1);
    EXPECT_EQ(PRRFlshVerify(nullptr, &d, &a, nullptr, 0), 1);
    EXPECT_EQ(PRRFlshSecurity(nullptr, &d, 0, 0), 1);
    EXPECT_EQ(PRRFlshChecksum(nullptr, &d, &a, nullptr), 1);
    EXPECT_EQ(PRRFlshSigread(nullptr, &d), 1);
    EXPECT_EQ(PRRFlshAbort(nullptr, &d), 1);
    EXPECT_EQ(PRRFlshClosePort(nullptr), 1);
    EXPECT_EQ(PRRFlshGetProg(nullptr), nullptr);
    EXPECT_EQ(PRRFlshGetOutcome(nullptr, nullptr), 1);
    PRRFlshClose(nullptr);

    // A pointer the library never handed out, and one it closed already, are
    // left alone (the sanitizer builds would see a double free or a stray write).
    auto foreign = std::make_unique<FlashHandle>();
    PRRFlshClose(foreign.get());
    FlashHandle *h = PRRFlshOpen(nullptr, 0, nullptr);
    ASSERT_NE(h, nullptr);
    PRROutcome o{};
    ASSERT_EQ(PRRFlshGetOutcome(h, &o), 0);
    EXPECT_EQ(o.sequenceNumber, 0u) << "nothing finished yet";
    PRRFlshClose(h);
    PRRFlshClose(h);
}

TEST(ApiTest, MissingRecordsAreRefusedAndPostNothing) {
    quilltest::NotifyCounter counter;
    FlashHandle *h = PRRFlshOpen(counter.window(), PRR_MSG_FLASH_RECORD, nullptr);
    ASSERT_NE(h, nullptr);
    DeviceParameters d{};
    AreaRecord a{};
    EXPECT_EQ(PRRFlshReset(h, nullptr, &d), 1);
    EXPECT_EQ(PRRFlshBlnk(h, nullptr, &a, 0), 1);
    EXPECT_EQ(PRRFlshErase(h, &d, nullptr, 0), 1);
    // Abort needs no record; its answer is the only record.
    EXPECT_EQ(PRRFlshAbort(h, nullptr), 0);
    ASSERT_TRUE(counter.WaitFor(1));
    EXPECT_STREQ(PRRFlshGetProg(h)->text, "ABORT ok.");
    PRRFlshClose(h);
    EXPECT_EQ(counter.count(), 1u);
}

TEST(ApiTest, SecurityByteFollowsTheFlags) {
    FlashHandle *h = PRRFlshOpen(nullptr, 0, "security");
    ASSERT_NE(h, nullptr);
    struct {
        uint8_t flags, byte;
    } cases[] = {{0, 0xFF}, {4, 0xF3}, {6, 0xF0}, {7, 0xC0}, {1, 0xCF}, {2, 0xFC}, {3, 0xCC}, {5, 0xC3}};
    uint64_t done = 0;
    DeviceParameters d{};
    for (auto c : cases) {
        ResetRecord r{};
        r.securityFlags = c.flags;
        ASSERT_EQ(PRRFlshReset(h, &r, &d), 0);
        EXPECT_EQ(h->securityByte, c.byte) << "flags " << int(c.flags);
        // Callers issue the next command once this one has ended.
        ASSERT_TRUE(quill::WaitCompletedCommands(h, ++done, 20000));
    }
    PRRFlshClose(h);
}

TEST(ApiTest, ParseFlagsOfTheLastResetAreWrittenBack) {
    FlashHandle *h = PRRFlshOpen(nullptr, 0, nullptr);
    ASSERT_NE(h, nullptr);
    DeviceParameters first{};
    first.parseFlags = 6;
    ResetRecord r{};
    ASSERT_EQ(PRRFlshReset(h, &r, &first), 0);
    ASSERT_TRUE(quill::WaitCompletedCommands(h, 1, 20000));
    DeviceParameters other{};
    other.parseFlags = 1;
    other.blockCount = 9;
    AreaRecord a{PRR_AREA_BLOCK, 1, 2, 0, 0};
    ASSERT_EQ(PRRFlshErase(h, &other, &a, 1), 0);
    EXPECT_EQ(other.parseFlags, 6u) << "the caller's record takes the handle's flags";
    EXPECT_EQ(h->device.parseFlags, 6u);
    EXPECT_EQ(h->device.blockCount, 9);
    EXPECT_EQ(h->area.first, 1);
    EXPECT_EQ(h->autoRange, 1);
    PRRFlshClose(h);
}

TEST(ApiTest, CommandOptionByteAndItsOverwriteByReset) {
    FlashHandle *h = PRRFlshOpen(nullptr, 0, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(PRRFlshCmdOpt(h, 0x10F), 0);
    EXPECT_EQ(h->commandOptions, 0x0F);
    ResetRecord r{};
    r.commandOptions = 0x02;
    DeviceParameters d{};
    ASSERT_EQ(PRRFlshReset(h, &r, &d), 0);
    EXPECT_EQ(h->commandOptions, 0x02);
    EXPECT_EQ(h->commandSet, 0);
    EXPECT_EQ(h->port, PRR_INVALID_PORT);
    PRRFlshClose(h);
}

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(ApiTest, LogWriteAppendsExactlyAndCutsAt255) {
    char dir[] = "/tmp/quill-logXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/run.log";
    PRRLogWrite(path.c_str(), "a%d", 1);
    PRRLogWrite(path.c_str(), "%s\n", "b");
    PRRLogWrite(nullptr, "ignored");
    EXPECT_EQ(ReadAll(path), "a1b\n");
    std::string longText(400, 'x');
    PRRLogWrite(path.c_str(), "%s", longText.c_str());
    EXPECT_EQ(ReadAll(path).size(), 4u + 255u);
    PRRLogWrite((std::string(dir) + "/no/such/dir.log").c_str(), "x");  // silently nothing
    unlink(path.c_str());
    rmdir(dir);
}

TEST(ApiTest, StatusTexts) {
    EXPECT_STREQ(PRRStatusText(0), "No ERROR.");
    EXPECT_STREQ(PRRStatusText(24), "ERROR: COM port read error!");
    EXPECT_STREQ(PRRStatusText(25), "");
    EXPECT_STREQ(PRRStatusText(-1), "");
}

}  // namespace

namespace {

// The idle message follows each finished command, after its records.
TEST(ApiTest, IdleMessageFollowsEachFinishedCommand) {
    struct Seen {
        std::mutex m;
        std::condition_variable cv;
        std::vector<uint32_t> messages;
    } seen;
    PRRWindow window{[](PRRWindow *self, uint32_t message) {
                         auto *s = static_cast<Seen *>(self->context);
                         std::lock_guard<std::mutex> lock(s->m);
                         s->messages.push_back(message);
                         s->cv.notify_all();
                     },
                     &seen};
    FlashHandle *h = PRRFlshOpen(&window, PRR_MSG_FLASH_RECORD, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(PRRFlshSetIdleMessage(nullptr, 1), 1);
    ASSERT_EQ(PRRFlshSetIdleMessage(h, 3000), 0);
    DeviceParameters d{};
    AreaRecord a{PRR_AREA_CHIP, 0, 0, 0, 0};
    ASSERT_EQ(PRRFlshAbort(h, nullptr), 0);
    ASSERT_EQ(PRRFlshErase(h, &d, &a, 0), 0);  // no port: one failure record
    {
        std::unique_lock<std::mutex> lock(seen.m);
        ASSERT_TRUE(seen.cv.wait_for(lock, std::chrono::seconds(20), [&] { return seen.messages.size() >= 4; }));
        EXPECT_EQ(seen.messages,
                  (std::vector<uint32_t>{PRR_MSG_FLASH_RECORD, 3000, PRR_MSG_FLASH_RECORD, 3000}));
    }
    PRRFlshClose(h);
}

}  // namespace
