// `quillrom prm show|check|stamp FILE`: a parameter file as the library reads
// it, its checksum verdict, and rewriting its SUM= value.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "commands.h"
#include "progress_view.h"
#include "quillctl.h"

namespace quillcli {
namespace {

// ---------------------------------------------------------------------------
// A small value tree, rendered either as readable text or as JSON.

struct Node;
using Members = std::vector<std::pair<std::string, Node>>;
using Items = std::vector<Node>;

struct Node {
    struct Number {
        double value;
        int hexDigits;  // text form: shown as hex with this many digits (0: decimal)
    };
    std::variant<Number, std::string, Items, Members> v;

    static Node Num(double value, int hexDigits = 0) { return Node{Number{value, hexDigits}}; }
    static Node Hex(uint32_t value, int digits) { return Num(value, digits); }
    static Node Str(std::string s) { return Node{std::move(s)}; }
    static Node Arr(Items items = {}) { return Node{std::move(items)}; }
    static Node Obj(Members members = {}) { return Node{std::move(members)}; }

    Members &members() { return std::get<Members>(v); }
    Items &items() { return std::get<Items>(v); }
    void Add(std::string key, Node node) { members().emplace_back(std::move(key), std::move(node)); }
    bool IsScalar() const { return std::holds_alternative<Number>(v) || std::holds_alternative<std::string>(v); }
};

std::string NumberText(const Node::Number &n, bool json) {
    char text[64];
    if (!json && n.hexDigits > 0) {
        std::snprintf(text, sizeof text, "%0*llX", n.hexDigits, static_cast<unsigned long long>(n.value));
    } else if (n.value == static_cast<double>(static_cast<long long>(n.value))) {
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(n.value));
    } else {
        // Text shows what a single-precision field was meant to hold (3.3, not 3.29999995).
        std::snprintf(text, sizeof text, json ? "%.9g" : "%.6g", n.value);
    }
    return text;
}


void RenderJson(const Node &node, std::ostream &out, int indent) {
    std::string pad(static_cast<size_t>(indent + 2), ' ');
    if (auto *n = std::get_if<Node::Number>(&node.v)) {
        out << NumberText(*n, true);
    } else if (auto *s = std::get_if<std::string>(&node.v)) {
        out << JsonString(*s);
    } else if (auto *items = std::get_if<Items>(&node.v)) {
        bool flat = true;
        for (const Node &item : *items) flat = flat && item.IsScalar();
        out << '[';
        for (size_t i = 0; i < items->size(); ++i) {
            if (i > 0) out << ',';
            if (flat) {
                if (i > 0) out << ' ';
            } else {
                out << '\n' << pad;
            }
            RenderJson((*items)[i], out, indent + 2);
        }
        if (!flat && !items->empty()) out << '\n' << std::string(static_cast<size_t>(indent), ' ');
        out << ']';
    } else {
        const auto &members = std::get<Members>(node.v);
        out << '{';
        for (size_t i = 0; i < members.size(); ++i) {
            out << (i > 0 ? ",\n" : "\n") << pad << JsonString(members[i].first) << ": ";
            RenderJson(members[i].second, out, indent + 2);
        }
        if (!members.empty()) out << '\n' << std::string(static_cast<size_t>(indent), ' ');
        out << '}';
    }
}

void RenderText(const Members &members, std::ostream &out, int indent);

void RenderTextValue(const std::string &key, const Node &node, std::ostream &out, int indent) {
    std::string pad(static_cast<size_t>(indent), ' ');
    if (auto *n = std::get_if<Node::Number>(&node.v)) {
        out << pad << key << ": " << NumberText(*n, false) << '\n';
    } else if (auto *s = std::get_if<std::string>(&node.v)) {
        out << pad << key << ": " << *s << '\n';
    } else if (auto *items = std::get_if<Items>(&node.v)) {
        bool flat = true;
        for (const Node &item : *items) flat = flat && item.IsScalar();
        if (flat) {
            out << pad << key << ':';
            for (const Node &item : *items) {
                if (auto *n = std::get_if<Node::Number>(&item.v)) out << ' ' << NumberText(*n, false);
                else out << ' ' << std::get<std::string>(item.v);
            }
            out << '\n';
        } else {
            for (size_t i = 0; i < items->size(); ++i) {
                RenderTextValue(key + "[" + std::to_string(i) + "]", (*items)[i], out, indent);
            }
        }
    } else {
        const auto &members = std::get<Members>(node.v);
        bool flat = true;
        for (const auto &member : members) flat = flat && member.second.IsScalar();
        if (!flat) {
            out << pad << key << ":\n";
            RenderText(members, out, indent + 2);
            return;
        }
        // Small records (a block, a table set) stay on one line.
        out << pad << key << ':';
        for (const auto &[name, value] : members) {
            if (auto *n = std::get_if<Node::Number>(&value.v)) out << ' ' << name << '=' << NumberText(*n, false);
            else out << ' ' << name << '=' << std::get<std::string>(value.v);
        }
        out << '\n';
    }
}

void RenderText(const Members &members, std::ostream &out, int indent) {
    for (const auto &[key, node] : members) RenderTextValue(key, node, out, indent);
}

// ---------------------------------------------------------------------------
// The record as a tree.

std::string FieldText(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

Node Words(const uint16_t *words, int count) {
    Items items;
    for (int i = 0; i < count; ++i) items.push_back(Node::Hex(words[i], 4));
    return Node::Arr(std::move(items));
}

// The payload by the layout of its command type.
Node Payload(uint8_t type, const PRRCommandPayload &p) {
    Node n = Node::Obj();
    switch (type) {
    case 0x00: n.Add("words", Words(p.w9.words, 9)); break;
    case 0x01:
        n.Add("number", Node::Num(p.nv12.number));
        n.Add("value", Node::Num(p.nv12.value));
        n.Add("words", Words(p.nv12.words, 12));
        break;
    case 0x02: n.Add("long1", Node::Hex(p.l4.long1, 8)); n.Add("words", Words(p.l4.words, 4)); break;
    case 0x03: n.Add("long1", Node::Hex(p.l12.long1, 8)); n.Add("words", Words(p.l12.words, 12)); break;
    case 0x04: n.Add("long1", Node::Hex(p.l10.long1, 8)); n.Add("words", Words(p.l10.words, 10)); break;
    case 0x05: n.Add("long1", Node::Hex(p.l6.long1, 8)); n.Add("words", Words(p.l6.words, 6)); break;
    case 0x06:
        n.Add("long1", Node::Hex(p.ll9.long1, 8));
        n.Add("long2", Node::Hex(p.ll9.long2, 8));
        n.Add("words", Words(p.ll9.words, 9));
        break;
    case 0x07:
        n.Add("long1", Node::Hex(p.ll2.long1, 8));
        n.Add("long2", Node::Hex(p.ll2.long2, 8));
        n.Add("words", Words(p.ll2.words, 2));
        break;
    case 0x08:
        n.Add("word1", Node::Hex(p.wwl4.word1, 4));
        n.Add("word2", Node::Hex(p.wwl4.word2, 4));
        n.Add("long1", Node::Hex(p.wwl4.long1, 8));
        n.Add("words", Words(p.wwl4.words, 4));
        break;
    case 0x0B: case 0x0E: case 0x11: case 0x12: n.Add("words", Words(p.w2.words, 2)); break;
    case 0x0C: n.Add("words", Words(p.w3.words, 3)); break;
    case 0x0D: case 0x0F: n.Add("words", Words(p.w12.words, 12)); break;
    case 0x10: {
        n.Add("b1", Node::Hex(p.seq.b1, 2));
        n.Add("b2", Node::Hex(p.seq.b2, 2));
        n.Add("b3", Node::Hex(p.seq.b3, 2));
        n.Add("b4", Node::Hex(p.seq.b4, 2));
        n.Add("combined", Node::Hex(p.seq.combined, 6));
        Items text;
        for (size_t i = 0; i < sizeof p.seq.text && p.seq.text[i] != 0; ++i) text.push_back(Node::Hex(p.seq.text[i], 2));
        n.Add("text", Node::Arr(std::move(text)));
        break;
    }
    case 0x13:
        n.Add("time1", Node::Num(p.times.time1));
        n.Add("time2", Node::Num(p.times.time2));
        n.Add("value3", Node::Num(p.times.value3));
        n.Add("time4", Node::Num(p.times.time4));
        n.Add("word5", Node::Hex(p.times.word5, 4));
        n.Add("byte6", Node::Hex(p.times.byte6, 2));
        n.Add("word7", Node::Hex(p.times.word7, 4));
        break;
    case 0x14: n.Add("micro", Node::Num(p.micro.micro)); n.Add("word", Node::Hex(p.micro.word, 4)); break;
    case 0x15: n.Add("voltage", Node::Num(p.volt.voltage)); n.Add("word", Node::Hex(p.volt.word, 4)); break;
    default: break;
    }
    return n;
}

Node Ranges(const RangeEntry *table, int32_t count) {
    Items items;
    for (int32_t i = 0; table != nullptr && i < count; ++i) {
        items.push_back(Node::Obj({{"number", Node::Num(table[i].number)},
                                   {"start", Node::Hex(table[i].start, 8)},
                                   {"end", Node::Hex(table[i].end, 8)}}));
    }
    return Node::Arr(std::move(items));
}

// Table sets that hold data, up to their last nonzero byte.
Node TableSets(const uint8_t *data, size_t setSize) {
    Items items;
    for (int s = 0; s < PRR_COMMAND_SETS; ++s) {
        const uint8_t *bytes = data + s * setSize;
        size_t used = setSize;
        while (used > 0 && bytes[used - 1] == 0) --used;
        if (used == 0) continue;
        std::string hex;
        char pair[3];
        for (size_t i = 0; i < used; ++i) {
            std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
            hex += pair;
        }
        items.push_back(Node::Obj({{"set", Node::Num(s)}, {"bytes", Node::Str(hex)}}));
    }
    return Node::Arr(std::move(items));
}

Node RecordTree(const std::string &file, const DeviceParameters &d) {
    Node root = Node::Obj();
    root.Add("file", Node::Str(file));
    root.Add("fileVersion", Node::Str(FieldText(d.fileVersion, sizeof d.fileVersion)));
    root.Add("deviceName", Node::Str(FieldText(d.deviceName, sizeof d.deviceName)));
    root.Add("deviceCode", Node::Hex(d.deviceCode, 4));
    root.Add("deviceSubName", Node::Str(FieldText(d.deviceSubName, sizeof d.deviceSubName)));
    root.Add("parseFlags", Node::Hex(d.parseFlags, 8));
    Items flmd;
    for (const FlmdEntry &e : d.flmdTable) {
        if (e.present == 0) continue;
        flmd.push_back(Node::Obj({{"index", Node::Num(e.index)},
                                  {"code", Node::Hex(e.code, 2)},
                                  {"voltage", Node::Num(static_cast<double>(e.voltage))}}));
    }
    root.Add("flmd", Node::Arr(std::move(flmd)));
    root.Add("blockCount", Node::Num(d.blockCount));
    root.Add("blocks", Ranges(d.blockTable, d.blockCount));
    root.Add("areaCount", Node::Num(d.areaCount));
    root.Add("areas", Ranges(d.areaTable, d.areaCount));
    root.Add("debugSetting", Node::Hex(d.debugSetting, 2));
    root.Add("commandSetCount", Node::Num(d.commandSetCount));
    Items sets;
    for (int s = 0; s < PRR_COMMAND_SETS && s < d.commandSetCount; ++s) {
        Items slots;
        for (int i = 0; i < PRR_COMMAND_SLOTS; ++i) {
            const CommandSlot &slot = d.commandSets[s][i];
            if (slot.commandCode == 0 && slot.commandType == 0 && slot.commandOption == 0) continue;
            slots.push_back(Node::Obj({{"slot", Node::Num(i)},
                                       {"type", Node::Hex(slot.commandType, 2)},
                                       {"code", Node::Hex(slot.commandCode, 2)},
                                       {"option", Node::Hex(slot.commandOption, 2)},
                                       {"payload", Payload(slot.commandType, slot.payload)}}));
        }
        sets.push_back(Node::Obj({{"set", Node::Num(s)}, {"slots", Node::Arr(std::move(slots))}}));
    }
    root.Add("commandSets", Node::Arr(std::move(sets)));
    root.Add("typeSet", Node::Arr({Node::Hex(d.typeSet1, 2), Node::Num(static_cast<double>(d.typeSet2)),
                                   Node::Num(d.typeSet3), Node::Hex(d.typeSet4, 2), Node::Hex(d.typeSet5, 2),
                                   Node::Num(d.typeSet6), Node::Num(d.typeSet7), Node::Hex(d.typeSet8, 6),
                                   Node::Hex(d.typeSet9, 6), Node::Hex(d.typeSet10, 2), Node::Num(d.typeSet11),
                                   Node::Num(d.typeSet12)}));
    root.Add("optionSet", Node::Arr({Node::Hex(d.optionSet1, 2), Node::Hex(d.optionSet2, 2)}));
    root.Add("optionText", Node::Arr({Node::Str(FieldText(d.optionText1, sizeof d.optionText1)),
                                      Node::Str(FieldText(d.optionText2, sizeof d.optionText2))}));
    root.Add("voltageSet", Node::Arr({Node::Num(d.voltageSet1), Node::Num(d.voltageSet2), Node::Hex(d.voltageSet3, 4),
                                      Node::Hex(d.voltageSet4, 4), Node::Hex(d.voltageSet5, 4),
                                      Node::Hex(d.voltageSet6, 4), Node::Hex(d.voltageSet7, 4),
                                      Node::Hex(d.voltageSet8, 4), Node::Hex(d.voltageSet9, 4),
                                      Node::Num(d.voltageSet10)}));
    root.Add("rangeSet", Node::Arr({Node::Num(d.rangeSet1), Node::Num(d.rangeSet2), Node::Num(d.rangeSet3),
                                    Node::Num(d.rangeSet4), Node::Hex(d.rangeSet5, 2), Node::Num(d.rangeSet6),
                                    Node::Num(d.rangeSet7), Node::Num(d.rangeSet8), Node::Num(d.rangeSet9)}));
    root.Add("sTable", TableSets(&d.sTableData[0][0], PRR_STABLE_BYTES));
    root.Add("dTable", TableSets(&d.dTableData[0][0], PRR_DTABLE_BYTES));
    root.Add("deviceChecksum", Node::Hex(d.deviceChecksum, 8));
    return root;
}

// ---------------------------------------------------------------------------
// File text as lines ending in CR LF, the way the reader splits them.

constexpr size_t kLineMax = 255;  // bytes per line the reader takes, CR LF included

// The whole of a regular file; false for anything else or on a read error.
bool ReadWholeFile(const std::string &path, std::string &text) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    text.clear();
    char buf[65536];
    while (ok) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
}

struct Line {
    size_t begin;  // first byte
    size_t end;    // end of the text, before CR LF
    size_t next;   // first byte of the next line
};

// Lines that end in CR LF; a trailing piece without one is left out.
std::vector<Line> CrLfLines(const std::string &text) {
    std::vector<Line> lines;
    size_t begin = 0;
    for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", begin)) {
        lines.push_back({begin, pos, pos + 2});
        begin = pos + 2;
    }
    return lines;
}

