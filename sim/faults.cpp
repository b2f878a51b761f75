#include "sim/faults.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "sim/wire.h"

namespace quillsim {
namespace {

struct KindName {
    FaultKind kind;
    const char *name;
};
constexpr KindName kKinds[] = {
    {FaultKind::Busy, "busy"},           {FaultKind::Illegal, "illegal"},     {FaultKind::NotErased, "not-erased"},
    {FaultKind::WriteFail, "write-fail"}, {FaultKind::WrongEnd, "wrong-end"}, {FaultKind::Silence, "silence"},
    {FaultKind::Vanish, "vanish"},       {FaultKind::SlowErase, "slow-erase"},
};

constexpr uint8_t kKnownCommands[] = {wire::kVerify,     wire::kInternalVerify, wire::kChipErase, wire::kBlockErase,
                                      wire::kEraseCheck, wire::kBlankCheck,     wire::kProgram,   wire::kChecksum,
                                      wire::kSignature,  wire::kVersion};

constexpr uint64_t kMaxCount = 1000000;
constexpr uint64_t kMaxMs = 600000; // ten minutes

const char *kindName(FaultKind k) {
    for (const auto &e : kKinds)
        if (e.kind == k) return e.name;
    return "?";
}

std::optional<uint64_t> parseDecimal(std::string_view s) {
    uint64_t v = 0;
    if (s.empty()) return std::nullopt;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
    if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<uint8_t> parseHexByte(std::string_view s) {
    if (s.size() < 3 || s.size() > 4 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return std::nullopt;
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data() + 2, s.data() + s.size(), v, 16);
    if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return static_cast<uint8_t>(v);
}

bool isBusyStatus(uint8_t s) { return s == wire::kBusy || s == wire::kBusyAlt; }

}  // namespace

std::optional<Fault> parseFault(std::string_view rule, std::string *error) {
    const std::string whole(rule);
    auto fail = [&](const std::string &why) -> std::optional<Fault> {
        if (error) *error = "bad fault '" + whole + "': " + why;
        return std::nullopt;
    };
    std::vector<std::string_view> parts;
    for (size_t pos = 0;;) {
        const size_t colon = rule.find(':', pos);
        parts.push_back(rule.substr(pos, colon == std::string_view::npos ? std::string_view::npos : colon - pos));
        if (colon == std::string_view::npos) break;
        pos = colon + 1;
    }
    Fault f;
    const KindName *kind = nullptr;
    for (const auto &e : kKinds)
        if (parts[0] == e.name) kind = &e;
    if (!kind)
        return fail("unknown kind '" + std::string(parts[0]) +
                    "' (expected busy, illegal, not-erased, write-fail, wrong-end, silence, vanish or slow-erase)");
    f.kind = kind->kind;

    std::optional<uint8_t> status;
    std::optional<uint64_t> count, after, ms;
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string_view t = parts[i];
        const std::string text(t);
        if (t.empty()) return fail("empty field");
        const size_t eq = t.find('=');
        if (eq != std::string_view::npos) {
            const std::string_view key = t.substr(0, eq), value = t.substr(eq + 1);
            if (key == "status") {
                if (!(status = parseHexByte(value))) return fail("status wants a hex byte like 0x15, not '" + std::string(value) + "'");
                continue;
            }
            const auto n = parseDecimal(value);
            if (!n) return fail(std::string(key) + " wants a decimal number, not '" + std::string(value) + "'");
            if (key == "byte") f.byte = *n;
            else if (key == "after") after = *n;
            else if (key == "ms") ms = *n;
            else if (key == "count") count = *n;
            else return fail("unknown field '" + std::string(key) + "' (expected byte, after, ms, count or status)");
            continue;
        }
        if (t == "reset") {
            if (f.command != -1) return fail("more than one command");
            f.command = kResetCommand;
        } else if (auto h = parseHexByte(t)) {
            // The first hex byte of busy/illegal names the command, any other is the status.
            if ((f.kind == FaultKind::Busy || f.kind == FaultKind::Illegal) && f.command == -1 && !f.byte)
                f.command = *h;
            else if (!status)
                status = *h;
            else
                return fail("too many hex values at '" + text + "'");
        } else if (auto n = parseDecimal(t)) {
            if (count) return fail("more than one count");
            count = *n;
        } else {
            return fail("cannot read '" + text + "'");
        }
    }

