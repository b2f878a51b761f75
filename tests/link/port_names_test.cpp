// COM numbers: fixed blocks, aliases, and which gathered devices are offered.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "link/port_names.h"
#include "quillctl.h"

using namespace quill;

namespace {

TEST(PortNamesTest, FixedBlocks) {
    const std::vector<std::string> others{"ttyAMA0", "ttyXR1"};
    struct {
        const char *name;
        int com;
    } cases[] = {{"ttyS0", 1},    {"ttyS31", 32},  {"ttyS32", 0},   {"ttyUSB0", 33}, {"ttyUSB31", 64},
                 {"ttyACM0", 65}, {"ttyACM31", 96}, {"ttyAMA0", 97}, {"ttyXR1", 98},  {"ttyQQ", 0},
                 {"ttyS", 0},     {"ttyUSBx", 0}};
    for (const auto &c : cases) EXPECT_EQ(FixedComNumber(c.name, others), c.com) << c.name;
}

TEST(PortNamesTest, ListingRule) {
    struct {
        TtyProps p;
        bool shown, shownAll;
    } cases[] = {
        {{"ttyS0", "/dev/ttyS0", "serial8250", true, false, 4, ""}, true, true},     // 16550A
        {{"ttyS5", "/dev/ttyS5", "serial8250", true, false, 0, ""}, false, false},   // placeholder
        {{"ttyS6", "/dev/ttyS6", "serial8250", true, false, -1, ""}, false, false},  // type unknown
        {{"ttyUSB0", "/dev/ttyUSB0", "ftdi_sio", true, true, -1, "FTDI FT232R"}, true, true},
        {{"ttyACM0", "/dev/ttyACM0", "cdc_acm", true, true, -1, ""}, true, true},
        {{"ttyAMA0", "/dev/ttyAMA0", "uart-pl011", true, false, 3, ""}, false, true},
        {{"tty1", "/dev/tty1", "", false, false, -1, ""}, false, false},             // virtual terminal
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ShouldListTty(c.p, false), c.shown) << c.p.sysname;
        EXPECT_EQ(ShouldListTty(c.p, true), c.shownAll) << c.p.sysname << " (all)";
    }
}

class AliasTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quill-portsXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        const char *old = std::getenv("QUILLROM_PORTS_DIR");
        if (old) saved = old;
        ::setenv("QUILLROM_PORTS_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        if (saved.empty())
            ::unsetenv("QUILLROM_PORTS_DIR");
        else
            ::setenv("QUILLROM_PORTS_DIR", saved.c_str(), 1);
        std::system(("rm -rf " + dir).c_str());
    }
    std::string dir, saved;
};

TEST_F(AliasTest, SymlinksAndPathFilesNameTheirDevices) {
    ASSERT_EQ(::symlink("/dev/pts/7", (dir + "/COM40").c_str()), 0);
    std::ofstream(dir + "/COM3") << "/dev/pts/9\n";
    std::ofstream(dir + "/COM0") << "/dev/pts/1\n";    // no such COM number
    std::ofstream(dir + "/COM256") << "/dev/pts/1\n";  // out of range
    std::ofstream(dir + "/COM07") << "/dev/pts/1\n";   // not how we spell 7
    std::ofstream(dir + "/notes") << "hello\n";
    const auto aliases = ReadAliases(dir);
    ASSERT_EQ(aliases.size(), 2u);
    EXPECT_EQ(aliases[0].number, 3);
    EXPECT_EQ(aliases[0].path, "/dev/pts/9");
    EXPECT_EQ(aliases[1].name, "COM40");
    EXPECT_EQ(aliases[1].path, "/dev/pts/7");
    EXPECT_EQ(ResolveComPort(40), "/dev/pts/7");
    EXPECT_EQ(ResolveComPort(3), "/dev/pts/9");
    EXPECT_EQ(ResolveComPort(1), "/dev/ttyS0");
    EXPECT_EQ(ResolveComPort(34), "/dev/ttyUSB1");
    EXPECT_EQ(ResolveComPort(66), "/dev/ttyACM1");
    EXPECT_EQ(ResolveComPort(0), "");

    PRRPortInfo ports[4];
    const int n = PRRPortList(ports, 4, 0);
    ASSERT_GE(n, 2);
    EXPECT_STREQ(ports[0].name, "COM3");
    EXPECT_EQ(ports[0].isAlias, 1);
    EXPECT_STREQ(ports[1].path, "/dev/pts/7");
}

TEST(AliasDirTest, EnvironmentDecidesTheFolder) {
    const char *saved = std::getenv("QUILLROM_PORTS_DIR");
    std::string keep = saved ? saved : "";
    ::unsetenv("QUILLROM_PORTS_DIR");
    ::setenv("XDG_CONFIG_HOME", "/tmp/xdg", 1);
    EXPECT_EQ(AliasDir(), "/tmp/xdg/quillrom2/ports");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(AliasDir(), "/home/someone/.config/quillrom2/ports");
    if (!keep.empty()) ::setenv("QUILLROM_PORTS_DIR", keep.c_str(), 1);
}

}  // namespace
