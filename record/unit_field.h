// Per-unit fields: values written into each unit's image at a place of their
// own (a serial number, a MAC address, a key), each from a source: a counter
// in the record, the next row of a list file, a scan the operator types, or
// the output of a command.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "record/serial_number.h"

namespace quillrecord {

enum class FieldSource { kCounter, kList, kScan, kExec };

struct FieldSpec {
    std::string name;
    SerialSpec place;
    FieldSource source = FieldSource::kCounter;
    int64_t start = 1, step = 1;    // counter
    std::string listPath, column;   // list: the CSV file, its column (name or 1-based number; "": the first)
    std::string pattern;            // scan: what a value must match (ECMAScript); "": anything
    std::vector<std::string> argv;  // exec: the command and its arguments, split as written
    std::string text;               // as given, for the record and messages
};

// "NAME@ADDR:LEN[:FORMAT]=SOURCE", SOURCE one of counter[:START[:STEP]],
// list:FILE.csv[:COLUMN], scan[:REGEX], exec:COMMAND. False with the reason.
bool ParseFieldSpec(const std::string &text, FieldSpec *out, std::string *why);

// The bytes a value takes at the field's place: a number (decimal or 0x hex)
// in le, be, bcd or ascii, or for hex the bytes as written ("00:1A:2B..."
// with ':' or '-' between bytes allowed), exactly LEN of them (a counter's
// number in hex: its bytes, most significant first). False with the reason
// when it does not fit.
bool EncodeFieldValue(const FieldSpec &field, const std::string &value, std::vector<uint8_t> *bytes, std::string *why);

// A command line split as written: spaces separate, double or single quotes
// keep spaces, a backslash keeps the next character. False for an unclosed quote.
bool SplitCommand(const std::string &text, std::vector<std::string> *argv);

// The values of one column of a CSV list file (RFC 4180 quoting, CRLF or LF),
// in row order after the header line: COLUMN names a header, or is its
// number from 1; "" takes the first column. Values are trimmed of spaces;
// blank cells stay, as "" (they are passed over, their rows keep their
// places). False with the reason.
bool ReadListColumn(const std::string &path, const std::string &column, std::vector<std::string> *values,
                    std::string *why);

}  // namespace quillrecord
