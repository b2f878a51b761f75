// The worker loop, its ring and its state machine, driven through the exports
// with the tests' own sequences underneath.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "common/record_collector.h"
#include "sequence/handover.h"
#include "test_sequences.h"

using namespace quilltest;
using quill::FlashClose;
using quill::FlashOpen;

namespace quilltest {

TestSequenceControl &Control() {
    static TestSequenceControl c;
    return c;
}

namespace {

// A descriptor the close step can close: any will do.
int OpenNullDevice() {
#if defined(_WIN32)
    return ::open("NUL", O_RDWR);
#else
    return ::open("/dev/null", O_RDWR | O_CLOEXEC);
#endif
}

int32_t ConnectStart(FlashHandle *h) {
    Control().connectPhase = quill::ResetPhase(h);
    return 0;  // like the preparing reset: nothing runs afterwards
}

// Blank check: waits Control().waitMs, then ends.
int32_t BlankStart(FlashHandle *h) {
    Control().blankStarts++;
    Control().eraseAfterBlankSeen = h->eraseAfterBlank;
    quill::ReportProgress(h, 0, 10, 100, "test wait start");
    h->state = PRR_STATE_BLANK_CHECK;
    h->step = 1;
    h->stepTick = quill::TickNow();
    return 0;
}
quill::StepResult BlankStep(FlashHandle *h) {
    if (!quill::StepWaitElapsed(h, Control().waitMs)) return quill::StepResult::GoOn();
    quill::ReportProgress(h, 0, 100, 100, "test wait done");
    return quill::StepResult::Ended(0);
}

int32_t EraseStart(FlashHandle *) {
    Control().eraseStarts++;
    return 0;
}

// Program: writes recordsPerStep records with a percent of 250, then fails
// with stepFailure, or ends.
int32_t ProgramStart(FlashHandle *h) {
    h->state = PRR_STATE_PROGRAM;
    h->step = 1;
    return 0;
}
quill::StepResult ProgramStep(FlashHandle *h) {
    for (int i = 0; i < Control().recordsPerStep; ++i) quill::ReportProgress(h, 0, 250, 100, "line %d", i);
    if (Control().stepFailure) return quill::StepResult::Failed(Control().stepFailure);
    quill::ReportProgress(h, 0, 100, 100, "program done");
    return quill::StepResult::Ended(0);
}

int32_t VerifyStart(FlashHandle *) {
    std::unique_lock<std::mutex> lock(Control().latchMutex);
    Control().latchEntered = true;
    Control().latchCv.notify_all();
    Control().latchCv.wait(lock, [] { return Control().latchOpen; });
    return PRR_STATUS_ILLEGAL_PARAMETER;
}

// Signature: a sequence whose step blocks on the cancel event like a serial read.
int32_t SignatureStart(FlashHandle *h) {
    h->state = PRR_STATE_SIGNATURE;
    h->step = 1;
    return 0;
}
quill::StepResult SignatureStep(FlashHandle *h) {
    {
        std::lock_guard<std::mutex> lock(Control().latchMutex);
        Control().latchEntered = true;
    }
    Control().latchCv.notify_all();
    if (quill::CancelEvent(h).Wait(60000)) Control().cancelSeen = 1;
    return quill::StepResult::Failed(PRR_STATUS_READ_TIMEOUT);
}

void Purge(FlashHandle *) { Control().purges++; }
void Idle(FlashHandle *) { Control().idles++; }
void Close(FlashHandle *h) {
    Control().closes++;
    ::close(h->port);
    h->port = PRR_INVALID_PORT;
}

const quill::SequenceTable kTable = {
    {ConnectStart, BlankStart, EraseStart, ProgramStart, VerifyStart, nullptr, nullptr, SignatureStart},
    {nullptr, BlankStep, nullptr, ProgramStep, nullptr, nullptr, nullptr, SignatureStep},
    quill::FirstSequence,
    Purge,
    Idle,
    Close,
    nullptr,  // no successors: each sequence ends its command
    quill::EndHandOver,
};
}  // namespace

const quill::SequenceTable &TestTable() { return kTable; }

}  // namespace quilltest

namespace {

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Control().Reset();
        h = FlashOpen(counter.window(), PRR_MSG_FLASH_RECORD, "bench", &TestTable());
        ASSERT_NE(h, nullptr);
        std::memset(&device, 0, sizeof device);
        area = AreaRecord{PRR_AREA_CHIP, 0, 0, 0, 0};
    }
    void TearDown() override {
        if (h) FlashClose(h);
    }
    void WaitLatchEntered() {
        std::unique_lock<std::mutex> lock(Control().latchMutex);
        ASSERT_TRUE(Control().latchCv.wait_for(lock, std::chrono::seconds(20), [] { return Control().latchEntered; }));
    }
    void OpenLatch() {
        {
            std::lock_guard<std::mutex> lock(Control().latchMutex);
            Control().latchOpen = true;
        }
        Control().latchCv.notify_all();
    }

    NotifyCounter counter;
    FlashRecords records{counter};
    FlashHandle *h = nullptr;
    DeviceParameters device{};
    AreaRecord area{};
};

