#include "api/sequence_table.h"

#include <unistd.h>

namespace quill {
namespace {
void ClosePortPlain(FlashHandle *h) {
    if (h->port != PRR_INVALID_PORT) ::close(h->port);
    h->port = PRR_INVALID_PORT;
}

const SequenceTable kTable = {
    /* start */ {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    /* step  */ {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    /* autoprocedureStart */ nullptr,
    /* purgeRx */ nullptr,
    /* linkIdle */ nullptr,
    /* closePort */ ClosePortPlain,
};
}  // namespace

const SequenceTable &DefaultSequenceTable() { return kTable; }
}  // namespace quill
