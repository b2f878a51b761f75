// USB serial adapters: what sysfs says about each driver kind, and the open
// path asking for low latency and putting it back on close.
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <mutex>
#include <vector>

#include "common/fake_sysfs.h"
#include "link/adapter.h"
#include "link/link.h"
#include "link/posix_ops.h"
#include "link_fixture.h"

using namespace quill;
using namespace quilltest;

namespace {

TEST(AdapterTest, EachDriverKindIsReadFromItsOwnLayout) {
    FakeSysfs fs;
    const FakeSysfs::Usb usb[] = {
        {"ttyUSB0", "ftdi_sio", 0x0403, 0x6001, "FTDI", "FT232R USB UART", "A50285BI", 16},
        {"ttyUSB1", "cp210x", 0x10c4, 0xea60, "Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001", -1},
        {"ttyUSB2", "ch341-uart", 0x1a86, 0x7523, "", "", "", -1},
        {"ttyUSB3", "pl2303", 0x067b, 0x2303, "Prolific Technology Inc.", "USB-Serial Controller", "", -1},
        {"ttyACM0", "cdc_acm", 0x2e8a, 0x000a, "Raspberry Pi", "Pico", "E6614103E7", -1},
    };
    for (const auto &u : usb) fs.AddUsb(u);
    fs.AddNative("ttyS0");

    for (const auto &u : usb) {
        SCOPED_TRACE(u.driver);
        AdapterInfo a;
        ASSERT_TRUE(ReadAdapterOfTty(u.tty, &a));
        EXPECT_EQ(a.tty, u.tty);
        EXPECT_EQ(a.driver, u.driver);
        EXPECT_TRUE(a.usb);
        EXPECT_EQ(a.vendorId, u.vendor);
        EXPECT_EQ(a.productId, u.product);
        EXPECT_EQ(a.serial, u.serial);
        EXPECT_EQ(a.latencyTimerMs, u.latencyMs);
        EXPECT_EQ(a.latencyPath.empty(), u.latencyMs < 0);
        EXPECT_NE(a.stablePath.find(fs.root() + "/dev/serial/by-id/usb-"), std::string::npos) << a.stablePath;
        // By path too, as the listing reads an alias's target.
        AdapterInfo byPath;
        ASSERT_TRUE(ReadAdapterOfPath(fs.DevNode(u.tty), &byPath));
        EXPECT_EQ(byPath.serial, a.serial);
    }
    AdapterInfo ch341;
    ASSERT_TRUE(ReadAdapterOfTty("ttyUSB2", &ch341));
    EXPECT_EQ(ch341.Description(), "USB 1a86:7523") << "an adapter without strings is named by its IDs";

    AdapterInfo native;
    ASSERT_TRUE(ReadAdapterOfTty("ttyS0", &native));
    EXPECT_EQ(native.driver, "serial8250");
    EXPECT_FALSE(native.usb);
    EXPECT_TRUE(native.stablePath.empty());
    EXPECT_FALSE(ReadAdapterOfTty("ttyUSB9", &native)) << "not present";
    EXPECT_FALSE(ReadAdapterOfTty("../ttyUSB0", &native)) << "a name, not a path";

    std::vector<std::string> listed;
    for (const auto &a : ListAdapters()) listed.push_back(a.tty);
    EXPECT_EQ(listed, (std::vector<std::string>{"ttyACM0", "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"}))
        << "USB adapters only, by name";
}

// Driver requests as an FTDI adapter answers them.
std::mutex g_ioctlLock;
std::vector<std::pair<unsigned long, int>> g_ioctls;  // request, ASYNC flags passed
int g_serialFlags = 0;
int FtdiIoctl(int, unsigned long request, void *arg) {
    std::lock_guard<std::mutex> lock(g_ioctlLock);
    auto *ss = static_cast<serial_struct *>(arg);
    if (request == TIOCGSERIAL) {
        *ss = serial_struct{};
        ss->flags = g_serialFlags;
    } else if (request == TIOCSSERIAL) {
        g_serialFlags = ss->flags;
    } else {
        errno = ENOTTY;
        return -1;
    }
    g_ioctls.emplace_back(request, g_serialFlags);
    return 0;
}
const PosixOps kFtdi = {::read, ::write, ::poll, FtdiIoctl};

using LowLatencyTest = LinkFixture;

TEST_F(LowLatencyTest, OpenLowersTheAdapterLatencyAndCloseRestoresIt) {
    // The pseudo-terminal plays the adapter's tty: filed under its device number.
    struct stat st {};
    ASSERT_EQ(::stat(peer.slavePath().c_str(), &st), 0);
    FakeSysfs fs;
    const std::string port = fs.AddUsb({"ttyUSB0", "ftdi_sio", 0x0403, 0x6001, "FTDI", "FT232R USB UART", "A1", 16},
                                       std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
    const std::string timer = port + "/latency_timer";
    LinkClosePort(h);
    g_serialFlags = 0;
    g_ioctls.clear();
    SetPosixOpsForTesting(&kFtdi);
    ASSERT_EQ(ComOpenPort(h, peer.slavePath().c_str()), 0);
    PRRLinkInfo info{};
    ASSERT_EQ(PRRFlshGetLinkInfo(h, &info), 0);
    EXPECT_EQ(info.portOpen, 1);
    EXPECT_EQ(info.lowLatency, 1);
    EXPECT_EQ(info.latencyTimerWasMs, 16);
    EXPECT_EQ(info.latencyTimerMs, 1);
    EXPECT_EQ(FakeSysfs::Read(timer), "1");
    ASSERT_EQ(g_ioctls.size(), 2u);
    EXPECT_EQ(g_ioctls[0].first, static_cast<unsigned long>(TIOCGSERIAL));
    EXPECT_EQ(g_ioctls[1].first, static_cast<unsigned long>(TIOCSSERIAL));
    EXPECT_TRUE(g_ioctls[1].second & ASYNC_LOW_LATENCY);

    LinkClosePort(h);
    EXPECT_EQ(FakeSysfs::Read(timer), "16") << "the next program finds the adapter as it was";
    EXPECT_FALSE(g_serialFlags & ASYNC_LOW_LATENCY);
    ASSERT_EQ(PRRFlshGetLinkInfo(h, &info), 0);
    EXPECT_EQ(info.portOpen, 0);
    EXPECT_EQ(info.latencyTimerWasMs, 16) << "kept for the caller after the close";

    // Already low: nothing to change, so nothing to put back.
    g_serialFlags = ASYNC_LOW_LATENCY;
    FakeSysfs::Write(timer, "1");
    g_ioctls.clear();
    ASSERT_EQ(ComOpenPort(h, peer.slavePath().c_str()), 0);
    LinkClosePort(h);
    EXPECT_EQ(g_ioctls.size(), 1u) << "only the look";
    EXPECT_TRUE(g_serialFlags & ASYNC_LOW_LATENCY);
    EXPECT_EQ(FakeSysfs::Read(timer), "1");
    SetPosixOpsForTesting(nullptr);

    // A pseudo-terminal refuses the request; the port works all the same.
    ASSERT_EQ(ComOpenPort(h, peer.slavePath().c_str()), 0);
    ASSERT_EQ(PRRFlshGetLinkInfo(h, &info), 0);
    EXPECT_EQ(info.lowLatency, 0);
    EXPECT_EQ(ComSetFormat(h, kBaudDevice), 0);
    peer.Start([](PtyPeer &p) { p.Send({0x06}); });
    uint8_t b = 0;
    EXPECT_EQ(ComReadByte(h, &b, 1000), 0);
    EXPECT_EQ(b, 0x06);
}

}  // namespace
