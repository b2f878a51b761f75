// The device commands end to end: quillrom run in-process against virtual
// targets, checked by exit code, output and what the flash holds.
#include <sys/file.h>
#include <fcntl.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "cli_fixture.h"

using namespace clitest;

namespace {

constexpr int kPort = 51;

// One output line as a flat JSON object of strings and numbers; false for
// anything else.
bool ParseFlatJson(const std::string &s, nlohmann::json *out) {
    *out = nlohmann::json::parse(s, nullptr, false);
    if (!out->is_object()) return false;
    for (const auto &item : out->items())
        if (!item.value().is_string() && !item.value().is_number()) return false;
    return true;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Args(std::vector<std::string> head, const std::vector<std::string> &tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class DeviceCommands : public CliTest {
protected:
    std::vector<std::string> On(int port) { return {"--prm", Sample("demo.prm"), "--port", "COM" + std::to_string(port)}; }
};

// One target through a life of commands; each row runs on what the rows
// before it left in the flash.
TEST_F(DeviceCommands, EachCommandReportsItsOutcomeByExitCode) {
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    std::vector<uint8_t> image;
    const std::string hex = WriteImage("block0.hex", 0, 0x800, 7, &image);
    const std::vector<std::string> block0 = {"--range", "block:0-0"};
    struct Step {
        std::vector<std::string> args;
        int code;
        std::string expect;  // in stdout or stderr
        std::function<void()> before = nullptr;
    } steps[] = {
        {{"signature"}, 0, "ID:          0x51 0x03 0x16"},
        {Args({"blank-check"}, block0), 0, "all block blank check finish."},
        {Args({"program", hex, "--verify", "--checksum"}, block0), 0, "CHECKSUM COMPARE: OK"},
        {Args({"blank-check"}, block0), 1, "not blank."},
        {Args({"verify", hex}, block0), 0, "Flash Verifying finish!"},
        {Args({"checksum", hex}, block0), 0, "CHECKSUM COMPARE: OK"},
        {Args({"checksum", hex}, block0), 1, "CHECKSUM COMPARE: ERROR", [&] { sim.flipBit(0x123, 2); }},
        {Args({"verify", hex}, block0), 1, "ERROR: Flash verify error!"},
        {Args({"erase"}, block0), 0, "erase finish."},
        {Args({"auto", hex, "--blank-check-first", "--verify", "--checksum"}, block0), 0, "skip erase."},
        {{"security", "--disable-block-erase"}, 0, "Security Flag Setting finish!"},
        {Args({"erase"}, block0), 1, "ERROR: Illegal status from device!"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.args[0] + " expecting " + step.expect);
        if (step.before) step.before();
        const CliRun r = Cli(Args(step.args, On(kPort)));
        EXPECT_EQ(r.code, step.code) << Show(r);
        EXPECT_TRUE(Has(r.out + r.err, step.expect)) << Show(r);
        if (step.code == 0) {
            EXPECT_TRUE(Has(r.out, "done: COM51")) << Show(r);
        } else {
            EXPECT_TRUE(Has(r.err, "quillrom: COM51: failed: ")) << Show(r);
        }
    }
    EXPECT_TRUE(FlashHolds(sim, 0, image));
    EXPECT_NE(sim.securityByte() & 0x03, 0x03) << "block erase flag set";
}

// An adapter that holds every acknowledge for its latency timer is named once,
// with what it costs; the same program without that latency says nothing.
TEST_F(DeviceCommands, SlowAdapterIsNamedOnceWithWhatItAdds) {
    // A block of two pages keeps the slow run short: the first page's time
    // holds the start of the command, so timing begins after it.
    std::string prm;
    {
        std::ifstream in(Sample("demo.prm"), std::ios::binary);
        prm.assign(std::istreambuf_iterator<char>(in), {});
    }
    const size_t at = prm.find("BLK = 0 0FFF");
    ASSERT_NE(at, std::string::npos);
    prm.replace(at, 12, "BLK = 0 01FF");
    const std::string small = dir + "/small-block.prm";
    std::ofstream(small, std::ios::binary) << prm;
    ASSERT_EQ(Cli({"prm", "stamp", small}).code, 0);
    quillsim::VirtualTarget &sim = AddTarget(kPort, small.c_str());
    std::vector<uint8_t> image;
    const std::string hex = WriteImage("two-pages.hex", 0, 0x200, 3, &image);
    const auto program = Args({"program", hex, "--range", "block:0-0", "--prm", small, "--port", "COM" + std::to_string(kPort)}, {});
    for (const int latencyMs : {0, 16}) {
        SCOPED_TRACE(latencyMs);
        sim.setLatency(std::chrono::milliseconds(latencyMs));
        const CliRun r = Cli(program);
        EXPECT_EQ(r.code, 0) << Show(r);
        size_t warnings = 0;
        for (size_t at = r.err.find("slow serial adapter"); at != std::string::npos;
             at = r.err.find("slow serial adapter", at + 1))
            ++warnings;
        EXPECT_EQ(warnings, latencyMs == 0 ? 0u : 1u) << Show(r);
        if (latencyMs > 0) {
            EXPECT_TRUE(Has(r.err, "quillrom: warning: slow serial adapter: it adds ")) << Show(r);
        }
    }
    EXPECT_TRUE(FlashHolds(sim, 0, image));
}

// Everything refused before a device is touched, and port and file problems.
TEST_F(DeviceCommands, UsageAndPortAndFileProblems) {
    AddTarget(kPort);
    const std::string hex = WriteImage("small.hex", 0, 0x100, 1);
    const std::string notHex = dir + "/notes.txt";
    std::ofstream(notHex) << "hello\n";
    const std::string badSum = dir + "/bad.prm";
    {
        std::ifstream in(Sample("demo.prm"), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t at = text.find("QM17F064");
        ASSERT_NE(at, std::string::npos);
        text[at + 2] = '9';  // contents changed, SUM= kept
        std::ofstream(badSum, std::ios::binary) << text;
    }
    const std::string prm = Sample("demo.prm");
    const std::string com = "COM" + std::to_string(kPort);
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string err;
    } cases[] = {
        {{"erase", "--prm", prm, "--port", com, "--bogus"}, 2, "--bogus"},
        {{"erase", "--port", com}, 2, "--prm is required"},
        {{"program", "--prm", prm, "--port", com}, 2, "SOURCE is required"},
        {{"erase", "--prm", prm, "--port", com, "--range", "block:3-1"}, 2, "first number is above the last"},
        {{"erase", "--prm", prm, "--port", com, "--range", "sector:1-2"}, 2, "--range wants chip"},
        {{"erase", "--prm", prm, "--port", com, "--freq", "-3"}, 2, "--freq"},
        {{"erase", "--prm", prm, "--port", "COM256"}, 2, "numbers run from COM1 to COM255"},
        {{"erase", "--prm", prm, "--port", "ttyUSB0"}, 2, "neither COM<n> nor a device path"},
        {{"erase", "--prm", prm, "--port", com, "--port", "com51"}, 2, "COM51 is named twice"},
        {{"erase", "--prm", prm, "--port", "COM77"}, 3, "COM77: no such port: no alias COM77 in " + dir},
        {{"erase", "--prm", prm, "--port", "/dev/quill-nothing"}, 3, "/dev/quill-nothing: no such port"},
        {{"erase", "--prm", prm, "--port", "/dev/null"}, 3, "/dev/null has no COM number"},
        {{"erase", "--prm", dir + "/none.prm", "--port", com}, 3, "none.prm: No such file or directory"},
        {{"erase", "--prm", badSum, "--port", com}, 3, "checksum error"},
        {{"program", dir + "/none.hex", "--prm", prm, "--port", com}, 3, "none.hex: No such file or directory"},
        {{"program", notHex, "--prm", prm, "--port", com}, 3, "not an Intel HEX, S-record or ELF file"},
        {{"program", dir + "/cal.bin", "--prm", prm, "--port", com}, 2, "cal.bin is a raw binary: say where its first byte goes"},
        {{"program", dir + "/cal.bin@7C00", "--prm", prm, "--port", com}, 2, "'7C00' in "},
        {{"program", hex + "@0x100", "--prm", prm, "--port", com}, 2, "holds its own addresses"},
        {{"program", hex, "--fill", "0x100", "--prm", prm, "--port", com}, 2, "--fill takes a byte"},
        {{"program", hex, dir + "/none.bin@0x80", "--prm", prm, "--port", com}, 3, "none.bin: No such file or directory"},
        {{"program", dir, "--prm", prm, "--port", com}, 3, "is a folder"},
        {{"erase", "--prm", prm, "--port", com, "--log", dir + "/no/such/dir/log.txt"}, 3, "cannot write the log file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        const CliRun r = Cli(c.args);
        EXPECT_EQ(r.code, c.code) << Show(r);
        EXPECT_TRUE(Has(r.err, c.err)) << Show(r);
    }
}

// What toolchains write: an ELF run from RAM, and a HEX with a raw binary
// beside it, each programmed in one run; `hex info --prm` foretells the
// checksum the device computes.
TEST_F(DeviceCommands, ProgramsElfAndMergedSources) {
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    std::vector<uint8_t> code(0x800), table(0x400), cal(0x100);
    for (size_t i = 0; i < code.size(); ++i) code[i] = static_cast<uint8_t>(i * 13 + 5);
    for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i * 7 + 1);
    for (size_t i = 0; i < cal.size(); ++i) cal[i] = static_cast<uint8_t>(0xC0 ^ i);
    const std::string elf = dir + "/app.elf", bin = dir + "/cal.bin";
    std::ofstream(elf, std::ios::binary) << quilltest::MakeElf(false, false, {{0, code}, {0x1000, table}}, 0x20000000);
    std::ofstream(bin, std::ios::binary).write(reinterpret_cast<const char *>(cal.data()), static_cast<std::streamsize>(cal.size()));
    const std::vector<std::string> blocks = {"--range", "block:0-1"};

    CliRun r = Cli(Args(Args({"program", elf, "--verify", "--checksum"}, blocks), On(kPort)));
    ASSERT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, "Flash Verifying finish!")) << Show(r);
    EXPECT_TRUE(Has(r.out, "CHECKSUM COMPARE: OK")) << Show(r);
    EXPECT_TRUE(FlashHolds(sim, 0, code));
    EXPECT_TRUE(FlashHolds(sim, 0x800, std::vector<uint8_t>(0x800, 0xFF)));
    EXPECT_TRUE(FlashHolds(sim, 0x1000, table));
    const size_t at = r.out.find("FILE CHECK SUM: [");
    ASSERT_NE(at, std::string::npos) << Show(r);
    const CliRun info = Cli(Args({"hex", "info", elf, "--prm", Sample("demo.prm")}, blocks));
    ASSERT_EQ(info.code, 0) << Show(info);
    EXPECT_TRUE(Has(info.out, "Device checksum:  " + r.out.substr(at + 17, 4) + "h (--range block:0-1)")) << Show(info);

    std::vector<uint8_t> low;
    const std::string hex = WriteImage("low.hex", 0, 0x800, 9, &low);
    r = Cli(Args(Args({"auto", hex, bin + "@0x1F00", "--verify", "--checksum"}, blocks), On(kPort)));
    ASSERT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.out, "CHECKSUM COMPARE: OK")) << Show(r);
    EXPECT_TRUE(FlashHolds(sim, 0, low));
    EXPECT_TRUE(FlashHolds(sim, 0x800, std::vector<uint8_t>(0x1700, 0xFF)));
    EXPECT_TRUE(FlashHolds(sim, 0x1F00, cal));

    // Two sources on one address: nothing reaches the device.
    r = Cli(Args(Args({"program", hex, bin + "@0x7F0"}, blocks), On(kPort)));
    EXPECT_EQ(r.code, 3) << Show(r);
    EXPECT_TRUE(Has(r.err, hex + " and " + bin + " both write 0x7F0")) << Show(r);
    EXPECT_TRUE(FlashHolds(sim, 0x1F00, cal));
}

