#include "prm_render.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "json_text.h"

namespace quillcli::prm {
namespace {

// Members keep the record's order.
using Tree = nlohmann::ordered_json;

// ---------------------------------------------------------------------------
// Leaves of the tree. For JSON they are typed values; for text the same tree
// holds every leaf in its printed form (hex digits, bytes as they are), so
// one builder serves both.

bool InInt64(double v) { return v >= -0x1p63 && v < 0x1p63; }

class Leaves {
public:
    explicit Leaves(RecordFormat format) : text_(format == RecordFormat::Text) {}

    Tree Num(int64_t value) const { return text_ ? Tree(std::to_string(value)) : Tree(value); }

    // Shown as hex with this many digits in text; a plain number in JSON.
    Tree Hex(uint32_t value, int digits) const {
        if (!text_) return Tree(value);
        char text[16];
        std::snprintf(text, sizeof text, "%0*X", digits, value);
        return Tree(text);
    }

    Tree Real(double value) const {
        char text[64];
        if (value == std::trunc(value) && InInt64(value)) {
            if (!text_) return Tree(static_cast<int64_t>(value));
            std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
            return Tree(text);
        }
        if (text_) {
            // What a single-precision field was meant to hold (3.3, not 3.29999995).
            std::snprintf(text, sizeof text, "%.6g", value);
            return Tree(text);
        }
        // Nine digits carry a float field whole and drop the dust of the
        // reader's thousandths (0.009, not 0.009000000000000001). NaN and
        // infinity, which JSON lacks, come out as null.
        std::snprintf(text, sizeof text, "%.9g", value);
        return Tree(std::strtod(text, nullptr));
    }

