#include "record/run_recorder.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <regex>

#include "record/field_exec.h"
#include "record/store_common.h"
#include "record/stream_digest.h"

namespace quillrecord {
namespace {

using quillclient::Job;
using quillclient::kExitIo;
using quillclient::kExitOk;
using quillclient::kExitUsage;
using quillclient::TargetResult;

std::string Hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, v);
    return buf;
}

std::string FieldText(const char *s, size_t size) { return std::string(s, strnlen(s, size)); }

// Whether a signature read got as far as naming the device.
bool IdentityShown(const PRROutcome &o) {
    return o.signatureRead || o.deviceName[0] != '\0' || o.deviceId[0] || o.deviceId[1] || o.deviceId[2];
}

std::string Joined(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &line : lines) out += (out.empty() ? "" : "\n") + line;
    return out;
}

}  // namespace

std::string SourceDigests(const std::vector<quillclient::LoadSource> &sources) {
    std::vector<std::string> lines;
    for (const quillclient::LoadSource &s : sources) {
        const std::string digest = FileSha256(s.path);
        lines.push_back((digest.empty() ? std::string(64, '-') : digest) + "  " + quillclient::SourceText(s));
    }
    return Joined(lines);
}

RunFacts FactsOf(const Job &job) {
    RunFacts f;
    f.command = job.spec().command;
    f.prmPath = job.spec().prmPath;
    f.prmChecksum = job.prmChecksum();
    if (quillclient::NeedsLoadFile(f.command)) {
        f.loadPath = job.spec().sourcesText();
        f.loadSources = SourceDigests(job.spec().sources);
    }
    f.device = job.targets().empty() ? nullptr : &job.device();
    f.area = job.request().area;
    f.autoRange = job.request().autoRange;
    for (const quillclient::GangTarget &t : job.targets()) f.loads.push_back(t.load);
    return f;
}

bool RunRecorder::Open(const RecordOptions &options, std::string *why) {
    options_ = options;
    station_ = options.station.empty() ? HostName() : options.station;
    store_.reset();
    if (!options.enabled) return true;
    const std::string url = options.url.empty() ? DefaultRecordUrl() : options.url;
    if (url.empty()) {
        *why = "no place for the record: set --db, HOME or XDG_DATA_HOME";
        return false;
    }
    store_ = OpenRecordStore(url, why);
    return store_ != nullptr;
}

// Whether `s` lies in the device and, unless the whole device is
// programmed, in what --range programs; `option` and `holds` name it in the
// reason ("--serial-number", "the serial number").
static int CheckPlace(const Job &job, const SerialSpec &s, const std::string &option, const std::string &holds, std::string *why) {
    const DeviceParameters &d = job.device();
    if (d.blockCount <= 0 || d.blockTable == nullptr) {
        *why = job.spec().prmPath + ": no block table";
        return kExitIo;
    }
    const uint64_t last = uint64_t{s.address} + s.length - 1;
    const uint32_t flashEnd = d.blockTable[d.blockCount - 1].end;
    char where[96];
    std::snprintf(where, sizeof where, "%06X-%06llX", s.address, static_cast<unsigned long long>(last));
    if (last > flashEnd) {
        char end[16];
        std::snprintf(end, sizeof end, "%06X", flashEnd);
        *why = option + " at " + where + " is outside the device (000000-" + end + ")";
        return kExitUsage;
    }
    // The value must land wholly in what the range programs; auto-range
    // takes in the blocks of the patched image, so every address is in it.
    const AreaRecord &area = job.request().area;
    if (!job.request().autoRange && (area.mode & 0xFF) != PRR_AREA_CHIP) {
        const bool blocks = (area.mode & 0xFF) == PRR_AREA_BLOCK;
        const RangeEntry *table = blocks ? d.blockTable : d.areaTable;
        const int32_t count = blocks ? d.blockCount : d.areaCount;
        const int32_t first = area.first & 0xFF, lastIndex = area.last & 0xFF;
        if (table == nullptr || first >= count || lastIndex >= count || first > lastIndex) {
            *why = "--range names no part of the device to hold " + holds;
            return kExitUsage;
        }
        if (s.address < table[first].start || last > table[lastIndex].end) {
            char range[64];
            std::snprintf(range, sizeof range, "%06X-%06X", table[first].start, table[lastIndex].end);
            *why = option + " at " + where + " is not inside what --range programs (" + range + ")";
            return kExitUsage;
        }
    }
    return kExitOk;
}

