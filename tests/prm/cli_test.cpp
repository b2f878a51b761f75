// `quillrom prm ...` run in-process: exit codes, verdicts, warnings and the
// stamp rewrite.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "temp_file.h"

namespace {

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result Cli(std::vector<std::string> args) {
    args.insert(args.begin(), "quillrom");
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    int code = quillcli::RunCli(static_cast<int>(argv.size()), argv.data(), out, err);
    return {code, out.str(), err.str()};
}

std::string ReadSample(const char *name) {
    FILE *f = std::fopen(prmtest::SamplePath(name).c_str(), "rb");
    std::string text;
    if (f == nullptr) return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text;
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(PrmCliTest, SamplesCheckAndShow) {
    for (const char *name : {"demo.prm", "demo-addr.prm"}) {
        Result r = Cli({"prm", "check", prmtest::SamplePath(name)});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("checksum OK"), std::string::npos);
        EXPECT_EQ(r.err, "");
    }
    Result text = Cli({"prm", "show", prmtest::SamplePath("demo.prm")});
    EXPECT_EQ(text.code, 0);
    EXPECT_NE(text.out.find("deviceName: QM17F064"), std::string::npos);
    EXPECT_NE(text.out.find("blocks[15]: number=15 start=0000F000 end=0000FFFF"), std::string::npos);
    Result json = Cli({"prm", "show", "--json", prmtest::SamplePath("demo-addr.prm")});
    EXPECT_EQ(json.code, 0);
    EXPECT_EQ(json.out.front(), '{');
    EXPECT_NE(json.out.find("\"parseFlags\": 3,"), std::string::npos);
    EXPECT_NE(json.out.find("\"deviceSubName\": \"DEMO-B\""), std::string::npos);
}

// JSON strings are Unicode, the record's texts bytes: every byte must come
// back, the text form keeps them raw, and the numbers keep their types.
TEST(PrmCliTest, ShowJsonReadsBackWhateverTheFileHolds) {
    const std::string odd("Q\"\\\x01\x7F\xD1", 6);
    const std::string prm = Replace(ReadSample("demo.prm"), "FNAME = QM17F064 0316 DEMO-A",
                                    "FNAME = " + odd + " 0316 D\x1F" "B");
    struct {
        const char *name;
        std::string inJson;  // the file's name as the JSON gives it
    } cases[] = {
        {"plain.prm", "plain.prm"},
        {"j\xC3\xB6rg.prm", "j\xC3\xB6rg.prm"},     // UTF-8 stays as it is
        {"caf\xE9.prm", "caf\xC3\xA9.prm"},           // other bytes read as Latin-1
    };
    for (const auto &c : cases) {
        prmtest::TempFile file(prm, c.name);
        Result r = Cli({"prm", "show", "--json", file.path()});
        ASSERT_EQ(r.code, 0) << c.name << r.err;
        for (unsigned char ch : r.out) ASSERT_LT(ch, 0x80) << "JSON output stays ASCII";
        const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << r.out;
        EXPECT_EQ(j["file"], file.dir() + "/" + c.inJson);
        EXPECT_EQ(j["deviceName"], "Q\"\\\x01\x7F\xC3\x91");
        EXPECT_EQ(j["deviceSubName"], "D\x1F" "B");
        EXPECT_EQ(j["deviceCode"], 0x0316);
        EXPECT_EQ(j["blocks"][15]["end"], 0xFFFF);
        // A float field to the nine digits it holds; whole values as integers.
        EXPECT_TRUE(j["flmd"][1]["voltage"].is_number_float());
        EXPECT_EQ(j["flmd"][1]["voltage"], 3.29999995);
        EXPECT_TRUE(j["flmd"][0]["voltage"].is_number_integer());
        EXPECT_EQ(j["flmd"][0]["voltage"], 5);
    }
    prmtest::TempFile file(prm);
    Result text = Cli({"prm", "show", file.path()});
    EXPECT_EQ(text.code, 0);
    EXPECT_NE(text.out.find("\ndeviceName: " + odd + "\n"), std::string::npos) << text.out;
}

TEST(PrmCliTest, ExitCodesForUsageAndUnreadableFiles) {
    prmtest::TempFile dir("");
    const std::string missing = dir.dir() + "/missing.prm";
    struct {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{"prm"}, 2},           {{"prm", "check"}, 2},          {{"prm", "show", "--bogus", missing}, 2},
        {{"prm", "check", missing}, 1}, {{"prm", "show", missing}, 1}, {{"prm", "stamp", missing}, 1},
        {{"prm", "check", dir.dir()}, 1},
    };
    for (const auto &c : cases) EXPECT_EQ(Cli(c.args).code, c.code) << c.args.back();
}

