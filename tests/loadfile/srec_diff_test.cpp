// Differential test: generated load files must give the same image bytes as
// srec_cat's conversion of the same file to a 0xFF-filled binary.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "load_test_util.h"
#include "loadfile/load_image.h"
#include "loadfile/load_worker.h"

using namespace quilltest;

namespace {

constexpr int kFiles = 240;

struct Generated {
    std::vector<std::string> records;
    bool intel;
    uint32_t top;  // one past the highest data address
};

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

    Generated Make(bool intel) {
        Generated g{{}, intel, 0};
        // Mostly small address windows; every eighth file spans the whole image.
        const uint32_t window = Below(8) == 0 ? PRR_IMAGE_SIZE : 0x40000;
        std::vector<bool> used(window, false);
        struct Block {
            uint32_t start;
            std::vector<uint8_t> data;
        };
        std::vector<Block> blocks;
        const uint32_t count = 1 + Below(6);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t length = 1 + Below(Below(4) == 0 ? 6000 : 600);
            const uint32_t start = Below(window - length);
            if (std::any_of(used.begin() + start, used.begin() + start + length, [](bool u) { return u; })) continue;
            std::fill(used.begin() + start, used.begin() + start + length, true);
            Block b{start, std::vector<uint8_t>(length)};
            for (uint8_t &v : b.data) v = static_cast<uint8_t>(rng_());
            g.top = std::max(g.top, start + length);
            blocks.push_back(std::move(b));
        }
        const uint32_t maxRecord = std::vector<uint32_t>{16, 32, 64, 250}[Below(4)];
        if (!intel && Below(2)) g.records.push_back(SRec(0, 2, 0, {'d', 'i', 'f', 'f'}));
        int32_t base = -1;  // segment base the file has set so far
        uint32_t dataRecords = 0;
        for (const Block &b : blocks) {
            for (uint32_t done = 0; done < b.data.size();) {
                const uint32_t address = b.start + done;
                uint32_t n = std::min<uint32_t>(1 + Below(maxRecord), b.data.size() - done);
                if (intel) {
                    n = std::min(n, 0x10000 - (address & 0xFFFF));  // a record stays inside its 64 KiB
                    base = IntelBase(g, address, n, base);
                } else {
                    n = std::min<uint32_t>(n, 250);
                }
                const std::vector<uint8_t> data(b.data.begin() + done, b.data.begin() + done + n);
                if (intel) {
                    g.records.push_back(Intel(0, static_cast<uint16_t>(address - base), data));
                } else {
                    int type = address + n - 1 <= 0xFFFF ? 1 : address + n - 1 <= 0xFFFFFF ? 2 : 3;
                    if (type < 3 && Below(4) == 0) ++type;  // a wider address than needed
                    g.records.push_back(SRec(type, type + 1, address, data));
                }
                ++dataRecords;
                done += n;
            }
        }
        if (intel) {
            g.records.push_back(":00000001FF");
        } else {
            if (Below(2)) g.records.push_back(SRec(5, 2, dataRecords & 0xFFFF, {}));
            const int end = 7 + static_cast<int>(Below(3));
            g.records.push_back(SRec(end, 11 - end, 0, {}));
        }
        return g;
    }

private:
    // Emits an 02 or 04 record when `address` cannot be reached from the
    // current base with an offset that keeps the record inside 64 KiB.
    int32_t IntelBase(Generated &g, uint32_t address, uint32_t n, int32_t base) {
        if (base >= 0 && static_cast<uint32_t>(base) <= address && address - base + n <= 0x10000) return base;
        const bool segment = address < 0xF0000 && Below(2);
        if (segment) {
            // Any paragraph below the address from which it is still in reach.
            const uint32_t lowest = address + n > 0x10000 ? (address + n - 0x10000 + 15) >> 4 : 0;
            const uint32_t paragraph = lowest + Below((address >> 4) - lowest + 1);
            g.records.push_back(Intel(2, 0, {static_cast<uint8_t>(paragraph >> 8), static_cast<uint8_t>(paragraph)}));
            return static_cast<int32_t>(paragraph << 4);
        }
        const uint32_t upper = address >> 16;
        g.records.push_back(Intel(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}));
        return static_cast<int32_t>(upper << 16);
    }

    std::mt19937 rng_;
};

std::string Join(const std::vector<std::string> &records, const std::string &lineEnd, bool lower) {
    std::string s;
    for (const std::string &r : records) s += r + lineEnd;
    if (lower) {
        for (char &c : s)
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

TEST(SrecCatDifferential, GeneratedFilesGiveTheSameImage) {
    if (std::system("srec_cat -version > /dev/null 2>&1") != 0) {
        const char *ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") FAIL() << "srec_cat (package srecord) is required in CI";
        GTEST_SKIP() << "srec_cat not installed";
    }
    ScratchDir dir;
    const char *lineEnds[] = {"\r\n", "\n", "\r"};
    int compared = 0;
    std::map<std::string, int> filesWith;  // record kinds the generated files used
    for (int i = 0; i < kFiles; ++i) {
        Generator gen(20260 + i);
        const Generated g = gen.Make(i % 2 == 0);
        SCOPED_TRACE("file " + std::to_string(i));
        std::set<std::string> kinds;
        for (const std::string &r : g.records) kinds.insert(r[0] == ':' ? r.substr(7, 2) : r.substr(0, 2));
        for (const std::string &k : kinds) ++filesWith[k];
        const std::string path =
            dir.Write(g.intel ? "in.hex" : "in.srec", Join(g.records, lineEnds[gen.Below(3)], gen.Below(4) == 0));
        // srec_cat takes LF or CR LF line ends only; it reads the same records.
        const std::string lfPath = dir.Write("lf.txt", Join(g.records, "\n", false));
        const std::string out = dir.path() + "/out.bin";
        const std::string command = "srec_cat " + lfPath + (g.intel ? " -Intel" : " -Motorola") + " -fill 0xFF 0 " +
                                    std::to_string(g.top) + " -o " + out + " -binary 2>" + dir.path() + "/err.txt";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream in(out, std::ios::binary);
        const std::vector<uint8_t> expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(expected.size(), g.top);

        LoadFileHandle *h = PRRHexOpen(path.c_str(), nullptr, 2024, nullptr);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(quill::WaitLoadFinished(h, std::chrono::seconds(20)));
        const uint8_t *image = quill::LoadImageBytes(h);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(h->highestAddress, g.top - 1);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image));
        EXPECT_TRUE(std::all_of(image + g.top, image + PRR_IMAGE_SIZE, [](uint8_t b) { return b == 0xFF; }));
        PRRHexClose(h);
        ++compared;
    }
    EXPECT_EQ(compared, kFiles);
    for (const char *kind : {"02", "04", "S1", "S2", "S3", "S7", "S8", "S9"}) EXPECT_GE(filesWith[kind], 10) << kind;
}

}  // namespace
