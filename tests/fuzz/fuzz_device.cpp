// Fuzz entry point for the host's side of the protocol: the real sequences,
// driven one worker pass at a time over the in-memory link, against a device
// whose every answer comes from the input. Time is virtual, so a silent or
// slow device costs nothing. Whatever the device says, the command must end
// in a bounded number of passes with a known status and its own text, an
// abort must end it at once, and afterwards the handle must connect to a
// well-behaved device as if nothing had happened.
//
// Input: a 6-byte header, then answers: each is a length byte and that many
// bytes, queued as the device's reply to one write of the host.
//   [0] command   [1] flags (see kFlag*)   [2] abort after this many writes
//   (0: never)    [3] value of every command-set word (limits and time codes)
//   [4] blocks of the area (first in the low nibble, last in the high)
//   [5] image length in 64-byte units (0: no load file)
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "api/sequence_table.h"
#include "link/com_port.h"
#include "link/memory_link.h"
#include "loadfile/load_image.h"
#include "platform/handle_core.h"
#include "platform/tick.h"
#include "quillctl.h"
#include "worker/flash_worker.h"

using namespace quill;

namespace {

constexpr uint8_t kFlagAutoRange = 0x01;
constexpr uint8_t kFlagBlankFirst = 0x02;   // option "blank check first"
constexpr uint8_t kFlagCanBlankCheck = 0x04;
constexpr uint8_t kFlagStuck = 0x08;        // once the answers run out, the last one repeats for ever
constexpr uint8_t kFlagAddressForm = 0x10;
constexpr uint8_t kFlagFollowOns = 0x20;    // verify, checksum and security after programming
constexpr uint8_t kFlagChipArea = 0x40;
constexpr uint8_t kFlagSkipConnect = 0x80;  // the command meets a handle that never connected

constexpr uint32_t kMaxPasses = 200000;        // far above what any command needs with virtual time
// A device may keep a command going for ever where the parameters allow it
// (refusals without a retry limit): the user gives up and presses abort.
constexpr uint32_t kPassesBeforeGivingUp = 4000;
constexpr uint32_t kWritesBeforeGivingUp = 4000;
constexpr uint32_t kPassesAfterAbort = 8;      // an abort ends the command at its next step
constexpr uint32_t kWritesAfterAbort = 1024;   // ...even one that loops inside a step (a page is 256)
constexpr int kBlocks = 4;
constexpr uint32_t kBlockSize = 0x100;

const char kRefusal[] = "ERROR: sequence error, please Aborted current sequence.";

uint32_t g_now = 0;
uint32_t VirtualTick() { return g_now += 5000; }
void VirtualPause(uint32_t ms) { g_now += ms; }

void Fail() { std::abort(); }

// The device: answers from the input, or, once `good`, a bootloader that
// accepts the handshake.
struct Device {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    bool stuck = false;
    bool good = false;
    std::vector<uint8_t> last;
    std::vector<uint8_t> handshake;
    uint32_t writes = 0;
    uint32_t abortAfter = 0;    // 0: never
    uint32_t writesSinceAbort = 0;
    bool abortPressed = false;
    FlashHandle *handle = nullptr;

