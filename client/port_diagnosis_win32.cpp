// Why a COM port cannot be used, on Windows: the port names are the
// system's own, and an open tells missing from busy.
#include <windows.h>

#include <cstring>
#include <vector>

#include "client/port_diagnosis.h"
#include "quillctl.h"

namespace quillclient {

ResolveError ResolvePort(const std::string &spec, PortChoice *out, std::string *why) {
    // \\.\COM7 names COM7 as well.
    const std::string name = spec.rfind("\\\\.\\", 0) == 0 ? spec.substr(4) : spec;
    const int n = ComNumberOf(name);
    if (n <= 0) {
        *why = "'" + spec + "' is not a COM port: give COM1 to COM255 ('quillrom ports' lists the ports present)";
        return ResolveError::BadName;
    }
    out->number = n;
    out->name = "COM" + std::to_string(n);
    char path[64];
    out->path = PRRComPortPath(n, path, sizeof path) > 0 ? std::string(path) : std::string();
    return ResolveError::None;
}

std::string DescribePortFault(const PortProbe &p) {
    switch (p.fault) {
    case PortFault::Missing:
    case PortFault::Gone:
        return p.name + ": no such port (not plugged in, or its driver is not installed); 'quillrom ports' lists the ports present";
    case PortFault::Busy:
        return p.name + ": port busy, in use by another program; close it or choose another port";
    case PortFault::Denied:
        return p.name + ": access denied";
    case PortFault::NotSerial:
        return p.name + ": not a serial port (it opens, but takes no line settings)";
    case PortFault::Unexplained:
        break;
    }
    return p.name + ": the port could not be opened, but it opens now; it may have been busy for a moment: try again";
}

PortProbe ProbePort(const PortChoice &port) {
    PortProbe p;
    p.name = port.name;
    p.path = port.path;
    if (p.path.empty()) {
        p.fault = PortFault::Missing;
        return p;
    }
    HANDLE h = ::CreateFileA(p.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = ::GetLastError();
        // Windows answers a port another program holds with "access denied".
        if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) p.fault = PortFault::Busy;
        else if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) p.fault = PortFault::Missing;
        else p.fault = PortFault::Unexplained;
        return p;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    p.fault = ::GetCommState(h, &dcb) ? PortFault::Unexplained : PortFault::NotSerial;
    ::CloseHandle(h);
    return p;
}

}  // namespace quillclient