size_t SkipBlanks(const std::string &text, size_t pos, size_t end) {
    while (pos < end && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    return pos;
}

// The first token of a line after its blanks, up to one of separators.
std::string FirstToken(const std::string &text, const Line &line, const char *separators) {
    size_t p = SkipBlanks(text, line.begin, line.end);
    size_t q = p;
    while (q < line.end && std::strchr(separators, text[q]) == nullptr) ++q;
    return text.substr(p, q - p);
}

bool IsComment(const std::string &text, const Line &line) { return line.begin < line.end && text[line.begin] == ';'; }

bool IsHeader(const std::string &text, const Line &line, const char *name) {
    return !IsComment(text, line) && FirstToken(text, line, " \t]") == name;
}

struct LineEndReport {
    size_t lfOnly = 0;
    size_t longLines = 0;
    size_t firstLfOnly = 0;  // 1-based line numbers
    size_t firstLong = 0;
    bool unterminatedTail = false;
    bool hasChecksumSection = false;
};

LineEndReport ScanLineEnds(const std::string &text) {
    LineEndReport r;
    size_t begin = 0, number = 0;
    while (begin < text.size()) {
        size_t lf = text.find('\n', begin);
        ++number;
        if (lf == std::string::npos) {
            // The reader drops a last line without CR LF; only text there matters.
            r.unterminatedTail = text.find_first_not_of(" \t\r", begin) != std::string::npos;
            if (text.size() - begin > kLineMax && r.longLines++ == 0) r.firstLong = number;
            break;
        }
        bool crlf = lf > begin && text[lf - 1] == '\r';
        if (!crlf && r.lfOnly++ == 0) r.firstLfOnly = number;
        if (lf + 1 - begin > kLineMax && r.longLines++ == 0) r.firstLong = number;
        Line line{begin, crlf ? lf - 1 : lf, lf + 1};
        if (IsHeader(text, line, "[CHECKSUM")) r.hasChecksumSection = true;
        begin = lf + 1;
    }
    return r;
}

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

// ---------------------------------------------------------------------------
// Commands.

struct PrmOptions {
    std::string file;
    bool json = false;
};

int Show(const PrmOptions &o, std::ostream &out, std::ostream &err) {
    DeviceParameters *d = PRRReadPRM(o.file.c_str(), 0);
    if (d == nullptr) {
        err << "quillrom: " << o.file << ": ParameterFile Read Error\n";
        return kExitFailed;
    }
    Node tree = RecordTree(o.file, *d);
    PRRFreePRM(d);
    if (o.json) {
        RenderJson(tree, out, 0);
        out << '\n';
    } else {
        RenderText(tree.members(), out, 0);
    }
    return kExitOk;
}

int Check(const PrmOptions &o, std::ostream &out, std::ostream &err) {
    std::string text;
    if (!ReadWholeFile(o.file, text)) {
        err << "quillrom: " << o.file << ": cannot read the file\n";
        return kExitFailed;
    }
    LineEndReport r = ScanLineEnds(text);
    if (r.lfOnly > 0) {
        err << "warning: " << o.file << ": " << r.lfOnly << " line(s) end in LF only (first: line " << r.firstLfOnly
            << "); the reader needs CR LF and loses the keys on them\n";
    }
    if (r.longLines > 0) {
        err << "warning: " << o.file << ": " << r.longLines << " line(s) longer than 255 bytes (first: line "
            << r.firstLong << "); the reader splits them and loses what follows the split\n";
    }
    if (r.unterminatedTail) {
        err << "warning: " << o.file << ": the last line has no CR LF; the reader drops it\n";
    }
    if (!r.hasChecksumSection) {
        err << "warning: " << o.file << ": no [CHECKSUM] section; the check compares with the value of an "
            << "earlier file, or 0\n";
    }
    // The verdict is the program's own sequence: read the file, then compare.
    DeviceParameters *d = PRRReadPRM(o.file.c_str(), 0);
    if (d == nullptr) {
        err << "quillrom: " << o.file << ": ParameterFile Read Error\n";
        return kExitFailed;
    }
    PRRFreePRM(d);
    uint32_t computed = 0, expected = 0;
    if (PRRChecksumValuesPRM(o.file.c_str(), &computed, &expected) != 0) {
        err << "quillrom: " << o.file << ": cannot read the file\n";
        return kExitFailed;
    }
    if (PRRChecksumPRM(o.file.c_str(), 0) == 1) {
        out << o.file << ": checksum OK (SUM=" << Hex8(computed) << ")\n";
        return kExitOk;
    }
    out << o.file << ": ParameterFile CHECKSUM Error: the file says SUM=" << Hex8(expected)
        << ", its content gives " << Hex8(computed) << "\n";
    return kExitFailed;
}

// Where the SUM= text goes, and what replaces which bytes.
struct StampEdit {
    size_t at = 0;
    size_t length = 0;  // bytes replaced
    std::string prefix;  // text before the eight digits
    std::string suffix;  // text after them
};

// Finds the SUM line of the [CHECKSUM] section and plans its rewrite. A
// section without one gets a SUM line right after its header; a file without
// the section gets one before its [EOF] line, or at its end.
StampEdit PlanStamp(const std::string &text) {
    std::vector<Line> lines = CrLfLines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!IsHeader(text, lines[i], "[CHECKSUM")) continue;
        for (size_t j = i + 1; j < lines.size(); ++j) {
            const Line &line = lines[j];
            if (IsComment(text, line)) continue;
            size_t p = SkipBlanks(text, line.begin, line.end);
            if (p < line.end && text[p] == '[') break;  // next section
            if (FirstToken(text, line, " =\t;") != "SUM") continue;
            // Replace "SUM", its blanks and "=" signs and the value token.
            size_t q = SkipBlanks(text, p + 3, line.end);
            while (q < line.end && (text[q] == '=' || text[q] == ' ' || text[q] == '\t')) ++q;
            while (q < line.end && std::strchr(" \t;", text[q]) == nullptr) ++q;
            return {p, q - p, "SUM=", ""};
        }
        return {lines[i].next, 0, "SUM=", "\r\n"};
    }
    size_t at = lines.empty() ? 0 : lines.back().next;
    for (const Line &line : lines) {
        if (IsHeader(text, line, "[EOF")) at = line.begin;
    }
    return {at, 0, "[CHECKSUM]\r\nSUM=", "\r\n"};
}