    void operator()(const uint8_t *bytes, size_t count, std::deque<uint8_t> &answer) {
        ++writes;
        if (abortPressed && ++writesSinceAbort > kWritesAfterAbort) Fail();  // a loop that ignores the abort
        if (good) return Behave(bytes, count, answer);
        if (!abortPressed && ((abortAfter != 0 && writes == abortAfter) || writes > kWritesBeforeGivingUp))
            PressAbort();
        if (pos < size) {
            const size_t n = data[pos++];
            const size_t take = n < size - pos ? n : size - pos;
            last.assign(data + pos, data + pos + take);
            pos += take;
        } else if (!stuck) {
            return;
        }
        // A babbling device that never stops is bounded by what it is asked.
        if (answer.size() < 4096) answer.insert(answer.end(), last.begin(), last.end());
    }
    void PressAbort() {
        abortPressed = true;
        if (PRRFlshAbort(handle, nullptr) != 0) Fail();
    }
    void Behave(const uint8_t *bytes, size_t count, std::deque<uint8_t> &answer) {
        for (size_t i = 0; i < count; ++i) {
            handshake.push_back(bytes[i]);
            if (handshake.size() > 4) handshake.erase(handshake.begin());
            if (handshake == std::vector<uint8_t>{0x01, 0x02, 0x03, 0xFF}) {
                answer.insert(answer.end(), {0, 0, 0, 0, 0x01});
                handshake.clear();
            }
        }
    }
};

Device g_device;

Link *OpenMemoryLink(const char *) {
    return new MemoryLink([](const uint8_t *b, size_t n, std::deque<uint8_t> &a) { g_device(b, n, a); });
}

struct Records {
    uint64_t announced = 0;
    uint64_t fetched = 0;
};
Records g_records;
uint32_t g_afterAbortPasses = 0;
void Announce(PRRWindow *, uint32_t) { ++g_records.announced; }
PRRWindow g_window{Announce, nullptr};

// Every record: a known status, and a failure says what its code means.
void CheckRecords(FlashHandle *h, const ProgressRecord **last) {
    if (g_records.announced - g_records.fetched > PRR_RING_SIZE) Fail();  // records lost unread
    while (g_records.fetched < g_records.announced) {
        ++g_records.fetched;
        const ProgressRecord *r = PRRFlshGetProg(h);
        if (r == nullptr || r->status < 0 || r->status >= PRR_STATUS_COUNT) Fail();
        if (std::memchr(r->text, '\0', sizeof r->text) == nullptr) Fail();
        if (r->status != 0 && std::strcmp(r->text, PRRStatusText(r->status)) != 0 &&
            std::strcmp(r->text, kRefusal) != 0)
            Fail();
        if (r->percent > 100) Fail();
        // The abort has been answered; a later one is a new press.
        if (std::strcmp(r->text, "ABORT ok.") == 0 || std::strcmp(r->text, "Sequence Aborted.") == 0) {
            g_device.abortPressed = false;
            g_device.writesSinceAbort = 0;
            g_afterAbortPasses = 0;
        }
        *last = r;
    }
}

// Drives one command to its end; the command's outcome.
PRROutcome RunCommand(FlashHandle *h) {
    const uint64_t before = CompletedCommands(h);
    const ProgressRecord *last = nullptr;
    uint32_t passes = 0;
    g_afterAbortPasses = 0;
    while (CompletedCommands(h) == before) {
        if (++passes > kMaxPasses) Fail();                                  // never ends
        if (passes > kPassesBeforeGivingUp && !g_device.abortPressed) g_device.PressAbort();
        if (g_device.abortPressed && ++g_afterAbortPasses > kPassesAfterAbort) Fail();  // ignores the abort
        if (!FlashPassForTesting(h) && CompletedCommands(h) == before) Fail();   // idle without an end
        CheckRecords(h, &last);
    }
    // Drain what follows (an abort taken after the end answers on its own).
    while (FlashPassForTesting(h)) {
        if (++passes > kMaxPasses) Fail();
        CheckRecords(h, &last);
    }
    const PRROutcome o = LastOutcome(h);
    if (o.status < 0 || o.status >= PRR_STATUS_COUNT) Fail();
    // A device command ends with a final record: a failure, or one at 100 of
    // 100. (A connect's first phase ends part way, by design.)
    if (o.message != PRR_MSG_RESET && last != nullptr && last->status == 0 &&
        !(last->percent == 100 && last->percentTotal == 100))
        Fail();
    return o;
}

void Connect(FlashHandle *h, ResetRecord &reset, DeviceParameters &device) {
    h->linePreparePass = PRR_RESET_PREPARE;
    if (PRRFlshReset(h, &reset, &device) != 0) Fail();
    h->linePreparePass = PRR_RESET_CONNECT;
    RunCommand(h);
    if (PRRFlshReset(h, &reset, &device) != 0) Fail();
    RunCommand(h);
}

struct Fixed {
    RangeEntry blocks[kBlocks];
    uint8_t *image;
    Fixed() : image(static_cast<uint8_t *>(std::malloc(PRR_IMAGE_SIZE))) {
        for (int i = 0; i < kBlocks; ++i) blocks[i] = RangeEntry{static_cast<uint16_t>(i), {}, i * kBlockSize, (i + 1) * kBlockSize - 1};
        for (uint32_t a = 0; a < PRR_IMAGE_SIZE; ++a) image[a] = static_cast<uint8_t>(a * 31 + 7);
        SetTickSourceForTesting(VirtualTick);
        SetPauseForTesting(VirtualPause);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Fixed fixed;
    if (size < 6) return 0;
    const uint8_t command = data[0] % 11, flags = data[1];

    g_device = Device{};
    g_device.data = data + 6;
    g_device.size = size - 6;
    g_device.stuck = flags & kFlagStuck;
    g_records = Records{};

    DeviceParameters device{};
    device.blockCount = kBlocks;
    device.blockTable = fixed.blocks;
    device.rangeSet5 = (flags & kFlagCanBlankCheck) ? 0x02 : 0x00;
    device.parseFlags = (flags & kFlagAddressForm) ? PRR_PARSE_ADDRESS_FORM : 0;
    const uint16_t word = data[3] >= 0xF0 ? 0xFFFF : data[3];
    for (auto &set : device.commandSets)
        for (auto &slot : set) {
            uint16_t words[sizeof slot.payload / 2];
            for (auto &w : words) w = word;
            std::memcpy(&slot.payload, words, sizeof words);
        }
    ResetRecord reset{};
    reset.frequency = 8.0;
    reset.multiplier = 1.0;
    reset.commandOptions = static_cast<uint8_t>(((flags & kFlagBlankFirst) ? PRR_OPT_BLANK_CHECK_FIRST : 0) |
                                                ((flags & kFlagFollowOns) ? PRR_OPT_VERIFY | PRR_OPT_SECURITY | PRR_OPT_CHECKSUM : 0));
    AreaRecord area{(flags & kFlagChipArea) ? PRR_AREA_CHIP : PRR_AREA_BLOCK, data[4] & 0x0F, data[4] >> 4, 0, 0};

    LoadFileHandle load{};
    load.readState = PRR_LOAD_READY;
    load.imageStart = 0;
    load.imageLength = data[5] * 64u;
    load.imageBuffer = fixed.image;
    LoadFileHandle *loadFile = load.imageLength != 0 ? &load : nullptr;
    if (loadFile != nullptr) RegisterLoadFile(loadFile);

    FlashHandle *h = FlashOpenManualForTesting(&g_window, PRR_MSG_FLASH_RECORD, "fuzz", &DefaultSequenceTable());
    if (h == nullptr) Fail();
    g_device.handle = h;
    CoreOf(h).opener = OpenMemoryLink;
    reset.portNumber = 1;

    if (!(flags & kFlagSkipConnect)) Connect(h, reset, device);
    g_device.abortAfter = data[2] == 0 ? 0 : g_device.writes + data[2];
    int32_t issued = 0;
    switch (command) {
    case 0: Connect(h, reset, device); break;
    case 1: issued = PRRFlshBlnk(h, &device, &area, flags & kFlagAutoRange); break;
    case 2:
    case 3: issued = PRRFlshErase(h, &device, &area, flags & kFlagAutoRange); break;
    case 4: issued = PRRFlshProg(h, &device, &area, loadFile, flags & kFlagAutoRange); break;
    case 5: issued = PRRFlshVerify(h, &device, &area, loadFile, flags & kFlagAutoRange); break;
    case 6: issued = PRRFlshChecksum(h, &device, &area, loadFile); break;
    case 7: issued = PRRFlshSecurity(h, &device, 0, 0); break;
    case 8: issued = PRRFlshSigread(h, &device); break;
    default: issued = PRRFlshEPV(h, &device, &area, loadFile, flags & kFlagAutoRange); break;
    }
    if (issued != 0) Fail();
    if (command != 0) RunCommand(h);

    // Whatever happened, a well-behaved device connects again.
    g_device.good = true;
    g_device.abortPressed = false;
    Connect(h, reset, device);
    const PRROutcome o = LastOutcome(h);
    if (o.status != 0 || !o.connected) Fail();

    FlashClose(h);
    if (loadFile != nullptr) UnregisterLoadFile(loadFile);
    return 0;
}