TEST_F(DeviceCommands, BusyPortNamesTheProcessHoldingIt) {
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    // Another "program" holds the port the way serial tools and the library do.
    const int fd = ::open(sim.ptyPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    CliRun r = Cli(Args({"signature"}, On(kPort)));
    EXPECT_EQ(r.code, 3) << Show(r);
    const std::string self = std::to_string(::getpid()) + " (";
    EXPECT_TRUE(Has(r.err, "COM51 (" + sim.ptyPath() + "): port busy, in use by process " + self)) << Show(r);
    ::close(fd);
    r = Cli(Args({"signature"}, On(kPort)));
    EXPECT_EQ(r.code, 0) << "the port is free again\n" << Show(r);
}

TEST_F(DeviceCommands, JsonGivesOneObjectPerRecordAndAResult) {
    AddTarget(kPort);
    const CliRun r = Cli(Args({"signature", "--json"}, On(kPort)));
    ASSERT_EQ(r.code, 0) << Show(r);
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 3u) << Show(r);
    bool connected = false, id = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        nlohmann::json obj;
        ASSERT_TRUE(ParseFlatJson(lines[i], &obj)) << lines[i];
        EXPECT_EQ(obj["port"], "COM51") << lines[i];
        if (i + 1 < lines.size()) {
            ASSERT_EQ(obj["event"], "record") << lines[i];
            for (const char *key : {"state", "status", "percent", "total"})
                EXPECT_TRUE(obj.contains(key) && obj[key].is_number_integer()) << key << " in " << lines[i];
            for (const char *key : {"phase", "text"})
                EXPECT_TRUE(obj.contains(key) && obj[key].is_string()) << key << " in " << lines[i];
            connected = connected || (obj["state"] == 0 && obj["percent"] == 100 && obj["text"] == "");
            id = id || obj["text"] == "ID:          0x51 0x03 0x16";
        } else {
            EXPECT_EQ(obj["event"], "result");
            EXPECT_EQ(obj["result"], "ok");
        }
    }
    EXPECT_TRUE(connected && id) << r.out;
}

