// Text utilities of the parameter-file reader. The protocol layer uses
// DecimalDigits3 and PowerOfTen too, to turn time codes into durations.
#pragma once
#include <cstddef>
#include <cstdint>

namespace quill {

// Longest line piece ReadTextLine delivers, line end included.
constexpr int kPrmLineMax = 255;
// Longest value token; longer tokens are never used as values.
constexpr size_t kPrmTokenMax = 19;

// A byte stream read through a buffer: either a file descriptor refilled in
// blocks, or a fixed piece of memory.
class ByteSource {
public:
    ByteSource(const void *data, size_t size);  // memory; not copied
    explicit ByteSource(int fd);                // file; the caller keeps and closes fd
    ~ByteSource();
    ByteSource(const ByteSource &) = delete;
    ByteSource &operator=(const ByteSource &) = delete;

    // Next byte (0..255), or -1 at the end or after a read error.
    int Next() {
        if (pos_ < len_) return buf_[pos_++];
        return Refill();
    }
    // True when the bytes ended through a failed read, not the end of the file.
    bool failed() const { return failed_; }

private:
    int Refill();

    const uint8_t *buf_;
    size_t len_;
    size_t pos_ = 0;
    int fd_ = -1;
    uint8_t *block_ = nullptr;  // refill buffer of a file source
    bool ended_ = false;
    bool failed_ = false;
};

// Opens a parameter file for reading. The file must be a regular file and not
// be locked: another process holding an exclusive flock on it (a writer) makes
// the open fail. Other readers may share it. Returns the descriptor or -1.
int OpenPrmFile(const char *path);

// Reads one line into buffer (room for max + 1 bytes). A line ends with CR LF,
// delivered as a single LF; after max bytes without CR LF the bytes so far are
// a line of their own. Bytes of an unfinished line at the end are dropped and
// false is returned. Each call starts fresh: a CR that ended the previous
// piece does not pair with an LF that starts this one.
bool ReadTextLine(char *buffer, int max, ByteSource &src);

// Copies a token up to NUL, CR, LF or a character of separators into token
// (room for capacity bytes, always terminated; a longer token is cut). Returns
// the position of the character that stopped it; *length, when given, gets
// the token's full length, so callers can tell a cut token.
const char *NextToken(const char *text, char *token, size_t capacity, const char *separators,
                      size_t *length = nullptr);

bool IsBlank(char c);  // space, tab, CR, LF
const char *SkipBlanks(const char *text);
const char *SkipBlanksAnd(const char *text, char c);
bool IsBlankLine(const char *line);
bool IsHexDigit(char c);

// Non-hex characters count as 0 in their nibble.
uint8_t HexByte(char hi, char lo);
uint16_t HexWord(const char *four);
uint32_t HexLong(const char *eight);

// (t - '0') * 10 + (u - '0'); a non-digit counts as 0.
int DecimalPair(char t, char u);
// Units, thousandths and millionths from three groups of three digits.
double FixedDecimal9(const char *nine);

// Leading blanks, an optional sign, then digits up to the first other
// character; 0 when there are none. Saturates at the int32 limits.
int32_t DecimalInteger(const char *text);
// The same with hex digits and an optional "0x" prefix; keeps the low 32 bits.
uint32_t HexInteger(const char *text);

// The digits of a time code: upper three nibbles as decimal digits.
uint32_t DecimalDigits3(uint16_t v);
// 10 to the power of the low 16 bits of n (1 for 0). Exponents above 19 do not
// fit 64 bits; they saturate at UINT64_MAX rather than wrap.
uint64_t PowerOfTen(uint32_t n);
// DecimalDigits3(v) * PowerOfTen(v & 15): the count a time code stands for
// (below 1666e15, so it always fits).
uint64_t DecimalExponentValue(uint16_t v);

}  // namespace quill
