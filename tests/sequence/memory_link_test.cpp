// Whole commands through the worker and the real sequences over the
// in-memory link: the bytes and line changes the host makes, the records it
// writes, and the outcome it reports, with no port and no real waiting.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "api/sequence_table.h"
#include "common/record_collector.h"
#include "link/com_port.h"
#include "link/frames.h"
#include "link/primitives.h"
#include "loadfile/load_image.h"
#include "link/memory_link.h"
#include "platform/tick.h"
#include "worker/flash_worker.h"

using namespace quill;
using namespace quilltest;

namespace {

using Bytes = std::vector<uint8_t>;

// Time runs 1000 times faster, so the 2 s bootloader wait costs 2 ms.
uint32_t FastTick() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() * 1000);
}

// A bootloader reduced to what these commands need: the reset handshake, a
// blank check of each block (blank or not as told), and whole 256-byte pages
// of programming and verifying.
struct TinyDevice {
    bool blank = true;
    bool resetRefuses = false;  // the handshake answer always says "not yet"
    // Called with every whole command frame before it is answered.
    std::function<void(const Bytes &frame)> onFrame;
    std::mutex mutex;
    std::condition_variable cv;
    int resets = 0;  // handshakes answered
    int Resets() {
        std::lock_guard<std::mutex> lock(mutex);
        return resets;
    }
    bool WaitResets(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return resets >= n; });
    }
    Bytes pending;
    size_t dataLeft = 0;     // bytes of the page now streaming
    bool verifying = false;
    size_t verifyLeft = 0;   // bytes of the verify range not yet streamed
    void operator()(const uint8_t *bytes, size_t count, std::deque<uint8_t> &answer) {
        for (size_t i = 0; i < count; ++i) Take(bytes[i], answer);
    }
    void Take(uint8_t b, std::deque<uint8_t> &answer) {
        if (dataLeft > 0) {
            answer.insert(answer.end(), {0x00, 0x06});
            if (--dataLeft == 0) {
                if (verifying) {
                    answer.insert(answer.end(), {0, 0, 0, 0, 0x06, 0x06});
                    verifyLeft -= verifyLeft < 256 ? verifyLeft : 256;
                    dataLeft = verifyLeft < 256 ? verifyLeft : 256;  // the next chunk follows unasked
                } else {
                    answer.push_back(0x06);  // the page's closing acknowledgement
                }
            }
            return;
        }
        pending.push_back(b);
        if (onFrame && pending.size() == 4 && pending[0] >= 0x10) onFrame(pending);
        if (pending == Bytes{0x01, 0x02, 0x03, 0xFF}) {
            answer.insert(answer.end(), {0, 0, 0, 0, uint8_t(resetRefuses ? 0x00 : 0x01)});
            std::lock_guard<std::mutex> lock(mutex);
            ++resets;
            cv.notify_all();
        } else if (pending.size() == 4 && pending[0] == 0x32) {
            answer.insert(answer.end(), {0, 0, 0, 0, uint8_t(blank ? 0x06 : 0x1B), 0x06});
        } else if (pending.size() == 4 && pending[0] == 0x40) {
            answer.insert(answer.end(), {0, 0, 0, 0, 0x06});
            dataLeft = 256;
            verifying = false;
        } else if (pending.size() == 4 && pending[0] == 0x19) {
            answer.insert(answer.end(), {0, 0, 0, 0, 0x06, 0x06});
        } else if (pending.size() == 11 && pending[0] == 0x13) {
            answer.insert(answer.end(), {0, 0, 0, 0, 0x06});
            const size_t start = size_t(pending[1]) << 16 | size_t(pending[2]) << 8 | pending[3];
            const size_t end = size_t(pending[4]) << 16 | size_t(pending[5]) << 8 | pending[6];
            verifyLeft = end - start + 1;
            dataLeft = verifyLeft < 256 ? verifyLeft : 256;
            verifying = true;
        } else if (pending != Bytes{0x55} && pending.size() < 4) {
            return;  // a frame still arriving
        } else if (pending.size() < 11 && pending[0] == 0x13) {
            return;
        }
        pending.clear();
    }
};

class MemoryLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetTickSourceForTesting(FastTick);
        h = FlashOpen(counter.window(), PRR_MSG_FLASH_RECORD, "memory", &DefaultSequenceTable());
        ASSERT_NE(h, nullptr);
        blocks[0] = RangeEntry{0, {}, 0x0000, 0x03FF};
        blocks[1] = RangeEntry{1, {}, 0x0400, 0x07FF};
        device.blockCount = 2;
        device.blockTable = blocks;
        device.rangeSet5 = 0x02;  // can blank-check
        reset.frequency = 8.0;
        reset.multiplier = 1.0;
        link = new MemoryLink([this](const uint8_t *b, size_t n, std::deque<uint8_t> &a) { target(b, n, a); });
        ComAttach(h, link);  // the handle owns it from here
    }
    void TearDown() override {
        FlashClose(h);
        SetTickSourceForTesting(nullptr);
        EXPECT_EQ(LeakedWorkerCount(), 0u) << "a close left its worker running";
    }
    std::vector<Rec> Run(uint64_t commands = 1) {
        done += commands;
        EXPECT_TRUE(WaitCompletedCommands(h, done, 20000));
        std::vector<Rec> out;
        Rec r{};
        while (records.fetched() < counter.count() && records.Next(h, r)) out.push_back(r);
        return out;
    }
    // Runs one command that must fail with `status`, in its last record and
    // in its outcome; the outcome.
    PRROutcome RunFailing(int32_t status) {
        const auto recs = Run();
        EXPECT_FALSE(recs.empty());
        if (!recs.empty()) {
            EXPECT_EQ(recs.back().status, status);
        }
        PRROutcome o{};
        EXPECT_EQ(PRRFlshGetOutcome(h, &o), 0);
        EXPECT_EQ(o.status, status);
        return o;
    }
    std::vector<std::string> Texts(const std::vector<Rec> &recs) {
        std::vector<std::string> t;
        for (const auto &r : recs) t.push_back(r.text);
        return t;
    }
    void Connect() {
        h->linePreparePass = PRR_RESET_PREPARE;
        ASSERT_EQ(PRRFlshReset(h, &reset, &device), 0);
        h->linePreparePass = PRR_RESET_CONNECT;
        ASSERT_EQ(PRRFlshReset(h, &reset, &device), 0);
        EXPECT_EQ(Texts(Run(2)),
                  (std::vector<std::string>{"Flash Resetting...", "OK.", "sending reset command...", "OK.", ""}));
    }

    NotifyCounter counter;
    FlashRecords records{counter};
    FlashHandle *h = nullptr;
    MemoryLink *link = nullptr;
    TinyDevice target;
    RangeEntry blocks[2]{};
    DeviceParameters device{};
    ResetRecord reset{};
    uint64_t done = 0;
};

TEST_F(MemoryLinkTest, ConnectDrivesTheLinesAndTheHandshakeInOrder) {
    Connect();
    EXPECT_EQ(link->baud(), 115200u);
    // Prepare: RTS set, DTR clear; start: the DTR pulse, RTS clear, DTR set.
    EXPECT_EQ(std::string(link->lineChanges().begin(), link->lineChanges().end()), "RdDdrD");
    EXPECT_EQ(link->written(), (Bytes{0x55, 0x01, 0x02, 0x03, 0xFF}));
    PRROutcome o{};
    ASSERT_EQ(PRRFlshGetOutcome(h, &o), 0);
    EXPECT_EQ(o.sequenceNumber, 2u);
    EXPECT_EQ(o.message, PRR_MSG_RESET);
    EXPECT_EQ(o.connected, 1);
    EXPECT_EQ(o.status, 0);
}

TEST_F(MemoryLinkTest, BlankCheckVerdictReachesTheOutcomeAndTheHandOver) {
    Connect();
    AreaRecord chip{PRR_AREA_CHIP, 0, 0, 0, 0};
    ASSERT_EQ(PRRFlshBlnk(h, &device, &chip, 0), 0);
    EXPECT_EQ(Texts(Run()), (std::vector<std::string>{"Flash Blank Checking...", "block <0> blank check finish.",
                                                      "block <1> blank check finish.",
                                                      "all block blank check finish."}));
    PRROutcome o{};
    ASSERT_EQ(PRRFlshGetOutcome(h, &o), 0);
    EXPECT_EQ(o.blankChecked, 1);
    EXPECT_EQ(o.notBlank, 0);
    EXPECT_EQ(o.endState, PRR_STATE_BLANK_CHECK);

    // An erase request with "blank check first" on a device that is not
    // blank hands over to the erase, whose first status never comes: the
    // command ends with the read time-out and says so in its outcome.
    target.blank = false;
    ASSERT_EQ(PRRFlshCmdOpt(h, PRR_OPT_BLANK_CHECK_FIRST), 0);
    ASSERT_EQ(PRRFlshErase(h, &device, &chip, 0), 0);
    o = RunFailing(PRR_STATUS_READ_TIMEOUT);
    EXPECT_EQ(o.notBlank, 1);
    EXPECT_EQ(o.endState, PRR_STATE_ERASE);
}

