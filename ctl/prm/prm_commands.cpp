// PMT lines (command slots and their payload layouts) and the STable/DTable
// data lines.
#include <cstring>

#include "prm/prm_internal.h"

namespace quill {

namespace {

using PayloadReader = void (*)(PrmReadContext &ctx, PRRCommandPayload &p, ValueList &v);

void Words(ValueList &v, uint16_t *words, int count) {
    for (int i = 0; i < count; ++i) v.Word(words[i]);
}

// A hex word holding a time code, stored as its count times scale.
void TimeCode(ValueList &v, double &field, double scale) {
    if (v.Next() == 4) field = static_cast<double>(DecimalExponentValue(HexWord(v.token()))) * scale;
}

void PayloadW2(PrmReadContext &, PRRCommandPayload &p, ValueList &v) { Words(v, p.w2.words, 2); }
void PayloadW3(PrmReadContext &, PRRCommandPayload &p, ValueList &v) { Words(v, p.w3.words, 3); }
void PayloadW9(PrmReadContext &, PRRCommandPayload &p, ValueList &v) { Words(v, p.w9.words, 9); }
void PayloadW12(PrmReadContext &, PRRCommandPayload &p, ValueList &v) { Words(v, p.w12.words, 12); }

void PayloadL4(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    v.Long(p.l4.long1);
    Words(v, p.l4.words, 4);
}
void PayloadL6(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    v.Long(p.l6.long1);
    Words(v, p.l6.words, 6);
}
void PayloadL10(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    v.Long(p.l10.long1);
    Words(v, p.l10.words, 10);
}
void PayloadL12(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    v.Long(p.l12.long1);
    Words(v, p.l12.words, 12);
}

void PayloadLL2(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    v.Long(p.ll2.long1);
    v.Long(p.ll2.long2);
    Words(v, p.ll2.words, 2);
}
void PayloadLL9(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    v.Long(p.ll9.long1);
    v.Long(p.ll9.long2);
    Words(v, p.ll9.words, 9);
}

void PayloadWWL4(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    v.Word(p.wwl4.word1);
    v.Word(p.wwl4.word2);
    v.Long(p.wwl4.long1);
    Words(v, p.wwl4.words, 4);
}

void PayloadNV12(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    int32_t number = 0;
    if (v.Decimal(number)) p.nv12.number = number;
    v.Hundredths(p.nv12.value);
    Words(v, p.nv12.words, 12);
}

void PayloadVOLT(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    v.Hundredths(p.volt.voltage);
    v.Word(p.volt.word);
}

void PayloadMICRO(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    TimeCode(v, p.micro.micro, 0.000001);
    v.Word(p.micro.word);
}

void PayloadTIMES(PrmReadContext &, PRRCommandPayload &p, ValueList &v) {
    PRRPayloadTIMES &t = p.times;
    TimeCode(v, t.time1, 0.001);
    TimeCode(v, t.time2, 0.001);
    v.HundredthsF(t.value3);
    TimeCode(v, t.time4, 0.000001);
    v.Word(t.word5);
    if (v.Next() == 2) t.byte6 = HexByte(v.token()[0], v.token()[1]);
    v.Word(t.word7);
}

void PayloadSEQ(PrmReadContext &ctx, PRRCommandPayload &p, ValueList &v) {
    PRRPayloadSEQ &q = p.seq;
    q.b4 = 0;
    v.Byte(q.b1);
    v.Byte(q.b2);
    v.Byte(q.b3);
    if ((ctx.record->parseFlags & PRR_PARSE_CODE_ABOVE_0412) != 0) v.Byte(q.b4);
    uint8_t x = 0, y = 0, z = 0;
    v.Byte(x);
    v.Byte(y);
    v.Byte(z);
    q.combined = static_cast<uint32_t>(x) | static_cast<uint32_t>(y) << 7 | static_cast<uint32_t>(z & 0x7F) << 14;
    // The string is always rewritten; bytes past room for the terminator are dropped.
    std::memset(q.text, 0, sizeof q.text);
    size_t n = 0;
    while (v.Next() == 2) {
        if (n + 1 < sizeof q.text) q.text[n++] = HexByte(v.token()[0], v.token()[1]) & 0x7F;
    }
}

constexpr int kNotStored = -1;    // accepted, nothing kept
constexpr int kNotAccepted = -2;  // fails the read

struct CommandType {
    int slot;
    PayloadReader reader;
};

// Indexed by command type 0x00..0x15.
constexpr CommandType kCommandTypes[] = {
    {6, PayloadW9},          // 0x00
    {7, PayloadNV12},        // 0x01 signature and version read
    {8, PayloadL4},          // 0x02 blank check
    {9, PayloadL12},         // 0x03 erase
    {10, PayloadL10},        // 0x04 program
    {11, PayloadL6},         // 0x05 verify
    {12, PayloadLL9},        // 0x06 security flags
    {13, PayloadLL2},        // 0x07 checksum
    {14, PayloadWWL4},       // 0x08 data table transfer at connect
    {kNotStored, nullptr},   // 0x09
    {kNotAccepted, nullptr}, // 0x0A
    {15, PayloadW2},         // 0x0B signature and version read
    {16, PayloadW3},         // 0x0C
    {17, PayloadW12},        // 0x0D
    {18, PayloadW2},         // 0x0E
    {19, PayloadW12},        // 0x0F link reset handshake
    {0, PayloadSEQ},         // 0x10 frame form
    {1, PayloadW2},          // 0x11
    {2, PayloadW2},          // 0x12
    {3, PayloadTIMES},       // 0x13 erase times
    {4, PayloadMICRO},       // 0x14
    {5, PayloadVOLT},        // 0x15 voltage
};
constexpr unsigned kCommandTypeCount = sizeof kCommandTypes / sizeof kCommandTypes[0];

}  // namespace

bool ReadPmt(PrmReadContext &ctx, const char *rest) {
    ValueList v(rest);
    uint8_t code = 0xFF, type = 0xFF, option = 0xFF;
    v.Byte(code);
    v.Byte(type);
    // The option is taken whatever its length, so a line without one needs a
    // placeholder there.
    v.Byte(option);
    if (code == 0xFF || type == 0xFF) return false;
    if (type >= kCommandTypeCount) return false;
    const CommandType &entry = kCommandTypes[type];
    if (entry.slot == kNotAccepted) return false;
    if (entry.slot == kNotStored) return true;
    CommandSlot &slot = ctx.record->commandSets[ctx.set][entry.slot];
    slot.commandCode = code;
    slot.commandType = type;
    slot.commandOption = option;
    ValueList payload(SkipBlanks(v.rest()), ValueList::kSeparators, false);
    entry.reader(ctx, slot.payload, payload);
    return true;
}

void ReadTableLine(PrmReadContext &ctx, const char *line, uint8_t *table, size_t capacity) {
    // The first two characters name the line; bytes follow as unseparated pairs.
    if (line[0] == '\0' || line[1] == '\0' || line[2] == '\0') return;
    for (const char *p = line + 2; p[0] != '\0' && p[1] != '\0'; p += 2) {
        if (!IsHexDigit(p[0]) || !IsHexDigit(p[1])) continue;
        // A set holds only so many bytes; further ones are dropped.
        if (static_cast<size_t>(ctx.counter) < capacity) table[ctx.counter++] = HexByte(p[0], p[1]);
    }
}

}  // namespace quill
