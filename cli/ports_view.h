// How `quillrom ports` shows a port and its adapter, as text and as JSON.
// Pure over the library's records, so tests can feed any adapter.
#pragma once
#include <string>
#include <vector>

#include "quillctl.h"

namespace quillcli {

struct PortView {
    PRRPortInfo port{};
    bool hasAdapter = false;
    PRRAdapterInfo adapter{};
};

// Above this many ms, an adapter's latency timer makes programming crawl.
constexpr int kLatencyWarnMs = 2;

// Why the port will program slowly and what to do; empty when it will not:
// a timer above kLatencyWarnMs that this user cannot lower (quillrom lowers
// a writable one itself while it has the port open).
std::string LatencyWarning(const PRRAdapterInfo &adapter);
// "ftdi_sio 0403:6001, serial A50285BI, latency timer 16 ms"
std::string AdapterLine(const PRRAdapterInfo &adapter);
std::string PortsText(const std::vector<PortView> &ports);
std::string PortsJson(const std::vector<PortView> &ports);

}  // namespace quillcli
