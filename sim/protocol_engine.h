// The bootloader's command interpreter: takes received bytes with the time
// they arrived, answers them, and makes the time-driven decisions (a short
// chunk has ended, a polling host wants a fresh status, a partial frame is
// garbage). No I/O and no clock of its own, so tests can drive it with
// invented times; not thread-safe, the owner locks.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

#include "sim/device_model.h"
#include "sim/faults.h"
#include "sim/transcript.h"
#include "sim/wire.h"

namespace quillsim {

class ProtocolEngine {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    ProtocolEngine(DeviceModel &model, FaultPlan &faults, Transcript &log);

    // One byte from the host, fully received at `at`.
    void receive(uint8_t byte, TimePoint at);
    // Time has passed: act on gaps and delays that have run out by `now`.
    void tick(TimePoint now);
    // When tick() next has something to do; nullopt while only input can move things.
    std::optional<TimePoint> nextDeadline() const;
    // The output taken so far has left the device at `at`; gaps count from then.
    void outputDrained(TimePoint at) { drainedAt_ = at; }
    // Bytes to send, oldest first.
    Bytes takeOutput() { return std::exchange(out_, {}); }

    void addFault(const Fault &fault, TimePoint now);
    bool vanishRequested() const { return vanish_; }
    uint64_t frames() const { return frames_; }
    uint64_t dataBytes() const { return dataBytes_; }
    // Called with the new security byte whenever a security write changed it.
    void setSecurityListener(std::function<void(uint8_t)> listener) { securityListener_ = std::move(listener); }

    // Signature data frame content (17 bytes) and the 64 KiB placement rules,
    // exposed for tests.
    Bytes signatureData() const;
    std::optional<uint32_t> checksumEnd(uint8_t pageByte) const;

private:
    enum class Mode { Command, Frame, Reset, Discard, ProgramData, VerifyData, SecurityByte, SecurityRetry };
    enum class Pending { None, Frame, VerifyChunk };
    enum class Shape { One, Two, StatusFrame }; // status answer with 1 or 2 statuses, or a status frame
    enum class FaultAnswer { None, Busy, Illegal };

    struct Chunk {
        uint32_t base = 0;
        Bytes data;
    };

    void startFrame(uint8_t byte, TimePoint at);
    void handleFrame(const wire::Frame &f, TimePoint at, bool repeated);
    void handleReset(TimePoint at);
    void applyFrameEffects(TimePoint at);

    void doSignature(const wire::Frame &f, TimePoint at);
    void doVersion(const wire::Frame &f, TimePoint at);
    void doChecksum(const wire::Frame &f, TimePoint at);
    void doErase(const wire::Frame &f, TimePoint at);
    void doEraseCheckAfterErase(const wire::Frame &f, TimePoint at); // 0x30
    void doBlankOrEraseCheck(const wire::Frame &f, TimePoint at, bool eraseCheck);
    void doProgram(const wire::Frame &f, TimePoint at);
    void doInternalVerify(const wire::Frame &f, TimePoint at);
    void doSecurityStart(const wire::Frame &f, TimePoint at);
    void doSecurityVerify(const wire::Frame &f, TimePoint at);
    void doVerify(const wire::Frame &f, TimePoint at);

    void programByte(uint8_t byte, TimePoint at);
    void endProgramChunk(TimePoint at, const char *why);
    void verifyByte(uint8_t byte, TimePoint at);
    void beginVerifyChunk(TimePoint at);
    void endVerifyChunk(TimePoint at, bool byGap, bool polled = false);
    void securityByte(uint8_t byte, TimePoint at, bool retry);

    // A scripted busy or illegal answer for `command`; a busy one leaves
    // `retry` pending for a fresh status if the host keeps quiet.
    FaultAnswer faultAnswer(int command, Shape shape, const wire::Frame *retry, TimePoint at);
    void sendStatus(Shape shape, uint8_t st1, uint8_t st2, TimePoint at, const std::string &what);
    void emit(const Bytes &bytes, TimePoint at, const std::string &what);
    void emitQuiet(const Bytes &bytes); // per-byte acks: summarised, not logged one by one
    void note(TimePoint at, const std::string &text);
    bool unitOk(const wire::Frame &f) const { return f.form == wire::FrameForm::Unit && f.standardOptions(); }
    TimePoint idleSince() const { return std::max(lastRx_, drainedAt_); }
    std::optional<TimePoint> modeDeadline() const;

    DeviceModel &model_;
    FaultPlan &faults_;
    Transcript &log_;
    const Timing timing_;

    Mode mode_ = Mode::Command;
    TimePoint modeSince_{};
    TimePoint lastRx_{};
    TimePoint drainedAt_{};
    Bytes frame_;
    size_t resetIndex_ = 0;

    Pending pending_ = Pending::None;
    wire::Frame pendingFrame_;
    TimePoint pendingSince_{};

    bool eraseCheckArmed_ = false; // the next unit-form 0x32 is an erase check
    bool lastEraseWholeChip_ = false;

    bool programRun_ = false;      // consecutive 0x40/0x19 page frames
    uint32_t bank_ = 0;            // 64 KiB window the page byte falls in
    uint8_t lastPage_ = 0;
    Chunk chunk_;
    std::optional<Chunk> lastChunk_;

    uint32_t vCur_ = 0, vEnd_ = 0, vChunkStart_ = 0;
    size_t vExpected_ = 0, vCount_ = 0;
    bool vMismatch_ = false;
    std::optional<uint32_t> vFirstMismatch_;
    struct DoneChunk {
        uint32_t next = 0;
        size_t count = 0;
        bool mismatch = false;
        bool byGap = false;
    } vDone_;
    std::optional<uint32_t> vDoneFirstMismatch_;

    std::optional<uint8_t> lastSecurityWrite_;
    std::function<void(uint8_t)> securityListener_;

    uint64_t frames_ = 0;
    uint64_t dataBytes_ = 0;
    bool silent_ = false;
    std::optional<TimePoint> silentUntil_;
    bool vanish_ = false;

    bool holding_ = false; // a slow erase: answers and input wait until holdUntil_
    TimePoint holdUntil_{};
    Bytes held_;
    std::deque<std::pair<uint8_t, TimePoint>> backlog_;

    Bytes out_;
};

}  // namespace quillsim
