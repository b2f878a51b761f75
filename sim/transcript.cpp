#include "sim/transcript.h"

#include <cstdio>

namespace quillsim {

std::string formatEntry(const TranscriptEntry &e) {
    const char *dir = e.direction == Direction::HostToDevice ? "host>" : e.direction == Direction::DeviceToHost ? "<dev " : "  -- ";
    char head[48];
    std::snprintf(head, sizeof head, "%8llu.%03llu %s ", static_cast<unsigned long long>(e.atMs / 1000),
                  static_cast<unsigned long long>(e.atMs % 1000), dir);
    std::string s = head;
    if (!e.bytes.empty()) s += "[" + wire::hex(e.bytes, 24) + "] ";
    s += e.text;
    return s;
}

void Transcript::add(std::chrono::steady_clock::time_point at, Direction d, std::string text, Bytes bytes, int command) {
    TranscriptEntry e;
    const auto since = at - origin_;
    e.atMs = since.count() > 0 ? static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count()) : 0;
    e.direction = d;
    e.command = command;
    e.bytes = std::move(bytes);
    e.text = std::move(text);
    if (sink_) sink_(e);
    entries_.push_back(std::move(e));
    if (entries_.size() > kCapacity) entries_.pop_front();
}

}  // namespace quillsim
