#include "link/port_names.h"
#include "link/adapter.h"
#include "platform/export_guard.h"

#include <dirent.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "quillctl.h"

namespace quill {
namespace {

bool StartsWith(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

// Number after `prefix` in `name` ("ttyUSB3" -> 3), or -1.
int SuffixNumber(const std::string &name, const char *prefix) {
    if (!StartsWith(name, prefix)) return -1;
    const std::string rest = name.substr(std::strlen(prefix));
    if (rest.empty() || rest.size() > 3 || !std::all_of(rest.begin(), rest.end(), ::isdigit)) return -1;
    return std::atoi(rest.c_str());
}

bool IsBlockName(const std::string &name) {
    return SuffixNumber(name, "ttyS") >= 0 || SuffixNumber(name, "ttyUSB") >= 0 || SuffixNumber(name, "ttyACM") >= 0;
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return s.substr(i);
}

const char *Prop(udev_device *d, const char *key) {
    const char *v = udev_device_get_property_value(d, key);
    return v ? v : "";
}

// Every tty device the system knows, with the properties the listing rule needs.
std::vector<TtyProps> GatherTtys() {
    std::vector<TtyProps> out;
    udev *u = udev_new();
    if (u == nullptr) return out;
    udev_enumerate *e = udev_enumerate_new(u);
    if (e != nullptr) {
        udev_enumerate_add_match_subsystem(e, "tty");
        udev_enumerate_scan_devices(e);
        udev_list_entry *entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            udev_device *d = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
            if (d == nullptr) continue;
            TtyProps p;
            const char *sys = udev_device_get_sysname(d);
            const char *node = udev_device_get_devnode(d);
            p.sysname = sys ? sys : "";
            p.devnode = node ? node : ("/dev/" + p.sysname);
            udev_device *parent = udev_device_get_parent(d);
            if (parent != nullptr) {
                p.hasParent = true;
                const char *drv = udev_device_get_driver(parent);
                p.driver = drv ? drv : "";
                if (udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_interface") != nullptr) {
                    p.usbParent = true;
                    std::string vendor = Prop(d, "ID_VENDOR_FROM_DATABASE");
                    if (vendor.empty()) vendor = Prop(d, "ID_VENDOR");
                    std::string model = Prop(d, "ID_MODEL_FROM_DATABASE");
                    if (model.empty()) model = Prop(d, "ID_MODEL");
                    p.description = Trim(vendor + " " + model);
                }
            }
            if (const char *type = udev_device_get_sysattr_value(d, "type")) p.uartType = std::atoi(type);
            out.push_back(std::move(p));
            udev_device_unref(d);
        }
        udev_enumerate_unref(e);
    }
    udev_unref(u);
    return out;
}

std::vector<std::string> OtherNames(const std::vector<TtyProps> &ttys) {
    std::vector<std::string> names;
    for (const auto &t : ttys)
        if (t.hasParent && !IsBlockName(t.sysname)) names.push_back(t.sysname);
    std::sort(names.begin(), names.end());
    return names;
}

std::string ComName(int n) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", n);
    return name;
}

}  // namespace

