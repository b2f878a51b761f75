// COM numbers on Linux: one rule for opening (library) and listing (Device
// Setup, command line). COM<n> is first an alias in the alias folder, else a
// fixed block of device names.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace quill {

constexpr int kComFirst = 1;
constexpr int kComLast = 255;
constexpr int kComTtyS = 1;     // /dev/ttyS<k>   is COM<k+1>
constexpr int kComTtyUSB = 33;  // /dev/ttyUSB<k> is COM<k+33>
constexpr int kComTtyACM = 65;  // /dev/ttyACM<k> is COM<k+65>
constexpr int kComOther = 97;   // other serial drivers, in name order

// $QUILLROM_PORTS_DIR, else $XDG_CONFIG_HOME/quillrom2/ports, else ~/.config/quillrom2/ports.
std::string AliasDir();

// What a gathered tty device looks like, as the listing sees it.
struct TtyProps {
    std::string sysname;      // "ttyS0", "ttyUSB1", ...
    std::string devnode;      // "/dev/ttyS0"
    std::string driver;       // driver of the parent device ("serial8250", "ftdi_sio", ...); empty for virtual ttys
    bool hasParent = false;   // false for virtual terminals, consoles, ptmx
    bool usbParent = false;   // a USB interface sits above it
    int uartType = -1;        // sysfs "type" for serial-core ports; 0 = no UART behind the name; -1 unknown
    std::string description;  // USB vendor and model, when known
};

// Whether a gathered device is offered: native ports with a UART, USB serial
// adapters and ACM devices always; every real serial device with `all`.
bool ShouldListTty(const TtyProps &p, bool all);

// COM number of a device name by the fixed blocks; `others` is the sorted list
// of device names outside ttyS/ttyUSB/ttyACM. 0 when it has none.
int FixedComNumber(const std::string &sysname, const std::vector<std::string> &others);

struct PortEntry {
    int number = 0;
    std::string name;         // "COM12"
    std::string path;         // device path
    std::string description;  // USB description or "alias"
    bool alias = false;
};

// Aliases found in `dir` (entries COM<n>: a symlink to the device, or a file
// holding its path), by number.
std::vector<PortEntry> ReadAliases(const std::string &dir);

// Device path for COM<n>; empty when it names nothing.
std::string ResolveComPort(int number);

// Ports present: aliases first, then system devices by the listing rule.
std::vector<PortEntry> ListPorts(bool all);

}  // namespace quill
