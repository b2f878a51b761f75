// `quillrom hex info FILE [--strict]`: what a load file holds, read by the
// library exactly as the program reads it, plus a record census of our own so
// the user learns about records whose checksum is wrong (the library applies
// them anyway).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/job.h"
#include "commands.h"
#include "quillctl.h"

namespace quillcli {
namespace {

constexpr int kLoadTimeoutMs = 60000;  // the reader takes far less for any file it accepts

struct HexInfoOptions {
    std::string file;
    bool strict = false;
};

int HexDigit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;  // as the library reads it
}

unsigned HexByte(const std::string &s, std::size_t at) { return HexDigit(s[at]) * 16u + HexDigit(s[at + 1]); }

const char *IntelKind(unsigned type) {
    switch (type) {
    case 0x00: return "data";
    case 0x01: return "end of file";
    case 0x02: return "extended segment address";
    case 0x04: return "extended linear address";
    default: return "ignored";
    }
}

const char *SKind(char type) {
    switch (type) {
    case '0': return "header";
    case '1': return "data, 16-bit address";
    case '2': return "data, 24-bit address";
    case '3': return "data, 32-bit address";
    case '5':
    case '6': return "record count";
    case '7': return "end, 32-bit start address";
    case '8': return "end, 24-bit start address";
    case '9': return "end, 16-bit start address";
    default: return "ignored";
    }
}

struct Census {
    std::map<std::string, uint64_t> kinds;  // ":00 data" -> count
    uint64_t intel = 0;
    uint64_t srec = 0;
    uint64_t badChecksums = 0;
};

// Walks the records with the library's framing up to the end record and
// checks each record's own checksum.
Census TakeCensus(const std::string &text) {
    Census c;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t length = 0;
        std::string kind;
        bool end = false;
        unsigned sum = 0;
        if (text[pos] == ':' && text.size() - pos >= 3) {
            length = 11 + 2 * std::size_t{HexByte(text, pos + 1)};
            if (text.size() - pos < length) break;
            for (std::size_t i = pos + 1; i < pos + length; i += 2) sum += HexByte(text, i);
            const unsigned type = HexByte(text, pos + 7);
            char label[8];
            std::snprintf(label, sizeof label, ":%02X ", type);
            kind = label + std::string(IntelKind(type));
            end = type == 0x01;
            sum &= 0xFF;  // all bytes including the checksum add up to 0
            ++c.intel;
        } else if (text[pos] == 'S' && text.size() - pos >= 4) {
            length = 4 + 2 * std::size_t{HexByte(text, pos + 2)};
            if (text.size() - pos < length) break;
            for (std::size_t i = pos + 2; i < pos + length; i += 2) sum += HexByte(text, i);
            kind = std::string("S") + text[pos + 1] + " " + SKind(text[pos + 1]);
            end = text[pos + 1] >= '7' && text[pos + 1] <= '9';
            sum = (sum & 0xFF) ^ 0xFF;  // all bytes including the checksum add up to 0xFF
            ++c.srec;
        } else {
            break;
        }
        ++c.kinds[kind];
        if (sum != 0) ++c.badChecksums;
        if (end) break;
        pos += length;
        for (int i = 0; i < 2 && pos < text.size() && (text[pos] == '\r' || text[pos] == '\n'); ++i) ++pos;
    }
    return c;
}

void PrintCensus(std::ostream &out, const Census &c) {
    const char *format = c.intel && c.srec ? "mixed (Intel HEX and S-record)" : c.intel ? "Intel HEX" : "S-record";
    out << "Format:           " << format << "\n";
    out << "Records:          " << c.intel + c.srec << "\n";
    for (const auto &[kind, count] : c.kinds) {
        char line[80];
        std::snprintf(line, sizeof line, "  %-34s %llu\n", kind.c_str(), static_cast<unsigned long long>(count));
        out << line;
    }
}

int HexInfo(const HexInfoOptions &o, CliContext &ctx) {
    std::ostream &out = *ctx.out;
    std::ostream &err = *ctx.err;
    quillclient::PlainWaiter waiter;
    quillclient::FileStatus status;
    LoadFileHandle *h = quillclient::LoadImage(o.file, waiter, &status, kLoadTimeoutMs, true);
    if (h == nullptr) {
        if (status.fault == quillclient::FileStatus::kReadFailed || status.fault == quillclient::FileStatus::kNoAnswer) {
            err << "quillrom: hex info: " << o.file << ": Error read HEX file. ";
            if (status.fault == quillclient::FileStatus::kReadFailed)
                err << "(" << PRRStatusText(status.readStatus) << ")\n";
            else
                err << "(no answer from the reader)\n";
        } else {
            err << "quillrom: hex info: cannot read " << o.file << " ("
                << quillclient::FileFaultText(status) << ")\n";
        }
        return kExitFailed;
    }
    char text[256];
    out << "File:             " << o.file << "\n";
    std::ifstream in(o.file, std::ios::binary);
    const Census census = TakeCensus(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    PrintCensus(out, census);
    std::snprintf(text, sizeof text,
                  "Lowest address:   %06Xh\n"
                  "Highest address:  %06Xh\n"
                  "Image start:      %06Xh\n"
                  "Image length:     %06Xh (%u bytes)\n"
                  "Image checksum:   %04Xh\n",
                  h->lowestAddress, h->highestAddress, h->imageStart, h->imageLength, h->imageLength,
                  h->imageChecksum);
    out << text;
    out << "Checksum errors:  " << census.badChecksums << "\n";
    PRRHexClose(h);
    if (o.strict && census.badChecksums != 0) {
        err << "quillrom: hex info: " << census.badChecksums << " record(s) with a wrong checksum\n";
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

void AddHexCommands(CLI::App &app, CliContext &ctx) {
    CLI::App *hex = app.add_subcommand("hex", "Load files: Intel HEX and Motorola S-records");
    hex->require_subcommand(1);
    auto options = std::make_shared<HexInfoOptions>();
    CLI::App *info = hex->add_subcommand("info", "Read a load file and show its records, extent and image checksum");
    info->add_option("FILE", options->file, "Intel HEX or S-record file")->required();
    info->add_flag("--strict", options->strict, "Fail (exit 1) when a record's own checksum is wrong");
    info->footer("Exit codes: 0 read, 1 unreadable, failed read, or (--strict) wrong record checksums, 2 usage error.");
    info->callback([options, &ctx] { ctx.exitCode = HexInfo(*options, ctx); });
}

}  // namespace quillcli