int RunRecorder::AssignSerials(Job &job, const SerialRequest &serial, quillclient::Waiter &waiter, std::string *why) {
    serials_.clear();
    const SerialSpec &s = serial.spec;
    if (store_ == nullptr) {
        *why = "serial numbers are handed out by the record, and it is off";
        return kExitUsage;
    }
    if (const int code = CheckPlace(job, s, "--serial-number", "the serial number", why); code != kExitOk) return code;
    char where[96];
    std::snprintf(where, sizeof where, "%06X-%06llX", s.address,
                  static_cast<unsigned long long>(uint64_t{s.address} + s.length - 1));
    if (const int code = job.GiveEachTargetItsImage(waiter, why); code != kExitOk) return code;
    const int count = static_cast<int>(job.targets().size());
    switch (store_->AllocateSerials(serial.start, SerialCapacity(s), count, station_, &serials_, why)) {
    case Allocation::Done: break;
    case Allocation::PastHighest:
        // Nothing was handed out: the next run with room for it gets the same number.
        *why = "--serial-number: " + *why + ", the most that fits in " + std::to_string(s.length) + " bytes at " +
               where + " (no number was handed out)";
        return kExitUsage;
    case Allocation::Failed:
        *why = "cannot allocate serial numbers: " + *why;
        return kExitIo;
    }
    for (size_t i = 0; i < job.targets().size(); ++i) {
        std::vector<uint8_t> bytes;
        if (!EncodeSerial(s, serials_[i], &bytes)) {
            *why = "serial number " + std::to_string(serials_[i]) + " does not fit in " + std::to_string(s.length) +
                   " bytes at " + where;
            return kExitIo;
        }
        if (PRRHexPatch(job.target(i).load, s.address, bytes.data(), static_cast<uint32_t>(bytes.size())) != 0) {
            *why = "cannot write the serial number into the image";
            return kExitIo;
        }
        job.target(i).note = ">>Serial number: " + std::to_string(serials_[i]);
    }
    return kExitOk;
}

