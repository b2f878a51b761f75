// `quillrom ports` over a fake sysfs: what each adapter is, the latency
// warning, and aliases that follow an adapter's serial number.
#include <climits>
#include <nlohmann/json.hpp>

#include "cli_fixture.h"
#include "common/fake_sysfs.h"
#include "ports_view.h"

using namespace clitest;
using quilltest::FakeSysfs;

namespace {

std::string ComPath(int n) {
    char path[PATH_MAX];
    return PRRComPortPath(n, path, sizeof path) > 0 ? std::string(path) : std::string();
}

TEST_F(CliTest, AliasBySerialIsWrittenListedResolvedAndRemoved) {
    FakeSysfs fs;
    fs.AddUsb({"ttyUSB0", "ftdi_sio", 0x0403, 0x6001, "FTDI", "FT232R USB UART", "A50285BI", 16});
    fs.AddUsb({"ttyUSB1", "cp210x", 0x10c4, 0xea60, "Silicon Labs", "CP2102", "0001", -1});
    const std::string stable = fs.root() + "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

    CliRun r = Cli({"ports", "--alias", "COM12", "--serial", "A50285BI"});
    ASSERT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, "COM12 -> " + stable)) << Show(r);
    EXPECT_EQ(ComPath(12), stable) << "the library opens the stable name, wherever the adapter is plugged";

    r = Cli({"ports"});
    ASSERT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, "alias: FTDI FT232R USB UART (A50285BI)")) << Show(r);
    EXPECT_TRUE(Has(r.out, "ftdi_sio 0403:6001, serial A50285BI, latency timer 16 ms")) << Show(r);

    r = Cli({"ports", "--json"});
    ASSERT_EQ(r.code, 0) << Show(r);
    const auto list = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(list.is_array()) << r.out;
    bool seen = false;
    for (const auto &p : list) {
        if (p.value("name", "") != "COM12") continue;
        seen = true;
        EXPECT_TRUE(p["alias"].get<bool>());
        EXPECT_EQ(p["adapter"]["driver"], "ftdi_sio");
        EXPECT_EQ(p["adapter"]["vendorId"], "0403");
        EXPECT_EQ(p["adapter"]["serial"], "A50285BI");
        EXPECT_EQ(p["adapter"]["latencyTimerMs"], 16);
    }
    EXPECT_TRUE(seen) << r.out;

    struct Refusal {
        std::vector<std::string> args;
        int code;
        const char *says;
    } refusals[] = {
        {{"ports", "--alias", "COM12", "--serial", "A50285BI"}, 0, "(already)"},
        {{"ports", "--alias", "COM12", "--serial", "0001"}, 3, "COM12 is already an alias"},
        {{"ports", "--alias", "COM13", "--serial", "NOSUCH"}, 3, "no USB serial adapter with serial number NOSUCH"},
        {{"ports", "--alias", "COM13", "--path", fs.root() + "/dev/none"}, 3, "No such file"},
        {{"ports", "--alias", "COM300", "--serial", "0001"}, 2, "not a COM port name"},
        {{"ports", "--alias", "COM13"}, 2, "--serial NUMBER or --path"},
        {{"ports", "--serial", "0001"}, 2, "--serial requires --alias"},
        {{"ports", "--unalias", "COM14"}, 3, "no alias COM14"},
    };
    for (const auto &c : refusals) {
        r = Cli(c.args);
        EXPECT_EQ(r.code, c.code) << Show(r);
        EXPECT_TRUE(Has(r.out + r.err, c.says)) << Show(r);
    }

    r = Cli({"ports", "--unalias", "COM12"});
    EXPECT_EQ(r.code, 0) << Show(r);
    EXPECT_EQ(ComPath(12), "/dev/ttyS11") << "back to the fixed name";
    r = Cli({"ports", "--alias", "COM13", "--path", fs.root() + "/dev/serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0"});
    EXPECT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(Cli({"ports"}).out, "alias: Silicon Labs CP2102 (0001)"));
}

TEST(PortsView, LatencyWarningOnlyWhenTheTimerIsHighAndStuck) {
    PRRAdapterInfo a{};
    std::snprintf(a.latencyPath, sizeof a.latencyPath, "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
    struct {
        int ms;
        int writable;
        bool warns;
    } cases[] = {{16, 0, true}, {3, 0, true}, {2, 0, false}, {1, 0, false}, {16, 1, false}, {-1, 0, false}};
    for (const auto &c : cases) {
        a.latencyTimerMs = c.ms;
        a.latencyWritable = c.writable;
        const std::string w = quillcli::LatencyWarning(a);
        EXPECT_EQ(!w.empty(), c.warns) << c.ms << " ms, writable " << c.writable;
        if (c.warns) {
            EXPECT_TRUE(Has(w, "/usr/lib/udev/rules.d/60-quillrom.rules")) << w;
            EXPECT_TRUE(Has(w, "echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer")) << w;
        }
    }
}

}  // namespace
