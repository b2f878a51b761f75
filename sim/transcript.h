// A record of what crossed the wire and what the device made of it: frames as
// decoded, answers, data chunks in summary, faults applied, line changes.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/wire.h"

namespace quillsim {

enum class Direction { HostToDevice, DeviceToHost, Note };

struct TranscriptEntry {
    uint64_t atMs = 0; // since the target started
    Direction direction = Direction::Note;
    int command = -1;  // command code of a decoded frame (kResetCommand for the handshake), else -1
    Bytes bytes;       // frame or answer bytes as on the wire (empty for notes and data summaries)
    std::string text;
};

std::string formatEntry(const TranscriptEntry &e);

// Bounded: a long-running target keeps the newest entries.
class Transcript {
public:
    using Sink = std::function<void(const TranscriptEntry &)>;
    static constexpr size_t kCapacity = 100000;

    explicit Transcript(std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now()) : origin_(origin) {}
    void setOrigin(std::chrono::steady_clock::time_point origin) { origin_ = origin; }
    void setSink(Sink sink) { sink_ = std::move(sink); }

    void add(std::chrono::steady_clock::time_point at, Direction d, std::string text, Bytes bytes = {}, int command = -1);
    std::vector<TranscriptEntry> entries() const { return {entries_.begin(), entries_.end()}; }
    void clear() { entries_.clear(); }

private:
    std::chrono::steady_clock::time_point origin_;
    std::deque<TranscriptEntry> entries_;
    Sink sink_;
};

}  // namespace quillsim
