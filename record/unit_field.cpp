#include "record/unit_field.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>

namespace quillrecord {
namespace {

bool NameOk(const std::string &name) {
    if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

bool Integer(const std::string &s, int64_t *v) {
    if (s.empty()) return false;
    char *end = nullptr;
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    errno = 0;
    const unsigned long long u = std::strtoull(hex ? s.c_str() + 2 : s.c_str(), &end, hex ? 16 : 10);
    if (end == nullptr || *end != '\0' || s[0] == '-' || s[0] == '+' || errno != 0 || u > INT64_MAX) return false;
    *v = static_cast<int64_t>(u);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

bool SplitCommand(const std::string &text, std::vector<std::string> *argv) {
    argv->clear();
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
            else if (c == '\\' && quote == '"' && i + 1 < text.size()) word += text[++i];
            else word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == '\\' && i + 1 < text.size()) {
            word += text[++i];
            inWord = true;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            if (inWord) argv->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote != 0) return false;
    if (inWord) argv->push_back(word);
    return true;
}

bool ParseFieldSpec(const std::string &text, FieldSpec *out, std::string *why) {
    const size_t at = text.find('@'), eq = text.find('=', at == std::string::npos ? 0 : at);
    const auto fail = [&](const std::string &reason) {
        *why = "--field " + text + ": " + reason;
        return false;
    };
    if (at == std::string::npos || eq == std::string::npos)
        return fail("wants NAME@ADDR:LEN[:FORMAT]=SOURCE, e.g. mac@0x7F00:6:hex=list:macs.csv");
    FieldSpec f;
    f.text = text;
    f.name = text.substr(0, at);
    if (!NameOk(f.name)) return fail("a name is letters, digits and '_', starting with a letter, not '" + f.name + "'");
    std::string placeWhy;
    if (!ParsePlace(text.substr(at + 1, eq - at - 1), true, &f.place, &placeWhy)) return fail(placeWhy);
    const std::string source = text.substr(eq + 1);
    const size_t colon = source.find(':');
    const std::string kind = source.substr(0, colon), rest = colon == std::string::npos ? "" : source.substr(colon + 1);
    if (kind == "counter") {
        f.source = FieldSource::kCounter;
        const size_t c = rest.find(':');
        if (!rest.empty() && !Integer(rest.substr(0, c), &f.start)) return fail("counter:START[:STEP] wants numbers");
        if (c != std::string::npos && (!Integer(rest.substr(c + 1), &f.step) || f.step < 1))
            return fail("a counter's STEP is 1 or more");
    } else if (kind == "list") {
        f.source = FieldSource::kList;
        // The last ':' names the column unless what follows it is part of a path.
        const size_t c = rest.rfind(':');
        const bool column = c != std::string::npos && rest.find_first_of("/\\", c) == std::string::npos &&
                            !(c == 1 && std::isalpha(static_cast<unsigned char>(rest[0])));
        f.listPath = column ? rest.substr(0, c) : rest;
        f.column = column ? rest.substr(c + 1) : "";
        if (f.listPath.empty()) return fail("list:FILE.csv[:COLUMN] names a file");
    } else if (kind == "scan") {
        f.source = FieldSource::kScan;
        f.pattern = rest;
        try {
            std::regex check(f.pattern, std::regex::ECMAScript);
        } catch (const std::regex_error &) {
            return fail("scan:REGEX: '" + f.pattern + "' is not a regular expression");
        }
    } else if (kind == "exec") {
        f.source = FieldSource::kExec;
        if (!SplitCommand(rest, &f.argv)) return fail("exec:COMMAND has a quote that is not closed");
        if (f.argv.empty()) return fail("exec:COMMAND names a command");
    } else {
        return fail("the source is counter, list:FILE, scan or exec:COMMAND, not '" + kind + "'");
    }
    *out = f;
    return true;
}

bool EncodeFieldValue(const FieldSpec &field, const std::string &value, std::vector<uint8_t> *bytes, std::string *why) {
    const SerialSpec &p = field.place;
    char where[48];
    std::snprintf(where, sizeof where, " bytes at 0x%X", p.address);
    const std::string room = std::to_string(p.length) + where;
    // A counter's value is a number whatever the format; the others' hex is bytes.
    if (p.format == SerialFormat::Hex && field.source != FieldSource::kCounter) {
        bytes->clear();
        std::string digits;
        for (size_t i = 0; i < value.size(); ++i) {
            const char c = value[i];
            if ((c == ':' || c == '-') && i % 3 == 2 && digits.size() % 2 == 0) continue;  // 00:1A:2B, 00-1A-2B
            if (HexDigit(c) < 0) {
                *why = field.name + " '" + value + "' is not hex bytes";
                return false;
            }
            digits += c;
        }
        if (digits.empty() || digits.size() % 2 != 0 || digits.size() / 2 != p.length) {
            *why = field.name + " '" + value + "' is not " + room + " of hex";
            return false;
        }
        for (size_t i = 0; i < digits.size(); i += 2)
            bytes->push_back(static_cast<uint8_t>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
        return true;
    }
    int64_t number = 0;
    if (!Integer(value, &number)) {
        *why = field.name + " '" + value + "' is not a number (decimal, or hex with 0x)";
        return false;
    }
    if (!EncodeSerial(p, number, bytes)) {
        *why = field.name + " " + value + " does not fit in " + room + " (" + FormatName(p.format) + ")";
        return false;
    }
    return true;
}

namespace {

std::string Trimmed(const std::string &s) {
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// Splits CSV text into rows of cells; false for a quote that is not closed.
bool CsvRows(const std::string &text, std::vector<std::vector<std::string>> *rows) {
    rows->clear();
    std::vector<std::string> row;
    std::string cell;
    bool quoted = false, any = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') cell += text[++i];
            else if (c == '"') quoted = false;
            else cell += c;
        } else if (c == '"') {
            quoted = true;
            any = true;
        } else if (c == ',') {
            row.push_back(Trimmed(cell));
            cell.clear();
            any = true;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            row.push_back(Trimmed(cell));
            if (any || !row.back().empty()) rows->push_back(row);
            row.clear();
            cell.clear();
            any = false;
        } else {
            cell += c;
            any = true;
        }
    }
    if (quoted) return false;
    if (any || !cell.empty()) {
        row.push_back(Trimmed(cell));
        rows->push_back(row);
    }
    return true;
}

}  // namespace

bool ReadListColumn(const std::string &path, const std::string &column, std::vector<std::string> *values,
                    std::string *why) {
    values->clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "list " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<std::string>> rows;
    if (!CsvRows(text, &rows)) {
        *why = "list " + path + ": a quoted cell is not closed";
        return false;
    }
    if (rows.empty()) {
        *why = "list " + path + ": no header line";
        return false;
    }
    size_t index = 0;
    int64_t number = 0;
    if (column.empty()) {
        index = 0;
    } else if (Integer(column, &number)) {
        if (number < 1 || static_cast<uint64_t>(number) > rows[0].size()) {
            *why = "list " + path + ": no column " + column + " (it has " + std::to_string(rows[0].size()) + ")";
            return false;
        }
        index = static_cast<size_t>(number - 1);
    } else {
        index = rows[0].size();
        for (size_t i = 0; i < rows[0].size(); ++i)
            if (rows[0][i] == column) index = i;
        if (index == rows[0].size()) {
            *why = "list " + path + ": no column named " + column;
            return false;
        }
    }
    for (size_t r = 1; r < rows.size(); ++r) values->push_back(index < rows[r].size() ? rows[r][index] : "");
    return true;
}

}  // namespace quillrecord