std::string ApplyStamp(const std::string &text, const StampEdit &edit, uint32_t sum) {
    std::string out = text.substr(0, edit.at);
    out += edit.prefix + Hex8(sum) + edit.suffix;
    out += text.substr(edit.at + edit.length);
    return out;
}

bool WriteAll(int fd, const std::string &data) {
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) return false;
    const char *p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

int Stamp(const PrmOptions &o, std::ostream &out, std::ostream &err) {
    // Rewrite the file a link points to, not the link.
    char resolved[PATH_MAX];
    if (::realpath(o.file.c_str(), resolved) == nullptr) {
        err << "quillrom: " << o.file << ": cannot read the file\n";
        return kExitFailed;
    }
    std::string path = resolved;
    struct stat st;
    std::string text;
    if (::stat(path.c_str(), &st) != 0 || !ReadWholeFile(path, text)) {
        err << "quillrom: " << o.file << ": cannot read the file\n";
        return kExitFailed;
    }
    StampEdit edit = PlanStamp(text);

    // The temporary file sits beside the original, so the rename is atomic.
    std::string temp = path + ".stampXXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        err << "quillrom: " << o.file << ": cannot create a file beside it: " << std::strerror(errno) << "\n";
        return kExitIo;
    }
    temp = name.data();
    auto fail = [&](int code, const std::string &message) {
        ::close(fd);
        ::unlink(temp.c_str());
        err << "quillrom: " << o.file << ": " << message << "\n";
        return code;
    };
    // The checksum covers nothing from the [CHECKSUM] header on, so the value
    // written does not change it: sum the file with a placeholder first.
    std::string stamped = ApplyStamp(text, edit, 0);
    uint32_t sum = 0;
    if (!WriteAll(fd, stamped) || PRRChecksumValuesPRM(temp.c_str(), &sum, nullptr) != 0) {
        return fail(kExitIo, std::string("cannot write the new file: ") + std::strerror(errno));
    }
    stamped = ApplyStamp(text, edit, sum);
    if (!WriteAll(fd, stamped) || ::fchmod(fd, st.st_mode & 07777) != 0 || ::fsync(fd) != 0) {
        return fail(kExitIo, std::string("cannot write the new file: ") + std::strerror(errno));
    }
    // Only a result that reads and checks replaces the original.
    DeviceParameters *d = PRRReadPRM(temp.c_str(), 0);
    bool checks = d != nullptr && PRRChecksumPRM(temp.c_str(), 0) == 1;
    PRRFreePRM(d);
    if (!checks) {
        return fail(kExitFailed, d == nullptr ? "ParameterFile Read Error; not stamped"
                                              : "the stamped file would still not check (lines over 255 bytes or "
                                                "without CR LF?); not stamped");
    }
    if (stamped == text) {
        ::close(fd);
        ::unlink(temp.c_str());
        out << o.file << ": SUM=" << Hex8(sum) << " already correct\n";
        return kExitOk;
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        std::string why = std::strerror(errno);
        ::unlink(temp.c_str());
        err << "quillrom: " << o.file << ": cannot replace the file: " << why << "\n";
        return kExitIo;
    }
    out << o.file << ": SUM=" << Hex8(sum) << " written\n";
    return kExitOk;
}

}  // namespace

