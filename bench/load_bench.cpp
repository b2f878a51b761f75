// Load benchmark: a full 2 MiB image as Intel HEX (32-byte records) and as
// S3 records, read through PRRHexOpen until the final record, against
// srec_cat and objcopy converting the same files to binary in the same run;
// and the same image as an ELF (objcopy's, from the HEX) read through
// PRRLoadOpen against objcopy writing it as Intel HEX. Prints medians and
// ratios; asserts nothing.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "quillctl.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Listener {
    PRRWindow window{};
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t count = 0;
    Listener() {
        window.context = this;
        window.post = [](PRRWindow *self, uint32_t) {
            auto *l = static_cast<Listener *>(self->context);
            {
                std::lock_guard<std::mutex> lock(l->mutex);
                ++l->count;
            }
            l->cv.notify_all();
        };
    }
};

std::string Hex(const uint8_t *bytes, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string Record(const char *lead, std::vector<uint8_t> body, bool intel) {
    uint8_t sum = 0;
    for (uint8_t b : body) sum += b;
    body.push_back(intel ? static_cast<uint8_t>(0 - sum) : static_cast<uint8_t>(0xFF - sum));
    return lead + Hex(body.data(), body.size()) + "\r\n";
}

std::string IntelFile(const std::vector<uint8_t> &image) {
    std::string s;
    for (uint32_t a = 0; a < image.size(); a += 32) {
        if ((a & 0xFFFF) == 0) s += Record(":", {2, 0, 0, 4, uint8_t(a >> 24), uint8_t(a >> 16)}, true);
        std::vector<uint8_t> body{32, uint8_t(a >> 8), uint8_t(a), 0};
        body.insert(body.end(), image.begin() + a, image.begin() + a + 32);
        s += Record(":", body, true);
    }
    return s + ":00000001FF\r\n";
}

std::string S3File(const std::vector<uint8_t> &image) {
    std::string s = Record("S0", {3, 0, 0}, false);
    for (uint32_t a = 0; a < image.size(); a += 32) {
        std::vector<uint8_t> body{37, uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
        body.insert(body.end(), image.begin() + a, image.begin() + a + 32);
        s += Record("S3", body, false);
    }
    return s + Record("S7", {5, 0, 0, 0, 0}, false);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One load through the library, in milliseconds; negative on failure.
double TimeLoad(const std::string &path, const std::vector<uint8_t> &image, bool sources = false) {
    Listener l;
    const auto t0 = Clock::now();
    const PRRLoadSource source{path.c_str(), 0, 0};
    LoadFileHandle *h = sources ? PRRLoadOpen(&source, 1, -1, &l.window, PRR_MSG_LOADFILE_RECORD)
                                : PRRHexOpen(path.c_str(), &l.window, PRR_MSG_LOADFILE_RECORD, nullptr);
    if (h == nullptr) return -1;
    bool ok = false;
    for (uint64_t fetched = 0;; ++fetched) {
        std::unique_lock<std::mutex> lock(l.mutex);
        if (!l.cv.wait_for(lock, std::chrono::seconds(60), [&] { return l.count > fetched; })) break;
        lock.unlock();
        const LoadProgressRecord *r = PRRHexGetProg(h);
        if (r->state == 5) {
            ok = r->status == 0;
            break;
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    ok = ok && std::memcmp(h->imageBuffer, image.data(), image.size()) == 0;
    PRRHexClose(h);
    return ok ? ms : -1;
}

double TimeCommand(const std::string &command) {
    const auto t0 = Clock::now();
    const int rc = std::system(command.c_str());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    return rc == 0 ? ms : -1;
}

bool Have(const char *tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

void Row(const char *name, double ms, double ours) {
    if (ms < 0)
        std::printf("  %-30s   (not available)\n", name);
    else
        std::printf("  %-30s %9.2f ms   %6.1fx\n", name, ms, ms / ours);
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    char dirName[] = "/tmp/quill-load-bench-XXXXXX";
    if (mkdtemp(dirName) == nullptr) return 1;
    const std::string dir = dirName;

    std::vector<uint8_t> image(PRR_IMAGE_SIZE);
    std::mt19937 rng(2024);
    for (uint8_t &b : image) b = static_cast<uint8_t>(rng());
    const struct {
        const char *name, *file, *srecFormat, *objcopyFormat;
        std::string text;
    } inputs[] = {{"Intel HEX, 32-byte records", "image.hex", "-Intel", "ihex", IntelFile(image)},
                  {"S3 records, 32 bytes", "image.s37", "-Motorola", "srec", S3File(image)}};

    const bool haveSrecCat = Have("srec_cat"), haveObjcopy = Have("objcopy");
    std::printf("Load of a 2 MiB image, median of %d runs (ratio = tool time / PRRHexOpen time)\n", runs);
    int status = 0;
    for (const auto &in : inputs) {
        const std::string path = dir + "/" + in.file;
        std::ofstream(path, std::ios::binary) << in.text;
        const std::string out = dir + "/out.bin";
        std::vector<double> ours, srec, objcopy;
        for (int i = 0; i < runs; ++i) {
            ours.push_back(TimeLoad(path, image));
            if (haveSrecCat)
                srec.push_back(TimeCommand("srec_cat " + path + " " + in.srecFormat + " -o " + out + " -binary"));
            if (haveObjcopy)
                objcopy.push_back(TimeCommand(std::string("objcopy -I ") + in.objcopyFormat + " -O binary " + path +
                                              " " + out));
        }
        const double mine = Median(ours);
        std::printf("%s (%zu bytes):\n", in.name, in.text.size());
        if (std::any_of(ours.begin(), ours.end(), [](double ms) { return ms < 0; })) {
            std::printf("  PRRHexOpen failed or built a wrong image\n");
            status = 1;
            continue;
        }
        std::printf("  %-30s %9.2f ms\n", "PRRHexOpen to final record", mine);
        Row("srec_cat", haveSrecCat ? Median(srec) : -1, mine);
        Row("objcopy", haveObjcopy ? Median(objcopy) : -1, mine);
    }

    // ELF: objcopy's of the HEX file, so the tool reads what it wrote itself.
    const std::string hex = dir + "/image.hex", elf = dir + "/image.elf";
    if (haveObjcopy && TimeCommand("objcopy -I ihex -O elf32-little " + hex + " " + elf) >= 0) {
        std::vector<double> ours, objcopy;
        for (int i = 0; i < runs; ++i) {
            ours.push_back(TimeLoad(elf, image, true));
            objcopy.push_back(TimeCommand("objcopy -I elf32-little -O ihex " + elf + " " + dir + "/out.hex"));
        }
        std::printf("ELF, 2 MiB of data (%llu bytes):\n", static_cast<unsigned long long>(std::filesystem::file_size(elf)));
        if (std::any_of(ours.begin(), ours.end(), [](double ms) { return ms < 0; })) {
            std::printf("  PRRLoadOpen failed or built a wrong image\n");
            status = 1;
        } else {
            const double mine = Median(ours);
            std::printf("  %-30s %9.2f ms\n", "PRRLoadOpen to final record", mine);
            Row("objcopy -O ihex", Median(objcopy), mine);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
