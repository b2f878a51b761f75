// The load-file handle through its exports: the worker's records, the image,
// refused files, files that change under the worker, quit, and the accessors.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "load_test_util.h"
#include "loadfile/load_image.h"
#include "loadfile/load_worker.h"

using namespace quilltest;

namespace {

constexpr auto kWait = std::chrono::seconds(20);
const std::string kIntelExample = ":020000040001F9\r\n:0400100012345678D8\r\n:00000001FF\r\n";

class LoadWorkerTest : public ::testing::Test {
protected:
    void TearDown() override { quill::SetLoadPassHookForTesting(nullptr); }
    ScratchDir dir_;
};

TEST_F(LoadWorkerTest, SuccessReportsEveryStepAndBuildsTheImage) {
    const std::string path = dir_.Write("example.hex", kIntelExample);
    // 2023-11-14 22:13:20 UTC is 2023-11-15 07:13:20 in a zone 9 hours east.
    const struct timeval times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0);
    const char *oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    ::setenv("TZ", "JST-9", 1);
    ::tzset();
    LoadRecords records;
    LoadFileHandle *h = PRRHexOpen(path.c_str(), records.window(), PRR_MSG_LOADFILE_RECORD, "aux.txt");
    oldTz ? ::setenv("TZ", savedTz.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
    ASSERT_NE(h, nullptr);

    const auto got = records.UntilFinal(h);
    const struct {
        int32_t state;
        int32_t percent;
        const char *text;
    } expected[] = {{1, 80, "buffering...OK"},
                    {2, 83, "address scan..."},
                    {3, 86, "make temporary..."},
                    {4, 90, "make binary..."},
                    {5, 100, "Success read HEX file."}};
    ASSERT_EQ(got.size(), std::size(expected));
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].state, expected[i].state);
        EXPECT_EQ(got[i].percent, expected[i].percent);
        EXPECT_STREQ(got[i].text, expected[i].text);
        EXPECT_EQ(got[i].status, 0);
        EXPECT_EQ(got[i].percentTotal, 100);
    }
    EXPECT_EQ(records.counter().lastMessage(), PRR_MSG_LOADFILE_RECORD);
    for (const LoadProgressRecord *r : {&got[0], const_cast<const LoadProgressRecord *>(&h->ring[PRR_RING_SIZE - 1])}) {
        EXPECT_EQ(r->fileYear, 2023);
        EXPECT_EQ(r->fileMonth, 11);
        EXPECT_EQ(r->fileDay, 15);
        EXPECT_EQ(r->fileHour, 7);
        EXPECT_EQ(r->fileMinute, 13);
        EXPECT_EQ(r->fileSecond, 20);
    }
    EXPECT_EQ(quill::LoadReadState(h), PRR_LOAD_READY);
    EXPECT_STREQ(h->loadFilePath, path.c_str());
    EXPECT_STREQ(h->auxPath, "aux.txt");
    EXPECT_EQ(h->fileSize, kIntelExample.size());
    EXPECT_EQ(h->lowestAddress, 0x10010u);
    EXPECT_EQ(h->highestAddress, 0x10013u);
    EXPECT_EQ(h->imageEnd, 0x10013u);
    EXPECT_EQ(h->imageChecksum, 0xFEEC);
    uint32_t start = 0, length = 0;
    ASSERT_EQ(quill::LoadImageExtent(h, &start, &length), 0);
    EXPECT_EQ(start, 0x10010u);
    EXPECT_EQ(length, 256u);
    const uint8_t *image = quill::LoadImageBytes(h);
    ASSERT_EQ(image, h->imageBuffer);
    EXPECT_EQ(image[0x10012], 0x56);
    EXPECT_EQ(image[0x1000F], 0xFF);
    EXPECT_EQ(image[0], 0xFF);
    PRRHexClose(h);
    EXPECT_EQ(records.counter().count(), 5u);
}

