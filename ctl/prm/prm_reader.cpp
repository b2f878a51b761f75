// PRRReadPRM / PRRFreePRM: the line loop, the section table and the finishing
// steps after the last line.
#include "platform/file_compat.h"

#include <cstdlib>
#include <cstring>

#include "prm/prm_internal.h"
#include "platform/export_guard.h"

namespace quill {

namespace {

using SectionHandler = int (*)(PrmReadContext &ctx, const char *rest);

// The optional decimal set number after a header name. A number the record
// has no set for refuses the header, so later lines never land in another set.
bool ReadSetNumber(PrmReadContext &ctx, const char *rest) {
    char token[kPrmTokenMax + 1];
    size_t length = 0;
    NextToken(SkipBlanks(rest), token, sizeof token, " \t]", &length);
    if (length == 0) return true;  // no number: the set stays
    if (length > kPrmTokenMax) return false;
    int32_t number = DecimalInteger(token);
    if (number < 0 || number >= PRR_COMMAND_SETS) return false;
    ctx.set = number;
    return true;
}

int SectionKeys(PrmReadContext &, const char *) { return kModeKeys; }
int SectionProcessor(PrmReadContext &ctx, const char *rest) {
    return ReadSetNumber(ctx, rest) ? kModeProcessor : kModeFail;
}
int SectionCommands(PrmReadContext &ctx, const char *rest) {
    return ReadSetNumber(ctx, rest) ? kModeCommands : kModeFail;
}
int SectionSTable(PrmReadContext &ctx, const char *rest) {
    if (!ReadSetNumber(ctx, rest)) return kModeFail;
    ctx.counter = 0;
    return kModeSTable;
}
int SectionDTable(PrmReadContext &ctx, const char *rest) {
    if (!ReadSetNumber(ctx, rest)) return kModeFail;
    ctx.counter = 0;
    return kModeDTable;
}
int SectionBoot(PrmReadContext &, const char *) { return kModeBoot; }
int SectionChecksum(PrmReadContext &, const char *) { return kModeChecksum; }

struct SectionEntry {
    const char *name;
    SectionHandler handler;
};

// Lookup order matters: a header matches the first entry its name begins with.
constexpr SectionEntry kSections[] = {
    {"[BurnstarParameterFile", SectionKeys},
    {"[PRC", SectionProcessor},
    {"[Commands", SectionCommands},
    {"[CustomerSetting", SectionKeys},
    {"[RangeSetting", SectionKeys},
    {"[STable", SectionSTable},
    {"[DTable", SectionDTable},
    {"[Boot", SectionBoot},
    {"[CHECKSUM", SectionChecksum},
    {"[EOF", SectionKeys},
};

bool StartsWith(const char *text, const char *prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

void FinishRanges(RangeEntry *table, int32_t count) {
    if (table == nullptr) return;
    for (int32_t i = 1; i < count; ++i) table[i].start = table[i - 1].end + 1;  // wraps to 0 after 0xFFFFFFFF
}

void Finish(PrmReadContext &ctx) {
    DeviceParameters &d = *ctx.record;
    FinishRanges(d.blockTable, d.blockCount);
    FinishRanges(d.areaTable, d.areaCount);
    d.commandSetCount = ctx.set + 1;
    for (int32_t s = 0; s < d.commandSetCount; ++s) {
        const PRRPayloadSEQ &seq = d.commandSets[s][0].payload.seq;
        if (seq.b2 == 0x7F && (seq.b3 == 2 || (seq.b3 == 1 && (seq.combined & 0xFF0000u) != 0))) {
            d.parseFlags |= PRR_PARSE_ADDRESS_FORM;
        }
    }
    if ((d.optionSet1 & 0x20) != 0 && (d.rangeSet5 & 0x20) != 0) d.parseFlags |= PRR_PARSE_NAME_MASKED;
}

}  // namespace

bool ReadPrmLine(PrmReadContext &ctx, char *line) {
    if (line[0] == ';' || IsBlankLine(line)) return true;
    const char *p = SkipBlanks(line);
    if (*p == '[') {
        char name[kPrmLineMax + 1];
        const char *rest = NextToken(p, name, sizeof name, " \t]");
        for (const SectionEntry &section : kSections) {
            if (!StartsWith(name, section.name)) continue;
            int mode = section.handler(ctx, rest);
            if (mode == kModeFail) return false;
            ctx.mode = mode;
            break;
        }
        return true;  // an unlisted header keeps the previous mode
    }
    switch (ctx.mode) {
    case kModeChecksum:
        ReadChecksumLine(p);
        return true;
    case kModeSTable:
        ReadTableLine(ctx, p, ctx.record->sTableData[ctx.set], PRR_STABLE_BYTES);
        return true;
    case kModeDTable:
        ReadTableLine(ctx, p, ctx.record->dTableData[ctx.set], PRR_DTABLE_BYTES);
        return true;
    case kModeBoot:
        return true;  // accepted, not stored
    default:
        return ReadKeyLine(ctx, p);
    }
}

DeviceParameters *ReadPrm(ByteSource &src) {
    auto *record = static_cast<DeviceParameters *>(std::calloc(1, sizeof(DeviceParameters)));
    if (record == nullptr) return nullptr;
    PrmReadContext ctx{record};
    char line[kPrmLineMax + 1];
    while (ReadTextLine(line, kPrmLineMax, src)) {
        size_t n = std::strlen(line);
        if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
        if (!ReadPrmLine(ctx, line)) {
            PRRFreePRM(record);
            return nullptr;
        }
    }
    // A read error is not the end of the file: a record read only in part
    // would look complete to the caller.
    if (src.failed()) {
        PRRFreePRM(record);
        return nullptr;
    }
    Finish(ctx);
    return record;
}

}  // namespace quill

extern "C" QUILLCTL_API DeviceParameters *PRRReadPRM(const char *path, intptr_t /*reserved*/) {
    return quill::Guarded<DeviceParameters *>(nullptr, [&]() -> DeviceParameters * {
        int fd = quill::OpenPrmFile(path);
        if (fd < 0) return nullptr;
        DeviceParameters *record;
        {
            quill::ByteSource src(fd);
            record = quill::ReadPrm(src);
        }
        ::close(fd);
        return record;
    });
}

extern "C" QUILLCTL_API void PRRFreePRM(DeviceParameters *record) {
    quill::GuardedVoid([&] {
        if (record == nullptr) return;
        std::free(record->blockTable);
        std::free(record->areaTable);
        std::free(record);
    });
}