TEST_F(DeviceCommands, LogFileGetsEveryLineAppended) {
    AddTarget(kPort);
    const std::string log = dir + "/run.log";
    std::ofstream(log) << "earlier\n";
    const CliRun r = Cli(Args({"erase", "--range", "block:1-1", "--quiet", "--log", log}, On(kPort)));
    ASSERT_EQ(r.code, 0) << Show(r);
    EXPECT_EQ(r.out, "") << "--quiet prints nothing on success";
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto lines = Lines(text);
    ASSERT_GE(lines.size(), 5u) << text;
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_EQ(lines[1], ">>COMMAND: Reset");
    EXPECT_TRUE(Has(text, "\nconnected.\n>>COMMAND: Erase\nFlash Erasing...\nblock <1> erase finish.\n")) << text;
    EXPECT_EQ(lines.back(), "all block erase finish.") << text;
}

TEST_F(DeviceCommands, PowerPromptWaitsForEnter) {
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    CliRun r = Cli(Args({"signature", "--power-prompt"}, On(kPort)), "\n");
    EXPECT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(Has(r.err, "Please Turn off->on Target power, then press Enter.")) << Show(r);
    // No answer: the connect is not made.
    const uint64_t frames = sim.framesReceived();
    r = Cli(Args({"signature", "--power-prompt"}, On(kPort)), "");
    EXPECT_EQ(r.code, 1) << Show(r);
    EXPECT_TRUE(Has(r.err, "no answer to the power prompt")) << Show(r);
    EXPECT_EQ(sim.framesReceived(), frames);
}

