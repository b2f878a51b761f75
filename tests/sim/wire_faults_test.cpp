// Pure helpers of the virtual target: frame lengths in both forms, answer
// shapes, the device checksum, the fault RULE syntax and fault counting.
#include <gtest/gtest.h>

#include "sim/faults.h"
#include "sim/wire.h"

namespace {

using quillsim::Bytes;
namespace wire = quillsim::wire;

struct LengthCase {
    Bytes head;
    bool addressDevice;
    std::optional<size_t> want; // 0 = undecided yet
};

TEST(SimWire, FrameLengthByCodeAndForm) {
    const LengthCase cases[] = {
        {{0xC0}, false, 5},
        {{0xC5}, true, 5},
        {{0x13}, false, 11},                   // verify is always the address form
        {{0x40}, true, 4},                     // program, internal verify, 0x30, checksum: always unit form
        {{0x19}, true, 4},
        {{0x30}, true, 4},
        {{0xB0}, true, 4},
        {{0x32}, false, 4},                    // unit-form device
        {{0x32, 0x03}, true, 0},               // address-form device: undecided until 4 bytes
        {{0x32, 0x03, 0x00, 0xFF}, true, 4},   // follow-up / retry in unit form
        {{0x22, 0x01, 0x00, 0x00}, true, 11},  // start 0x010000 in address form
        {{0x20, 0x00, 0x40, 0x00}, true, 11},
        {{0x77}, false, std::nullopt},         // unknown code
        {{0x55}, false, std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wire::frameLength(c.head.data(), c.head.size(), c.addressDevice), c.want) << wire::hex(c.head);
}

TEST(SimWire, AddressFrameDecodesMostSignificantFirst) {
    const auto f = wire::decodeFrame({0x13, 0x01, 0x23, 0x45, 0x03, 0xFF, 0xFF, 0xAA, 0xBB, 0xCC, 0xDD});
    EXPECT_EQ(f.form, wire::FrameForm::Address);
    EXPECT_EQ(f.start, 0x012345u);
    EXPECT_EQ(f.end, 0x03FFFFu);
    const auto s = wire::decodeFrame({0x40, 0x80, 0x00, 0x00});
    EXPECT_TRUE(s.securityForm());
    EXPECT_FALSE(wire::decodeFrame({0x40, 0x80, 0x00, 0xFF}).securityForm()); // page 0x80
}

TEST(SimWire, IgnoredBytesAreNeverAnAck) {
    // A host that reads the wrong byte of an answer must not find 0x06 there.
    const struct {
        Bytes answer;
        std::vector<size_t> ignored;
    } cases[] = {
        {wire::statusAnswer(0x06), {0, 1, 2, 3}},
        {wire::statusAnswer(0x06, 0x06), {0, 1, 2, 3}},
        {wire::resetAnswer(), {0, 1, 2, 3}},
        {wire::byteAck(0x06), {0}},
        {wire::statusFrame({0x06}), {0, 3, 4}},
        {wire::dataFrame({0x06, 0x06}), {0, 4}},
    };
    for (const auto &c : cases)
        for (size_t i : c.ignored) {
            ASSERT_LT(i, c.answer.size());
            EXPECT_NE(c.answer[i], wire::kAck) << wire::hex(c.answer) << " byte " << i;
        }
    EXPECT_EQ(wire::resetAnswer().back(), wire::kResetReady);
}

TEST(SimWire, DataFrameCountZeroMeans256) {
    const Bytes full(256, 0x5A);
    const Bytes f = wire::dataFrame(full);
    ASSERT_EQ(f.size(), 256u + 4);
    EXPECT_EQ(f[1], 0x00);
    EXPECT_EQ(f.back(), wire::kFrameEnd);
}

TEST(SimWire, ChecksumKnownValues) {
    const struct {
        Bytes data;
        uint16_t want;
    } cases[] = {
        {{'a', 'b', 'c'}, 0x0DCA},
        {{0x01, 0x00}, 0x1B00},
        {{0x7E}, 0x007E},
        {{}, 0x0000},
    };
    for (const auto &c : cases) EXPECT_EQ(wire::checksum(c.data.data(), c.data.size()), c.want) << wire::hex(c.data);
}

TEST(SimFaults, RuleSyntaxAccepted) {
    const struct {
        const char *rule;
        const char *normal; // formatFault of the result
    } cases[] = {
        {"busy:0x32:3", "busy:0x32:status=0x07:count=3"},
        {"busy:0x13:2:0x15", "busy:0x13:status=0x15:count=2"},
        {"busy:reset", "busy:reset:status=0x07:count=1"},
        {"illegal:0xC0", "illegal:0xC0:status=0x04:count=1"},
        {"illegal:byte=7:status=0x42", "illegal:byte=7:status=0x42"},
        {"not-erased:2", "not-erased:count=2"},
        {"write-fail:0x1E:byte=100", "write-fail:byte=100:status=0x1E"},
        {"write-fail:byte=0", "write-fail:byte=0:status=0x1D"},
        {"wrong-end", "wrong-end:count=1"},
        {"silence:after=5", "silence:after=5"},
        {"silence:after=0:ms=300", "silence:after=0:ms=300"},
        {"vanish:after=7", "vanish:after=7"},
        {"slow-erase:ms=3000", "slow-erase:ms=3000"},
        {"slow-erase:ms=10:2", "slow-erase:ms=10:count=2"},
    };
    for (const auto &c : cases) {
        std::string error;
        const auto f = quillsim::parseFault(c.rule, &error);
        ASSERT_TRUE(f) << c.rule << ": " << error;
        EXPECT_EQ(quillsim::formatFault(*f), c.normal);
        // The normal form reads back as the same fault.
        const auto again = quillsim::parseFault(c.normal, &error);
        ASSERT_TRUE(again) << c.normal << ": " << error;
        EXPECT_EQ(quillsim::formatFault(*again), c.normal);
    }
}

TEST(SimFaults, RuleSyntaxErrorsSayWhy) {
    const struct {
        const char *rule;
        const char *reason;
    } cases[] = {
        {"", "unknown kind"},
        {"bogus:1", "unknown kind"},
        {"busy", "needs a command"},
        {"busy:0x99", "not a command"},
        {"busy:0x32:0x1A", "0x07 or 0x15"},
        {"busy:0x32:0", "count must be"},
        {"busy:0x32:byte=3", "does not apply"},
        {"illegal:0x32:0x06", "not illegal"},
        {"illegal:0xC0:byte=3", "either a command"},
        {"write-fail:0x1E", "needs byte=N"},
        {"write-fail:0x15:byte=1", "0x1D, 0x1E or 0x1F"},
        {"silence", "needs after=N"},
        {"vanish:after=x", "decimal number"},
        {"slow-erase", "needs ms=N"},
        {"slow-erase:ms=0", "ms must be"},
        {"not-erased:ms=4", "does not apply"},
        {"busy:0x32::3", "empty field"},
        {"busy:0x32:speed=3", "unknown field"},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_FALSE(quillsim::parseFault(c.rule, &error)) << c.rule;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.rule << " -> " << error;
        EXPECT_NE(error.find(c.rule), std::string::npos) << "message names the rule: " << error;
    }
}

TEST(SimFaults, CountsRunFromArming) {
    quillsim::FaultPlan plan;
    std::string error;
    // Armed after 10 data bytes and 3 frames: byte=2 is absolute byte 12, after=2 is frame 5.
    plan.add(*quillsim::parseFault("write-fail:byte=2", &error), 3, 10);
    plan.add(*quillsim::parseFault("vanish:after=2", &error), 3, 10);
    plan.add(*quillsim::parseFault("busy:0x32:2", &error), 3, 10);
    EXPECT_FALSE(plan.takeAck(2));
    EXPECT_FALSE(plan.takeAck(11));
    EXPECT_EQ(plan.takeAck(12), 0x1D);
    EXPECT_FALSE(plan.takeAck(12)) << "a per-byte fault fires once";
    EXPECT_FALSE(plan.afterFrame(4).vanish);
    EXPECT_TRUE(plan.afterFrame(5).vanish);
    EXPECT_EQ(plan.takeStatus(0x30), std::nullopt);
    EXPECT_EQ(plan.takeStatus(0x32), 0x07);
    EXPECT_EQ(plan.takeStatus(0x32), 0x07);
    EXPECT_EQ(plan.takeStatus(0x32), std::nullopt);
    EXPECT_TRUE(plan.pending().empty());
}

}  // namespace
