#include "api/sequence_table.h"

#include "link/line_procedures.h"

namespace quill {
namespace {
const SequenceTable kTable = {
    /* start */ {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    /* step  */ {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    /* autoprocedureStart */ nullptr,
    /* purgeRx */ LinkPurgeRx,
    /* linkIdle */ LinkIdle,
    /* closePort */ LinkClosePort,
};
}  // namespace

const SequenceTable &DefaultSequenceTable() { return kTable; }
}  // namespace quill
