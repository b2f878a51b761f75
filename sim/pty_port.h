// The device's end of a pseudo-terminal pair, and the COM alias that lets the
// host find it by number (Linux).
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "sim/device_end.h"

namespace quillsim {

uint32_t baudFromSpeed(unsigned speed); // termios speed_t constant to bits per second (0 if unknown)

class PtyPort {
public:
    PtyPort() = default;
    ~PtyPort() { close(); }
    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    // Creates the pair, raw at once (an echoing line would hand the device its
    // own answers back), non-blocking on our side. Throws std::runtime_error.
    void open();
    void close();
    bool isOpen() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string &path() const { return path_; }
    std::optional<LineSettings> line() const;
    // Bytes written to the host that it has not read yet.
    size_t unreadByHost() const;

private:
    int master_ = -1;
    // Held open for the life of the port and never read: without it, every
    // close by the host would leave the master reporting a hang-up.
    int slave_ = -1;
    std::string path_;
};

// Alias folder: $QUILLROM_PORTS_DIR, else $XDG_CONFIG_HOME/quillrom2/ports,
// else ~/.config/quillrom2/ports.
std::string defaultAliasDir();

// A COM<n> symlink to our pty, removed again by remove() or the destructor
// (only while it still points at our pty).
class PortAlias {
public:
    PortAlias() = default;
    ~PortAlias() { remove(); }
    PortAlias(const PortAlias &) = delete;
    PortAlias &operator=(const PortAlias &) = delete;

    // Throws std::runtime_error when n is outside 1..255, the folder cannot be
    // made, or COM<n> already names a device that exists. A stale entry (its
    // target gone) is replaced.
    void create(const std::string &dir, int n, const std::string &target);
    void remove();
    const std::string &entry() const { return entry_; }

private:
    std::string entry_;
    std::string target_;
};

}  // namespace quillsim