TEST_F(WorkerTest, AbortWhileIdleAnswersAbortOk) {
    ASSERT_EQ(PRRFlshAbort(h, nullptr), 0);
    Rec r{};
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "ABORT ok.");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.state, PRR_STATE_IDLE);
    EXPECT_EQ(r.percent, 100u);
    EXPECT_EQ(r.total, 100);
    EXPECT_EQ(counter.lastMessage(), PRR_MSG_FLASH_RECORD);
}

TEST_F(WorkerTest, CommandWhileBusyIsRefusedAndTheSequenceGoesOn) {
    Control().waitMs = 400;
    ASSERT_EQ(PRRFlshBlnk(h, &device, &area, 0), 0);
    Rec r{};
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "test wait start");
    ASSERT_EQ(PRRFlshErase(h, &device, &area, 0), 0);
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "ERROR: sequence error, please Aborted current sequence.");
    EXPECT_EQ(r.status, PRR_STATUS_SEQUENCE_ERROR);
    EXPECT_EQ(r.percent, 0u);
    EXPECT_EQ(r.total, 0);
    EXPECT_EQ(r.state, PRR_STATE_BLANK_CHECK);
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "test wait done");
    EXPECT_EQ(r.state, PRR_STATE_BLANK_CHECK);
    EXPECT_EQ(Control().eraseStarts, 0);
}

TEST_F(WorkerTest, AbortDuringSequenceIdlesTheLinkAndEndsIt) {
    h->port = OpenNullDevice();
    Control().waitMs = 60000;
    ASSERT_EQ(PRRFlshBlnk(h, &device, &area, 0), 0);
    Rec r{};
    ASSERT_TRUE(records.Next(h, r));
    ASSERT_EQ(PRRFlshAbort(h, &device), 0);
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "Sequence Aborted.");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.percent, 100u);
    EXPECT_EQ(r.total, 100);
    EXPECT_EQ(Control().idles, 1);
    // The worker is idle again: the next command runs.
    Control().waitMs = 0;
    ASSERT_EQ(PRRFlshBlnk(h, &device, &area, 0), 0);
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "test wait start");
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "test wait done");
    FlashClose(h);
    h = nullptr;
    EXPECT_EQ(Control().closes, 1) << "closing the handle closes its port";
}

TEST_F(WorkerTest, FailingStepWritesItsCodeWithTheSequenceStateAndPurges) {
    h->port = OpenNullDevice();
    Control().stepFailure = PRR_STATUS_FLASH_WRITE;
    ASSERT_EQ(PRRFlshProg(h, &device, &area, nullptr, 0), 0);
    Rec r{};
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "ERROR: Flash write error!");
    EXPECT_EQ(r.status, PRR_STATUS_FLASH_WRITE);
    EXPECT_EQ(r.state, PRR_STATE_PROGRAM);
    EXPECT_EQ(r.percent, 100u);
    ASSERT_EQ(PRRFlshAbort(h, nullptr), 0);  // a marker: the purge follows the record
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "ABORT ok.");
    EXPECT_EQ(Control().purges, 1);
    // A failing start reports with the idle state.
    ASSERT_EQ(PRRFlshVerify(h, &device, &area, nullptr, 0), 0);
    OpenLatch();
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.status, PRR_STATUS_ILLEGAL_PARAMETER);
    EXPECT_EQ(r.state, PRR_STATE_IDLE);
}

TEST_F(WorkerTest, UnbuiltSequenceEndsWithStatus15) {
    ASSERT_EQ(PRRFlshSecurity(h, &device, 0, 0), 0);
    Rec r{};
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.status, PRR_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.text, "ERROR: This device is not supporting this function!");
    EXPECT_EQ(r.percent, 100u);
    EXPECT_EQ(r.total, 100);
}

