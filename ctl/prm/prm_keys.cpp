// Key lines: the key table, one handler per key, and the value formats they
// share.
#include <cstdlib>
#include <cstring>

#include "prm/prm_internal.h"

namespace quill {

ValueList::ValueList(const char *rest, const char *separators, bool skipEquals)
    : p_(skipEquals ? SkipBlanksAnd(rest, '=') : rest), separators_(separators) {}

size_t ValueList::Next() {
    if (started_) p_ = SkipBlanks(p_);
    started_ = true;
    p_ = NextToken(p_, token_, sizeof token_, separators_, &length_);
    return length_;
}

void ValueList::Byte(uint8_t &field) {
    if (Next() == 2) field = HexByte(token_[0], token_[1]);
}

void ValueList::Word(uint16_t &field) {
    if (Next() == 4) field = HexWord(token_);
}

void ValueList::Long(uint32_t &field) {
    if (Next() == 8) field = HexLong(token_);
}

void ValueList::Hex24(uint32_t &field) {
    if (Next() != 6) return;
    char eight[8] = {'0', '0'};
    std::memcpy(eight + 2, token_, 6);
    field = HexLong(eight);
}

namespace {
// Four decimal digits: units and hundredths.
double HundredthsOf(const char *t) { return DecimalPair(t[0], t[1]) + DecimalPair(t[2], t[3]) * 0.01; }
float SingleHundredthsOf(const char *t) {
    return static_cast<float>(DecimalPair(t[0], t[1])) + static_cast<float>(DecimalPair(t[2], t[3])) * 0.01f;
}
}  // namespace

void ValueList::Hundredths(double &field) {
    if (Next() == 4) field = HundredthsOf(token_);
}

void ValueList::Hundredths(float &field) {
    if (Next() == 4) field = SingleHundredthsOf(token_);
}

void ValueList::HundredthsF(double &field) {
    if (Next() == 4) field = SingleHundredthsOf(token_);
}

void ValueList::Fixed9(double &field) {
    if (Next() == 9) field = FixedDecimal9(token_);
}

bool ValueList::Decimal(int32_t &value) {
    Next();
    if (!Usable()) return false;
    value = DecimalInteger(token_);
    return true;
}

bool ValueList::HexInt(uint32_t &value) {
    Next();
    if (!Usable()) return false;
    value = HexInteger(token_);
    return true;
}

void ValueList::Text(char *field, size_t size) {
    Next();
    if (!Usable()) return;
    size_t n = length_ < size ? length_ : size - 1;
    std::memcpy(field, token_, n);
    field[n] = '\0';
}

namespace {

using KeyHandler = bool (*)(PrmReadContext &ctx, const char *rest);

bool KeyIgnored(PrmReadContext &, const char *) { return true; }

bool KeyFileVersion(PrmReadContext &ctx, const char *rest) {
    ValueList v(rest);
    v.Text(ctx.record->fileVersion, sizeof ctx.record->fileVersion);
    return true;
}

bool KeyName(PrmReadContext &ctx, const char *rest) {
    DeviceParameters &d = *ctx.record;
    ValueList v(rest);
    v.Text(d.deviceName, sizeof d.deviceName);
    v.Word(d.deviceCode);
    v.Text(d.deviceSubName, sizeof d.deviceSubName);
    // Only ever set: a later line with a lower code keeps the bit.
    if (d.deviceCode > 0x0412) d.parseFlags |= PRR_PARSE_CODE_ABOVE_0412;
    return true;
}

bool KeyFlmd(PrmReadContext &ctx, const char *rest) {
    ValueList v(rest);
    uint32_t code = 0;
    uint32_t index = 0;
    v.HexInt(code);
    if (!v.HexInt(index)) return false;
    index &= 0xFF;
    if (index > 15) return false;
    FlmdEntry &e = ctx.record->flmdTable[index];
    e.present = 1;
    e.code = static_cast<uint8_t>(code);
    e.index = static_cast<uint8_t>(index);
    e.voltage = 0.0f;  // an entry given without its voltage has none
    v.Hundredths(e.voltage);
    return true;
}

// Replaces a block or area table with a fresh zero-filled one of count entries.
bool NewRangeTable(RangeEntry *&table, int32_t count) {
    std::free(table);
    table = nullptr;
    if (count == 0) return true;
    table = static_cast<RangeEntry *>(std::calloc(static_cast<size_t>(count), sizeof(RangeEntry)));
    return table != nullptr;
}

bool KeyBlockCount(PrmReadContext &ctx, const char *rest) {
    DeviceParameters &d = *ctx.record;
    ValueList v(rest);
    int32_t count = 0;
    if (v.Decimal(count)) d.blockCount = count < 0 ? 0 : count;
    if (d.blockCount == 0 || d.blockCount > kMaxRangeEntries) return false;
    return NewRangeTable(d.blockTable, d.blockCount);
}

bool KeyAreaCount(PrmReadContext &ctx, const char *rest) {
    DeviceParameters &d = *ctx.record;
    ValueList v(rest, " \t\n");
    int32_t count = 0;
    if (v.Decimal(count)) d.areaCount = count < 0 ? 0 : count;
    if (d.areaCount > kMaxRangeEntries) return false;
    return NewRangeTable(d.areaTable, d.areaCount);
}

// A BLK or ARA line: entry number (low 16 bits) and inclusive end address,
// both required.
bool ReadRange(RangeEntry *table, int32_t count, const char *rest) {
    ValueList v(rest);
    int32_t value = 0;
    if (!v.Decimal(value)) return false;
    uint16_t number = static_cast<uint16_t>(static_cast<uint32_t>(value));
    if (number >= count) return false;
    uint32_t end = 0;
    if (!v.HexInt(end)) return false;
    table[number].number = number;
    table[number].start = 0;
    table[number].end = end;
    return true;
}

bool KeyBlock(PrmReadContext &ctx, const char *rest) {
    DeviceParameters &d = *ctx.record;
    if (d.blockTable == nullptr) return false;
    return ReadRange(d.blockTable, d.blockCount, rest);
}

bool KeyArea(PrmReadContext &ctx, const char *rest) {
    DeviceParameters &d = *ctx.record;
    if (d.areaTable == nullptr) return true;  // no areas declared: nothing to fill
    return ReadRange(d.areaTable, d.areaCount, rest);
}

bool KeyDebug(PrmReadContext &ctx, const char *rest) {
    ValueList v(rest);
    v.Byte(ctx.record->debugSetting);
    return true;
}

bool KeyCommand(PrmReadContext &ctx, const char *rest) { return ReadPmt(ctx, rest); }

bool KeyTypes(PrmReadContext &ctx, const char *rest) {
    DeviceParameters &d = *ctx.record;
    ValueList v(rest);
    v.Byte(d.typeSet1);
    v.Hundredths(d.typeSet2);
    v.Fixed9(d.typeSet3);
    v.Byte(d.typeSet4);
    v.Byte(d.typeSet5);
    if (v.Next() == 2) d.typeSet6 = DecimalPair(v.token()[0], v.token()[1]);
    v.Fixed9(d.typeSet7);
    v.Hex24(d.typeSet8);
    v.Hex24(d.typeSet9);
    if (v.Next() == 6) d.typeSet10 = HexByte(v.token()[0], v.token()[1]);
    int32_t value = 0;
    if (v.Decimal(value)) d.typeSet11 = static_cast<uint8_t>(value);
    if (v.Decimal(value)) d.typeSet12 = static_cast<uint8_t>(value);
    return true;
}

bool KeyOptions(PrmReadContext &ctx, const char *rest) {
    DeviceParameters &d = *ctx.record;
    ValueList v(rest);
    v.Byte(d.optionSet1);
    v.Byte(d.optionSet2);
    v.Text(d.optionText1, sizeof d.optionText1);
    v.Text(d.optionText2, sizeof d.optionText2);
    return true;
}

bool KeyVoltages(PrmReadContext &ctx, const char *rest) {
    DeviceParameters &d = *ctx.record;
    ValueList v(rest);
    v.Hundredths(d.voltageSet1);
    v.Hundredths(d.voltageSet2);
    for (uint16_t *field : {&d.voltageSet3, &d.voltageSet4, &d.voltageSet5, &d.voltageSet6, &d.voltageSet7,
                            &d.voltageSet8, &d.voltageSet9}) {
        v.Word(*field);
    }
    if (v.Next() == 4) {
        const char *t = v.token();
        if (HexWord(t) == 0x9999) {
            // Copied as it stands now: a later voltage command line does not follow.
            d.voltageSet10 = d.commandSets[0][5].payload.volt.voltage;
        } else {
            d.voltageSet10 = HundredthsOf(t);
        }
    }
    return true;
}

bool KeyRanges(PrmReadContext &ctx, const char *rest) {
    DeviceParameters &d = *ctx.record;
    ValueList v(rest);
    v.Fixed9(d.rangeSet1);
    v.Fixed9(d.rangeSet2);
    v.Fixed9(d.rangeSet3);
    v.Fixed9(d.rangeSet4);
    v.Byte(d.rangeSet5);
    v.Hundredths(d.rangeSet6);
    v.Hundredths(d.rangeSet7);
    v.Hundredths(d.rangeSet8);
    v.Hundredths(d.rangeSet9);
    return true;
}

bool KeyChecksum(PrmReadContext &ctx, const char *rest) {
    ValueList v(rest);
    v.Long(ctx.record->deviceChecksum);
    return true;
}

struct KeyEntry {
    const char *name;
    KeyHandler handler;
};

// Lookup order matters: a key matches the first entry its name begins with,
// so BLKNUM and ARANUM come before BLK and ARA.
constexpr KeyEntry kKeys[] = {
    {"RESPRC", KeyIgnored}, {"FVCHK", KeyIgnored},     {"FFVER", KeyFileVersion}, {"FNAME", KeyName},
    {"FLMD", KeyFlmd},      {"BLKNUM", KeyBlockCount}, {"BLK", KeyBlock},         {"ARANUM", KeyAreaCount},
    {"ARA", KeyArea},       {"DBGSET", KeyDebug},      {"PMT", KeyCommand},       {"TYPSET", KeyTypes},
    {"OPTSET", KeyOptions}, {"VOLSET", KeyVoltages},   {"RANSET", KeyRanges},     {"SUM", KeyChecksum},
};

}  // namespace

bool ReadKeyLine(PrmReadContext &ctx, const char *line) {
    char name[kPrmLineMax + 1];
    const char *rest = NextToken(line, name, sizeof name, "= \t");
    for (const KeyEntry &key : kKeys) {
        if (std::strncmp(name, key.name, std::strlen(key.name)) == 0) return key.handler(ctx, rest);
    }
    return true;  // unlisted keys are ignored
}

}  // namespace quill