namespace {

std::string EnvName(const std::string &field) {
    std::string name = "QUILLROM_FIELD_";
    for (const char c : field) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

bool Overlap(const SerialSpec &a, const SerialSpec &b) {
    return uint64_t{a.address} < uint64_t{b.address} + b.length && uint64_t{b.address} < uint64_t{a.address} + a.length;
}

}  // namespace

int RunRecorder::AssignFields(Job &job, const FieldRequest &request, quillclient::Waiter &waiter, std::string *why) {
    fields_.assign(job.targets().size(), {});
    const std::vector<FieldSpec> &specs = request.fields;
    if (specs.empty()) return kExitOk;
    if (store_ == nullptr) {
        *why = "field values are handed out by the record, and it is off";
        return kExitUsage;
    }
    for (size_t k = 0; k < specs.size(); ++k) {
        const FieldSpec &f = specs[k];
        if (const int code = CheckPlace(job, f.place, "--field " + f.name, "field " + f.name, why); code != kExitOk)
            return code;
        for (size_t j = 0; j < k; ++j) {
            if (specs[j].name == f.name) {
                *why = "--field " + f.name + " is given twice";
                return kExitUsage;
            }
            if (Overlap(specs[j].place, f.place)) {
                *why = "--field " + specs[j].name + " and --field " + f.name + " write the same bytes";
                return kExitUsage;
            }
        }
    }
    // Each list is read once for all units; a list's source names its file
    // and column, so its rows go on from run to run.
    std::map<std::string, std::vector<std::string>> lists;
    for (const FieldSpec &f : specs) {
        if (f.source != FieldSource::kList) continue;
        std::vector<std::string> &rows = lists[f.listPath + "\n" + f.column];
        if (!ReadListColumn(f.listPath, f.column, &rows, why)) return kExitIo;
    }
    const size_t count = job.targets().size();
    std::vector<std::vector<FieldClaim>> units(count);
    for (size_t i = 0; i < count; ++i) {
        for (const FieldSpec &f : specs) {
            FieldClaim c;
            c.name = f.name;
            c.fits = [&f](const std::string &value, std::string *reason) {
                std::vector<uint8_t> bytes;
                return EncodeFieldValue(f, value, &bytes, reason);
            };
            switch (f.source) {
            case FieldSource::kCounter:
                c.kind = FieldClaim::Kind::kCounter;
                c.source = "counter";
                c.start = f.start;
                c.step = f.step;
                c.highest = SerialCapacity(f.place);
                break;
            case FieldSource::kList:
                c.kind = FieldClaim::Kind::kList;
                c.source = "list:" + f.listPath + (f.column.empty() ? "" : ":" + f.column);
                c.rows = &lists[f.listPath + "\n" + f.column];
                c.list = f.listPath;
                break;
            case FieldSource::kScan: {
                const auto &scanned = i < request.scanned.size() ? request.scanned[i] : std::map<std::string, std::string>{};
                const auto it = scanned.find(f.name);
                if (it == scanned.end()) {
                    *why = "--field " + f.name + " is scanned by the operator: it is for quillrom station";
                    return kExitUsage;
                }
                if (!f.pattern.empty() && !std::regex_match(it->second, std::regex(f.pattern, std::regex::ECMAScript))) {
                    *why = f.name + " '" + it->second + "' does not match " + f.pattern;
                    return kExitUsage;
                }
                c.source = "scan";
                c.value = it->second;
                break;
            }
            case FieldSource::kExec: continue;  // after the others: its command sees their values
            }
            units[i].push_back(c);
        }
    }
    std::vector<std::vector<ClaimedField>> got;
    switch (store_->ClaimFields(units, station_, &got, why)) {
    case ClaimEnd::kDone: break;
    case ClaimEnd::kExhausted: *why += " (no value was handed out)"; return kExitIo;
    case ClaimEnd::kPastHighest:
    case ClaimEnd::kUsed:
    case ClaimEnd::kRefused: *why += " (no value was handed out)"; return kExitUsage;
    case ClaimEnd::kFailed: *why = "cannot hand out field values: " + *why; return kExitIo;
    }
    std::vector<std::string> refused(count);
    for (size_t i = 0; i < count; ++i) {
        std::vector<ClaimedField> &unit = got[i];
        for (const FieldSpec &f : specs) {
            if (f.source != FieldSource::kExec || !refused[i].empty()) continue;
            std::vector<std::pair<std::string, std::string>> env = {
                {"QUILLROM_PORT", job.targets()[i].port.name},
                {"QUILLROM_PORT_PATH", job.targets()[i].port.path},
                {"QUILLROM_STATION", station_},
                {"QUILLROM_FIELD", f.name},
            };
            for (const ClaimedField &v : unit) env.push_back({EnvName(v.name), v.value});
            const HookRun run = RunHook(f.argv, env, request.timeoutMs);
            std::string reason;
            std::vector<uint8_t> bytes;
            if (!run.ok) {
                refused[i] = "field " + f.name + ": " + run.why;
                continue;
            }
            if (!EncodeFieldValue(f, run.value, &bytes, &reason)) {
                refused[i] = reason;
                continue;
            }
            FieldClaim c;
            c.name = f.name;
            c.source = "exec";
            c.value = run.value;
            std::vector<std::vector<ClaimedField>> one;
            switch (store_->ClaimFields({{c}}, station_, &one, &reason)) {
            case ClaimEnd::kDone: unit.push_back(one[0][0]); break;
            case ClaimEnd::kFailed: *why = "cannot hand out field values: " + reason; return kExitIo;
            default: refused[i] = reason; break;
            }
        }
    }
    if (const int code = job.GiveEachTargetItsImage(waiter, why); code != kExitOk) return code;
    for (size_t i = 0; i < count; ++i) {
        // In the order the fields were given, whatever their source.
        std::vector<ClaimedField> ordered;
        for (const FieldSpec &f : specs)
            for (const ClaimedField &v : got[i])
                if (v.name == f.name) ordered.push_back(v);
        fields_[i] = ordered;
        quillclient::GangTarget &target = job.target(i);
        if (!refused[i].empty()) {
            target.refused = refused[i];
            continue;
        }
        for (const ClaimedField &v : ordered) {
            const FieldSpec *f = nullptr;
            for (const FieldSpec &spec : specs)
                if (spec.name == v.name) f = &spec;
            std::vector<uint8_t> bytes;
            if (!EncodeFieldValue(*f, v.value, &bytes, why)) return kExitUsage;
            if (PRRHexPatch(target.load, f->place.address, bytes.data(), static_cast<uint32_t>(bytes.size())) != 0) {
                *why = "cannot write field " + v.name + " into the image";
                return kExitIo;
            }
            target.note += (target.note.empty() ? "" : "\n") + std::string(">>Field ") + v.name + ": " + v.value;
        }
    }
    return kExitOk;
}

RunRow RowOf(const RunFacts &facts, size_t i, const TargetResult &t, const RecordOptions &options,
             const std::string &station, int64_t serialNumber, const std::vector<ClaimedField> &fields) {
    RunRow row;
    for (const ClaimedField &f : fields) {
        row.fieldIds.push_back(f.id);
        // The serial field's number is the row's serial number, as --serial-number's is.
        if (serialNumber < 0 && SharesSerials(f.name, f.source)) serialNumber = f.number;
    }
    row.station = station;
    row.operatorName = options.operatorName;
    row.startedUtc = UtcText(t.started);
    row.endedUtc = UtcNow();
    row.portName = t.port.name;
    row.portPath = t.port.path;
    PRRAdapterInfo adapter{};
    if (!t.port.path.empty() && PRRPortAdapter(t.port.path.c_str(), &adapter) == 1)
        row.adapterSerial = FieldText(adapter.serial, sizeof adapter.serial);
    row.command = options.commandName.empty() ? quillclient::CommandName(facts.command) : options.commandName;
    row.options = options.optionsText;
    row.prmPath = facts.prmPath;
    row.prmChecksum = facts.prmChecksum;
    row.loadPath = facts.loadPath;
    row.loadSources = facts.loadSources;
    row.jobSha256 = options.jobSha256;
    row.jobSigner = options.jobSigner;
    LoadFileHandle *load = i < facts.loads.size() ? facts.loads[i] : nullptr;
    if (load != nullptr) row.imageChecksum = Hex(load->imageChecksum, 4);
    row.serialNumber = serialNumber;
    if (load != nullptr && facts.device != nullptr && quillclient::StreamsImage(facts.command))
        row.streamSha256 = StreamSha256(*facts.device, facts.area, facts.autoRange, load);
    const PRROutcome &o = t.outcome;
    if (t.outcomeKnown && IdentityShown(o)) {
        char id[8];
        std::snprintf(id, sizeof id, "%02x%02x%02x", o.deviceId[0], o.deviceId[1], o.deviceId[2]);
        row.deviceId = id;
        row.deviceName = FieldText(o.deviceName, sizeof o.deviceName);
        row.deviceVersion = FieldText(o.deviceVersion, sizeof o.deviceVersion);
    }
    row.finalStatus = t.outcomeKnown ? o.status : 0;
    row.statusText = t.detail;
    if (t.outcomeKnown && o.checksumCompared) row.checksumCompare = o.checksumEqual ? "ok" : "error";
    row.result = t.verdict == quillclient::Verdict::Pending ? "failed" : quillclient::ResultName(t.verdict);
    row.exitCode = quillclient::ExitCodeOf(t.verdict);
    row.durationMs = static_cast<int64_t>(t.seconds * 1000.0 + 0.5);
    if (t.outcomeKnown && o.programmed && load != nullptr && facts.device != nullptr)
        row.bytesProgrammed = PRRStreamBytes(facts.device, &facts.area, facts.autoRange, load);
    row.log = Joined(t.log);
    return row;
}

bool RunRecorder::Record(const RunFacts &facts, const std::vector<TargetResult> &results, std::vector<std::string> *lost) {
    if (lost != nullptr) lost->assign(results.size(), std::string());
    if (!store_) return true;
    bool all = true;
    for (size_t i = 0; i < results.size(); ++i) {
        RunRow row = RowOf(facts, i, results[i], options_, station_, i < serials_.size() ? serials_[i] : -1,
                           i < fields_.size() ? fields_[i] : std::vector<ClaimedField>{});
        std::string why;
        if (!store_->WriteRun(&row, &why)) {
            all = false;
            if (lost != nullptr) (*lost)[i] = why.empty() ? "the row could not be written" : why;
        }
    }
    return all;
}

}  // namespace quillrecord