TEST(PrmCliTest, ChangedValueFailsUntilStamped) {
    const std::string original = ReadSample("demo.prm");
    prmtest::TempFile file(Replace(original, "BLK = 15 FFFF", "BLK = 15 FFFE"));
    ::chmod(file.path().c_str(), 0640);
    Result r = Cli({"prm", "check", file.path()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("CHECKSUM Error"), std::string::npos) << r.out;

    r = Cli({"prm", "stamp", file.path()});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("written"), std::string::npos);
    EXPECT_EQ(Cli({"prm", "check", file.path()}).code, 0);
    // Only the eight digits of the SUM line changed.
    std::string stamped = file.Contents();
    ASSERT_EQ(stamped.size(), original.size());
    size_t sum = original.find("SUM=") + 4;
    EXPECT_EQ(stamped.substr(0, sum), Replace(original, "BLK = 15 FFFF", "BLK = 15 FFFE").substr(0, sum));
    EXPECT_EQ(stamped.substr(sum + 8), original.substr(sum + 8));
    EXPECT_NE(stamped.substr(sum, 8), original.substr(sum, 8));
    struct stat st;
    ASSERT_EQ(::stat(file.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    r = Cli({"prm", "stamp", file.path()});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("already correct"), std::string::npos);
    EXPECT_EQ(file.Contents(), stamped);
}

TEST(PrmCliTest, StampRepairsOrAddsTheSumLine) {
    struct {
        std::string before;
        std::string after;
    } cases[] = {
        {"FNAME = ABC\r\n[CHECKSUM]\r\nSUM = 00000000 ;x\r\n[EOF]\r\n",
         "FNAME = ABC\r\n[CHECKSUM]\r\nSUM=D8C48FCA ;x\r\n[EOF]\r\n"},
        {"FNAME = ABC\r\n[CHECKSUM]\r\n[EOF]\r\n", "FNAME = ABC\r\n[CHECKSUM]\r\nSUM=D8C48FCA\r\n[EOF]\r\n"},
        {"FNAME = ABC\r\n[EOF]\r\n", "FNAME = ABC\r\n[CHECKSUM]\r\nSUM=D8C48FCA\r\n[EOF]\r\n"},
        {"FNAME = ABC\r\n", "FNAME = ABC\r\n[CHECKSUM]\r\nSUM=D8C48FCA\r\n"},
    };
    for (const auto &c : cases) {
        prmtest::TempFile file(c.before);
        Result r = Cli({"prm", "stamp", file.path()});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(file.Contents(), c.after);
        EXPECT_EQ(Cli({"prm", "check", file.path()}).code, 0);
    }
    // Through a link, the file it points to is rewritten and the link stays.
    prmtest::TempFile target("FNAME = ABC\r\n[CHECKSUM]\r\nSUM=0\r\n");
    std::string link = target.dir() + "/link.prm";
    ASSERT_EQ(::symlink(target.path().c_str(), link.c_str()), 0);
    EXPECT_EQ(Cli({"prm", "stamp", link}).code, 0);
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(target.Contents().find("SUM=D8C48FCA"), std::string::npos);
}

TEST(PrmCliTest, CheckWarnsAboutLinesTheReaderLoses) {
    prmtest::TempFile lf("FNAME = ABC\n[CHECKSUM]\nSUM=D8C48FCA\n[EOF]\n");
    Result r = Cli({"prm", "check", lf.path()});
    EXPECT_NE(r.err.find("LF only"), std::string::npos) << r.err;
    EXPECT_EQ(r.code, 1);

    prmtest::TempFile longLine("; " + std::string(300, 'x') + "\r\nFNAME = ABC\r\n[CHECKSUM]\r\nSUM=D8C48FCA\r\n");
    r = Cli({"prm", "check", longLine.path()});
    EXPECT_NE(r.err.find("longer than 255 bytes (first: line 1)"), std::string::npos) << r.err;
    // The split comment's tail is read as text and changes the sum.
    EXPECT_EQ(r.code, 1);
    // The stamp takes the library's own sum, split and all, so the file then checks.
    EXPECT_EQ(Cli({"prm", "stamp", longLine.path()}).code, 0);
    EXPECT_EQ(Cli({"prm", "check", longLine.path()}).code, 0);
}

}  // namespace