    Tree Str(std::string bytes) const { return text_ ? Tree(std::move(bytes)) : Tree(Latin1ToUtf8(bytes)); }
    Tree Name(const std::string &name) const { return text_ ? Tree(name) : Tree(NameToUtf8(name)); }

private:
    bool text_;
};

std::string FieldText(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

// ---------------------------------------------------------------------------
// The record as a tree.

class RecordBuilder {
public:
    explicit RecordBuilder(RecordFormat format) : leaf_(format) {}

    Tree Record(const std::string &file, const DeviceParameters &d) const {
        Tree root = Tree::object();
        root["file"] = leaf_.Name(file);
        root["fileVersion"] = leaf_.Str(FieldText(d.fileVersion, sizeof d.fileVersion));
        root["deviceName"] = leaf_.Str(FieldText(d.deviceName, sizeof d.deviceName));
        root["deviceCode"] = leaf_.Hex(d.deviceCode, 4);
        root["deviceSubName"] = leaf_.Str(FieldText(d.deviceSubName, sizeof d.deviceSubName));
        root["parseFlags"] = leaf_.Hex(d.parseFlags, 8);
        Tree flmd = Tree::array();
        for (const FlmdEntry &e : d.flmdTable) {
            if (e.present == 0) continue;
            flmd.push_back(Tree::object({{"index", leaf_.Num(e.index)},
                                         {"code", leaf_.Hex(e.code, 2)},
                                         {"voltage", leaf_.Real(static_cast<double>(e.voltage))}}));
        }
        root["flmd"] = std::move(flmd);
        root["blockCount"] = leaf_.Num(d.blockCount);
        root["blocks"] = Ranges(d.blockTable, d.blockCount);
        root["areaCount"] = leaf_.Num(d.areaCount);
        root["areas"] = Ranges(d.areaTable, d.areaCount);
        root["debugSetting"] = leaf_.Hex(d.debugSetting, 2);
        root["commandSetCount"] = leaf_.Num(d.commandSetCount);
        Tree sets = Tree::array();
        for (int s = 0; s < PRR_COMMAND_SETS && s < d.commandSetCount; ++s) {
            Tree slots = Tree::array();
            for (int i = 0; i < PRR_COMMAND_SLOTS; ++i) {
                const CommandSlot &slot = d.commandSets[s][i];
                if (slot.commandCode == 0 && slot.commandType == 0 && slot.commandOption == 0) continue;
                slots.push_back(Tree::object({{"slot", leaf_.Num(i)},
                                              {"type", leaf_.Hex(slot.commandType, 2)},
                                              {"code", leaf_.Hex(slot.commandCode, 2)},
                                              {"option", leaf_.Hex(slot.commandOption, 2)},
                                              {"payload", Payload(slot.commandType, slot.payload)}}));
            }
            sets.push_back(Tree::object({{"set", leaf_.Num(s)}, {"slots", std::move(slots)}}));
        }
        root["commandSets"] = std::move(sets);
        root["typeSet"] = Tree::array({leaf_.Hex(d.typeSet1, 2), leaf_.Real(static_cast<double>(d.typeSet2)),
                                       leaf_.Real(d.typeSet3), leaf_.Hex(d.typeSet4, 2), leaf_.Hex(d.typeSet5, 2),
                                       leaf_.Real(d.typeSet6), leaf_.Real(d.typeSet7), leaf_.Hex(d.typeSet8, 6),
                                       leaf_.Hex(d.typeSet9, 6), leaf_.Hex(d.typeSet10, 2), leaf_.Num(d.typeSet11),
                                       leaf_.Num(d.typeSet12)});
        root["optionSet"] = Tree::array({leaf_.Hex(d.optionSet1, 2), leaf_.Hex(d.optionSet2, 2)});
        root["optionText"] = Tree::array({leaf_.Str(FieldText(d.optionText1, sizeof d.optionText1)),
                                          leaf_.Str(FieldText(d.optionText2, sizeof d.optionText2))});
        root["voltageSet"] = Tree::array({leaf_.Real(d.voltageSet1), leaf_.Real(d.voltageSet2), leaf_.Hex(d.voltageSet3, 4),
                                          leaf_.Hex(d.voltageSet4, 4), leaf_.Hex(d.voltageSet5, 4), leaf_.Hex(d.voltageSet6, 4),
                                          leaf_.Hex(d.voltageSet7, 4), leaf_.Hex(d.voltageSet8, 4), leaf_.Hex(d.voltageSet9, 4),
                                          leaf_.Real(d.voltageSet10)});
        root["rangeSet"] = Tree::array({leaf_.Real(d.rangeSet1), leaf_.Real(d.rangeSet2), leaf_.Real(d.rangeSet3),
                                        leaf_.Real(d.rangeSet4), leaf_.Hex(d.rangeSet5, 2), leaf_.Real(d.rangeSet6),
                                        leaf_.Real(d.rangeSet7), leaf_.Real(d.rangeSet8), leaf_.Real(d.rangeSet9)});
        root["sTable"] = TableSets(&d.sTableData[0][0], PRR_STABLE_BYTES);
        root["dTable"] = TableSets(&d.dTableData[0][0], PRR_DTABLE_BYTES);
        root["deviceChecksum"] = leaf_.Hex(d.deviceChecksum, 8);
        return root;
    }

private:
    Tree Words(const uint16_t *words, int count) const {
        Tree items = Tree::array();
        for (int i = 0; i < count; ++i) items.push_back(leaf_.Hex(words[i], 4));
        return items;
    }

    // The payload by the layout of its command type.
    Tree Payload(uint8_t type, const PRRCommandPayload &p) const {
        Tree n = Tree::object();
        switch (type) {
        case 0x00: n["words"] = Words(p.w9.words, 9); break;
        case 0x01:
            n["number"] = leaf_.Num(p.nv12.number);
            n["value"] = leaf_.Real(p.nv12.value);
            n["words"] = Words(p.nv12.words, 12);
            break;
        case 0x02: n["long1"] = leaf_.Hex(p.l4.long1, 8); n["words"] = Words(p.l4.words, 4); break;
        case 0x03: n["long1"] = leaf_.Hex(p.l12.long1, 8); n["words"] = Words(p.l12.words, 12); break;
        case 0x04: n["long1"] = leaf_.Hex(p.l10.long1, 8); n["words"] = Words(p.l10.words, 10); break;
        case 0x05: n["long1"] = leaf_.Hex(p.l6.long1, 8); n["words"] = Words(p.l6.words, 6); break;
        case 0x06:
            n["long1"] = leaf_.Hex(p.ll9.long1, 8);
            n["long2"] = leaf_.Hex(p.ll9.long2, 8);
            n["words"] = Words(p.ll9.words, 9);
            break;
        case 0x07:
            n["long1"] = leaf_.Hex(p.ll2.long1, 8);
            n["long2"] = leaf_.Hex(p.ll2.long2, 8);
            n["words"] = Words(p.ll2.words, 2);
            break;
        case 0x08:
            n["word1"] = leaf_.Hex(p.wwl4.word1, 4);
            n["word2"] = leaf_.Hex(p.wwl4.word2, 4);
            n["long1"] = leaf_.Hex(p.wwl4.long1, 8);
            n["words"] = Words(p.wwl4.words, 4);
            break;
        case 0x0B: case 0x0E: case 0x11: case 0x12: n["words"] = Words(p.w2.words, 2); break;
        case 0x0C: n["words"] = Words(p.w3.words, 3); break;
        case 0x0D: case 0x0F: n["words"] = Words(p.w12.words, 12); break;
        case 0x10: {
            n["b1"] = leaf_.Hex(p.seq.b1, 2);
            n["b2"] = leaf_.Hex(p.seq.b2, 2);
            n["b3"] = leaf_.Hex(p.seq.b3, 2);
            n["b4"] = leaf_.Hex(p.seq.b4, 2);
            n["combined"] = leaf_.Hex(p.seq.combined, 6);
            Tree text = Tree::array();
            for (size_t i = 0; i < sizeof p.seq.text && p.seq.text[i] != 0; ++i) text.push_back(leaf_.Hex(p.seq.text[i], 2));
            n["text"] = std::move(text);
            break;
        }
        case 0x13:
            n["time1"] = leaf_.Real(p.times.time1);
            n["time2"] = leaf_.Real(p.times.time2);
            n["value3"] = leaf_.Real(p.times.value3);
            n["time4"] = leaf_.Real(p.times.time4);
            n["word5"] = leaf_.Hex(p.times.word5, 4);
            n["byte6"] = leaf_.Hex(p.times.byte6, 2);
            n["word7"] = leaf_.Hex(p.times.word7, 4);
            break;
        case 0x14: n["micro"] = leaf_.Real(p.micro.micro); n["word"] = leaf_.Hex(p.micro.word, 4); break;
        case 0x15: n["voltage"] = leaf_.Real(p.volt.voltage); n["word"] = leaf_.Hex(p.volt.word, 4); break;
        default: break;
        }
        return n;
    }

    Tree Ranges(const RangeEntry *table, int32_t count) const {
        Tree items = Tree::array();
        for (int32_t i = 0; table != nullptr && i < count; ++i) {
            items.push_back(Tree::object({{"number", leaf_.Num(table[i].number)},
                                          {"start", leaf_.Hex(table[i].start, 8)},
                                          {"end", leaf_.Hex(table[i].end, 8)}}));
        }
        return items;
    }

    // Table sets that hold data, up to their last nonzero byte.
    Tree TableSets(const uint8_t *data, size_t setSize) const {
        Tree items = Tree::array();
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
            items.push_back(Tree::object({{"set", leaf_.Num(s)}, {"bytes", leaf_.Str(hex)}}));
        }
        return items;
    }

    Leaves leaf_;
};

// ---------------------------------------------------------------------------
// Text: one "key: value" line per leaf, nested records indented.

bool IsLeaf(const Tree &node) { return !node.is_structured(); }
const std::string &LeafText(const Tree &leaf) { return leaf.get_ref<const std::string &>(); }

void RenderText(const Tree &members, std::ostream &out, int indent);

void RenderTextValue(const std::string &key, const Tree &node, std::ostream &out, int indent) {
    const std::string pad(static_cast<size_t>(indent), ' ');
    if (IsLeaf(node)) {
        out << pad << key << ": " << LeafText(node) << '\n';
        return;
    }
    const bool flat = std::all_of(node.begin(), node.end(), IsLeaf);
    if (node.is_array()) {
        if (flat) {
            out << pad << key << ':';
            for (const Tree &item : node) out << ' ' << LeafText(item);
            out << '\n';
        } else {
            for (size_t i = 0; i < node.size(); ++i) {
                RenderTextValue(key + "[" + std::to_string(i) + "]", node[i], out, indent);
            }
        }
        return;
    }
    if (!flat) {
        out << pad << key << ":\n";
        RenderText(node, out, indent + 2);
        return;
    }
    // Small records (a block, a table set) stay on one line.
    out << pad << key << ':';
    for (const auto &[name, value] : node.items()) out << ' ' << name << '=' << LeafText(value);
    out << '\n';
}

void RenderText(const Tree &members, std::ostream &out, int indent) {
    for (const auto &[key, node] : members.items()) RenderTextValue(key, node, out, indent);
}

}  // namespace

void WriteRecord(const std::string &file, const DeviceParameters &d, RecordFormat format, std::ostream &out) {
    const Tree tree = RecordBuilder(format).Record(file, d);
    if (format == RecordFormat::Json) {
        out << tree.dump(2, ' ', true) << '\n';  // ASCII only, as before: \u escapes for the rest
    } else {
        RenderText(tree, out, 0);
    }
}

}  // namespace quillcli::prm
