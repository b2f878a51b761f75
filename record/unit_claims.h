// Handing out per-unit field values from the record: a counter's next
// numbers, a list's next rows, a scanned or computed value checked against
// every value ever used. One claim covers all units of a run and is taken in
// one transaction, so two stations on one database never get the same value.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillrecord {

// What one field of one unit asks for.
struct FieldClaim {
    enum class Kind { kCounter, kList, kValue };
    std::string name;
    std::string source;   // as the row keeps it: "counter", "list:macs.csv:mac", "scan", "exec"
    Kind kind = Kind::kValue;
    int64_t start = 1, step = 1;
    int64_t highest = INT64_MAX;               // counter: the most the field's place holds
    const std::vector<std::string> *rows = nullptr;  // list: its values in order
    std::string list;                                // list: its file, as given
    std::string value;                          // kValue
    // Whether a value fits the field's place; a value that does not ends the
    // claim (kRefused) with the reason. Unset: every value fits.
    std::function<bool(const std::string &, std::string *)> fits;
};

struct ClaimedField {
    int64_t id = 0;        // the store's, once recorded
    std::string name, value, source;
    int64_t number = -1;   // a counter's value or a list's row (from 0); -1 for others
};

enum class ClaimEnd { kDone, kPastHighest, kExhausted, kUsed, kRefused, kFailed };

// The field the serial numbers of --serial-number are: its counter goes on
// from the numbers in `serials`, and each number it takes is kept there too.
inline constexpr const char *kSerialField = "serial";
inline bool SharesSerials(const std::string &name, const std::string &source) {
    return name == kSerialField && source == "counter";
}

// What a claim needs of a store, inside a transaction that holds the field
// table for itself.
class FieldTable {
public:
    virtual ~FieldTable() = default;
    // The highest number recorded for `name` from `source`; none when there is none.
    virtual bool HighestNumber(const std::string &name, const std::string &source, std::optional<int64_t> *out,
                               std::string *error) = 0;
    virtual bool ValueUsed(const std::string &name, const std::string &value, bool *used, std::string *error) = 0;
    // Records the field as allocated to `station`; sets its id.
    virtual bool Insert(ClaimedField *field, const std::string &station, const std::string &now, std::string *error) = 0;
};

// Every unit's fields, in order, recorded as allocated; kDone, or why none
// may be handed out (the caller rolls the transaction back): a counter past
// its place (kPastHighest), a list without a row left (kExhausted: "list
// FILE exhausted after N units"), a value used before (kUsed), a value that
// does not fit its place (kRefused), a store fault.
ClaimEnd ClaimFields(FieldTable &table, const std::vector<std::vector<FieldClaim>> &units, const std::string &station,
                     const std::string &now, std::vector<std::vector<ClaimedField>> *out, std::string *error);

}  // namespace quillrecord
