// Which COM number a --port value names, and why a port could not be opened.
// The library says only "COM port open error"; a user at a production line
// needs to know whether the port is missing, held by another program or
// closed to them.
#pragma once
#include <string>
#include <vector>

namespace quillclient {

// A --port value resolved to the COM number the library opens.
struct PortChoice {
    int number = 0;    // 1..255
    std::string name;  // "COM40"
    std::string path;  // the device behind it, when known
};

// "COM40" or "com40" -> 40; 0 when `text` is not a COM name; -1 when it is
// one with a number outside 1..255.
int ComNumberOf(const std::string &text);

// Outcome of ResolvePort beyond success.
enum class ResolveError { None, BadName, NoSuchPort, NoComNumber };

// Resolves COM<n> or a device path. A device path must be one the port list
// knows (a fixed-block device or the target of an alias).
ResolveError ResolvePort(const std::string &spec, PortChoice *out, std::string *why);

enum class PortFault {
    Missing,      // neither an alias nor a device
    Gone,         // an alias or device node whose device is not there
    Busy,         // another open file holds it exclusively
    Denied,       // no read/write permission
    NotSerial,    // opens, but is not a terminal
    Unexplained,  // opens fine now
};

// What probing a port found; DescribePortFault turns it into words.
struct PortProbe {
    PortFault fault = PortFault::Unexplained;
    std::string name;                  // "COM40"
    std::string path;                  // device path, empty when none is known
    std::string aliasDir;              // where aliases are looked up
    std::string fixedPath;             // the device the COM naming rule gives the number, empty when none
    std::string group;                 // owning group of the device (Denied)
    std::vector<std::string> holders;  // "1234 (minicom)" (Busy)
};

std::string DescribePortFault(const PortProbe &probe);

// Probes `port` the way the library opens it and says why it cannot be used.
PortProbe ProbePort(const PortChoice &port);

}  // namespace quillclient
