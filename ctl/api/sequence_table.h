#pragma once
#include "worker/flash_worker.h"

namespace quill {
// The table the exported flash handles run: sequences and port services.
const SequenceTable &DefaultSequenceTable();
}  // namespace quill
