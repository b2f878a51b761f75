// Fault injection: what a misbehaving device does, scripted per command, per
// data byte or per frame count, from the command line or a test.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillsim {

enum class FaultKind {
    Busy,      // status answers to a command say busy (0x07 or 0x15), k times
    Illegal,   // status answers to a command, or the ack of one data byte, carry an illegal status
    NotErased, // erase checks report 0x1A, k times
    WriteFail, // the ack of data byte n reports a write failure (0x1D..0x1F)
    WrongEnd,  // the signature data frame ends with a wrong end byte, k times
    Silence,   // after frame n the device stops answering (for ms, or for good)
    Vanish,    // after frame n has been answered the port disappears
    SlowErase, // erase answers arrive ms late, for k erases (0 = every erase)
};

// Pseudo command code that names the reset handshake in a fault.
constexpr int kResetCommand = 0x100;

struct Fault {
    FaultKind kind = FaultKind::Busy;
    int command = -1;        // Busy, Illegal: command code or kResetCommand; -1 with byte set
    uint8_t status = 0;      // Busy, Illegal, WriteFail: the status sent
    uint32_t count = 1;      // Busy, Illegal, NotErased, WrongEnd, SlowErase: how many times
    std::optional<uint64_t> byte; // Illegal, WriteFail: 0-based data byte index since the fault was added
    uint64_t after = 0;      // Silence, Vanish: frames answered first, counted from when it was added
    uint32_t ms = 0;         // Silence (0 = for good), SlowErase: delay
};

// Parses one --fault RULE (syntax in sim/README.md); nullopt with a message.
std::optional<Fault> parseFault(std::string_view rule, std::string *error);
// The RULE text that parses back into `fault`.
std::string formatFault(const Fault &fault);

// The armed faults and their remaining counts. Not thread-safe: the owner locks.
class FaultPlan {
public:
    // `frames` and `dataBytes` are the device's counters now: counts in the
    // rule are relative to the moment the fault is added.
    void add(const Fault &fault, uint64_t frames, uint64_t dataBytes);
    void clear() { armed_.clear(); }
    std::vector<Fault> pending() const;

    // Status to send instead of the real one for the next answer to `command`.
    std::optional<uint8_t> takeStatus(int command);
    bool takeNotErased();
    // Status to acknowledge data byte `dataByte` (absolute index) with instead of 0x06.
    std::optional<uint8_t> takeAck(uint64_t dataByte);
    bool takeWrongEnd();
    uint32_t takeSlowEraseMs();

    struct FrameEffect {
        bool silence = false;
        uint32_t silenceMs = 0; // 0 = for good
        bool vanish = false;
    };
    // Called once frame number `frames` (absolute) has been answered.
    FrameEffect afterFrame(uint64_t frames);

private:
    struct Armed {
        Fault rule;
        uint64_t target = 0; // absolute byte index or frame number
        uint32_t left = 0;   // remaining uses; counting faults only
        bool unlimited = false;
    };
    std::vector<Armed> armed_;
};

}  // namespace quillsim
