#include "ports_view.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "json_text.h"

namespace quillcli {
namespace {

std::string Field(const char *s, size_t size) { return std::string(s, strnlen(s, size)); }

std::string Hex4(uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

}  // namespace

std::string LatencyWarning(const PRRAdapterInfo &a) {
    if (a.latencyTimerMs <= kLatencyWarnMs || a.latencyWritable) return "";
    const std::string path = Field(a.latencyPath, sizeof a.latencyPath);
    char text[512];
#if defined(_WIN32)
    (void)path;
    std::snprintf(text, sizeof text,
                  "latency timer %d ms: every programmed byte may wait that long (16 ms makes a 64 KiB program take "
                  "minutes). Fix: Device Manager, the port's Properties, Port Settings, Advanced, Latency Timer (msec): 1",
                  a.latencyTimerMs);
#else
    std::snprintf(text, sizeof text,
                  "latency timer %d ms, and this user cannot lower it: every programmed byte may wait that long "
                  "(16 ms makes a 64 KiB program take minutes). Fix: the udev rule "
                  "/usr/lib/udev/rules.d/60-quillrom.rules that the package installs sets 1 ms (re-plug the adapter "
                  "after installing), or now: echo 1 | sudo tee %s",
                  a.latencyTimerMs, path.c_str());
#endif
    return text;
}

std::string AdapterLine(const PRRAdapterInfo &a) {
    std::string s = Field(a.driver, sizeof a.driver);
    if (a.isUsb) {
        s += (s.empty() ? "" : " ") + Hex4(a.vendorId) + ":" + Hex4(a.productId);
        const std::string serial = Field(a.serial, sizeof a.serial);
        if (!serial.empty()) s += ", serial " + serial;
    }
    if (a.latencyTimerMs >= 0) {
        s += ", latency timer " + std::to_string(a.latencyTimerMs) + " ms";
        if (a.latencyTimerMs > 1 && a.latencyWritable) s += " (lowered to 1 ms while quillrom has the port)";
    }
    return s;
}

std::string PortsText(const std::vector<PortView> &ports) {
    std::string out;
    for (const PortView &v : ports) {
        char line[512];
        std::snprintf(line, sizeof line, "%-6s %-24s %s\n", v.port.name, v.port.path, v.port.description);
        out += line;
        if (!v.hasAdapter) continue;
        const std::string detail = AdapterLine(v.adapter);
        if (!detail.empty()) out += "       " + detail + "\n";
        const std::string warning = LatencyWarning(v.adapter);
        if (!warning.empty()) out += "       warning: " + warning + "\n";
    }
    return out;
}

std::string PortsJson(const std::vector<PortView> &ports) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const PortView &v : ports) {
        nlohmann::ordered_json j;
        j["name"] = Latin1ToUtf8(Field(v.port.name, sizeof v.port.name));
        j["number"] = v.port.number;
        j["path"] = Latin1ToUtf8(Field(v.port.path, sizeof v.port.path));
        j["description"] = Latin1ToUtf8(Field(v.port.description, sizeof v.port.description));
        j["alias"] = v.port.isAlias != 0;
        if (v.hasAdapter) {
            const PRRAdapterInfo &a = v.adapter;
            nlohmann::ordered_json ad;
            ad["tty"] = Latin1ToUtf8(Field(a.tty, sizeof a.tty));
            ad["driver"] = Latin1ToUtf8(Field(a.driver, sizeof a.driver));
            ad["usb"] = a.isUsb != 0;
            if (a.isUsb) {
                ad["vendorId"] = Hex4(a.vendorId);
                ad["productId"] = Hex4(a.productId);
                ad["manufacturer"] = Latin1ToUtf8(Field(a.manufacturer, sizeof a.manufacturer));
                ad["product"] = Latin1ToUtf8(Field(a.product, sizeof a.product));
                ad["serial"] = Latin1ToUtf8(Field(a.serial, sizeof a.serial));
                ad["stablePath"] = Latin1ToUtf8(Field(a.stablePath, sizeof a.stablePath));
            }
            if (a.latencyTimerMs >= 0) {
                ad["latencyTimerMs"] = a.latencyTimerMs;
                ad["latencyWritable"] = a.latencyWritable != 0;
            } else {
                ad["latencyTimerMs"] = nullptr;
            }
            j["adapter"] = ad;
            const std::string warning = LatencyWarning(a);
            if (!warning.empty()) j["warning"] = warning;
        }
        list.push_back(j);
    }
    return list.dump(2, ' ', true);
}

}  // namespace quillcli
