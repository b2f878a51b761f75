// The record of device commands for every front end: opens the store before
// any device is touched, hands out serial numbers, and writes one row per
// target from a run's facts and the targets' results.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/job.h"
#include "record/record_store.h"
#include "record/serial_number.h"
#include "record/unit_field.h"

namespace quillrecord {

struct RecordOptions {
    bool enabled = true;
    std::string url;           // empty: DefaultRecordUrl()
    std::string station;       // empty: the host name
    std::string operatorName;
    std::string commandName;   // "program"; empty: the command's own name
    std::string optionsText;   // the options as given, for the row
    std::string jobSha256, jobSigner;  // a locked job's file and its checked signer
};

// What the rows of one device command share, and each target's image.
struct RunFacts {
    quillclient::Command command = quillclient::Command::Signature;
    std::string prmPath, prmChecksum, loadPath;
    std::string loadSources;  // each source's SHA-256 and the source, a line each
    const DeviceParameters *device = nullptr;
    AreaRecord area{};
    int32_t autoRange = 0;
    std::vector<LoadFileHandle *> loads;  // by target; null without a load file
};

RunFacts FactsOf(const quillclient::Job &job);
// The load_sources text of a list: "<sha256>  <source>" per line, dashes
// where a file can no longer be read.
std::string SourceDigests(const std::vector<quillclient::LoadSource> &sources);

struct SerialRequest {
    SerialSpec spec;
    int64_t start = 1;
};

struct FieldRequest {
    std::vector<FieldSpec> fields;
    int timeoutMs = 10000;  // an exec field's command
    // A scan field's value for each target, by field name (station mode).
    std::vector<std::map<std::string, std::string>> scanned;
};

class RunRecorder {
public:
    // Opens the store, creating or updating its schema. False with the
    // reason (say it before any device is touched); with `enabled` off, true
    // and nothing is recorded.
    bool Open(const RecordOptions &options, std::string *why);
    bool active() const { return store_ != nullptr; }
    RecordStore *store() const { return store_.get(); }
    const std::string &station() const { return station_; }
    const RecordOptions &options() const { return options_; }

    // Each target of `job` gets the next serial number, written into an
    // image of its own (read again on `waiter`), with a note before its run.
    // kExitOk, or kExitUsage (a number that does not fit where it goes: none
    // is handed out) or kExitIo, with the reason.
    int AssignSerials(quillclient::Job &job, const SerialRequest &serial, quillclient::Waiter &waiter,
                      std::string *why);
    const std::vector<int64_t> &serials() const { return serials_; }

    // Each target gets its fields' values: counters, list rows and scanned
    // values in one transaction of the record, then each exec field's
    // command (with the unit's port, station and other fields in its
    // environment); every value goes into the target's own image at its
    // place, with a note line each. A command that fails or takes too long
    // fails its target before it is touched (its other values are kept and
    // recorded failed). kExitOk; kExitUsage when a value cannot go where its
    // field says; kExitIo for a list that cannot be read or is used up, or
    // the record's fault: then no device is touched.
    int AssignFields(quillclient::Job &job, const FieldRequest &request, quillclient::Waiter &waiter, std::string *why);
    // By target, in the order of the request's fields.
    const std::vector<std::vector<ClaimedField>> &fields() const { return fields_; }

    // One row per target, each in its own transaction. `lost`, when given,
    // gets the reason of each row not written (empty where it was). False
    // when any row is lost; true without a store.
    bool Record(const RunFacts &facts, const std::vector<quillclient::TargetResult> &results,
                std::vector<std::string> *lost = nullptr);

private:
    RecordOptions options_;
    std::string station_;
    std::unique_ptr<RecordStore> store_;
    std::vector<int64_t> serials_;
    std::vector<std::vector<ClaimedField>> fields_;
};

// The row a target's run makes, as Record writes it (the tests read it).
RunRow RowOf(const RunFacts &facts, size_t index, const quillclient::TargetResult &result,
             const RecordOptions &options, const std::string &station, int64_t serialNumber,
             const std::vector<ClaimedField> &fields = {});

}  // namespace quillrecord
