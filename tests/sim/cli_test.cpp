// quillrom-sim as a program: usage errors exit 2 with a reason; a run prints
// the pty, registers COM<n>, serves a host, and on SIGTERM removes the alias
// and dumps the flash.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_host.h"

extern char **environ;

namespace {

using quillsim::Bytes;
using simtest::SimHost;

// The program with its stdout and stderr on pipes.
struct Child {
    explicit Child(std::vector<std::string> args) {
        args.insert(args.begin(), QUILLROM_SIM_BINARY);
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        outFd = out[0];
        errFd = err[0];
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (outFd >= 0) ::close(outFd);
        if (errFd >= 0) ::close(errFd);
    }
    // One line of stdout, waiting up to 10 s.
    std::string line() {
        std::string s;
        char c;
        pollfd p{outFd, POLLIN, 0};
        while (::poll(&p, 1, 10000) == 1 && ::read(outFd, &c, 1) == 1 && c != '\n') s += c;
        return s;
    }
    // Waits for the exit (the pipes close) and returns the exit code; stderr in `err`.
    int wait() {
        char buf[512];
        pollfd p{errFd, POLLIN, 0};
        for (ssize_t n; ::poll(&p, 1, 10000) == 1 && (n = ::read(errFd, buf, sizeof buf)) > 0;) err.append(buf, size_t(n));
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid = -1;
    int outFd = -1, errFd = -1;
    std::string err;
};

TEST(SimCli, UsageErrorsExitTwoWithAReason) {
    const struct {
        std::vector<std::string> args;
        const char *reason;
    } cases[] = {
        {{"--prm", simtest::samplePath("demo.prm"), "--fault", "busy:0x99"}, "bad fault 'busy:0x99': 0x99 is not a command"},
        {{"--prm", simtest::samplePath("demo.prm"), "--fault", "slow-erase"}, "needs ms=N"},
        {{"--prm", simtest::samplePath("demo.prm"), "--com", "0"}, "--com wants a number from 1 to 255"},
        {{"--prm", simtest::samplePath("demo.prm"), "--baud", "fast"}, "--baud wants"},
        {{"--com", "4"}, "--prm FILE is required"},
        {{"--prm"}, "needs a value"},
        {{"--prm", simtest::samplePath("demo.prm"), "--frobnicate", "1"}, "unknown option --frobnicate"},
    };
    for (const auto &c : cases) {
        Child child(c.args);
        EXPECT_EQ(child.wait(), 2) << c.reason;
        EXPECT_NE(child.err.find(c.reason), std::string::npos) << child.err;
    }
    Child missing({"--prm", "/nonexistent.prm"});
    EXPECT_EQ(missing.wait(), 1);
    EXPECT_NE(missing.err.find("cannot read parameter file"), std::string::npos) << missing.err;
}

TEST(SimCli, RunsUntilStoppedThenDumpsAndUnregisters) {
    char tmpl[] = "/tmp/quillsim-cli-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string dump = dir + "/flash.bin";
    {
        Child sim({"--prm", simtest::samplePath("demo.prm"), "--com", "40", "--alias-dir", dir + "/ports", "--dump", dump, "--trace"});
        const std::string pty = sim.line();
        ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
        EXPECT_EQ(sim.line(), "COM40 " + dir + "/ports/COM40");
        EXPECT_EQ(std::filesystem::read_symlink(dir + "/ports/COM40").string(), pty);
        {
            SimHost host(dir + "/ports/COM40"); // through the alias, as the host resolves COM40
            EXPECT_EQ(host.connect(), 0x01);
            EXPECT_EQ(host.programPage(0x03, {0xDE, 0xAD}), std::make_pair(uint8_t{0x06}, uint8_t{0x06}));
        }
        ::kill(sim.pid, SIGTERM);
        EXPECT_EQ(sim.wait(), 0) << sim.err;
        EXPECT_NE(sim.err.find("reset handshake"), std::string::npos) << "--trace shows frames";
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir + "/ports/COM40")));
    std::ifstream in(dump, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(image.size(), 0x10000u);
    EXPECT_EQ(image[0x300], 0xDE);
    EXPECT_EQ(image[0x301], 0xAD);
    EXPECT_EQ(image[0x302], 0xFF);
    std::filesystem::remove_all(dir);
}

}  // namespace
