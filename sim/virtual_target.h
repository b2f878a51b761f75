// The virtual target: a simulated microcontroller bootloader behind a
// pseudo-terminal, run on its own thread. Every accessor is thread-safe.
//
//   quillsim::VirtualTarget sim("samples/demo.prm");
//   sim.start();
//   sim.registerAlias(40);               // COM40 in the alias folder
//   ... the host opens sim.ptyPath() ...
//   auto image = sim.flash();
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/faults.h"
#include "sim/device_end.h"
#include "sim/sim_config.h"
#include "sim/transcript.h"

struct DeviceParameters;

namespace quillsim {

class VirtualTarget {
public:
    // Throws std::runtime_error when the parameter file cannot describe a device.
    explicit VirtualTarget(const std::string &prmPath);
    explicit VirtualTarget(const DeviceParameters &prm);
    explicit VirtualTarget(SimConfig config);
    ~VirtualTarget(); // stops
    VirtualTarget(const VirtualTarget &) = delete;
    VirtualTarget &operator=(const VirtualTarget &) = delete;

    // Opens the pty and starts the device thread. Throws on failure. A target
    // is started once; after stop() it stays stopped.
    void start();
    // Starts it instead on COM<comNumber> served by the control library in
    // this process (no pty; any system). Throws on failure.
    void serve(int comNumber);
    // Stops the thread, closes the pty, removes the alias. Idempotent.
    void stop();
    bool running() const;
    // True once a vanish fault has taken the port away.
    bool vanished() const;

    // The pty's path; for a served port its name.
    std::string ptyPath() const;
    // Registers COM<n> (a symlink to the pty) in `dir`, or in the default alias
    // folder when `dir` is empty; returns the entry's path. Removed on stop.
    std::string registerAlias(int n, const std::string &dir = {});

    // Configuration and identity. Identity setters apply to the next answer.
    SimConfig config() const;
    void setSignatureId(const std::array<uint8_t, 4> &id);
    void setSignatureName(const std::string &name);
    void setFirmwareVersion(uint8_t major, uint8_t minor);

    // Flash and security.
    std::vector<uint8_t> flash() const;
    uint32_t flashSize() const;
    void setFlash(uint32_t address, const std::vector<uint8_t> &bytes); // as is, no flash rules
    void flipBit(uint32_t address, unsigned bit);
    bool dumpFlash(const std::string &path, std::string *error = nullptr) const; // raw image of the whole flash
    uint8_t securityByte() const;
    void setSecurityByte(uint8_t value);
    // Loads the security byte from `path` (if it exists) and saves every change there.
    bool setStateFile(const std::string &path, std::string *error = nullptr);

    // Faults: counts in a rule run from the moment it is added.
    void addFault(const Fault &fault);
    bool addFault(std::string_view rule, std::string *error = nullptr);
    void clearFaults();
    std::vector<Fault> pendingFaults() const;

    // Pacing: 11 bits per character at `baud` (0 = as fast as the pty goes);
    // or follow the baud the host set on its end of the line.
    void setPacingBaud(uint32_t baud);
    void setPacingFollowsLine(bool follow);
    // Models a USB adapter's latency timer: every answer is held until the
    // next multiple of `period` after its last character is complete (0: none).
    void setLatency(std::chrono::milliseconds period);

    // Line settings the host applied, as the pty reports them.
    std::optional<LineSettings> observedLine() const;
    uint32_t observedBaud() const; // 0 before the port opened

    // Transcript of frames, answers, data chunks and notes.
    std::vector<TranscriptEntry> transcript() const;
    void clearTranscript();
    // Called on the device thread for each new entry (keep it short).
    void setTraceSink(std::function<void(const TranscriptEntry &)> sink);
    // Counts of command frames (reset handshakes included) and data bytes received.
    uint64_t framesReceived() const;
    uint64_t dataBytesReceived() const;
    // Waits until at least `frames` frames have been received; false on time-out.
    bool waitForFrames(uint64_t frames, std::chrono::milliseconds timeout) const;

private:
    void startOn(const std::function<std::unique_ptr<DeviceEnd>()> &open);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quillsim
