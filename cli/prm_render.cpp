#include "prm_render.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <variant>
#include <vector>

#include "progress_view.h"

namespace quillcli::prm {
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

}  // namespace

void WriteRecord(const std::string &file, const DeviceParameters &d, RecordFormat format, std::ostream &out) {
    Node tree = RecordTree(file, d);
    if (format == RecordFormat::Json) {
        RenderJson(tree, out, 0);
        out << '\n';
    } else {
        RenderText(tree.members(), out, 0);
    }
}

}  // namespace quillcli::prm