void AddPrmCommands(CLI::App &app, CliContext &ctx) {
    auto opts = std::make_shared<PrmOptions>();
    CLI::App *prm = app.add_subcommand("prm", "Parameter files (.prm): show, check, stamp");
    prm->require_subcommand(1);

    CLI::App *show = prm->add_subcommand("show", "Show the device parameters as the library reads them");
    show->add_option("FILE", opts->file, "parameter file")->required();
    show->add_flag("--json", opts->json, "print JSON");
    show->callback([opts, &ctx] { ctx.exitCode = Show(*opts, *ctx.out, *ctx.err); });

    CLI::App *check = prm->add_subcommand(
        "check", "Check the file's checksum (exit 1 on a mismatch); warns about line ends the reader cannot use");
    check->add_option("FILE", opts->file, "parameter file")->required();
    check->callback([opts, &ctx] { ctx.exitCode = Check(*opts, *ctx.out, *ctx.err); });

    CLI::App *stamp = prm->add_subcommand(
        "stamp", "Write the correct SUM= value into the [CHECKSUM] section (added before [EOF] when missing)");
    stamp->add_option("FILE", opts->file, "parameter file")->required();
    stamp->callback([opts, &ctx] { ctx.exitCode = Stamp(*opts, *ctx.out, *ctx.err); });
}

}  // namespace quillcli
