// COM names on Windows are the ports' own: COM<n> opens as \\.\COM<n>, and
// the ports present are the system's list of serial devices, with the
// friendly name Device Manager shows where the system has one.
#include <windows.h>
#include <setupapi.h>
#include <devguid.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "link/adapter.h"
#include "link/port_names.h"

namespace quill {
namespace {

int ComNumber(const std::string &name) {
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return 0;
    char *end = nullptr;
    const long n = std::strtol(name.c_str() + 3, &end, 10);
    return *end == '\0' && n >= kComFirst && n <= kComLast ? static_cast<int>(n) : 0;
}

// "COM7" -> "USB Serial Port (COM7)", from the Ports device class.
std::map<std::string, std::string> FriendlyNames() {
    std::map<std::string, std::string> names;
    HDEVINFO set = ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        char friendly[256] = {};
        if (!::SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_FRIENDLYNAME, nullptr,
                                                 reinterpret_cast<BYTE *>(friendly), sizeof friendly - 1, nullptr))
            continue;
        HKEY key = ::SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char port[64] = {};
        DWORD size = sizeof port - 1, type = 0;
        if (::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(port), &size) == ERROR_SUCCESS &&
            type == REG_SZ)
            names[port] = friendly;
        ::RegCloseKey(key);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return names;
}

}  // namespace

std::string AliasDir() { return ""; }

std::vector<PortEntry> ReadAliases(const std::string &) { return {}; }

std::string ResolveComPort(int number) {
    if (number < kComFirst || number > kComLast) return "";
    return "\\\\.\\COM" + std::to_string(number);
}

std::vector<PortEntry> ListPorts(bool) {
    std::vector<PortEntry> out;
    HKEY key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return out;
    const std::map<std::string, std::string> friendly = FriendlyNames();
    for (DWORD i = 0;; ++i) {
        char device[256] = {}, port[64] = {};
        DWORD deviceSize = sizeof device, portSize = sizeof port - 1, type = 0;
        const LONG rc = ::RegEnumValueA(key, i, device, &deviceSize, nullptr, &type, reinterpret_cast<BYTE *>(port),
                                        &portSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        const int n = ComNumber(port);
        if (n == 0) continue;
        PortEntry e;
        e.number = n;
        e.name = "COM" + std::to_string(n);
        e.path = ResolveComPort(n);
        const auto f = friendly.find(e.name);
        e.description = f != friendly.end() ? f->second : std::string(device);
        AdapterInfo adapter;
        if (ReadAdapterOfPath(e.path, &adapter) && !adapter.serial.empty())
            e.description += " (" + adapter.serial + ")";
        out.push_back(e);
    }
    ::RegCloseKey(key);
    std::sort(out.begin(), out.end(), [](const PortEntry &a, const PortEntry &b) { return a.number < b.number; });
    out.erase(std::unique(out.begin(), out.end(), [](const PortEntry &a, const PortEntry &b) { return a.number == b.number; }),
              out.end());
    return out;
}

}  // namespace quill