std::string AliasDir() {
    if (const char *d = std::getenv("QUILLROM_PORTS_DIR"); d && *d) return d;
    if (const char *x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/quillrom2/ports";
    if (const char *home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config/quillrom2/ports";
    return "";
}

bool ShouldListTty(const TtyProps &p, bool all) {
    if (!p.hasParent) return false;  // virtual terminals, consoles, ptmx
    if (p.usbParent || SuffixNumber(p.sysname, "ttyACM") >= 0) return true;
    // serial8250 registers placeholder names with no UART behind them.
    const bool placeholder = p.uartType == 0 || (p.driver == "serial8250" && p.uartType <= 0);
    if (placeholder) return false;
    if (SuffixNumber(p.sysname, "ttyS") >= 0) return true;
    return all;
}

int FixedComNumber(const std::string &sysname, const std::vector<std::string> &others) {
    int k;
    if ((k = SuffixNumber(sysname, "ttyS")) >= 0) return k + kComTtyS <= kComTtyUSB - 1 ? k + kComTtyS : 0;
    if ((k = SuffixNumber(sysname, "ttyUSB")) >= 0) return k + kComTtyUSB <= kComTtyACM - 1 ? k + kComTtyUSB : 0;
    if ((k = SuffixNumber(sysname, "ttyACM")) >= 0) return k + kComTtyACM <= kComOther - 1 ? k + kComTtyACM : 0;
    auto it = std::find(others.begin(), others.end(), sysname);
    if (it == others.end()) return 0;
    const int n = kComOther + static_cast<int>(it - others.begin());
    return n <= kComLast ? n : 0;
}

std::vector<PortEntry> ReadAliases(const std::string &dir) {
    std::map<int, PortEntry> found;
    if (dir.empty()) return {};
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return {};
    while (dirent *ent = ::readdir(d)) {
        const std::string name = ent->d_name;
        const int n = SuffixNumber(name, "COM");
        if (n < kComFirst || n > kComLast || name != ComName(n)) continue;
        const std::string full = dir + "/" + name;
        struct stat st {};
        if (::lstat(full.c_str(), &st) != 0) continue;
        std::string path;
        if (S_ISLNK(st.st_mode)) {
            char target[512];
            ssize_t len = ::readlink(full.c_str(), target, sizeof target - 1);
            if (len <= 0) continue;
            target[len] = '\0';
            path = target[0] == '/' ? std::string(target) : dir + "/" + target;
        } else if (S_ISREG(st.st_mode) && st.st_size < 4096) {
            std::ifstream in(full);
            std::getline(in, path);
            path = Trim(path);
        }
        if (path.empty()) continue;
        found[n] = PortEntry{n, name, path, "alias", true};
    }
    ::closedir(d);
    std::vector<PortEntry> out;
    for (auto &[n, e] : found) out.push_back(e);
    return out;
}

std::string ResolveComPort(int number) {
    if (number < kComFirst || number > kComLast) return "";
    for (const auto &a : ReadAliases(AliasDir()))
        if (a.number == number) return a.path;
    if (number < kComTtyUSB) return "/dev/ttyS" + std::to_string(number - kComTtyS);
    if (number < kComTtyACM) return "/dev/ttyUSB" + std::to_string(number - kComTtyUSB);
    if (number < kComOther) return "/dev/ttyACM" + std::to_string(number - kComTtyACM);
    const auto ttys = GatherTtys();
    const auto others = OtherNames(ttys);
    const size_t index = static_cast<size_t>(number - kComOther);
    return index < others.size() ? "/dev/" + others[index] : "";
}

std::vector<PortEntry> ListPorts(bool all) {
    std::vector<PortEntry> out = ReadAliases(AliasDir());
    std::vector<bool> taken(kComLast + 1, false);
    for (auto &a : out) {
        taken[a.number] = true;
        // An alias by serial number says which adapter it found.
        AdapterInfo adapter;
        if (ReadAdapterOfPath(a.path, &adapter) && adapter.usb) {
            a.description = "alias: " + adapter.Description();
            if (!adapter.serial.empty()) a.description += " (" + adapter.serial + ")";
        }
    }
    const auto ttys = GatherTtys();
    const auto others = OtherNames(ttys);
    std::vector<PortEntry> system;
    for (const auto &t : ttys) {
        if (!ShouldListTty(t, all)) continue;
        const int n = FixedComNumber(t.sysname, others);
        if (n == 0 || taken[n]) continue;  // an alias shadows the fixed name
        system.push_back(PortEntry{n, ComName(n), t.devnode, t.description, false});
    }
    std::sort(system.begin(), system.end(), [](const PortEntry &a, const PortEntry &b) { return a.number < b.number; });
    out.insert(out.end(), system.begin(), system.end());
    return out;
}

}  // namespace quill
