#include "sim/sim_config.h"

#include <cstring>
#include <memory>

#include "quillctl.h"

namespace quillsim {

std::array<uint8_t, 4> defaultSignatureId(uint16_t deviceCode) {
    return {0x51, static_cast<uint8_t>(deviceCode >> 8), static_cast<uint8_t>(deviceCode & 0xFF), 0x00};
}

std::optional<SimConfig> configFromParameters(const DeviceParameters &prm, std::string *error) {
    auto fail = [error](const std::string &why) -> std::optional<SimConfig> {
        if (error) *error = why;
        return std::nullopt;
    };
    if (prm.blockCount <= 0 || prm.blockTable == nullptr) return fail("the parameter file has no block table");
    if (prm.blockCount > 256) return fail("more than 256 blocks cannot be named by one unit byte");

    SimConfig c;
    uint32_t next = 0;
    for (int32_t i = 0; i < prm.blockCount; ++i) {
        const RangeEntry &e = prm.blockTable[i];
        // The reader derives each start from the previous end, so a gap or an
        // end below its start means a block line is missing.
        if (e.start != next || e.end < e.start)
            return fail("block " + std::to_string(i) + " does not continue the block table");
        if (e.end >= kMaxFlashSize) return fail("the flash is larger than 2 MiB");
        c.blocks.push_back({e.start, e.end});
        next = e.end + 1;
    }
    c.deviceName.assign(prm.deviceName, strnlen(prm.deviceName, sizeof prm.deviceName));
    c.deviceCode = prm.deviceCode;
    c.addressForm = (prm.parseFlags & PRR_PARSE_ADDRESS_FORM) != 0;
    c.blankCheck = (prm.rangeSet5 & 0x02) != 0;
    c.verifyStatusFrame = c.deviceName.rfind(kStatusFramePrefix, 0) == 0;
    c.signatureId = defaultSignatureId(c.deviceCode);
    c.signatureName = c.deviceName.substr(0, 10);
    return c;
}

std::optional<SimConfig> loadConfig(const std::string &prmPath, std::string *error) {
    std::unique_ptr<DeviceParameters, void (*)(DeviceParameters *)> prm(PRRReadPRM(prmPath.c_str(), 0), PRRFreePRM);
    if (!prm) {
        if (error) *error = "cannot read parameter file " + prmPath;
        return std::nullopt;
    }
    return configFromParameters(*prm, error);
}

}  // namespace quillsim
