// The quillrom command line run in-process against virtual targets on COM
// aliases of a temporary folder.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands.h"
#include "e2e/image_files.h"
#include "sim/virtual_target.h"

namespace clitest {

inline std::string Sample(const char *name) { return std::string(QUILLROM_SAMPLES_DIR) + "/" + name; }

struct CliRun {
    int code;
    std::string out, err;
};

// `quillrom args...`, with `input` as what the user types at prompts.
inline CliRun Cli(std::vector<std::string> args, const std::string &input = "") {
    args.insert(args.begin(), "quillrom");
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = quillcli::RunCli(static_cast<int>(argv.size()), argv.data(), in, out, err);
    return {code, out.str(), err.str()};
}

// An argv for posix_spawn: the strings' own buffers, then a null.
inline std::vector<char *> SpawnArgv(std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

inline bool Has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

inline std::string Show(const CliRun &r) {
    return "exit " + std::to_string(r.code) + "\n--- out\n" + r.out + "--- err\n" + r.err;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quill-cliXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ::setenv("QUILLROM_PORTS_DIR", dir.c_str(), 1);
        // The runs' record goes to the test's own folder.
        ::setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
    }
    void TearDown() override {
        targets.clear();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // A virtual target with the demo device on COM<port>.
    quillsim::VirtualTarget &AddTarget(int port, const char *prm = "demo.prm") {
        targets.push_back(std::make_unique<quillsim::VirtualTarget>(prm[0] == '/' ? std::string(prm) : Sample(prm)));
        targets.back()->start();
        targets.back()->registerAlias(port, dir);
        return *targets.back();
    }

    // An Intel HEX file of `length` bytes from `start`; the bytes are returned in `image`.
    std::string WriteImage(const std::string &name, uint32_t start, uint32_t length, uint8_t seed,
                           std::vector<uint8_t> *image = nullptr) {
        quilltest::ImageMap map;
        if (image) image->clear();
        for (uint32_t a = start; a < start + length; ++a) {
            const auto b = static_cast<uint8_t>(a * 37 + seed);
            map[a] = b;
            if (image) image->push_back(b);
        }
        std::mt19937 rng(seed);
        const std::string path = dir + "/" + name;
        std::ofstream(path) << quilltest::IntelHex(map, rng, "\r\n");
        return path;
    }

    std::string dir;
    std::vector<std::unique_ptr<quillsim::VirtualTarget>> targets;
};

// The flash bytes at [start, start + bytes.size()) equal `bytes`.
inline ::testing::AssertionResult FlashHolds(const quillsim::VirtualTarget &t, uint32_t start,
                                             const std::vector<uint8_t> &bytes) {
    const std::vector<uint8_t> flash = t.flash();
    if (flash.size() < start + bytes.size()) return ::testing::AssertionFailure() << "flash too small";
    for (size_t i = 0; i < bytes.size(); ++i)
        if (flash[start + i] != bytes[i])
            return ::testing::AssertionFailure() << "first difference at 0x" << std::hex << start + i;
    return ::testing::AssertionSuccess();
}

}  // namespace clitest
