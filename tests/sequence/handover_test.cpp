// The hand-over rules: which sequence follows which, for every option and
// flag that matters, and what a command message starts with.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sequence/handover.h"

using namespace quill;

namespace {

HandOverContext Ctx(uint8_t options, bool epv = false, bool eraseAfterBlank = false, bool followOn = false) {
    HandOverContext c;
    c.options = options;
    c.epvRunning = epv;
    c.eraseAfterBlank = eraseAfterBlank;
    c.followOn = followOn;
    return c;
}

TEST(HandOverTest, EachSequenceEndNamesItsSuccessor) {
    constexpr uint8_t kAll = PRR_OPT_VERIFY | PRR_OPT_CHECKSUM | PRR_OPT_SECURITY;
    struct Case {
        const char *what;
        SequenceEnd end;
        HandOverContext ctx;
        int32_t next;
        const char *note;
    } cases[] = {
        {"autoprocedure, blank", SequenceEnd::kAllBlank, Ctx(0, true), PRR_STATE_PROGRAM, "skip erase."},
        {"erase request, blank", SequenceEnd::kAllBlank, Ctx(0, false, true), PRR_STATE_IDLE, "no need erase."},
        {"plain blank check, blank", SequenceEnd::kAllBlank, Ctx(kAll), PRR_STATE_IDLE, nullptr},
        {"autoprocedure, not blank", SequenceEnd::kNotBlank, Ctx(0, true), PRR_STATE_ERASE, "not blank, then erase."},
        {"erase request, not blank", SequenceEnd::kNotBlank, Ctx(0, false, true), PRR_STATE_ERASE, nullptr},
        {"plain blank check, not blank", SequenceEnd::kNotBlank, Ctx(kAll), PRR_STATE_IDLE, "not blank."},
        {"autoprocedure erase", SequenceEnd::kErased, Ctx(0, true), PRR_STATE_PROGRAM, nullptr},
        {"plain erase", SequenceEnd::kErased, Ctx(kAll), PRR_STATE_IDLE, nullptr},
        {"program, all options", SequenceEnd::kProgrammed, Ctx(kAll), PRR_STATE_VERIFY, nullptr},
        {"program, checksum and security", SequenceEnd::kProgrammed, Ctx(PRR_OPT_CHECKSUM | PRR_OPT_SECURITY),
         PRR_STATE_CHECKSUM, nullptr},
        {"program, security", SequenceEnd::kProgrammed, Ctx(PRR_OPT_SECURITY), PRR_STATE_SECURITY, nullptr},
        {"program, blank check first only", SequenceEnd::kProgrammed, Ctx(PRR_OPT_BLANK_CHECK_FIRST), PRR_STATE_IDLE,
         nullptr},
        {"verify after program", SequenceEnd::kVerified, Ctx(kAll), PRR_STATE_CHECKSUM, nullptr},
        {"verify after program, security", SequenceEnd::kVerified, Ctx(PRR_OPT_VERIFY | PRR_OPT_SECURITY),
         PRR_STATE_SECURITY, nullptr},
        {"verify on its own", SequenceEnd::kVerified, Ctx(kAll, false, false, true), PRR_STATE_IDLE, nullptr},
        {"checksum matched", SequenceEnd::kChecksumMatched, Ctx(kAll), PRR_STATE_SECURITY, nullptr},
        {"checksum matched on its own", SequenceEnd::kChecksumMatched, Ctx(kAll, false, false, true), PRR_STATE_IDLE,
         nullptr},
        {"checksum differs", SequenceEnd::kChecksumDiffers, Ctx(kAll, true), PRR_STATE_IDLE, nullptr},
        {"security", SequenceEnd::kDone, Ctx(kAll, true), PRR_STATE_IDLE, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const HandOver h = NextAfter(c.end, c.ctx);
        EXPECT_EQ(h.next, c.next);
        EXPECT_EQ(std::string(h.note ? h.note : "-"), std::string(c.note ? c.note : "-"));
    }
}

TEST(HandOverTest, CommandMessagesStartTheirFirstSequenceAndSetTheirFlags) {
    struct Case {
        uint32_t message;
        uint8_t rangeSet5;
        uint8_t options;
        int32_t state;
        int32_t epv, eraseAfterBlank, followOn;
    } cases[] = {
        {PRR_MSG_RESET, 0, 0, PRR_STATE_CONNECT, 0, 0, 0},
        {PRR_MSG_AUTOPROCEDURE, 0x02, PRR_OPT_BLANK_CHECK_FIRST, PRR_STATE_BLANK_CHECK, 1, 0, 0},
        {PRR_MSG_AUTOPROCEDURE, 0x00, PRR_OPT_BLANK_CHECK_FIRST, PRR_STATE_ERASE, 1, 0, 0},
        {PRR_MSG_AUTOPROCEDURE, 0x02, 0, PRR_STATE_ERASE, 1, 0, 0},
        {PRR_MSG_ERASE, 0x02, PRR_OPT_BLANK_CHECK_FIRST, PRR_STATE_BLANK_CHECK, 0, 1, 0},
        {PRR_MSG_ERASE, 0x00, PRR_OPT_BLANK_CHECK_FIRST, PRR_STATE_ERASE, 0, 0, 0},
        {PRR_MSG_BLANK_CHECK, 0x02, 0, PRR_STATE_BLANK_CHECK, 0, 0, 0},
        {PRR_MSG_PROGRAM, 0, PRR_OPT_VERIFY, PRR_STATE_PROGRAM, 0, 0, 0},
        {PRR_MSG_VERIFY, 0, 0, PRR_STATE_VERIFY, 0, 0, 1},
        {PRR_MSG_CHECKSUM, 0, 0, PRR_STATE_CHECKSUM, 0, 0, 1},
        {PRR_MSG_SECURITY, 0, 0, PRR_STATE_SECURITY, 0, 0, 0},
        {PRR_MSG_SIGNATURE, 0, 0, PRR_STATE_SIGNATURE, 0, 0, 0},
        {PRR_MSG_ABORT, 0, 0, -1, 0, 0, 0},
        {PRR_MSG_LAST, 0, 0, -1, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        auto h = std::make_unique<FlashHandle>();  // zero-filled, as the library allocates it
        h->device.rangeSet5 = c.rangeSet5;
        h->commandOptions = c.options;
        EXPECT_EQ(FirstSequence(h.get(), c.message), c.state);
        EXPECT_EQ(h->epvRunning, c.epv);
        EXPECT_EQ(h->eraseAfterBlank, c.eraseAfterBlank);
        EXPECT_EQ(h->followOn, c.followOn);
    }
}

}  // namespace