TEST_F(LoadWorkerTest, BadFilesEndWithTheFailureRecord) {
    std::string garbage(10 * 1000 * 1000, '\0');
    std::mt19937 rng(4);
    for (char &c : garbage) {
        c = static_cast<char>(rng());
        if (c == ':' || c == 'S') c = '?';  // no second record can start
    }
    garbage[0] = ':';
    struct Case {
        const char *name;
        std::string text;
        int32_t status;
    } cases[] = {
        {"no end record", Intel(0, 0, {1}) + "\r\n", PRR_STATUS_ILLEGAL_FILE_TYPE},
        {"truncated record", Intel(0, 0, {1, 2}) + "\r\n:0400", PRR_STATUS_ILLEGAL_FILE_TYPE},
        {"stray character", Intel(0, 0, {1}) + "\r\n\r\n:00000001FF\r\n", PRR_STATUS_ILLEGAL_FILE_TYPE},
        {"no data record", "S0030000FC\r\n:00000001FF\r\n", PRR_STATUS_ILLEGAL_FILE_TYPE},
        {"malformed address record", ":02000004002000DA\r\n:0100000001FE\r\n:00000001FF\r\n", PRR_STATUS_ILLEGAL_FILE_TYPE},
        {"10 MB of garbage", garbage, PRR_STATUS_ILLEGAL_FILE_TYPE},
        {"data at 0x200000", ":020000040020DA\r\n:0100000001FE\r\n:00000001FF\r\n", PRR_STATUS_ILLEGAL_PARAMETER},
        {"data running past 0x1FFFFF", SRec(3, 4, 0x1FFFFE, {1, 2, 3}) + "\n" + SRec(7, 4, 0, {}),
         PRR_STATUS_ILLEGAL_PARAMETER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LoadRecords records;
        LoadFileHandle *h = PRRHexOpen(dir_.Write("bad", c.text).c_str(), records.window(), 2024, nullptr);
        ASSERT_NE(h, nullptr);
        const auto got = records.UntilFinal(h);
        ASSERT_EQ(got.size(), 4u);  // buffering, scan, temporary, failure
        EXPECT_EQ(got[2].percent, 86);
        EXPECT_EQ(got[3].state, 5);
        EXPECT_EQ(got[3].status, c.status);
        EXPECT_EQ(got[3].percent, 0);
        EXPECT_EQ(got[3].percentTotal, 0);
        EXPECT_STREQ(got[3].text, "Error read HEX file.");
        EXPECT_EQ(quill::LoadReadState(h), PRR_LOAD_FAILED);
        EXPECT_EQ(quill::LoadImageExtent(h, nullptr, nullptr), 1);
        EXPECT_EQ(quill::LoadImageBytes(h), nullptr);
        PRRHexClose(h);
    }
}

TEST_F(LoadWorkerTest, OpenRefusesWhatCannotBeALoadFile) {
    const std::string fifo = dir_.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string longName(300, 'x');
    const std::string cases[] = {
        dir_.path() + "/missing.hex",
        dir_.Write("empty.hex", ""),
        dir_.path(),  // a directory
        dir_.Write("space.hex", " " + kIntelExample),
        dir_.Write("bom.hex", "\xEF\xBB\xBF" + kIntelExample),
        fifo,
        dir_.Write(longName.substr(0, 255 - dir_.path().size()), kIntelExample),  // a 256-character path
    };
    for (const std::string &path : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(PRRHexOpen(path.c_str(), nullptr, 2024, nullptr), nullptr);
    }
    EXPECT_EQ(PRRHexOpen(nullptr, nullptr, 2024, nullptr), nullptr);
    EXPECT_EQ(PRRHexGetProg(nullptr), nullptr);
    PRRHexClose(nullptr);
}

std::string g_changedPath;
bool g_removeFile;

TEST_F(LoadWorkerTest, FileThatShrinksOrVanishesBeforeTheReadFails) {
    for (bool remove : {false, true}) {
        SCOPED_TRACE(remove ? "vanishes" : "shrinks");
        g_changedPath = dir_.Write("changing.hex", kIntelExample);
        g_removeFile = remove;
        quill::SetLoadPassHookForTesting([](LoadFileHandle *, int32_t step) {
            if (step != quill::kLoadStepBuffer) return;
            if (g_removeFile)
                std::filesystem::remove(g_changedPath);
            else
                std::filesystem::resize_file(g_changedPath, 10);
        });
        LoadRecords records;
        LoadFileHandle *h = PRRHexOpen(g_changedPath.c_str(), records.window(), 2024, nullptr);
        ASSERT_NE(h, nullptr);
        const auto got = records.UntilFinal(h);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].status, PRR_STATUS_ILLEGAL_FILE_TYPE);
        EXPECT_EQ(quill::LoadReadState(h), PRR_LOAD_FAILED);
        PRRHexClose(h);
    }
}

std::atomic<bool> g_quitPosted{false};

