// A sysfs tree in a temporary folder, laid out the way each USB serial
// driver lays out its own, plus the /dev/serial/by-id names udev would make.
// Points the library at it for the object's lifetime.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace quilltest {

class FakeSysfs {
public:
    struct Usb {
        const char *tty;       // "ttyUSB0"
        const char *driver;    // "ftdi_sio"
        unsigned vendor, product;
        const char *manufacturer, *productName, *serial;
        int latencyMs;         // -1: the driver has no timer
    };

    FakeSysfs() {
        char tmpl[] = "/tmp/quill-sysfsXXXXXX";
        if (::mkdtemp(tmpl) != nullptr) root_ = tmpl;
        sys_ = root_ + "/sys";
        byId_ = root_ + "/dev/serial/by-id";
        std::filesystem::create_directories(sys_ + "/class/tty");
        std::filesystem::create_directories(sys_ + "/dev/char");
        std::filesystem::create_directories(byId_);
        Save("QUILLROM_SYSFS_ROOT", sys_, &oldSys_);
        Save("QUILLROM_SERIAL_BY_ID_DIR", byId_, &oldById_);
    }
    ~FakeSysfs() {
        Restore("QUILLROM_SYSFS_ROOT", oldSys_);
        Restore("QUILLROM_SERIAL_BY_ID_DIR", oldById_);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    FakeSysfs(const FakeSysfs &) = delete;
    FakeSysfs &operator=(const FakeSysfs &) = delete;

    const std::string &root() const { return root_; }
    // A device file named like the tty (a plain file: only its name is read).
    std::string DevNode(const std::string &tty) const { return root_ + "/dev/" + tty; }

    // A USB adapter: the usb device (ids, strings), its interface, and the
    // tty below it. usb-serial drivers put a port device between interface
    // and tty, which holds the FTDI latency timer; CDC-ACM hangs the tty on
    // the interface itself. `devChar` ("188:0") also files it by number.
    std::string AddUsb(const Usb &u, const std::string &devChar = "") {
        const std::string usbDev = sys_ + "/devices/pci0000:00/usb1/1-" + std::to_string(++ports_);
        const std::string iface = usbDev + "/" + BaseName(usbDev) + ":1.0";
        std::filesystem::create_directories(iface);
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04x", u.vendor);
        Write(usbDev + "/idVendor", hex);
        std::snprintf(hex, sizeof hex, "%04x", u.product);
        Write(usbDev + "/idProduct", hex);
        if (*u.manufacturer) Write(usbDev + "/manufacturer", u.manufacturer);
        if (*u.productName) Write(usbDev + "/product", u.productName);
        if (*u.serial) Write(usbDev + "/serial", u.serial);
        const bool acm = std::string(u.driver) == "cdc_acm";
        const std::string port = acm ? iface : iface + "/" + u.tty;
        std::filesystem::create_directories(port);
        Driver(port, acm ? "usb" : "usb-serial", u.driver);
        if (u.latencyMs >= 0) Write(port + "/latency_timer", std::to_string(u.latencyMs));
        const std::string ttyDir = port + "/tty/" + u.tty;
        std::filesystem::create_directories(ttyDir);
        std::filesystem::create_directory_symlink(acm ? "../.." : "../../../" + std::string(u.tty), ttyDir + "/device");
        File(u.tty, ttyDir, devChar);
        Write(DevNode(u.tty), "");
        std::string id = std::string("usb-") + u.manufacturer + "_" + u.productName + "_" + u.serial + "-if00";
        for (char &c : id)
            if (c == ' ') c = '_';
        if (!acm) id += "-port0";
        std::filesystem::create_symlink("../../" + std::string(u.tty), byId_ + "/" + id);
        return port;
    }

    // A native UART on the platform bus, with the serial-core controller and
    // port devices newer kernels put between it and its tty.
    void AddNative(const std::string &tty) {
        const std::string dev = sys_ + "/devices/platform/serial8250";
        const std::string ctrl = dev + "/serial8250:" + std::to_string(++natives_);
        const std::string port = ctrl + "/serial8250:" + std::to_string(natives_) + ".0";
        const std::string ttyDir = port + "/tty/" + tty;
        std::filesystem::create_directories(ttyDir);
        if (!std::filesystem::exists(dev + "/driver")) Driver(dev, "platform", "serial8250");
        for (const std::string &d : {port, ctrl}) {
            Driver(d, "serial-base", d == port ? "port" : "ctrl");
            std::filesystem::create_directory_symlink(sys_ + "/bus/serial-base", d + "/subsystem");
        }
        std::filesystem::create_directory_symlink("../..", ttyDir + "/device");
        File(tty, ttyDir, "");
        Write(DevNode(tty), "");
    }

    static void Write(const std::string &path, const std::string &text) {
        std::ofstream(path) << text << (text.empty() ? "" : "\n");
    }
    static std::string Read(const std::string &path) {
        std::string line;
        std::ifstream in(path);
        std::getline(in, line);
        return line;
    }

private:
    static std::string BaseName(const std::string &p) { return p.substr(p.find_last_of('/') + 1); }

    void Driver(const std::string &dev, const std::string &bus, const std::string &name) {
        const std::string drv = sys_ + "/bus/" + bus + "/drivers/" + name;
        std::filesystem::create_directories(drv);
        if (!std::filesystem::exists(dev + "/driver")) std::filesystem::create_directory_symlink(drv, dev + "/driver");
    }
    void File(const std::string &tty, const std::string &ttyDir, const std::string &devChar) {
        std::filesystem::create_directory_symlink(ttyDir, sys_ + "/class/tty/" + tty);
        if (!devChar.empty()) std::filesystem::create_directory_symlink(ttyDir, sys_ + "/dev/char/" + devChar);
    }
    static void Save(const char *name, const std::string &value, std::string *old) {
        if (const char *v = std::getenv(name)) *old = v;
        ::setenv(name, value.c_str(), 1);
    }
    static void Restore(const char *name, const std::string &old) {
        if (old.empty()) ::unsetenv(name);
        else ::setenv(name, old.c_str(), 1);
    }

    std::string root_, sys_, byId_, oldSys_, oldById_;
    int ports_ = 0;
    int natives_ = 0;
};

}  // namespace quilltest