TEST_F(DeviceCommands, GangProgramsEveryTargetByteExact) {
    std::vector<uint8_t> image;
    const std::string hex = WriteImage("gang.hex", 0x1000, 0xC00, 3, &image);
    std::vector<std::string> args = {"program", hex, "--prm", Sample("demo.prm"), "--auto-range", "--verify"};
    for (int p = kPort; p < kPort + 4; ++p) {
        AddTarget(p);
        args.insert(args.end(), {"--port", "COM" + std::to_string(p)});
    }
    const CliRun r = Cli(args);
    ASSERT_EQ(r.code, 0) << Show(r);
    for (int i = 0; i < 4; ++i) {
        const std::string com = "COM" + std::to_string(kPort + i);
        EXPECT_TRUE(FlashHolds(*targets[i], 0x1000, image)) << com;
        EXPECT_TRUE(Has(r.out, com + ": Flash Verifying finish!\n")) << Show(r);
        EXPECT_TRUE(Has(r.out, "\n" + com + "   ok ")) << "summary row of " << com << "\n" << Show(r);
    }
}

TEST_F(DeviceCommands, OneFailingTargetFailsTheGangAndSparesTheOthers) {
    std::vector<uint8_t> image;
    const std::string hex = WriteImage("gang.hex", 0, 0x900, 9, &image);
    std::vector<std::string> args = {"program", hex, "--prm", Sample("demo.prm"), "--auto-range"};
    for (int p = kPort; p < kPort + 4; ++p) {
        quillsim::VirtualTarget &sim = AddTarget(p);
        if (p == kPort + 2) {
            ASSERT_TRUE(sim.addFault("write-fail:byte=300"));
        }
        args.insert(args.end(), {"--port", "COM" + std::to_string(p)});
    }
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, 1) << Show(r);
    for (int i = 0; i < 4; ++i) {
        const std::string com = "COM" + std::to_string(kPort + i);
        if (i == 2) {
            EXPECT_TRUE(Has(r.out, "\n" + com + "   FAILED   ")) << Show(r);
            EXPECT_TRUE(Has(r.err, com + ": failed: ERROR: Flash write error!")) << Show(r);
            EXPECT_FALSE(FlashHolds(*targets[i], 0, image));
        } else {
            EXPECT_TRUE(Has(r.out, "\n" + com + "   ok ")) << Show(r);
            EXPECT_TRUE(FlashHolds(*targets[i], 0, image)) << com;
        }
    }
}

TEST_F(DeviceCommands, DemoProgramsTheSampleImage) {
    const char *before = std::getenv("QUILLROM_PORTS_DIR");
    const std::string kept = before ? before : "";
    const CliRun r = Cli({"demo"});
    EXPECT_EQ(r.code, 0) << Show(r);
    for (const char *line : {"skip erase.", "Flash Verifying finish!", "CHECKSUM COMPARE: OK", "done: COM40"})
        EXPECT_TRUE(Has(r.out, line)) << line << "\n" << Show(r);
    const char *after = std::getenv("QUILLROM_PORTS_DIR");
    EXPECT_EQ(after ? after : "", kept) << "the demo's private port folder is gone again";
}

}  // namespace