TEST_F(MemoryLinkTest, UnpluggedLinkEndsTheCommandWithAWriteError) {
    Connect();
    link->Unplug();
    AreaRecord chip{PRR_AREA_CHIP, 0, 0, 0, 0};
    ASSERT_EQ(PRRFlshBlnk(h, &device, &chip, 0), 0);
    EXPECT_EQ(RunFailing(PRR_STATUS_COM_WRITE).blankChecked, 0);
}

TEST_F(MemoryLinkTest, EveryProgramPassReportsItsOwnTenths) {
    // Blocks of two pages: a pass over one block reports only its 10 % line,
    // so a count left over from the pass before would swallow it.
    blocks[0] = RangeEntry{0, {}, 0x0000, 0x01FF};
    blocks[1] = RangeEntry{1, {}, 0x0200, 0x03FF};
    char path[] = "/tmp/quill-memlinkXXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const char hex[] = ":0400000001020304F2\r\n:00000001FF\r\n";
    ASSERT_EQ(::write(fd, hex, sizeof hex - 1), ssize_t(sizeof hex - 1));
    ::close(fd);
    NotifyCounter loadCounter;
    LoadFileHandle *loadFile = PRRHexOpen(path, loadCounter.window(), PRR_MSG_LOADFILE_RECORD, nullptr);
    ASSERT_NE(loadFile, nullptr);
    ASSERT_TRUE(loadCounter.WaitFor(5));  // four steps and "Success read HEX file."
    ASSERT_EQ(__atomic_load_n(&loadFile->readState, __ATOMIC_ACQUIRE), PRR_LOAD_READY);
    Connect();
    AreaRecord block0{PRR_AREA_BLOCK, 0, 0, 0, 0};
    const std::vector<std::string> program = {"Flash Programming Start...", "Flash Programming <10%>...",
                                              "Flash Programming finish!", "Flash Internal Verify OK!"};
    const std::vector<std::string> verify = {"Flash Verifying Start...", "Flash Verifying <10%>...",
                                             "Flash Verifying finish!"};
    struct Pass {
        uint32_t message;
        const std::vector<std::string> &texts;
    } passes[] = {{PRR_MSG_PROGRAM, program}, {PRR_MSG_PROGRAM, program}, {PRR_MSG_VERIFY, verify},
                  {PRR_MSG_PROGRAM, program}};
    for (const Pass &p : passes) {
        SCOPED_TRACE(p.message);
        if (p.message == PRR_MSG_PROGRAM)
            ASSERT_EQ(PRRFlshProg(h, &device, &block0, loadFile, 0), 0);
        else
            ASSERT_EQ(PRRFlshVerify(h, &device, &block0, loadFile, 0), 0);
        EXPECT_EQ(Texts(Run()), p.texts);
    }
    PRRHexClose(loadFile);
    ::unlink(path);
}

// A device whose handshake answer always says "not yet", with the repeat
// word that means "without limit": its answer is always there, so no read
// ever waits, and only the handshake loop itself can notice an abort or a
// close. Both must end it.
TEST_F(MemoryLinkTest, AbortAndCloseEndAHandshakeThatWouldRepeatForever) {
    device.commandSets[0][kSlotLinkReset].payload.w12.words[9] = kRetryForever;
    target.resetRefuses = true;
    h->linePreparePass = PRR_RESET_PREPARE;
    ASSERT_EQ(PRRFlshReset(h, &reset, &device), 0);
    Run();
    for (const bool byAbort : {true, false}) {
        SCOPED_TRACE(byAbort ? "abort" : "close");
        const int answered = target.Resets();
        h->linePreparePass = PRR_RESET_CONNECT;
        ASSERT_EQ(PRRFlshReset(h, &reset, &device), 0);
        ASSERT_TRUE(target.WaitResets(answered + 3)) << "the handshake repeats";
        if (byAbort) {
            ASSERT_EQ(PRRFlshAbort(h, nullptr), 0);
            const auto recs = Run();
            ASSERT_FALSE(recs.empty());
            EXPECT_EQ(recs.back().text, "Sequence Aborted.");
            PRROutcome o{};
            ASSERT_EQ(PRRFlshGetOutcome(h, &o), 0);
            EXPECT_EQ(o.aborted, 1);
            EXPECT_EQ(o.connected, 0);
        } else {
            FlashClose(h);  // TearDown checks that it did not give up on the worker
            h = nullptr;
        }
    }
}

