#include "record/run_recorder.h"

#include <cstdio>
#include <cstring>

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

int RunRecorder::AssignSerials(Job &job, const SerialRequest &serial, quillclient::Waiter &waiter, std::string *why) {
    serials_.clear();
    const SerialSpec &s = serial.spec;
    const DeviceParameters &d = job.device();
    const std::string &prmPath = job.spec().prmPath;
    if (store_ == nullptr) {
        *why = "serial numbers are handed out by the record, and it is off";
        return kExitUsage;
    }
    if (d.blockCount <= 0 || d.blockTable == nullptr) {
        *why = prmPath + ": no block table";
        return kExitIo;
    }
    const uint64_t last = uint64_t{s.address} + s.length - 1;
    const uint32_t flashEnd = d.blockTable[d.blockCount - 1].end;
    char where[96];
    std::snprintf(where, sizeof where, "%06X-%06llX", s.address, static_cast<unsigned long long>(last));
    if (last > flashEnd) {
        char end[16];
        std::snprintf(end, sizeof end, "%06X", flashEnd);
        *why = std::string("--serial-number at ") + where + " is outside the device (000000-" + end + ")";
        return kExitUsage;
    }
    // The number must land wholly in what the range programs; auto-range
    // takes in the blocks of the patched image, so every address is in it.
    const AreaRecord &area = job.request().area;
    if (!job.request().autoRange && (area.mode & 0xFF) != PRR_AREA_CHIP) {
        const bool blocks = (area.mode & 0xFF) == PRR_AREA_BLOCK;
        const RangeEntry *table = blocks ? d.blockTable : d.areaTable;
        const int32_t count = blocks ? d.blockCount : d.areaCount;
        const int32_t first = area.first & 0xFF, lastIndex = area.last & 0xFF;
        if (table == nullptr || first >= count || lastIndex >= count || first > lastIndex) {
            *why = "--range names no part of the device to hold the serial number";
            return kExitUsage;
        }
        if (s.address < table[first].start || last > table[lastIndex].end) {
            char range[64];
            std::snprintf(range, sizeof range, "%06X-%06X", table[first].start, table[lastIndex].end);
            *why = std::string("--serial-number at ") + where + " is not inside what --range programs (" + range + ")";
            return kExitUsage;
        }
    }
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

RunRow RowOf(const RunFacts &facts, size_t i, const TargetResult &t, const RecordOptions &options,
             const std::string &station, int64_t serialNumber) {
    RunRow row;
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
        RunRow row = RowOf(facts, i, results[i], options_, station_, i < serials_.size() ? serials_[i] : -1);
        std::string why;
        if (!store_->WriteRun(&row, &why)) {
            all = false;
            if (lost != nullptr) (*lost)[i] = why.empty() ? "the row could not be written" : why;
        }
    }
    return all;
}

}  // namespace quillrecord
