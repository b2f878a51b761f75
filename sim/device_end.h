// The device's end of the line the host talks to: a pseudo-terminal (Linux),
// or a port the control library serves inside this process (any system).
// The virtual target's thread drives one through this interface.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quillsim {

// Line settings the host applied to its end. Linux keeps no parity on a pty,
// so there `parity` reads false even after the host asked for even parity.
struct LineSettings {
    uint32_t baud = 0;
    unsigned dataBits = 8;
    bool parity = false;
    bool oddParity = false;
    unsigned stopBits = 1;
    bool raw = false; // no echo, no canonical mode, no output processing
};
std::string describeLine(const LineSettings &line);

class DeviceEnd {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~DeviceEnd() = default;

    // Where the host finds it: the pty's path, or "COM40 (in this process)".
    virtual std::string name() const = 0;
    // Until the host wrote something, the end takes bytes again (when
    // `wantWritable`), wake() was called, or `deadline` passed (none: no
    // limit). False when waiting itself failed for good.
    virtual bool wait(std::optional<Clock::time_point> deadline, bool wantWritable) = 0;
    // What the host wrote, without waiting: the count, 0 for none, -1 when
    // the end reports an error that will not go away.
    virtual long read(uint8_t *buf, size_t size) = 0;
    // Hands bytes to the host: how many it took (a full pty takes fewer).
    virtual size_t write(const uint8_t *buf, size_t size) = 0;
    virtual std::optional<LineSettings> line() const = 0;
    // Bytes handed to the host that it has not read yet.
    virtual size_t unreadByHost() const = 0;
    // The line goes, with its name: the host sees what a pulled adapter
    // shows. Idempotent.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Ends a wait; from any thread.
    virtual void wake() = 0;
    // Makes COM<n> in the alias folder `dir` name this end (empty: the
    // default folder); the entry's path. Throws where the end has no alias.
    virtual std::string registerAlias(int n, const std::string &dir) = 0;
    // How far the device's clock may run ahead of real time. Zero where a
    // wait can be as short as a character (a pty on Linux): each answer then
    // leaves at its own wire time.
    virtual std::chrono::nanoseconds timerGrain() const { return {}; }
};

// The device end of a new pseudo-terminal. Throws std::runtime_error (and on
// systems without pseudo-terminals).
std::unique_ptr<DeviceEnd> openPtyEnd();
// COM<number>, served by the control library inside this process. Throws
// std::runtime_error when the number is taken or outside 1..255.
std::unique_ptr<DeviceEnd> openServedEnd(int number);

}  // namespace quillsim
