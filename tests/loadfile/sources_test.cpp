// Load sources: ELF (executable and relocatable, 32/64-bit, either byte
// order), raw binaries at an address and several sources merged into one
// image, against the HEX reader and objcopy's conversions of the same data.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/image_files.h"
#include "load_test_util.h"
#include "loadfile/load_worker.h"

using namespace quilltest;

namespace {

constexpr auto kWait = std::chrono::seconds(20);

struct Loaded {
    int32_t state = PRR_LOAD_RUNNING;
    std::string error;
    std::vector<uint8_t> image;  // the whole image
    uint32_t lowest = 0, highest = 0;
    uint16_t checksum = 0;
    std::vector<PRRLoadRange> ranges;
};

Loaded Finish(LoadFileHandle *h) {
    Loaded l;
    EXPECT_NE(h, nullptr);
    if (h == nullptr) return l;
    EXPECT_TRUE(quill::WaitLoadFinished(h, kWait));
    l.state = h->readState;
    char text[512] = "";
    EXPECT_GE(PRRLoadError(h, text, sizeof text), 0);
    l.error = text;
    if (l.state == PRR_LOAD_READY) {
        l.image.assign(h->imageBuffer, h->imageBuffer + PRR_IMAGE_SIZE);
        l.lowest = h->lowestAddress;
        l.highest = h->highestAddress;
        l.checksum = h->imageChecksum;
        const int32_t n = PRRLoadRanges(h, nullptr, 0);
        if (n > 0) {
            l.ranges.resize(static_cast<size_t>(n));
            EXPECT_EQ(PRRLoadRanges(h, l.ranges.data(), n), n);
        }
    }
    PRRHexClose(h);
    return l;
}

Loaded LoadHex(const std::string &path) { return Finish(PRRHexOpen(path.c_str(), nullptr, 0, nullptr)); }

// Each source is a path, or "path@ADDR" (hex) for a raw binary.
Loaded Load(const std::vector<std::string> &sources, int32_t fill = -1) {
    std::vector<std::string> paths;
    std::vector<PRRLoadSource> list;
    for (const std::string &s : sources) paths.push_back(s.substr(0, s.find('@')));
    for (size_t i = 0; i < sources.size(); ++i) {
        const size_t at = sources[i].find('@');
        list.push_back(PRRLoadSource{paths[i].c_str(), at != std::string::npos,
                                     at == std::string::npos ? 0u : static_cast<uint32_t>(std::stoul(sources[i].substr(at + 1), nullptr, 16))});
    }
    return Finish(PRRLoadOpen(list.data(), static_cast<int32_t>(list.size()), fill, nullptr, 0));
}

std::vector<Block> RandomBlocks(std::mt19937 &rng, size_t count, uint32_t window) {
    std::vector<Block> blocks;
    std::vector<bool> used(window, false);
    while (blocks.size() < count) {
        const uint32_t length = 1 + rng() % 3000, start = rng() % (window - length);
        if (std::any_of(used.begin() + start, used.begin() + start + length, [](bool u) { return u; })) continue;
        std::fill(used.begin() + start, used.begin() + start + length, true);
        Block b{start, std::vector<uint8_t>(length)};
        for (uint8_t &v : b.data) v = static_cast<uint8_t>(rng());
        blocks.push_back(std::move(b));
    }
    return blocks;
}

ImageMap MapOf(const std::vector<Block> &blocks) {
    ImageMap m;
    for (const Block &b : blocks)
        for (size_t i = 0; i < b.data.size(); ++i) m[b.address + static_cast<uint32_t>(i)] = b.data[i];
    return m;
}

// Intel HEX with linear (04) address records only: objcopy adds a segment
// (02) base to the last linear one where other readers take the later.
std::string LinearHex(const std::vector<Block> &blocks) {
    std::string out;
    int64_t upper = -1;
    for (const auto &[address, byte] : MapOf(blocks)) {
        if (int64_t(address >> 16) != upper) {
            upper = address >> 16;
            out += Intel(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}) + "\n";
        }
        out += Intel(0, static_cast<uint16_t>(address), {byte}) + "\n";
    }
    return out + Intel(1, 0, {}) + "\n";
}