    auto refuse = [&](bool present, const char *what) { return present ? fail(std::string(what) + " does not apply to " + kind->name) : std::nullopt; };
    const bool takesCommand = f.kind == FaultKind::Busy || f.kind == FaultKind::Illegal;
    const bool takesCount = f.kind != FaultKind::WriteFail && f.kind != FaultKind::Silence && f.kind != FaultKind::Vanish;
    const bool takesStatus = takesCommand || f.kind == FaultKind::WriteFail;
    const bool takesByte = f.kind == FaultKind::Illegal || f.kind == FaultKind::WriteFail;
    const bool takesAfter = f.kind == FaultKind::Silence || f.kind == FaultKind::Vanish;
    const bool takesMs = f.kind == FaultKind::Silence || f.kind == FaultKind::SlowErase;
    if (!takesCommand && f.command != -1) return refuse(true, "a command");
    if (!takesCount && count) return refuse(true, "a count");
    if (!takesStatus && status) return refuse(true, "a status");
    if (!takesByte && f.byte) return refuse(true, "byte=");
    if (!takesAfter && after) return refuse(true, "after=");
    if (!takesMs && ms) return refuse(true, "ms=");

    if (count && (*count == 0 || *count > kMaxCount)) return fail("count must be 1 to 1000000");
    if (ms && (*ms == 0 || *ms > kMaxMs)) return fail("ms must be 1 to 600000");
    f.count = count ? static_cast<uint32_t>(*count) : (f.kind == FaultKind::SlowErase ? 0u : 1u);
    f.ms = ms ? static_cast<uint32_t>(*ms) : 0;
    f.after = after.value_or(0);

