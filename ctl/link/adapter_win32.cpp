// What the registry tells about a USB serial adapter on Windows. FTDI's
// driver keeps each adapter's port name and latency timer under its own
// enumerator (Enum\FTDIBUS\VID_0403+PID_6001+<serial>\0000\Device
// Parameters); the timer is changed in Device Manager (Port Settings,
// Advanced), which needs an administrator, so it is only read here.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/adapter.h"

namespace quill {
namespace {

constexpr const char *kFtdiEnum = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

std::string QueryText(HKEY key, const char *name) {
    char value[256] = {};
    DWORD size = sizeof value - 1, type = 0;
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return "";
    return value;
}

int QueryNumber(HKEY key, const char *name) {
    DWORD value = 0, size = sizeof value, type = 0;
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return -1;
    return static_cast<int>(value);
}

// "VID_0403+PID_6001+A50285BIA": the ids and the serial number (FTDI adds
// the interface letter to it).
void ParseDeviceKey(const std::string &name, AdapterInfo *out) {
    unsigned vid = 0, pid = 0;
    if (std::sscanf(name.c_str(), "VID_%4x+PID_%4x", &vid, &pid) == 2) {
        out->vendorId = static_cast<uint16_t>(vid);
        out->productId = static_cast<uint16_t>(pid);
    }
    const size_t second = name.find('+', name.find('+') + 1);
    if (second != std::string::npos) out->serial = name.substr(second + 1);
}

// Every FTDI adapter the system has seen; `want` (COM<n>) stops at that one.
std::vector<AdapterInfo> FtdiAdapters(const std::string &want) {
    std::vector<AdapterInfo> out;
    HKEY root;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFtdiEnum, 0, KEY_READ, &root) != ERROR_SUCCESS) return out;
    for (DWORD i = 0;; ++i) {
        char device[256] = {};
        DWORD size = sizeof device;
        if (::RegEnumKeyExA(root, i, device, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::string params = std::string(kFtdiEnum) + "\\" + device + "\\0000\\Device Parameters";
        HKEY key;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, params.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) continue;
        AdapterInfo a;
        a.tty = QueryText(key, "PortName");
        a.latencyTimerMs = QueryNumber(key, "LatencyTimer");
        ::RegCloseKey(key);
        if (a.tty.empty()) continue;
        a.driver = "ftdibus";
        a.usb = true;
        a.manufacturer = "FTDI";
        ParseDeviceKey(device, &a);
        if (a.latencyTimerMs >= 0) a.latencyPath = "HKLM\\" + params + "\\LatencyTimer";
        out.push_back(a);
        if (!want.empty() && _stricmp(a.tty.c_str(), want.c_str()) == 0) break;
    }
    ::RegCloseKey(root);
    return out;
}

// "\\.\COM7" or "COM7" -> "COM7".
std::string ComNameOf(const std::string &path) {
    const size_t at = path.rfind("COM");
    return at == std::string::npos ? path : path.substr(at);
}

}  // namespace

std::string SysfsRoot() { return ""; }
std::string SerialByIdDir() { return ""; }

bool ReadAdapterOfTty(const std::string &tty, AdapterInfo *out) {
    const std::vector<AdapterInfo> all = FtdiAdapters(tty);
    for (const AdapterInfo &a : all) {
        if (_stricmp(a.tty.c_str(), tty.c_str()) == 0) {
            *out = a;
            return true;
        }
    }
    return false;
}

bool ReadAdapterOfPath(const std::string &path, AdapterInfo *out) { return ReadAdapterOfTty(ComNameOf(path), out); }

bool ReadAdapterOfDescriptor(int fd, AdapterInfo *out) { return ReadAdapterOfTty("COM" + std::to_string(fd), out); }

std::vector<AdapterInfo> ListAdapters() { return FtdiAdapters(""); }

int ReadLatencyTimer(const std::string &file) {
    // "HKLM\<key>\LatencyTimer", as FtdiAdapters names it.
    if (file.rfind("HKLM\\", 0) != 0) return -1;
    const size_t last = file.rfind('\\');
    const std::string keyPath = file.substr(5, last - 5), value = file.substr(last + 1);
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    const int ms = QueryNumber(key, value.c_str());
    ::RegCloseKey(key);
    return ms;
}

bool WriteLatencyTimer(const std::string &, int) { return false; }

}  // namespace quill