TEST_F(LoadWorkerTest, QuitWhileReadingEndsTheWorkerWithoutFurtherRecords) {
    std::string text;
    for (uint16_t a = 0; a < 10; ++a) text += Intel(0, a * 16, {1, 2, 3}) + "\n";
    LoadRecords records;
    g_quitPosted = false;
    // At the first record: two messages that are ignored, then quit. One is
    // taken per pass, so two records are applied before the quit.
    quill::SetLoadPassHookForTesting([](LoadFileHandle *h, int32_t step) {
        if (step != quill::kLoadStepRecords || g_quitPosted.exchange(true)) return;
        quill::PostLoadMessage(h, 1124);
        quill::PostLoadMessage(h, 1126);
        quill::PostLoadMessage(h, 1125);
    });
    LoadFileHandle *h = PRRHexOpen(dir_.Write("long.hex", text + ":00000001FF\n").c_str(), records.window(), 2024, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(quill::WaitLoadWorkerEnd(h, kWait));
    EXPECT_EQ(records.counter().count(), 3u);
    EXPECT_EQ(quill::LoadReadState(h), PRR_LOAD_RUNNING);
    EXPECT_EQ(h->imageBuffer[0x10], 1);     // second record applied
    EXPECT_EQ(h->imageBuffer[0x20], 0xFF);  // third not
    PRRHexClose(h);
}

TEST_F(LoadWorkerTest, WithoutAWindowTheImageIsBuiltSilently) {
    LoadFileHandle *h = PRRHexOpen(dir_.Write("s.s19", "S1051000AABB85\r\nS9030000FC\r\n").c_str(), nullptr, 2024, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(quill::WaitLoadFinished(h, kWait));
    EXPECT_EQ(quill::LoadReadState(h), PRR_LOAD_READY);
    EXPECT_EQ(h->writeIndex, 0);
    EXPECT_EQ(h->ring[0].text[0], '\0');
    EXPECT_EQ(h->imageChecksum, 0x0E9B);
    EXPECT_EQ(h->imageLength, 0x1100u);
    PRRHexClose(h);
}

TEST_F(LoadWorkerTest, StreamingTheWholeExtentStaysInsideTheImageBuffer) {
    const std::string text = SRec(3, 4, 0x1FFFFF, {0x42}) + "\r\n" + SRec(7, 4, 0, {}) + "\r\n";
    LoadFileHandle *h = PRRHexOpen(dir_.Write("top.s37", text).c_str(), nullptr, 2024, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(quill::WaitLoadFinished(h, kWait));
    // The S7 start address 0 pulls the extent down to 0, so the stream is the
    // whole image plus the rounding past its end.
    uint32_t start = 1, length = 0;
    ASSERT_EQ(quill::LoadImageExtent(h, &start, &length), 0);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(length, PRR_IMAGE_SIZE);
    PRRHexClose(h);

    h = PRRHexOpen(dir_.Write("top2.s37", SRec(3, 4, 0x1FFFFF, {0x42}) + "\n" + SRec(7, 4, 0x1FFFFF, {}) + "\n").c_str(),
                   nullptr, 2024, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(quill::WaitLoadFinished(h, kWait));
    ASSERT_EQ(quill::LoadImageExtent(h, &start, &length), 0);
    EXPECT_EQ(start, 0x1FFFF0u);
    EXPECT_EQ(length, 256u);
    const uint8_t *bytes = quill::LoadImageBytes(h);
    unsigned set = 0;
    for (uint32_t a = start; a < start + length; ++a) {
        if (bytes[a] != 0xFF) {
            EXPECT_EQ(a, 0x1FFFFFu);
            EXPECT_EQ(bytes[a], 0x42);
            ++set;
        }
    }
    EXPECT_EQ(set, 1u);
    PRRHexClose(h);
}

TEST_F(LoadWorkerTest, AccessorsAndCloseIgnoreHandlesThatAreNotLive) {
    LoadFileHandle fake{};
    fake.readState = PRR_LOAD_READY;
    fake.imageBuffer = reinterpret_cast<uint8_t *>(&fake);
    uint32_t start = 7;
    EXPECT_EQ(quill::LoadImageExtent(nullptr, &start, nullptr), 1);
    EXPECT_EQ(quill::LoadImageExtent(&fake, &start, nullptr), 1);
    EXPECT_EQ(quill::LoadImageBytes(&fake), nullptr);
    EXPECT_EQ(start, 7u);
    PRRHexClose(&fake);  // not ours: nothing is freed

    LoadFileHandle *h = PRRHexOpen(dir_.Write("a.hex", kIntelExample).c_str(), nullptr, 2024, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(quill::WaitLoadFinished(h, kWait));
    EXPECT_EQ(quill::LoadImageExtent(h, &start, nullptr), 0);
    PRRHexClose(h);
    // A closed handle is no longer live (its address is compared, never read).
    EXPECT_EQ(quill::LoadImageExtent(h, &start, nullptr), 1);
    PRRHexClose(h);
}

TEST_F(LoadWorkerTest, TwoHandlesLoadSideBySide) {
    LoadRecords a, b;
    LoadFileHandle *ha = PRRHexOpen(dir_.Write("a.hex", kIntelExample).c_str(), a.window(), 2024, nullptr);
    LoadFileHandle *hb = PRRHexOpen(dir_.Write("b.s19", "S1051000AABB85\nS9030000FC\n").c_str(), b.window(), 2024, nullptr);
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);
    EXPECT_EQ(a.UntilFinal(ha).back().percent, 100);
    EXPECT_EQ(b.UntilFinal(hb).back().percent, 100);
    EXPECT_EQ(ha->imageChecksum, 0xFEEC);
    EXPECT_EQ(hb->imageChecksum, 0x0E9B);
    PRRHexClose(hb);
    PRRHexClose(ha);
}

}  // namespace
