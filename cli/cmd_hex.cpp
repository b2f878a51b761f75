// `quillrom hex info SOURCE... [--strict] [--prm FILE]`: what the sources of a
// load image hold, read by the library exactly as the program reads them,
// plus a record census of our own so the user learns about records whose
// checksum is wrong (the library applies them anyway). `hex convert` writes
// the merged image out as Intel HEX, S-records or a raw binary.
#include "os_compat.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/job.h"
#include "commands.h"
#include "device_args.h"
#include "image_writer.h"
#include "quillctl.h"

namespace quillcli {
namespace {

constexpr int kLoadTimeoutMs = 60000;  // the reader takes far less for any file it accepts

struct HexOptions {
    std::vector<std::string> sources;
    std::string fill;
    bool strict = false;
    std::string prm;
    std::string range = "chip";
    std::string output;
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

const char *KindName(int32_t kind) {
    switch (kind) {
    case PRR_SOURCE_INTEL_HEX: return "Intel HEX";
    case PRR_SOURCE_SRECORD: return "S-record";
    case PRR_SOURCE_ELF: return "ELF";
    default: return "raw binary";
    }
}

std::string RunText(uint32_t first, uint32_t last) {
    char text[64];
    std::snprintf(text, sizeof text, "%06Xh-%06Xh (%u %s)", first, last, last - first + 1, first == last ? "byte" : "bytes");
    return text;
}

void PrintRuns(std::ostream &out, const char *title, const AddressRuns &runs) {
    constexpr size_t kShown = 64;  // a scattered file would fill the screen
    out << title << runs.size() << (runs.size() == 1 ? " run\n" : " runs\n");
    for (size_t i = 0; i < runs.size() && i < kShown; ++i) out << "  " << RunText(runs[i].first, runs[i].second) << "\n";
    if (runs.size() > kShown) out << "  ... " << runs.size() - kShown << " more\n";
}

// The merged image of the sources, read as the device commands read them but
// always by the merging reader (it tells each source's ranges). Null with the
// reason said.
LoadFileHandle *ReadSources(const char *command, const HexOptions &o, std::vector<quillclient::LoadSource> *sources,
                            int *code, CliContext &ctx) {
    std::ostream &err = *ctx.err;
    std::string why;
    int fill = -1;
    if (!ParseSources(o.sources, o.fill, sources, &fill, &why)) {
        err << "quillrom: hex " << command << ": " << why << "\n";
        *code = kExitUsage;
        return nullptr;
    }
    quillclient::PlainWaiter waiter;
    quillclient::FileStatus status;
    quillclient::LoadOptions options;
    options.fill = fill;
    options.timeoutMs = kLoadTimeoutMs;
    options.allowEmpty = true;
    options.merged = true;
    LoadFileHandle *h = quillclient::LoadImage(*sources, waiter, &status, options);
    if (h != nullptr) return h;
    *code = kExitFailed;
    if (status.fault == quillclient::FileStatus::kMergeFailed) {
        bool text = false;
        const bool oneTextFile = sources->size() == 1 && !(*sources)[0].binary &&
                                 quillclient::CheckLoadFile((*sources)[0].path, &text).ok() && text;
        err << "quillrom: hex " << command << ": " << status.detail;
        // A HEX or S-record file's failure in the words the reader has always used.
        if (oneTextFile)
            err << "\nquillrom: hex " << command << ": Error read HEX file. (" << PRRStatusText(status.readStatus) << ")\n";
        else
            err << " (" << PRRStatusText(status.readStatus) << ")\n";
    } else if (status.fault == quillclient::FileStatus::kNoAnswer) {
        err << "quillrom: hex " << command << ": Error read HEX file. (no answer from the reader)\n";
    } else {
        err << "quillrom: hex " << command << ": cannot read " << status.path << " (" << quillclient::FileFaultText(status)
            << ")\n";
    }
    return nullptr;
}

std::vector<PRRLoadRange> RangesOf(const LoadFileHandle *h) {
    std::vector<PRRLoadRange> ranges(static_cast<size_t>(std::max(PRRLoadRanges(h, nullptr, 0), 0)));
    const int32_t n = PRRLoadRanges(h, ranges.data(), static_cast<int32_t>(ranges.size()));
    ranges.resize(static_cast<size_t>(std::clamp<int32_t>(n, 0, static_cast<int32_t>(ranges.size()))));
    return ranges;
}

// The parameter file and range of --prm, read before the sources so a
// mistake in them shows no figures; null device without --prm. False with
// the reason said.
bool ReadDeviceRange(const HexOptions &o, DeviceParameters **device, AreaRecord *area, CliContext &ctx) {
    *device = nullptr;
    if (o.prm.empty()) return true;
    std::string why;
    if (!ParseRange(o.range, area, &why)) {
        *ctx.err << "quillrom: hex info: " << why << "\n";
        return false;
    }
    quillclient::FileStatus status;
    *device = quillclient::ReadParameterFile(o.prm, true, &status);
    if (*device == nullptr) {
        *ctx.err << "quillrom: hex info: " << quillclient::DescribeFileStatus(o.prm, status) << "\n";
        return false;
    }
    if (area->first < 0) area->first = (*device)->typeSet11;
    if (area->last < 0) area->last = (*device)->typeSet12;
    return true;
}

int HexInfo(const HexOptions &o, CliContext &ctx) {
    std::ostream &out = *ctx.out;
    DeviceParameters *device = nullptr;
    AreaRecord area{};
    if (!ReadDeviceRange(o, &device, &area, ctx)) return kExitFailed;
    std::vector<quillclient::LoadSource> sources;
    int code = kExitOk;
    LoadFileHandle *h = ReadSources("info", o, &sources, &code, ctx);
    if (h == nullptr) {
        PRRFreePRM(device);
        return code;
    }
    const std::vector<PRRLoadRange> ranges = RangesOf(h);
    uint64_t badChecksums = 0;
    AddressRuns all;
    for (size_t i = 0; i < sources.size(); ++i) {
        AddressRuns runs;
        int32_t kind = sources[i].binary ? PRR_SOURCE_BINARY : 0;
        for (const PRRLoadRange &r : ranges)
            if (r.source == static_cast<int32_t>(i)) {
                runs.emplace_back(r.first, r.last);
                kind = r.kind;
            }
        runs = Coalesced(runs);
        all.insert(all.end(), runs.begin(), runs.end());
        out << "File:             " << quillclient::SourceText(sources[i]) << "\n";
        if (!sources[i].binary && kind != PRR_SOURCE_ELF) {
            std::ifstream in(sources[i].path, std::ios::binary);
            const Census census =
                TakeCensus(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
            PrintCensus(out, census);
            badChecksums += census.badChecksums;
        } else {
            out << "Format:           " << KindName(kind) << "\n";
        }
        PrintRuns(out, "Data:             ", runs);
    }
    if (sources.size() > 1) PrintRuns(out, "Image map:        ", Coalesced(all));
    char text[256];
    std::snprintf(text, sizeof text,
                  "Lowest address:   %06Xh\n"
                  "Highest address:  %06Xh\n"
                  "Image start:      %06Xh\n"
                  "Image length:     %06Xh (%u bytes)\n"
                  "Image checksum:   %04Xh\n",
                  h->lowestAddress, h->highestAddress, h->imageStart, h->imageLength, h->imageLength,
                  h->imageChecksum);
    out << text;
    out << "Checksum errors:  " << badChecksums << "\n";
    // What the checksum command will compare the device's answer with.
    int32_t deviceCode = 0;
    if (device != nullptr) {
        uint16_t sum = 0;
        deviceCode = PRRRangeChecksum(device, &area, h, &sum);
        if (deviceCode == 0) {
            std::snprintf(text, sizeof text, "Device checksum:  %04Xh (--range %s)\n", sum, o.range.c_str());
            out << text;
        } else {
            *ctx.err << "quillrom: hex info: no device checksum for --range " << o.range << ": " << PRRStatusText(deviceCode) << "\n";
        }
    }
    PRRFreePRM(device);
    PRRHexClose(h);
    if (deviceCode != 0) return kExitFailed;
    if (o.strict && badChecksums != 0) {
        *ctx.err << "quillrom: hex info: " << badChecksums << " record(s) with a wrong checksum\n";
        return kExitFailed;
    }
    return kExitOk;
}

// Written beside the output and renamed over it: a failed write leaves no
// half file under the name.
bool WriteWhole(const std::string &path, const std::string &bytes, std::string *why) {
    const std::string temporary = path + ".part";
    {
        std::ofstream f(temporary, std::ios::binary | std::ios::trunc);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        f.close();
        if (!f) {
            *why = "cannot write " + temporary;
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (ReplaceByRename(temporary.c_str(), path.c_str()) != 0) {
        *why = "cannot rename " + temporary + " to " + path;
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int HexConvert(const HexOptions &o, CliContext &ctx) {
    ImageFormat format{};
    if (!FormatOfName(o.output, &format)) {
        *ctx.err << "quillrom: hex convert: -o names the format by its ending: .hex, .s19 (.s28 .s37 .srec .mot) or .bin, not "
                 << o.output << "\n";
        return kExitUsage;
    }
    std::vector<quillclient::LoadSource> sources;
    int code = kExitOk;
    LoadFileHandle *h = ReadSources("convert", o, &sources, &code, ctx);
    if (h == nullptr) return code;
    if (h->imageLength == 0) {
        PRRHexClose(h);
        *ctx.err << "quillrom: hex convert: the sources hold no data\n";
        return kExitFailed;
    }
    // Only the addresses the sources wrote, unless a fill byte makes the
    // gaps part of the image; a raw binary always runs lowest to highest.
    AddressRuns runs;
    if (!o.fill.empty() || format == ImageFormat::kBinary) {
        runs.emplace_back(h->lowestAddress, h->highestAddress);
    } else {
        for (const PRRLoadRange &r : RangesOf(h)) runs.emplace_back(r.first, r.last);
        runs = Coalesced(runs);
    }
    std::string bytes;
    switch (format) {
    case ImageFormat::kIntelHex: bytes = IntelHexText(h->imageBuffer, runs); break;
    case ImageFormat::kSRecord: bytes = SRecordText(h->imageBuffer, runs); break;
    case ImageFormat::kBinary:
        bytes.assign(reinterpret_cast<const char *>(h->imageBuffer) + h->lowestAddress,
                     h->highestAddress - h->lowestAddress + 1);
        break;
    }
    const uint32_t lowest = h->lowestAddress;
    const uint16_t checksum = static_cast<uint16_t>(h->imageChecksum);
    PRRHexClose(h);
    std::string why;
    if (!WriteWhole(o.output, bytes, &why)) {
        *ctx.err << "quillrom: hex convert: " << why << "\n";
        return kExitFailed;
    }
    char line[160];
    if (format == ImageFormat::kBinary)
        std::snprintf(line, sizeof line, "Wrote %s: %zu bytes from %06Xh (load it as %s@0x%X), image checksum %04Xh\n",
                      o.output.c_str(), bytes.size(), lowest, o.output.c_str(), lowest, checksum);
    else
        std::snprintf(line, sizeof line, "Wrote %s: %zu data run(s), image checksum %04Xh\n", o.output.c_str(),
                      runs.size(), checksum);
    if (!o.output.empty()) *ctx.out << line;
    return kExitOk;
}

}  // namespace

void AddHexCommands(CLI::App &app, CliContext &ctx) {
    CLI::App *hex = app.add_subcommand("hex", "Load files: Intel HEX, Motorola S-records, ELF and raw binaries");
    hex->require_subcommand(1);
    const char *sourceHelp =
        "Load file(s) merged into one image: Intel HEX, S-record or ELF (told by content), or a raw binary as PATH@ADDR";
    auto options = std::make_shared<HexOptions>();
    CLI::App *info = hex->add_subcommand("info", "Read load sources and show their records, data runs, extent and image checksum");
    info->add_option("SOURCE", options->sources, sourceHelp)->required();
    info->add_option("--fill", options->fill, "The byte for the gaps between the sources' data (default 0xFF)")->type_name("BYTE");
    info->add_flag("--strict", options->strict, "Fail (exit 1) when a record's own checksum is wrong");
    info->add_option("--prm", options->prm, "Parameter file: also show the checksum the device reports for --range");
    info->add_option("--range", options->range, "With --prm: chip, block:A-B or area:A-B")->capture_default_str();
    info->footer("Exit codes: 0 read, 1 unreadable, failed read, or (--strict) wrong record checksums, 2 usage error.");
    info->callback([options, &ctx] { ctx.exitCode = HexInfo(*options, ctx); });

    auto convert = std::make_shared<HexOptions>();
    CLI::App *conv = hex->add_subcommand("convert", "Merge load sources into one image and write it as HEX, S-records or binary");
    conv->add_option("SOURCE", convert->sources, sourceHelp)->required();
    conv->add_option("--fill", convert->fill, "The byte for the gaps; with it the gaps are written too (default: left out, 0xFF in a .bin)")
        ->type_name("BYTE");
    conv->add_option("-o,--output", convert->output, "OUT.hex, OUT.s19 or OUT.bin: the format goes by the ending")->required();
    conv->footer("Exit codes: 0 written, 1 unreadable sources or a failed write, 2 usage error.");
    conv->callback([convert, &ctx] { ctx.exitCode = HexConvert(*convert, ctx); });
}

}  // namespace quillcli
