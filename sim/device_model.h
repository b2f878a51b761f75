// The device's memory: a flash array with the rules of real flash cells, and
// the security byte. Knows nothing about the wire.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_config.h"

namespace quillsim {

// Security byte: pairs of bits, a flag is set once either bit of its pair is 0.
constexpr uint8_t kSecurityNone = 0xFF;
constexpr uint8_t kSecurityProgramBits = 0x30;    // disable program
constexpr uint8_t kSecurityBlockEraseBits = 0x03; // disable block erase
constexpr uint8_t kSecurityChipEraseBits = 0x0C;  // disable chip erase

class DeviceModel {
public:
    explicit DeviceModel(const SimConfig &config);

    const SimConfig &config() const { return config_; }
    // Identity and timing may change while running; the layout may not.
    SimConfig &mutableConfig() { return config_; }
    uint32_t size() const { return static_cast<uint32_t>(flash_.size()); }
    size_t blockCount() const { return config_.blocks.size(); }
    const BlockRange &block(size_t i) const { return config_.blocks[i]; }
    // Index of the block holding `address`; nullopt outside the flash.
    std::optional<size_t> blockOf(uint32_t address) const;

    const std::vector<uint8_t> &flash() const { return flash_; }
    uint8_t at(uint32_t address) const { return flash_[address]; }

    void eraseBlocks(size_t first, size_t last); // inclusive; every cell to 0xFF
    bool blank(uint32_t start, uint32_t end) const; // inclusive range, all 0xFF
    bool blocksBlank(size_t first, size_t last) const;
    // Programming can only clear bits. Returns true when the cell now holds `value`.
    bool program(uint32_t address, uint8_t value);

    // Test hooks: overwrite cells as they are (no flash rules), flip one bit.
    void overwrite(uint32_t address, const uint8_t *data, size_t size);
    void flipBit(uint32_t address, unsigned bit);

    uint8_t securityByte() const { return security_; }
    // Flags can only be added: the stored byte becomes old AND value.
    void writeSecurity(uint8_t value) { security_ &= value; }
    void setSecurityByte(uint8_t value) { security_ = value; }
    bool programForbidden() const { return (security_ & kSecurityProgramBits) != kSecurityProgramBits; }
    bool blockEraseForbidden() const { return (security_ & kSecurityBlockEraseBits) != kSecurityBlockEraseBits; }
    bool chipEraseForbidden() const { return (security_ & kSecurityChipEraseBits) != kSecurityChipEraseBits; }

    // Device checksum from address 0 to `end` inclusive.
    uint16_t checksumTo(uint32_t end) const;

private:
    SimConfig config_;
    std::vector<uint8_t> flash_;
    uint8_t security_ = kSecurityNone;
};

// State file: "security=0xNN". A missing file means no flags set.
std::optional<uint8_t> loadSecurityState(const std::string &path, std::string *error);
bool saveSecurityState(const std::string &path, uint8_t security, std::string *error);

}  // namespace quillsim
