// What sysfs tells about the device behind a serial port: the driver, the USB
// adapter's identity and its latency timer. Read under a root that tests can
// point at a fake tree ($QUILLROM_SYSFS_ROOT), since every USB serial adapter
// lays its attributes out a little differently.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace quill {

// $QUILLROM_SYSFS_ROOT, else /sys.
std::string SysfsRoot();
// $QUILLROM_SERIAL_BY_ID_DIR, else /dev/serial/by-id: where udev keeps the
// names that follow an adapter's serial number rather than its plug order.
std::string SerialByIdDir();

struct AdapterInfo {
    std::string tty;             // "ttyUSB0"
    std::string driver;          // "ftdi_sio", "cp210x", "ch341-uart", "pl2303", "cdc_acm", "serial8250"
    bool usb = false;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string manufacturer;
    std::string product;
    std::string serial;
    int latencyTimerMs = -1;     // -1: the driver has none
    bool latencyWritable = false;
    std::string latencyPath;     // the sysfs attribute, empty when none
    std::string stablePath;      // the by-id name of the adapter, empty when none

    // "FTDI FT232R USB UART", or "USB 0403:6001" when the adapter names nothing.
    std::string Description() const;
};

// By tty name ("ttyUSB0"); false when sysfs has no device behind it.
bool ReadAdapterOfTty(const std::string &tty, AdapterInfo *out);
// By device path (followed through symlinks to the tty's name).
bool ReadAdapterOfPath(const std::string &path, AdapterInfo *out);
// By an open descriptor, through its device number (dev/char/MAJ:MIN).
bool ReadAdapterOfDescriptor(int fd, AdapterInfo *out);
// Every USB serial adapter present, by tty name.
std::vector<AdapterInfo> ListAdapters();

// The latency timer in ms from its attribute; -1 when it cannot be read.
int ReadLatencyTimer(const std::string &file);
// Writes `ms` and reads it back: true when it now holds that value.
bool WriteLatencyTimer(const std::string &file, int ms);

}  // namespace quill
