#include "record/unit_claims.h"

namespace quillrecord {
namespace {

bool Fault(const std::string &what, std::string *error) {
    *error = what + (error->empty() ? "" : ": " + *error);
    return false;
}

}  // namespace

ClaimEnd ClaimFields(FieldTable &table, const std::vector<std::vector<FieldClaim>> &units, const std::string &station,
                     const std::string &now, std::vector<std::vector<ClaimedField>> *out, std::string *error) {
    out->clear();
    // Where each counter and list goes on, once read: the units of one claim
    // follow each other without asking the table again.
    std::map<std::pair<std::string, std::string>, int64_t> next;
    const auto nextFor = [&](const FieldClaim &c, int64_t first, int64_t step, int64_t *at) {
        const auto key = std::make_pair(c.name, c.source);
        if (const auto it = next.find(key); it != next.end()) {
            *at = it->second;
            return true;
        }
        std::optional<int64_t> highest;
        if (!table.HighestNumber(c.name, c.source, &highest, error)) return Fault("cannot read the values of " + c.name, error);
        *at = !highest || *highest < first ? first : (*highest > INT64_MAX - step ? INT64_MAX : *highest + step);
        return true;
    };
    for (const std::vector<FieldClaim> &unit : units) {
        std::vector<ClaimedField> got;
        for (const FieldClaim &c : unit) {
            ClaimedField f{0, c.name, c.value, c.source, -1};
            bool used = false;
            if (c.kind == FieldClaim::Kind::kCounter) {
                int64_t at = 0;
                if (!nextFor(c, c.start, c.step, &at)) return ClaimEnd::kFailed;
                // A counter passes values another source of the same name took.
                for (;;) {
                    if (at > c.highest || at == INT64_MAX) {
                        *error = c.name + " " + std::to_string(at) + " is above " + std::to_string(c.highest) +
                                 ", the most its place holds";
                        return ClaimEnd::kPastHighest;
                    }
                    if (!table.ValueUsed(c.name, std::to_string(at), &used, error)) return ClaimEnd::kFailed;
                    if (!used) break;
                    at += c.step;
                }
                f.number = at;
                f.value = std::to_string(at);
                next[{c.name, c.source}] = at + c.step;
            } else if (c.kind == FieldClaim::Kind::kList) {
                int64_t row = 0;
                if (!nextFor(c, 0, 1, &row)) return ClaimEnd::kFailed;
                const int64_t count = c.rows ? static_cast<int64_t>(c.rows->size()) : 0;
                // Blank cells and values taken another way are passed over.
                for (; row < count; ++row) {
                    const std::string &v = (*c.rows)[static_cast<size_t>(row)];
                    if (v.empty()) continue;
                    if (!table.ValueUsed(c.name, v, &used, error)) return ClaimEnd::kFailed;
                    if (!used) break;
                }
                if (row >= count) {
                    int64_t served = 0;
                    for (const std::string &v : *c.rows) served += v.empty() ? 0 : 1;
                    *error = "list " + c.list + " exhausted after " + std::to_string(served) + " units";
                    return ClaimEnd::kExhausted;
                }
                f.number = row;
                f.value = (*c.rows)[static_cast<size_t>(row)];
                next[{c.name, c.source}] = row + 1;
            } else {
                if (!table.ValueUsed(c.name, c.value, &used, error)) return ClaimEnd::kFailed;
                if (used) {
                    *error = c.name + " " + c.value + " was used before: a value goes to one unit only";
                    return ClaimEnd::kUsed;
                }
            }
            if (c.fits && !c.fits(f.value, error)) return ClaimEnd::kRefused;
            if (!table.Insert(&f, station, now, error)) {
                Fault("cannot record " + f.name + " " + f.value, error);
                return ClaimEnd::kFailed;
            }
            got.push_back(f);
        }
        out->push_back(got);
    }
    return ClaimEnd::kDone;
}

}  // namespace quillrecord
