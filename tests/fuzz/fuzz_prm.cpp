// Fuzz entry point for the parameter-file reader and its checksum. Reads from
// memory (no file I/O per input) and checks what every returned record must
// hold, whatever the input.
#include <cstdint>
#include <cstdlib>

#include "prm/prm_internal.h"

// Results go here so the optimiser keeps the work.
volatile uint32_t fuzzSink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    DeviceParameters *record;
    {
        quill::ByteSource src(data, size);
        record = quill::ReadPrm(src);
    }
    if (record != nullptr) {
        if (record->commandSetCount < 1 || record->commandSetCount > PRR_COMMAND_SETS) std::abort();
        if (record->blockCount < 0 || record->blockCount > quill::kMaxRangeEntries) std::abort();
        if (record->blockCount > 0 && record->blockTable == nullptr) std::abort();
        if (record->areaCount < 0 || record->areaCount > quill::kMaxRangeEntries) std::abort();
        if ((record->areaCount > 0) != (record->areaTable != nullptr)) std::abort();
        // Touch every entry, so a table shorter than its count shows up.
        uint32_t sum = 0;
        for (int32_t i = 0; i < record->blockCount; ++i) sum += record->blockTable[i].end;
        for (int32_t i = 0; i < record->areaCount; ++i) sum += record->areaTable[i].end;
        for (const auto &set : record->commandSets) {
            for (const auto &slot : set) {
                if (slot.payload.seq.text[31] != 0 && slot.commandType == 0x10) std::abort();
            }
        }
        fuzzSink = sum;
    }
    // The comparison PRRChecksumPRM makes, over the same bytes.
    quill::ByteSource src(data, size);
    fuzzSink = quill::PrmChecksum(src) == quill::expectedPrmChecksum.load();
    PRRFreePRM(record);
    return 0;
}
