// A parameter file's text the way the reader splits it: lines ending in
// CR LF of at most 255 bytes, ';' comments and [SECTION] headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillcli::prm {

constexpr size_t kLineMax = 255;  // bytes per line the reader takes, CR LF included

// The whole of a regular file; false for anything else or on a read error.
bool ReadWholeFile(const std::string &path, std::string &text);

struct Line {
    size_t begin;  // first byte
    size_t end;    // end of the text, before CR LF
    size_t next;   // first byte of the next line
};

// Lines that end in CR LF; a trailing piece without one is left out.
std::vector<Line> CrLfLines(const std::string &text);

size_t SkipBlanks(const std::string &text, size_t pos, size_t end);
// The first token of a line after its blanks, up to one of separators.
std::string FirstToken(const std::string &text, const Line &line, const char *separators);
bool IsComment(const std::string &text, const Line &line);
// A "[NAME" header line, whatever follows the name.
bool IsHeader(const std::string &text, const Line &line, const char *name);

std::string Hex8(uint32_t value);  // "0001ABCD"

}  // namespace quillcli::prm