// Commands issued while one runs are refused and leave the running one's
// arguments alone (another area, clock or option would change what the
// device is doing); one issued as the run ends waits with its own arguments.
TEST_F(MemoryLinkTest, CommandsIssuedDuringARunLeaveItAloneAndKeepTheirOwnArguments) {
    Connect();
    AreaRecord block1{PRR_AREA_BLOCK, 1, 1, 0, 0};
    AreaRecord chip{PRR_AREA_CHIP, 0, 0, 0, 0};
    ResetRecord slow = reset;
    slow.frequency = 1.0;
    slow.commandOptions = PRR_OPT_BLANK_CHECK_FIRST;
    struct Copies {
        int mode;
        double frequency;
        uint8_t options;
        int32_t autoRange;
    } during{};
    bool issued = false;
    target.onFrame = [&](const Bytes &frame) {
        if (frame[0] != 0x32 || issued) return;
        issued = true;
        EXPECT_EQ(PRRFlshBlnk(h, &device, &chip, 1), 0);
        EXPECT_EQ(PRRFlshReset(h, &slow, &device), 0);
        EXPECT_EQ(PRRFlshCmdOpt(h, PRR_OPT_BLANK_CHECK_FIRST), 1) << "no option change while a command runs";
        during = {h->area.mode, h->reset.frequency, h->commandOptions, h->autoRange};
    };
    const size_t before = link->written().size();
    ASSERT_EQ(PRRFlshBlnk(h, &device, &block1, 0), 0);
    const auto recs = Run();
    ASSERT_TRUE(issued);
    EXPECT_EQ(during.mode, PRR_AREA_BLOCK);
    EXPECT_EQ(during.frequency, 8.0);
    EXPECT_EQ(during.options, 0);
    EXPECT_EQ(during.autoRange, 0);
    int refusals = 0;
    for (const Rec &r : recs) refusals += r.status == PRR_STATUS_SEQUENCE_ERROR && r.total == 0;
    EXPECT_EQ(refusals, 2);
    EXPECT_EQ(Bytes(link->written().begin() + before, link->written().end()), (Bytes{0x32, 0x01, 0x00, 0xFF}))
        << "block 1 alone was checked";
    PRROutcome o{};
    ASSERT_EQ(PRRFlshGetOutcome(h, &o), 0);
    EXPECT_EQ(o.refused, 2);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.blankChecked, 1);

    // Issued from the run's last record: the worker takes it once idle, with
    // the chip area it was given.
    target.onFrame = nullptr;
    bool queued = false;
    counter.OnRecord([&] {
        const ProgressRecord &last = h->ring[(h->writeIndex + PRR_RING_SIZE - 1) % PRR_RING_SIZE];
        if (queued || std::string(last.text) != "all block blank check finish.") return;
        queued = true;
        EXPECT_EQ(PRRFlshBlnk(h, &device, &chip, 0), 0);
    });
    const size_t second = link->written().size();
    ASSERT_EQ(PRRFlshBlnk(h, &device, &block1, 0), 0);
    const auto both = Texts(Run(2));
    ASSERT_TRUE(queued);
    EXPECT_EQ(both, (std::vector<std::string>{"Flash Blank Checking...", "block <1> blank check finish.",
                                              "all block blank check finish.", "Flash Blank Checking...",
                                              "block <0> blank check finish.", "block <1> blank check finish.",
                                              "all block blank check finish."}));
    EXPECT_EQ(Bytes(link->written().begin() + second, link->written().end()),
              (Bytes{0x32, 0x01, 0x00, 0xFF, 0x32, 0x00, 0x00, 0xFF, 0x32, 0x01, 0x00, 0xFF}));
    counter.OnRecord(nullptr);
}

// A load file that says it is ready but has no bytes (closed between the
// two looks) is no image: status 1 before anything reaches the device, never
// a stream of filler reported as programmed.
TEST_F(MemoryLinkTest, ReadyLoadFileWithoutBytesIsNoImage) {
    Connect();
    LoadFileHandle hollow{};
    hollow.readState = PRR_LOAD_READY;
    hollow.imageStart = 0;
    hollow.imageLength = 0x100;
    hollow.imageBuffer = nullptr;
    RegisterLoadFile(&hollow);
    AreaRecord block0{PRR_AREA_BLOCK, 0, 0, 0, 0};
    const size_t before = link->written().size();
    for (const uint32_t message : {PRR_MSG_PROGRAM, PRR_MSG_VERIFY, PRR_MSG_CHECKSUM}) {
        SCOPED_TRACE(message);
        int32_t issued = 1;
        if (message == PRR_MSG_PROGRAM) issued = PRRFlshProg(h, &device, &block0, &hollow, 0);
        if (message == PRR_MSG_VERIFY) issued = PRRFlshVerify(h, &device, &block0, &hollow, 0);
        if (message == PRR_MSG_CHECKSUM) issued = PRRFlshChecksum(h, &device, &block0, &hollow);
        ASSERT_EQ(issued, 0);
        EXPECT_EQ(RunFailing(PRR_STATUS_NOT_INITIALIZED).programmed, 0);
    }
    EXPECT_EQ(link->written().size(), before) << "nothing went to the device";
    UnregisterLoadFile(&hollow);
}

}  // namespace
