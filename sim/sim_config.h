// What the virtual target is: memory layout, frame form, identity and timing,
// taken from a parameter file and then open to overrides.
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DeviceParameters;

namespace quillsim {

struct BlockRange {
    uint32_t start = 0;
    uint32_t end = 0; // inclusive
};

// Device-side time limits; the host-side read time-outs they must fit in are
// 400 ms per byte, so both gaps stay well below that.
struct Timing {
    // A programming or verify chunk shorter than 256 bytes ends after this much
    // silence; long enough that a busy host between two bytes is not mistaken
    // for the end of a chunk.
    std::chrono::milliseconds chunkGap{200};
    // After a busy answer, a host that neither re-sends nor writes anything for
    // this long is polling: the device then sends a fresh status on its own.
    std::chrono::milliseconds repeatGap{200};
    // A wait for data that never starts (program page accepted, security write
    // accepted) is given up after this long, so later bytes are read as commands.
    std::chrono::milliseconds staleWait{1000};
};

struct SimConfig {
    std::string deviceName;
    uint16_t deviceCode = 0;
    std::vector<BlockRange> blocks; // contiguous, ascending, block 0 starts at 0
    bool addressForm = false;       // 0x20/0x22/0x32 start commands carry addresses
    bool blankCheck = true;         // the device answers blank checks
    bool verifyStatusFrame = false; // first verify status comes as a status frame
    std::array<uint8_t, 4> signatureId{}; // byte 3 is sent only by address-form devices
    std::string signatureName;      // up to 10 characters, padded with blanks
    uint8_t versionMajor = 1;
    uint8_t versionMinor = 0;       // 0..99, sent as two BCD digits
    Timing timing;

    uint32_t flashSize() const { return blocks.empty() ? 0 : blocks.back().end + 1; }
};

// Largest flash the signature can describe (three 7-bit groups).
constexpr uint32_t kMaxFlashSize = 0x200000;
// Devices whose name starts with this answer the first verify status with a status frame.
constexpr const char *kStatusFramePrefix = "QZ40A";

// Builds a configuration from a parsed parameter file; nullopt with a reason
// when the block table cannot describe a flash array.
std::optional<SimConfig> configFromParameters(const DeviceParameters &prm, std::string *error);
// Reads the parameter file and builds the configuration.
std::optional<SimConfig> loadConfig(const std::string &prmPath, std::string *error);

// Default identity: ID bytes 0x51, device code high, device code low, 0x00.
std::array<uint8_t, 4> defaultSignatureId(uint16_t deviceCode);

}  // namespace quillsim
