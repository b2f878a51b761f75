// Ctrl+C on the real program: quillrom is started as a process, interrupted
// while it programs a paced virtual target, and the port must serve the next
// run.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>

#include "cli_fixture.h"
#include "quillctl.h"

extern char **environ;

using namespace clitest;

namespace {

constexpr int kPort = 61;

std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST_F(CliTest, CtrlCAbortsProgrammingAndThePortStaysUsable) {
    quillsim::VirtualTarget &sim = AddTarget(kPort);
    sim.setPacingBaud(115200);  // about 3 s for the image: time enough to interrupt
    std::vector<uint8_t> image;
    const std::string hex = WriteImage("img.hex", 0, 0x2000, 5, &image);
    const std::string out = dir + "/out.txt", err = dir + "/err.txt";
    const std::string com = "COM" + std::to_string(kPort);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> args = {QUILLROM_CLI_BINARY, "program", hex, "--prm", Sample("demo.prm"),
                                     "--port", com, "--range", "block:0-1"};
    std::vector<char *> argv = SpawnArgv(args);
    pid_t pid = 0;
    // The child sees this test's alias folder through the environment.
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // Programming has begun once page frames arrive after the connect's.
    const uint64_t before = sim.framesReceived();
    const bool programming = sim.waitForFrames(before + 6, std::chrono::seconds(60));
    ASSERT_EQ(::kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(programming) << ReadFile(out) << ReadFile(err);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal, not by its own exit";
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const std::string printed = ReadFile(out);
    EXPECT_TRUE(Has(printed, "Flash Programming Start...\n")) << printed;
    EXPECT_TRUE(Has(printed, "Sequence Aborted.\n")) << printed;
    EXPECT_FALSE(Has(printed, "Flash Programming finish!")) << printed;
    EXPECT_TRUE(Has(ReadFile(err), com + ": interrupted")) << ReadFile(err);

    // The library left the port at 9600; the next run sets it up again.
    sim.setPacingBaud(0);
    const CliRun r = Cli({"program", hex, "--prm", Sample("demo.prm"), "--port", com, "--range", "block:0-1"});
    EXPECT_EQ(r.code, 0) << Show(r);
    EXPECT_TRUE(FlashHolds(sim, 0, image));
}

// The build's one version number reaches every program and the library.
TEST(ProgramVersion, EveryProgramPrintsTheProjectVersion) {
    const std::string version = QUILLROM_PROJECT_VERSION;
    const struct {
        std::string binary, line;
    } programs[] = {
        {QUILLROM_CLI_BINARY, "quillrom " + version + " (library 273)\n"},
        {QUILLROM_SIM_BINARY, "quillrom-sim " + version + "\n"},
    };
    for (const auto &program : programs) {
        FILE *p = ::popen((program.binary + " --version").c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[128] = {};
        EXPECT_NE(std::fgets(line, sizeof line, p), nullptr) << program.binary;
        EXPECT_EQ(::pclose(p), 0);
        EXPECT_EQ(std::string(line), program.line);
    }
    EXPECT_EQ(std::string(PRRGetVersionText()), version);
}

}  // namespace
