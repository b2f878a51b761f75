#include "worker/status_text.h"
#include "platform/export_guard.h"

#include "quillctl.h"

namespace quill {
namespace {
// Indexed by status code; the texts are what users see in the log.
const char *const kStatusTexts[PRR_STATUS_COUNT] = {
    "No ERROR.",
    "ERROR: Not Initialized!",
    "ERROR: Illegal file type!",
    "ERROR: Illegal parameter!",
    "ERROR: Illegal PRM file!",
    "ERROR: Sequence error!",
    "ERROR: Can not ABORT, now!",
    "ERROR: Flash time out error!",
    "ERROR: COM port write error!",
    "ERROR: COM port open error!",
    "ERROR: COM port setting error!",
    "ERROR: Wait status timeout!",
    "ERROR: Retry status over!",
    "ERROR: Illegal status from device!",
    "ERROR: Not connect to device, please retry reset!",
    "ERROR: This device is not supporting this function!",
    "ERROR: Flash data sequence error!",
    "ERROR: Address of HEX & Setting is not correct error!",
    "ERROR: Flash write error!",
    "ERROR: Flash internal verify error!",
    "ERROR: Flash verify error!",
    "ERROR: Invalid Signature error!",
    "ERROR: Invalid Version error!",
    "ERROR: Time-Out Error of read from device!",
    "ERROR: COM port read error!",
};
}  // namespace

const char *StatusText(int32_t status) {
    if (status < 0 || status >= PRR_STATUS_COUNT) return "";
    return kStatusTexts[status];
}
}  // namespace quill

extern "C" QUILLCTL_API const char *PRRStatusText(int32_t status) {
    return quill::Guarded<const char *>("", [&]() -> const char * {
        return quill::StatusText(status);
    });
}