bool Shell(const std::string &command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

void ExpectSameImage(const Loaded &want, const Loaded &got, const char *what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(got.state, PRR_LOAD_READY) << got.error;
    EXPECT_EQ(got.lowest, want.lowest);
    EXPECT_EQ(got.highest, want.highest);
    EXPECT_EQ(got.checksum, want.checksum);
    EXPECT_TRUE(got.image == want.image);
}

// The sample images and random ones read from HEX, from the ELF objcopy makes
// of the HEX, from an executable ELF of each class and byte order with the
// same bytes at p_paddr, and from objcopy's 0xFF-filled binary at the base.
TEST(LoadSources, ElfAndBinaryGiveTheHexImage) {
    if (!Shell("objcopy --version > /dev/null")) {
        const char *ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") FAIL() << "objcopy (binutils) is required in CI";
        GTEST_SKIP() << "objcopy not installed";
    }
    ScratchDir dir;
    std::vector<std::pair<std::string, std::vector<Block>>> cases;
    for (const char *sample : {"demo.hex", "demo.s19"}) cases.push_back({std::string(QUILL_SAMPLES_DIR) + "/" + sample, {}});
    std::mt19937 rng(2028);
    for (int i = 0; i < 8; ++i) {
        auto blocks = RandomBlocks(rng, 1 + rng() % 5, i % 4 == 0 ? PRR_IMAGE_SIZE : 0x20000);
        const std::string hex = dir.path() + "/r" + std::to_string(i) + ".hex";
        ASSERT_TRUE(WriteText(hex, LinearHex(blocks)));
        cases.push_back({hex, std::move(blocks)});
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto &[hex, blocks] = cases[i];
        SCOPED_TRACE(hex);
        const Loaded want = LoadHex(hex);
        ASSERT_EQ(want.state, PRR_LOAD_READY);
        ExpectSameImage(want, Load({hex}), "the same file through PRRLoadOpen");

        const std::string stem = dir.path() + "/c" + std::to_string(i);
        const std::string in = hex.size() > 4 && hex.substr(hex.size() - 4) == ".s19" ? "srec" : "ihex";
        ASSERT_TRUE(Shell("objcopy -I " + in + " -O elf32-little " + hex + " " + stem + ".elf"));
        ExpectSameImage(want, Load({stem + ".elf"}), "relocatable ELF from objcopy");
        ASSERT_TRUE(Shell("objcopy -I " + in + " -O binary --gap-fill 0xFF " + hex + " " + stem + ".bin"));
        char at[16];
        std::snprintf(at, sizeof at, "@%X", want.lowest);
        ExpectSameImage(want, Load({stem + ".bin" + at}), "raw binary at the base");

        if (blocks.empty()) continue;
        for (int form = 0; form < 4; ++form) {
            const bool wide = form & 1, big = form & 2;
            const std::string elf = dir.Write("x" + std::to_string(i) + "-" + std::to_string(form) + ".elf",
                                              MakeElf(wide, big, blocks, 0x20000000));
            ExpectSameImage(want, Load({elf}), wide ? (big ? "ELF64 big-endian" : "ELF64") : (big ? "ELF32 big-endian" : "ELF32"));
        }
    }
}

// Malformed ELF and binary sources: each fails the load with its reason.
TEST(LoadSources, MalformedSourcesFailWithTheirReason) {
    ScratchDir dir;
    const std::vector<Block> good = {{0x100, std::vector<uint8_t>(64, 0xA5)}, {0x400, std::vector<uint8_t>(32, 0x5A)}};
    const std::string valid = MakeElf(false, false, good, 0);
    auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
        std::string f = valid;
        for (size_t i = 0; i < bytes.size(); ++i) f[at + i] = static_cast<char>(bytes[i]);
        return f;
    };
    const size_t ph1 = 52 + 32;  // the second program header
    struct Case {
        const char *name;
        std::string content;
        const char *source;  // "" for the file itself, else "@ADDR"
        int32_t status;
        const char *reason;
    } cases[] = {
        {"truncated header", valid.substr(0, 40), "", PRR_STATUS_ILLEGAL_FILE_TYPE, "truncated ELF header"},
        {"unknown class", patched(4, {7}), "", PRR_STATUS_ILLEGAL_FILE_TYPE, "unknown ELF class 7"},
        {"program headers past the end", valid.substr(0, 52 + 40), "", PRR_STATUS_ILLEGAL_FILE_TYPE, "program header table past the end"},
        {"segment past the end", patched(ph1 + 16, {0x00, 0x10, 0x00, 0x00}), "", PRR_STATUS_ILLEGAL_FILE_TYPE, "segment 1 runs past the end of the file"},
        {"offset wrapping round", patched(ph1 + 4, {0xFF, 0xFF, 0xFF, 0xFF}), "", PRR_STATUS_ILLEGAL_FILE_TYPE, "segment 1 runs past the end"},
        {"overlapping segments", patched(ph1 + 12, {0x20, 0x01, 0x00, 0x00}), "", PRR_STATUS_ILLEGAL_FILE_TYPE, "overlap at 0x120"},
        {"address past 32 bits", MakeElf(true, true, good, 0, uint64_t{1} << 32), "", PRR_STATUS_ILLEGAL_FILE_TYPE, "past 32-bit addresses"},
        {"address past the image", patched(ph1 + 12, {0x00, 0x00, 0x20, 0x00}), "", PRR_STATUS_ILLEGAL_PARAMETER, "fall outside the image"},
        {"only zero-filled segments", MakeElf(false, false, {}, 0), "", PRR_STATUS_ILLEGAL_FILE_TYPE, "no loadable bytes"},
        {"binary past the image", std::string(32, 'x'), "@1FFFF0", PRR_STATUS_ILLEGAL_PARAMETER, "fall outside the image"},
        {"empty binary", "", "@0", PRR_STATUS_ILLEGAL_FILE_TYPE, "empty file"},
        {"binary without an address", std::string(16, '\x12'), "", PRR_STATUS_ILLEGAL_FILE_TYPE, "a raw binary needs its address"},
        {"HEX without an end record", ":0400100012345678D8\n", "", PRR_STATUS_ILLEGAL_FILE_TYPE, "no end record"},
        {"HEX with a bad record", ":0400100012345678D8\nxyz\n:00000001FF\n", "", PRR_STATUS_ILLEGAL_FILE_TYPE, "malformed record at line 2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Write("bad", c.content);
        const Loaded l = Load({path + c.source});
        EXPECT_EQ(l.state, PRR_LOAD_FAILED);
        EXPECT_NE(l.error.find(c.reason), std::string::npos) << l.error;
        EXPECT_EQ(l.error.rfind(path, 0), 0u) << "the reason names the file: " << l.error;
    }
    const Loaded missing = Load({dir.path() + "/none.elf"});
    EXPECT_EQ(missing.state, PRR_LOAD_FAILED);
    EXPECT_NE(missing.error.find("none.elf"), std::string::npos);
    // Bad arguments get no handle at all.
    const PRRLoadSource one{"x", 0, 0};
    EXPECT_EQ(PRRLoadOpen(nullptr, 1, -1, nullptr, 0), nullptr);
    EXPECT_EQ(PRRLoadOpen(&one, 0, -1, nullptr, 0), nullptr);
    EXPECT_EQ(PRRLoadOpen(&one, 1, 256, nullptr, 0), nullptr);
    EXPECT_EQ(PRRLoadError(nullptr, nullptr, 0), -1);
}

// Several sources: an overlap names both files and the lowest shared address
// in either order; gaps inside the range take the fill, outside stay erased;
// the ranges tell each source's share.
TEST(LoadSources, MergingChecksOverlapFillsGapsAndIgnoresOrder) {
    ScratchDir dir;
    std::mt19937 rng(7);
    const std::string app = dir.path() + "/app.hex";
    ASSERT_TRUE(WriteText(app, IntelHex(MapOf({{0x1000, std::vector<uint8_t>(0x200, 0x11)}}), rng, "\n")));
    const std::string cal = dir.Write("cal.bin", std::string(0x40, '\x22'));
    const std::string boot = dir.Write("boot.elf", MakeElf(false, true, {{0x0, std::vector<uint8_t>(0x80, 0x33)}}, 0));

    const Loaded merged = Load({app, cal + "@1800", boot}, 0x00);
    ASSERT_EQ(merged.state, PRR_LOAD_READY) << merged.error;
    EXPECT_EQ(merged.lowest, 0x0u);
    EXPECT_EQ(merged.highest, 0x183Fu);
    EXPECT_EQ(merged.image[0x7F], 0x33);
    EXPECT_EQ(merged.image[0x80], 0x00);  // a gap: the fill
    EXPECT_EQ(merged.image[0x11FF], 0x11);
    EXPECT_EQ(merged.image[0x1200], 0x00);
    EXPECT_EQ(merged.image[0x183F], 0x22);
    EXPECT_EQ(merged.image[0x1840], 0xFF);  // past the range: erased
    uint32_t sum = 0;
    for (uint32_t a = merged.lowest; a <= merged.highest; ++a) sum += merged.image[a];
    EXPECT_EQ(merged.checksum, static_cast<uint16_t>(0u - sum));
    ASSERT_EQ(merged.ranges.size(), 3u);
    EXPECT_EQ(merged.ranges[1].source, 1);
    EXPECT_EQ(merged.ranges[1].kind, PRR_SOURCE_BINARY);
    EXPECT_EQ(merged.ranges[1].first, 0x1800u);
    EXPECT_EQ(merged.ranges[1].last, 0x183Fu);
    EXPECT_EQ(merged.ranges[2].kind, PRR_SOURCE_ELF);

    const Loaded reversed = Load({boot, cal + "@1800", app}, 0x00);
    ASSERT_EQ(reversed.state, PRR_LOAD_READY);
    EXPECT_TRUE(reversed.image == merged.image);
    EXPECT_EQ(reversed.checksum, merged.checksum);
    EXPECT_EQ(Load({app, cal + "@1800", boot}).image[0x80], 0xFF);  // no fill: erased

    for (const auto &order : {std::vector<std::string>{app, cal + "@11F0", boot}, std::vector<std::string>{cal + "@11F0", boot, app}}) {
        const Loaded clash = Load(order);
        EXPECT_EQ(clash.state, PRR_LOAD_FAILED);
        const std::string first = order[0].substr(0, order[0].find('@')) == app ? app : cal;
        const std::string second = first == app ? cal : app;
        EXPECT_EQ(clash.error, first + " and " + second + " both write 0x11F0");
    }
}

}  // namespace
