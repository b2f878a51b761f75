// The pure pieces of the command line: range and port names, the words for
// port problems, the bytes a phase streams, progress lines and JSON text.
#include <cstring>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli_fixture.h"
#include "client/files.h"
#include "device_run.h"
#include "progress_view.h"

using namespace quillcli;
using clitest::CliTest;

namespace {

TEST(RangeOption, ParsesChipBlockAndArea) {
    struct Case {
        const char *text;
        bool ok;
        int32_t mode, first, last;
    } cases[] = {
        {"chip", true, PRR_AREA_CHIP, -1, -1},
        {"block:2-5", true, PRR_AREA_BLOCK, 2, 5},
        {"block:7", true, PRR_AREA_BLOCK, 7, 7},
        {"area:0x1-0x1", true, PRR_AREA_AREA, 1, 1},
        {"block:010-011", true, PRR_AREA_BLOCK, 10, 11},  // decimal, not octal
        {"block:0-255", true, PRR_AREA_BLOCK, 0, 255},
        {"block:0-256", false, 0, 0, 0},
        {"block:5-2", false, 0, 0, 0},
        {"block:-1-2", false, 0, 0, 0},
        {"block:1-", false, 0, 0, 0},
        {"block: 1-2", false, 0, 0, 0},
        {"block", false, 0, 0, 0},
        {"Chip", false, 0, 0, 0},
        {"sector:1-2", false, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        AreaRecord area{99, 99, 99, 0, 0};
        std::string why;
        ASSERT_EQ(ParseRange(c.text, &area, &why), c.ok) << why;
        if (!c.ok) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(area.mode, c.mode);
        EXPECT_EQ(area.first, c.first);
        EXPECT_EQ(area.last, c.last);
    }
}

TEST(PortOption, ComNames) {
    struct Case {
        const char *text;
        int number;
    } cases[] = {{"COM1", 1}, {"com40", 40}, {"Com255", 255}, {"COM0", -1}, {"COM256", -1}, {"COM", 0},
                 {"COM4a", -1}, {"COM99999999999", -1}, {"/dev/ttyUSB0", 0}, {"ttyS0", 0}};
    for (const Case &c : cases) EXPECT_EQ(ComNumberOf(c.text), c.number) << c.text;
}

TEST(PortProblems, SayWhatToDo) {
    PortProbe base;
    base.name = "COM34";
    base.path = "/dev/ttyUSB1";
    base.aliasDir = "/home/u/.config/quillrom2/ports";
    base.fixedPath = "/dev/ttyUSB1";
    struct Case {
        PortFault fault;
        std::string path, group;
        std::vector<std::string> holders;
        std::vector<std::string> words;
    } cases[] = {
        {PortFault::Missing, "", "", {}, {"COM34: no such port", "no alias COM34 in /home/u/.config/quillrom2/ports",
                                          "no device /dev/ttyUSB1", "quillrom ports"}},
        {PortFault::Gone, "/dev/ttyUSB1", "", {}, {"COM34 (/dev/ttyUSB1)", "not there"}},
        {PortFault::Busy, "/dev/ttyUSB1", "", {"812 (minicom)", "901 (screen)"},
         {"port busy, in use by process 812 (minicom), 901 (screen)"}},
        {PortFault::Busy, "/dev/ttyUSB1", "", {}, {"port busy", "fuser -v /dev/ttyUSB1"}},
        {PortFault::Denied, "/dev/ttyUSB1", "dialout", {},
         {"permission denied", "group 'dialout'", "sudo usermod -aG dialout $USER", "log in again"}},
        {PortFault::Denied, "/dev/ttyUSB1", "uucp", {}, {"group 'uucp'", "usermod -aG uucp"}},
        {PortFault::NotSerial, "/dev/ttyUSB1", "", {}, {"not a serial port"}},
        {PortFault::Unexplained, "/dev/ttyUSB1", "", {}, {"try again"}},
    };
    for (const Case &c : cases) {
        PortProbe p = base;
        p.fault = c.fault;
        p.path = c.path;
        p.group = c.group;
        p.holders = c.holders;
        const std::string text = DescribePortFault(p);
        for (const std::string &w : c.words) EXPECT_NE(text.find(w), std::string::npos) << w << " in: " << text;
    }
    PortProbe high = base;
    high.fault = PortFault::Missing;
    high.name = "COM120";
    high.fixedPath = "";
    EXPECT_NE(DescribePortFault(high).find("no serial device has that number"), std::string::npos);
}

// The rate beside the bar divides by what the library says a phase streams.
TEST_F(CliTest, StreamBytesFollowTheRangeTheSequencesStream) {
    RangeEntry blocks[4] = {{0, {}, 0x0000, 0x0FFF}, {1, {}, 0x1000, 0x1FFF}, {2, {}, 0x2000, 0x2FFF},
                            {3, {}, 0x3000, 0x3FFF}};
    DeviceParameters d{};
    d.blockCount = 4;
    d.blockTable = blocks;
    struct Case {
        AreaRecord area;
        int32_t autoRange;
        uint32_t imageStart, imageLength, bytes;
    } cases[] = {
        {{PRR_AREA_CHIP, 0, 0, 0, 0}, 0, 0x1800, 0x900, 0x4000},
        {{PRR_AREA_BLOCK, 1, 2, 0, 0}, 0, 0x1800, 0x900, 0x2000},
        {{PRR_AREA_BLOCK, 2, 1, 0, 0}, 0, 0x1800, 0x900, 0},
        {{PRR_AREA_BLOCK, 1, 4, 0, 0}, 0, 0x1800, 0x900, 0},
        {{PRR_AREA_CHIP, 0, 0, 0, 0}, 1, 0x1800, 0x900, 0x2000},   // blocks 1..2
        {{PRR_AREA_CHIP, 0, 0, 0, 0}, 1, 0x3F00, 0x1000, 0x1000},  // cut at the device end
        {{PRR_AREA_CHIP, 0, 0, 0, 0}, 1, 0x8000, 0x10, 0},         // outside every block
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.area.mode << " " << c.area.first << "-" << c.area.last << " auto "
                                        << c.autoRange << " image at 0x" << std::hex << c.imageStart);
        const std::string path = WriteImage("stream.hex", c.imageStart, c.imageLength, 1);
        quillclient::PlainWaiter waiter;
        quillclient::FileStatus status;
        LoadFileHandle *f = quillclient::LoadImage(path, waiter, &status, 20000);
        ASSERT_NE(f, nullptr) << status.fault;
        EXPECT_EQ(PRRStreamBytes(&d, &c.area, c.autoRange, f), c.bytes);
        PRRHexClose(f);
    }
}

TEST(ProgressLine, PiecesAndWidth) {
    EXPECT_EQ(FormatBar(0, 10), "[----------]");
    EXPECT_EQ(FormatBar(55, 10), "[#####-----]");
    EXPECT_EQ(FormatBar(250, 4), "[####]");
    struct Rate {
        double bps;
        const char *text;
    } rates[] = {{-1, ""}, {0, "0 B/s"}, {1023, "1023 B/s"}, {10240, "10.0 KiB/s"}, {3 * 1048576.0, "3.0 MiB/s"}};
    for (const Rate &r : rates) EXPECT_EQ(FormatRate(r.bps), r.text);
    struct Eta {
        double s;
        const char *text;
    } etas[] = {{-1, ""}, {0, "ETA 0:00"}, {65.4, "ETA 1:05"}, {3725, "ETA 1:02:05"}, {1e9, ""}};
    for (const Eta &e : etas) EXPECT_EQ(FormatEta(e.s), e.text);

    TargetReport t;
    t.port = "COM40";
    t.state = PRR_STATE_PROGRAM;
    t.percent = 40;
    t.rate = 2048;
    t.eta = 12;
    t.text = "Flash Programming <40%>...";
    EXPECT_EQ(ProgressLine(t, true, 200),
              "COM40  program     [########------------]  40%  2.0 KiB/s  ETA 0:12  Flash Programming <40%>...");
    EXPECT_EQ(ProgressLine(t, false, 30).size(), 30u);
    t.byteMs = 16.13;  // timed pages: the adapter's cost per byte shows
    EXPECT_EQ(ProgressLine(t, true, 200),
              "COM40  program     [########------------]  40%  2.0 KiB/s  16.13 ms/byte  ETA 0:12  Flash Programming <40%>...");
    t.verdict = Verdict::Failed;
    t.detail = "ERROR: Flash write error!";
    EXPECT_EQ(ProgressLine(t, true, 200), "COM40  FAILED  ERROR: Flash write error!");
}

// Device texts are bytes: quotes, backslashes and control characters are
// escaped, and every other byte comes back as the Latin-1 character of its
// value, whatever it is.
TEST(JsonText, EscapesWhatJsonCannotCarry) {
    ProgressRecord r{};
    std::strcpy(r.text, "Flash Programming <10%>...");
    r.state = PRR_STATE_PROGRAM;
    r.percent = 10;
    r.percentTotal = 100;
    EXPECT_EQ(JsonRecord("COM3", r),
              "{\"event\":\"record\",\"port\":\"COM3\",\"state\":3,\"phase\":\"program\",\"status\":0,\"percent\":10,"
              "\"total\":100,\"text\":\"Flash Programming <10%>...\"}");
    const std::string odd = "a\"b\\c\x01\n\x7F\xD1";
    const std::string oddRead = "a\"b\\c\x01\n\x7F\xC3\x91";  // as a JSON reader gives it back
    std::strcpy(r.text, odd.c_str());
    EXPECT_EQ(JsonRecord("COM3", r),
              "{\"event\":\"record\",\"port\":\"COM3\",\"state\":3,\"phase\":\"program\",\"status\":0,\"percent\":10,"
              "\"total\":100,\"text\":\"a\\\"b\\\\c\\u0001\\n\\u007f\\u00d1\"}");
    // The connect's last record has no text and names the device.
    ProgressRecord connected{};
    connected.state = PRR_STATE_CONNECT;
    connected.percent = 100;
    std::strcpy(connected.deviceName, odd.c_str());
    nlohmann::json j = nlohmann::json::parse(JsonRecord("COM3", connected));
    EXPECT_EQ(j["device"], oddRead);
    EXPECT_EQ(j["text"], "");

    TargetReport t;
    t.port = "COM3";
    t.verdict = Verdict::PortProblem;
    t.seconds = 0.25;
    t.detail = "COM3: no such port";
    EXPECT_EQ(JsonResult(t),
              "{\"event\":\"result\",\"port\":\"COM3\",\"result\":\"port\",\"seconds\":0.25,\"detail\":\"COM3: no such port\"}");
    t.verdict = Verdict::Failed;
    t.seconds = 2.0004;
    t.detail = odd;
    j = nlohmann::json::parse(JsonResult(t));
    EXPECT_EQ(j["result"], "failed");
    EXPECT_EQ(j["detail"], oddRead);
    // To the millisecond, and a float even when whole.
    EXPECT_TRUE(j["seconds"].is_number_float());
    EXPECT_EQ(j["seconds"], 2.0);
}

}  // namespace