    switch (f.kind) {
    case FaultKind::Busy:
    case FaultKind::Illegal:
        if (f.kind == FaultKind::Illegal && f.byte) {
            if (f.command != -1) return fail("give either a command or byte=N, not both");
            if (count) return fail("a per-byte fault happens once; no count");
        } else if (f.command == -1) {
            return fail(std::string(kind->name) + " needs a command code such as 0x32, or reset");
        } else if (f.command != kResetCommand &&
                   std::find(std::begin(kKnownCommands), std::end(kKnownCommands), f.command) == std::end(kKnownCommands)) {
            char b[64];
            std::snprintf(b, sizeof b, "0x%02X is not a command the device knows", f.command);
            return fail(b);
        }
        if (f.kind == FaultKind::Busy) {
            f.status = status.value_or(wire::kBusy);
            if (!isBusyStatus(f.status)) return fail("a busy status is 0x07 or 0x15");
        } else {
            f.status = status.value_or(wire::kIllegal);
            if (f.status == wire::kAck || isBusyStatus(f.status)) return fail("0x06, 0x07 and 0x15 are not illegal statuses");
        }
        break;
    case FaultKind::WriteFail:
        if (!f.byte) return fail("write-fail needs byte=N");
        f.status = status.value_or(wire::kWriteFail);
        if (f.status < 0x1D || f.status > 0x1F) return fail("a write-failure status is 0x1D, 0x1E or 0x1F");
        break;
    case FaultKind::Silence:
    case FaultKind::Vanish:
        if (!after) return fail(std::string(kind->name) + " needs after=N (frames answered first)");
        break;
    case FaultKind::SlowErase:
        if (!ms) return fail("slow-erase needs ms=N");
        break;
    case FaultKind::NotErased:
    case FaultKind::WrongEnd:
        break;
    }
    return f;
}

std::string formatFault(const Fault &f) {
    std::string s = kindName(f.kind);
    char b[64];
    if (f.command == kResetCommand) {
        s += ":reset";
    } else if (f.command >= 0) {
        std::snprintf(b, sizeof b, ":0x%02X", f.command);
        s += b;
    }
    if (f.byte) s += ":byte=" + std::to_string(*f.byte);
    if (f.kind == FaultKind::Busy || f.kind == FaultKind::Illegal || f.kind == FaultKind::WriteFail) {
        std::snprintf(b, sizeof b, ":status=0x%02X", f.status);
        s += b;
    }
    if (f.kind == FaultKind::Silence || f.kind == FaultKind::Vanish) s += ":after=" + std::to_string(f.after);
    if (f.ms) s += ":ms=" + std::to_string(f.ms);
    const bool counted = f.kind == FaultKind::Busy || (f.kind == FaultKind::Illegal && !f.byte) ||
                         f.kind == FaultKind::NotErased || f.kind == FaultKind::WrongEnd || f.kind == FaultKind::SlowErase;
    if (counted && f.count) s += ":count=" + std::to_string(f.count);
    return s;
}

void FaultPlan::add(const Fault &fault, uint64_t frames, uint64_t dataBytes) {
    Armed a;
    a.rule = fault;
    a.left = fault.count;
    a.unlimited = fault.kind == FaultKind::SlowErase && fault.count == 0;
    if (fault.byte) a.target = dataBytes + *fault.byte;
    if (fault.kind == FaultKind::Silence || fault.kind == FaultKind::Vanish) a.target = frames + fault.after;
    armed_.push_back(a);
}

std::vector<Fault> FaultPlan::pending() const {
    std::vector<Fault> out;
    for (const auto &a : armed_) out.push_back(a.rule);
    return out;
}

std::optional<uint8_t> FaultPlan::takeStatus(int command) {
    for (auto it = armed_.begin(); it != armed_.end(); ++it) {
        const Fault &s = it->rule;
        if ((s.kind != FaultKind::Busy && s.kind != FaultKind::Illegal) || s.byte || s.command != command) continue;
        const uint8_t status = s.status;
        if (--it->left == 0) armed_.erase(it);
        return status;
    }
    return std::nullopt;
}

namespace {
template <class Vec, class Pred>
bool takeCounted(Vec &armed, Pred match) {
    for (auto it = armed.begin(); it != armed.end(); ++it) {
        if (!match(it->rule)) continue;
        if (!it->unlimited && --it->left == 0) armed.erase(it);
        return true;
    }
    return false;
}
}  // namespace

bool FaultPlan::takeNotErased() {
    return takeCounted(armed_, [](const Fault &s) { return s.kind == FaultKind::NotErased; });
}

bool FaultPlan::takeWrongEnd() {
    return takeCounted(armed_, [](const Fault &s) { return s.kind == FaultKind::WrongEnd; });
}

uint32_t FaultPlan::takeSlowEraseMs() {
    for (auto it = armed_.begin(); it != armed_.end(); ++it) {
        if (it->rule.kind != FaultKind::SlowErase) continue;
        const uint32_t ms = it->rule.ms;
        if (!it->unlimited && --it->left == 0) armed_.erase(it);
        return ms;
    }
    return 0;
}

std::optional<uint8_t> FaultPlan::takeAck(uint64_t dataByte) {
    for (auto it = armed_.begin(); it != armed_.end(); ++it) {
        if (!it->rule.byte || it->target != dataByte) continue;
        const uint8_t status = it->rule.status;
        armed_.erase(it);
        return status;
    }
    return std::nullopt;
}

FaultPlan::FrameEffect FaultPlan::afterFrame(uint64_t frames) {
    FrameEffect e;
    for (auto it = armed_.begin(); it != armed_.end();) {
        const Fault &s = it->rule;
        if ((s.kind == FaultKind::Silence || s.kind == FaultKind::Vanish) && frames >= it->target) {
            if (s.kind == FaultKind::Silence) {
                e.silence = true;
                e.silenceMs = s.ms;
            } else {
                e.vanish = true;
            }
            it = armed_.erase(it);
        } else {
            ++it;
        }
    }
    return e;
}

}  // namespace quillsim
