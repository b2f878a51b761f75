// Protocol primitives against a scripted peer that checks the exact bytes on
// the wire and answers from its script.

#include <cstring>
#include <string>
#include <vector>

#include "link/frames.h"
#include "link/primitives.h"
#include "link_fixture.h"
#include "sequence/sequences.h"

using namespace quill;
using namespace quilltest;

namespace {

// A status answer: four filler bytes (never 0x06), then the statuses.
Bytes StatusAnswer(std::initializer_list<uint8_t> st) {
    Bytes b(4, 0x00);
    for (uint8_t x : st) b.push_back(x);
    return b;
}

std::vector<std::string> RingTexts(FlashHandle *h) {
    std::vector<std::string> out;
    for (int i = 0; i < h->writeIndex; ++i) out.push_back(h->ring[i].text);
    return out;
}

class ProtocolTest : public LinkFixture {};

TEST_F(ProtocolTest, StatusAnswersOfOneAndTwoBytes) {
    peer.Start([](PtyPeer &p) {
        p.Send(StatusAnswer({0x06}));
        p.Send(StatusAnswer({0x06, 0x1A}));
    });
    uint8_t st1 = 0, st2 = 0x55;
    ASSERT_EQ(DevReadStatus(h, &st1, &st2, 1), 0);
    EXPECT_EQ(st1, 0x06);
    EXPECT_EQ(st2, 0x55) << "ST2 untouched when one status was asked for";
    ASSERT_EQ(DevReadStatus(h, &st1, &st2, 2), 0);
    EXPECT_EQ(st1, 0x06);
    EXPECT_EQ(st2, 0x1A);
}

TEST_F(ProtocolTest, StatusFramesWithOneTwoAndTooManyStatuses) {
    peer.Start([](PtyPeer &p) {
        p.Send({0x02, 0x01, 0x07, 0x00, 0x03});              // n = 1
        p.Send({0x02, 0x02, 0x06, 0x1A, 0x00, 0x03});        // n = 2
        p.Send({0x02, 0x04, 0x06, 0x06, 0x06, 0x06, 0x00, 0x03});  // n = 4: read whole, refused
        p.Send(StatusAnswer({0x06}));                        // the next answer reads clean
    });
    uint8_t st1 = 0, st2 = 0;
    ASSERT_EQ(DevReadStatusFrame(h, &st1, &st2, 0x1003), 0);
    EXPECT_EQ(st1, 0x07);
    EXPECT_EQ(st2, 0x07);
    ASSERT_EQ(DevReadStatusFrame(h, &st1, &st2, 0x1003), 0);
    EXPECT_EQ(st1, 0x06);
    EXPECT_EQ(st2, 0x1A);
    EXPECT_EQ(DevReadStatusFrame(h, &st1, &st2, 0x1003), PRR_STATUS_ILLEGAL_STATUS);
    ASSERT_EQ(DevReadStatus(h, &st1, &st2, 1), 0);
    EXPECT_EQ(st1, 0x06);
}

TEST_F(ProtocolTest, WordAnswerArrivesSwapped) {
    peer.Start([](PtyPeer &p) { p.Send({0x12, 0x34}); });
    uint8_t w[2];
    ASSERT_EQ(DevReadWord(h, w, 0x1003), 0);
    EXPECT_EQ(w[0], 0x34);
    EXPECT_EQ(w[1], 0x12);
}

TEST_F(ProtocolTest, SignatureDataFrameOfCountZeroCarries256Bytes) {
    Bytes data(256);
    for (int i = 0; i < 256; ++i) data[i] = uint8_t(255 - i);
    peer.Start([&](PtyPeer &p) {
        p.Expect({0xC0, 0, 0, 0, 0});
        p.Send(StatusAnswer({0x06}));
        Bytes frame{0x02, 0x00};
        frame.insert(frame.end(), data.begin(), data.end());
        frame.push_back(0x00);
        frame.push_back(0x03);
        p.Send(frame);
    });
    uint8_t sig[256] = {};
    EXPECT_EQ(DevReadSignature(h, sig), 0);
    peer.Join();  // the script uses this test's locals
    EXPECT_EQ(Bytes(sig, sig + 256), data);
}

TEST_F(ProtocolTest, SignatureRefusalsAndBadEnd) {
    peer.Start([](PtyPeer &p) {
        p.Expect({0xC0, 0, 0, 0, 0});
        p.Send(StatusAnswer({0x15}));
        p.Expect({0xC0, 0, 0, 0, 0});
        p.Send(StatusAnswer({0x42}));
        p.Expect({0xC0, 0, 0, 0, 0});
        p.Send(StatusAnswer({0x06}));
        p.Send({0x02, 0x03, 0xA, 0xB, 0xC, 0x00, 0x17});
        p.Expect({0xC5, 0, 0, 0, 0});
        p.Send(StatusAnswer({0x07}));
        p.Expect({0xC5, 0, 0, 0, 0});
        p.Send(StatusAnswer({0x06}));
        p.Send({0x01, 0x20});
    });
    uint8_t sig[256];
    EXPECT_EQ(DevReadSignature(h, sig), PRR_STATUS_RETRY_OVER);
    EXPECT_EQ(DevReadSignature(h, sig), PRR_STATUS_ILLEGAL_STATUS);
    EXPECT_EQ(DevReadSignature(h, sig), PRR_STATUS_DATA_SEQUENCE);
    uint8_t version[2];
    EXPECT_EQ(DevReadVersion(h, version), PRR_STATUS_RETRY_OVER);
    ASSERT_EQ(DevReadVersion(h, version), 0);
    EXPECT_EQ(version[0], 0x20);
    EXPECT_EQ(version[1], 0x01);
}

TEST_F(ProtocolTest, SendBytesStopsAtTheFirstRefusedByte) {
    peer.Start([](PtyPeer &p) {
        p.Expect({0x11});
        p.Send({0x00, 0x06});
        p.Expect({0x22});
        p.Send({0x00, 0x1E});
        // The next byte on the wire is the next call's: 0x99 was never sent.
        p.Expect({0x33});
        p.Send({0x00, 0x15});
    });
    const uint8_t bytes[] = {0x11, 0x22, 0x99};
    EXPECT_EQ(DevSendBytes(h, bytes, 3), PRR_STATUS_FLASH_WRITE);
    const uint8_t more[] = {0x33, 0x44};
    EXPECT_EQ(DevSendBytes(h, more, 2), PRR_STATUS_NOT_INITIALIZED);
}

TEST_F(ProtocolTest, ResetHandshakeOnceOrRepeatedByTheRepeatWord) {
    const Bytes reset{0x01, 0x02, 0x03, 0xFF};
    peer.Start([&](PtyPeer &p) {
        p.Expect(reset);
        p.Send({0, 0, 0, 0, 0x01});
        // Repeat word 0xFFFF: a bad answer makes the host send again.
        p.Expect(reset);
        p.Send({0, 0, 0, 0, 0x00});
        p.Expect(reset);
        p.Send({0, 0, 0, 0, 0x01});
        // Without it: one attempt.
        p.Expect(reset);
        p.Send({0, 0, 0, 0, 0x02});
    });
    ComSetReadTimeout(h, 2000);
    EXPECT_EQ(ResetHandshake(h), 0);
    h->device.commandSets[0][kSlotLinkReset].payload.w12.words[9] = 0xFFFF;
    EXPECT_EQ(ResetHandshake(h), 0);
    h->device.commandSets[0][kSlotLinkReset].payload.w12.words[9] = 0x0001;
    EXPECT_EQ(ResetHandshake(h), PRR_STATUS_RETRY_OVER);
    peer.Join();  // the script uses this test's locals
    EXPECT_EQ(RingTexts(h), (std::vector<std::string>{"retrying...", "retry count <0>"}));
    EXPECT_EQ(h->ring[0].percent, 50u);
    EXPECT_EQ(h->ring[1].percent, 100u);
}

// The device side of one programming chunk: write command, per-byte
// acknowledgements, the extra acknowledgement, internal verify.
void ServeChunk(PtyPeer &p, uint8_t page, size_t length, Bytes &written) {
    p.Expect({0x40, page, 0x00, 0xFF});
    p.Send(StatusAnswer({0x06}));
    for (size_t i = 0; i < length; ++i) {
        Bytes b = p.Read(1);
        if (b.empty()) return;
        written.push_back(b[0]);
        p.Send({0x00, 0x06});
    }
    p.Send({0x06});
    p.Expect({0x19, page, 0x00, 0xFF});
    p.Send(StatusAnswer({0x06, 0x06}));
}

TEST_F(ProtocolTest, SixHundredByteStreamGoesAs256And256And88) {
    std::vector<uint8_t> image(600);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
    h->leadPad = 2;
    h->imageBytes = 590;
    h->tailPad = 8;
    h->imageCursor = image.data();
    h->totalBytes = 600;
    h->rangeStart = 0x1000;
    h->bytesSent = 0;
    Bytes written;
    peer.Start([&](PtyPeer &p) {
        ServeChunk(p, 0x10, 256, written);
        ServeChunk(p, 0x11, 256, written);
        ServeChunk(p, 0x12, 88, written);
    });
    h->step = 2;
    int calls = 0;
    for (bool ended = false; !ended && calls < 5;) {
        const StepResult r = ProgramNextPage(h);
        ASSERT_NE(r.kind, StepResult::Kind::kFailed) << r.value;
        ended = r.kind == StepResult::Kind::kEnded;
        ++calls;
        if (calls < 3) {
            EXPECT_FALSE(ended) << "more chunks follow";
            EXPECT_EQ(h->step, 2);
        }
        if (ended) {
            EXPECT_EQ(r.value, static_cast<int32_t>(SequenceEnd::kProgrammed));
        }
    }
    peer.Join();
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(h->bytesSent, 600u);
    EXPECT_EQ(h->rangeStart, 0x1000u + 600u);
    Bytes expected{0xFF, 0xFF};
    expected.insert(expected.end(), image.begin(), image.begin() + 590);
    expected.insert(expected.end(), 8, 0xFF);
    EXPECT_EQ(written, expected);
    // Progress in steps of 10 of the stream; the finish lines only after the last chunk.
    EXPECT_EQ(RingTexts(h), (std::vector<std::string>{"Flash Programming <10%>...", "Flash Programming <20%>...",
                                                      "Flash Programming finish!", "Flash Internal Verify OK!"}));
}

TEST_F(ProtocolTest, RefusedWriteCommandEndsWithFlashWriteError) {
    uint8_t one = 0x5A;
    h->imageBytes = 1;
    h->imageCursor = &one;
    h->totalBytes = 1;
    h->step = 2;
    peer.Start([](PtyPeer &p) {
        p.Expect({0x40, 0x00, 0x00, 0xFF});
        p.Send(StatusAnswer({0x15}));
    });
    const StepResult r = ProgramNextPage(h);
    EXPECT_EQ(r.kind, StepResult::Kind::kFailed);
    EXPECT_EQ(r.value, PRR_STATUS_FLASH_WRITE);
    EXPECT_EQ(h->bytesSent, 0u);
}

TEST_F(ProtocolTest, ErasesBlankChecksAndChecksumFrames) {
    h->device.blockCount = 16;
    peer.Start([](PtyPeer &p) {
        p.Expect({0x20, 0x0F, 0x00, 0xFF});
        p.Expect({0x22, 0x03, 0x00, 0xFF});
        p.Expect({0x32, 0x80, 0x00, 0xFF});
        p.Expect({0x22, 0x00, 0x10, 0x00, 0x00, 0x1F, 0xFF, 0, 0, 0, 0});
        p.Expect({0xB0, 0xFF, 0x00, 0xFF});
        p.Expect({0x40, 0x80, 0x00, 0x00});
    });
    EXPECT_EQ(CmdChipEraseBlk(h), 0);
    EXPECT_EQ(CmdBlockEraseBlk(h, 3), 0);
    EXPECT_EQ(CmdSend3(h, 0x32, 0x80, 0x00, 0xFF), 0);
    EXPECT_EQ(CmdBlockEraseAdr(h, 0x1000, 0x1FFF), 0);
    EXPECT_EQ(CmdChecksum(h, 0x1000, 0xFFFF), 0);
    EXPECT_EQ(CmdSecurityStart(h), 0);
}

// A handle whose worker blocks in a device read: closing it must not wait for
// the read's time-out.
int32_t BlockingSignatureStart(FlashHandle *h) {
    uint8_t sig[256];
    return DevReadSignature(h, sig);
}
const SequenceTable kBlockingTable = {
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, BlockingSignatureStart},
    {}, FirstSequence, LinkPurgeRx, LinkIdle, LinkClosePort, NextSequence, EndHandOver};

TEST(ProtocolCancelTest, CloseEndsABlockingReadAtOnce) {
    PtyPeer peer;
    FlashHandle *h = FlashOpen(nullptr, 0, "cancel", &kBlockingTable);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ComOpenPort(h, peer.slavePath().c_str()), 0);
    ASSERT_EQ(ComSetFormat(h, kBaudDevice), 0);
    h->reset.frequency = 0.0;  // time codes then ask for the longest wait
    DeviceParameters d{};
    ASSERT_EQ(PRRFlshSigread(h, &d), 0);
    peer.Read(5);  // the request is out; the worker now waits for the answer
    peer.Send(StatusAnswer({0x06}));
    const auto t0 = std::chrono::steady_clock::now();
    FlashClose(h);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
}

}  // namespace
