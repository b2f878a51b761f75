// Internals of the parameter-file reader shared by its files, the fuzz target
// and the tests.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "prm/prm_text.h"
#include "quillctl.h"

namespace quill {

// Section modes: what the lines after a header are.
constexpr int kModeKeys = 0;
constexpr int kModeProcessor = 1;
constexpr int kModeCommands = 2;
constexpr int kModeSTable = 4;
constexpr int kModeDTable = 8;
constexpr int kModeBoot = 16;
constexpr int kModeChecksum = 32;
constexpr int kModeFail = -1;  // a section handler refused its header

// Block and area tables larger than this are refused: their entries are
// numbered with 16 bits, so further entries could never be given.
constexpr int32_t kMaxRangeEntries = 65536;

// State of one read. The record is the one being filled; SEQ payloads look at
// its parse flags.
struct PrmReadContext {
    DeviceParameters *record;
    int mode = kModeKeys;
    int32_t set = 0;      // current set number, always 0..7
    int32_t counter = 0;  // STable/DTable data counter
};

// The value list of a key line or payload: tokens taken one after the other,
// with blanks skipped before every further value.
class ValueList {
public:
    static constexpr const char *kSeparators = " \t\n;";
    ValueList(const char *rest, const char *separators = kSeparators, bool skipEquals = true);
    // Takes the next value. Returns its length: 0 when missing, above
    // kPrmTokenMax when too long to be used.
    size_t Next();
    const char *token() const { return token_; }
    size_t length() const { return length_; }
    bool Has(size_t exact) const { return length_ == exact; }
    bool Usable() const { return length_ > 0 && length_ <= kPrmTokenMax; }
    const char *rest() const { return p_; }

    // Format readers: each takes one value and stores it only when it has the
    // format's length; otherwise the field is left as it was.
    void Byte(uint8_t &field);
    void Word(uint16_t &field);
    void Long(uint32_t &field);
    void Hex24(uint32_t &field);
    void Hundredths(double &field);
    void Hundredths(float &field);      // single-precision 0.01
    void HundredthsF(double &field);    // single-precision 0.01, stored as double
    void Fixed9(double &field);
    bool Decimal(int32_t &value);       // any length; false when missing
    bool HexInt(uint32_t &value);       // any length; false when missing
    void Text(char *field, size_t size);  // when not empty; cut to the field

private:
    const char *p_;
    const char *separators_;
    bool started_ = false;
    char token_[kPrmTokenMax + 1] = {};
    size_t length_ = 0;
};

// Whole-file operations over any byte source.
DeviceParameters *ReadPrm(ByteSource &src);
uint32_t PrmChecksum(ByteSource &src);
// The checksum of a file, or false when it cannot be opened or read.
bool PrmChecksumOfFile(const char *path, uint32_t *value);

// CRC-32/MPEG-2: polynomial 0x04C11DB7, MSB first, no reflection, no final XOR.
uint32_t Crc32Mpeg2(const void *data, size_t size, uint32_t crc = 0xFFFFFFFFu);

// Set by every SUM line of a [CHECKSUM] section; compared by PRRChecksumPRM.
extern std::atomic<uint32_t> expectedPrmChecksum;

// Line handlers. Key lines and PMT return false when the read must fail.
bool ReadKeyLine(PrmReadContext &ctx, const char *line);
bool ReadPmt(PrmReadContext &ctx, const char *rest);
void ReadTableLine(PrmReadContext &ctx, const char *line, uint8_t *table, size_t capacity);
void ReadChecksumLine(const char *line);

// Processes one line as the reader does (after the line end was removed).
// Returns false when the read must fail.
bool ReadPrmLine(PrmReadContext &ctx, char *line);

}  // namespace quill
