// A link that lives in memory: what the host writes goes to a device
// function, which queues its answer. Reads take only what is queued, so a
// silent device costs no real time: a read that finds too little times out
// at once. For tests and fuzzers that run the sequences without a port.
#pragma once
#include <deque>
#include <functional>
#include <vector>

#include "link/link.h"

namespace quill {

class MemoryLink final : public Link {
public:
    // Called with every write; appends what the device answers to `answer`.
    using Device = std::function<void(const uint8_t *bytes, size_t count, std::deque<uint8_t> &answer)>;

    explicit MemoryLink(Device device) : device_(std::move(device)) {}

    int32_t ReadExact(uint8_t *buf, size_t count, uint32_t timeoutMs, bool wakeOnAbort) override;
    int32_t Write(const uint8_t *buf, size_t count) override;
    void PurgeRx() override { answer_.clear(); }
    int32_t SetFormat(uint32_t baud) override;
    void SetModemLine(ModemLine line, bool on) override;
    int Descriptor() const override { return 0; }

    // What a test looks at afterwards.
    const std::vector<uint8_t> &written() const { return written_; }
    uint32_t baud() const { return baud_; }
    bool rts() const { return rts_; }
    bool dtr() const { return dtr_; }
    // Modem-line changes in order: 'R'/'r' RTS set/clear, 'D'/'d' DTR set/clear.
    const std::vector<char> &lineChanges() const { return lines_; }
    // Bytes queued as if the device had sent them unasked.
    void Queue(std::initializer_list<uint8_t> bytes) { answer_.insert(answer_.end(), bytes); }
    // Makes every later write fail (an adapter pulled out).
    void Unplug() { unplugged_ = true; }

private:
    Device device_;
    std::deque<uint8_t> answer_;
    std::vector<uint8_t> written_;
    std::vector<char> lines_;
    uint32_t baud_ = 0;
    bool rts_ = false;
    bool dtr_ = false;
    bool unplugged_ = false;
};

}  // namespace quill
