#include "api/sequence_table.h"

#include "link/line_procedures.h"
#include "sequence/handover.h"
#include "sequence/sequences.h"

namespace quill {
namespace {
// Indexed by worker state: 0 connect, 1 blank check, 2 erase, 3 program,
// 4 verify, 5 checksum, 6 security, 7 signature read.
const SequenceTable kTable = {
    {ConnectStart, BlankCheckStart, EraseStart, ProgramStart, VerifyStart, ChecksumStart, SecurityStart,
     SignatureStart},
    {ConnectStep, BlankCheckStep, EraseStep, ProgramStep, VerifyStep, ChecksumStep, SecurityStep, SignatureStep},
    FirstSequence,
    LinkPurgeRx,
    LinkIdle,
    LinkClosePort,
    NextSequence,
    EndHandOver,
};
}  // namespace

const SequenceTable &DefaultSequenceTable() { return kTable; }
}  // namespace quill