TEST_F(WorkerTest, RingWrapsAfterThousandRecordsAndClampsPercent) {
    Control().recordsPerStep = 1005;
    ASSERT_EQ(PRRFlshProg(h, &device, &area, nullptr, 0), 0);
    ASSERT_TRUE(counter.WaitFor(1006));
    {
        std::lock_guard<std::mutex> lock(*static_cast<std::mutex *>(h->semaphore));
        EXPECT_EQ(h->writeIndex, 6);
    }
    // The oldest six entries were overwritten: entry 0 holds line 1000.
    EXPECT_STREQ(h->ring[0].text, "line 1000");
    EXPECT_EQ(h->ring[0].percent, 100u) << "percent 250 is stored as 100";
    EXPECT_STREQ(h->ring[5].text, "program done");
    EXPECT_STREQ(h->ring[6].text, "line 6");
    for (int i = 0; i < 999; ++i) PRRFlshGetProg(h);
    EXPECT_EQ(PRRFlshGetProg(h), &h->ring[999]);
    EXPECT_EQ(PRRFlshGetProg(h), &h->ring[0]) << "read index wraps from 999 to 0";
}

TEST_F(WorkerTest, ResetPhaseTravelsWithTheRequest) {
    // Keep the worker busy in a start so the reset waits in the queue while
    // the application clears linePreparePass.
    ASSERT_EQ(PRRFlshVerify(h, &device, &area, nullptr, 0), 0);
    WaitLatchEntered();
    ResetRecord reset{};
    h->linePreparePass = 1;
    ASSERT_EQ(PRRFlshReset(h, &reset, &device), 0);
    h->linePreparePass = 0;
    OpenLatch();
    Rec r{};
    ASSERT_TRUE(records.Next(h, r));  // the verify start's failure
    ASSERT_EQ(PRRFlshAbort(h, nullptr), 0);  // a marker after the reset
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "ABORT ok.");
    EXPECT_EQ(Control().connectPhase, 1);
    ASSERT_EQ(PRRFlshReset(h, &reset, &device), 0);
    ASSERT_EQ(PRRFlshAbort(h, nullptr), 0);
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(Control().connectPhase, 0);
}

TEST_F(WorkerTest, EraseBeginsWithBlankCheckOnlyWhenDeviceAndOptionAllow) {
    ResetRecord reset{};
    DeviceParameters blankCapable{};
    blankCapable.rangeSet5 = 0x02;
    reset.commandOptions = 0x01;
    ASSERT_EQ(PRRFlshReset(h, &reset, &blankCapable), 0);
    Control().waitMs = 0;
    ASSERT_EQ(PRRFlshErase(h, &blankCapable, &area, 0), 0);
    Rec r{};
    ASSERT_TRUE(records.Next(h, r));
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "test wait done");
    EXPECT_EQ(Control().blankStarts, 1);
    EXPECT_EQ(Control().eraseAfterBlankSeen, 1);

    // Without the option (or without blank check support) it erases directly.
    // Options change only between commands.
    ASSERT_TRUE(quill::WaitCompletedCommands(h, 2, 20000));
    ASSERT_EQ(PRRFlshCmdOpt(h, 0x100), 0);
    ASSERT_EQ(PRRFlshErase(h, &blankCapable, &area, 0), 0);
    ASSERT_TRUE(quill::WaitCompletedCommands(h, 3, 20000));
    DeviceParameters noBlank{};
    ASSERT_EQ(PRRFlshCmdOpt(h, 0x01), 0);
    ASSERT_EQ(PRRFlshErase(h, &noBlank, &area, 0), 0);
    ASSERT_EQ(PRRFlshAbort(h, nullptr), 0);
    ASSERT_TRUE(records.Next(h, r));
    EXPECT_EQ(r.text, "ABORT ok.");
    EXPECT_EQ(Control().eraseStarts, 2);
    EXPECT_EQ(Control().blankStarts, 1);
}

TEST_F(WorkerTest, QuitDuringSequenceEndsWithoutRecordAndPromptly) {
    Control().waitMs = 60000;
    ASSERT_EQ(PRRFlshBlnk(h, &device, &area, 0), 0);
    Rec r{};
    ASSERT_TRUE(records.Next(h, r));
    const uint64_t before = counter.count();
    auto t0 = std::chrono::steady_clock::now();
    FlashClose(h);
    h = nullptr;
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(counter.count(), before);
    EXPECT_LT(took, std::chrono::milliseconds(3100));
}

TEST_F(WorkerTest, CloseCancelsABlockingReadAtOnce) {
    ASSERT_EQ(PRRFlshSigread(h, &device), 0);
    WaitLatchEntered();
    auto t0 = std::chrono::steady_clock::now();
    FlashClose(h);
    h = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(3100));
    EXPECT_EQ(Control().cancelSeen, 1);
}

TEST_F(WorkerTest, CloseFromIdleWithThousandsOfUnreadRecords) {
    for (int i = 0; i < 2500; ++i) ASSERT_EQ(PRRFlshAbort(h, nullptr), 0);
    ASSERT_TRUE(counter.WaitFor(2500));
    auto t0 = std::chrono::steady_clock::now();
    FlashClose(h);
    h = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(3100));
}

}  // namespace
