#include "sim/device_model.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "sim/wire.h"

namespace quillsim {

DeviceModel::DeviceModel(const SimConfig &config) : config_(config), flash_(config.flashSize(), 0xFF) {}

std::optional<size_t> DeviceModel::blockOf(uint32_t address) const {
    for (size_t i = 0; i < config_.blocks.size(); ++i)
        if (address >= config_.blocks[i].start && address <= config_.blocks[i].end) return i;
    return std::nullopt;
}

void DeviceModel::eraseBlocks(size_t first, size_t last) {
    for (size_t i = first; i <= last && i < config_.blocks.size(); ++i)
        std::memset(flash_.data() + config_.blocks[i].start, 0xFF, config_.blocks[i].end - config_.blocks[i].start + 1);
}

bool DeviceModel::blank(uint32_t start, uint32_t end) const {
    for (uint32_t a = start; a <= end && a < flash_.size(); ++a)
        if (flash_[a] != 0xFF) return false;
    return true;
}

bool DeviceModel::blocksBlank(size_t first, size_t last) const {
    return blank(config_.blocks[first].start, config_.blocks[last].end);
}

bool DeviceModel::program(uint32_t address, uint8_t value) {
    flash_[address] &= value;
    return flash_[address] == value;
}

void DeviceModel::overwrite(uint32_t address, const uint8_t *data, size_t size) {
    for (size_t i = 0; i < size && address + i < flash_.size(); ++i) flash_[address + i] = data[i];
}

void DeviceModel::flipBit(uint32_t address, unsigned bit) {
    if (address < flash_.size()) flash_[address] ^= static_cast<uint8_t>(1u << (bit & 7));
}

uint16_t DeviceModel::checksumTo(uint32_t end) const {
    return wire::checksum(flash_.data(), static_cast<size_t>(end) + 1);
}

std::optional<uint8_t> loadSecurityState(const std::string &path, std::string *error) {
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        if (errno == ENOENT) return kSecurityNone;
        if (error) *error = "cannot read state file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    char line[128];
    std::optional<uint8_t> found;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        unsigned value = 0;
        if (std::sscanf(line, "security=0x%x", &value) == 1 && value <= 0xFF) found = static_cast<uint8_t>(value);
    }
    std::fclose(f);
    if (!found && error) *error = "state file " + path + " has no line security=0xNN";
    return found;
}

bool saveSecurityState(const std::string &path, uint8_t security, std::string *error) {
    // Write beside the file and rename, so a crash never leaves half a state file.
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        char line[32];
        std::snprintf(line, sizeof line, "security=0x%02X\n", security);
        out << line;
        out.flush();
        if (!out) {
            if (error) *error = "cannot write state file " + tmp;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        if (error) *error = "cannot replace state file " + path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace quillsim
