// Flash-handle exports: each command copies its arguments into the handle
// under the process-wide ring lock and posts its message to the worker.
#include <cstring>
#include <mutex>

#include "api/sequence_table.h"
#include "platform/handle_core.h"
#include "platform/export_guard.h"
#include "platform/process_locks.h"
#include "quillctl.h"
#include "worker/flash_worker.h"

using namespace quill;

namespace {

// Security flags (1 program, 2 block erase, 4 chip erase disabled) as the byte
// the security command sends.
uint8_t SecurityByteFromFlags(uint8_t flags) {
    uint8_t b = 0xFF;
    if (flags & PRR_SECURITY_DISABLE_CHIP_ERASE) b = 0xF3;
    if (flags & PRR_SECURITY_DISABLE_BLOCK_ERASE) b &= 0xFC;
    if (flags & PRR_SECURITY_DISABLE_PROGRAM) b &= 0xCF;
    return b;
}

// The common part of every command but the reset: the handle's parse flags go
// back into the caller's record, then the whole record is copied in.
void TakeDevice(FlashHandle *h, DeviceParameters *device) {
    device->parseFlags = h->device.parseFlags;
    h->device = *device;
}

int32_t AreaCommand(FlashHandle *h, DeviceParameters *device, const AreaRecord *area, LoadFileHandle *loadFile,
                    bool takesLoadFile, int32_t autoRange, uint32_t message) {
    if (h == nullptr || device == nullptr || area == nullptr) return 1;
    {
        std::lock_guard<std::mutex> lock(FlashRingLock());
        if (takesLoadFile) h->loadFile = loadFile;
        h->autoRange = autoRange;
        h->area = *area;
        TakeDevice(h, device);
    }
    PostCommand(h, message);
    return 0;
}

}  // namespace

extern "C" {

QUILLCTL_API int32_t PRRGetVersion(void) { return PRR_VERSION; }

QUILLCTL_API FlashHandle *PRRFlshOpen(PRRWindow *window, uint32_t message, const char *name) {
    return quill::Guarded<FlashHandle *>(nullptr, [&]() -> FlashHandle * {
        return FlashOpen(window, message, name, &DefaultSequenceTable());
    });
}

QUILLCTL_API void PRRFlshClose(FlashHandle *h) {
    quill::GuardedVoid([&] {
        FlashClose(h);
    });
}

QUILLCTL_API int32_t PRRFlshClosePort(FlashHandle *h) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr) return 1;
        const SequenceTable &t = DefaultSequenceTable();
        // Also a link whose port number the caller already cleared by hand.
        if ((h->port != PRR_INVALID_PORT || CoreOf(h).link != nullptr) && t.closePort) t.closePort(h);
        h->port = PRR_INVALID_PORT;
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshSetIdleMessage(FlashHandle *h, uint32_t message) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr) return 1;
        SetIdleMessage(h, message);
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshGetOutcome(FlashHandle *h, PRROutcome *out) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr || out == nullptr) return 1;
        *out = LastOutcome(h);
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshReset(FlashHandle *h, const ResetRecord *reset, DeviceParameters *device) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr || reset == nullptr || device == nullptr) return 1;
        // The phase travels with the request: the application clears
        // linePreparePass right after this call, before the worker may look.
        const int32_t phase = h->linePreparePass;
        {
            std::lock_guard<std::mutex> lock(FlashRingLock());
            h->securityByte = SecurityByteFromFlags(reset->securityFlags);
            h->commandSet = 0;
            h->reset = *reset;
            h->commandOptions = reset->commandOptions;
            h->device = *device;
        }
        PostCommand(h, kMsgReset, phase);
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshCmdOpt(FlashHandle *h, int32_t options) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr) return 1;
        std::lock_guard<std::mutex> lock(FlashRingLock());
        h->commandOptions = static_cast<uint8_t>(options & 0xFF);
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshEPV(FlashHandle *h, DeviceParameters *device, const AreaRecord *area,
                                LoadFileHandle *loadFile, int32_t autoRange) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        return AreaCommand(h, device, area, loadFile, true, autoRange, PRR_MSG_AUTOPROCEDURE);
    });
}

QUILLCTL_API int32_t PRRFlshBlnk(FlashHandle *h, DeviceParameters *device, const AreaRecord *area, int32_t autoRange) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        return AreaCommand(h, device, area, nullptr, false, autoRange, PRR_MSG_BLANK_CHECK);
    });
}

QUILLCTL_API int32_t PRRFlshErase(FlashHandle *h, DeviceParameters *device, const AreaRecord *area, int32_t autoRange) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        return AreaCommand(h, device, area, nullptr, false, autoRange, PRR_MSG_ERASE);
    });
}

QUILLCTL_API int32_t PRRFlshProg(FlashHandle *h, DeviceParameters *device, const AreaRecord *area,
                                 LoadFileHandle *loadFile, int32_t autoRange) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        return AreaCommand(h, device, area, loadFile, true, autoRange, PRR_MSG_PROGRAM);
    });
}

QUILLCTL_API int32_t PRRFlshVerify(FlashHandle *h, DeviceParameters *device, const AreaRecord *area,
                                   LoadFileHandle *loadFile, int32_t autoRange) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        return AreaCommand(h, device, area, loadFile, true, autoRange, PRR_MSG_VERIFY);
    });
}

QUILLCTL_API int32_t PRRFlshChecksum(FlashHandle *h, DeviceParameters *device, const AreaRecord *area,
                                     LoadFileHandle *loadFile) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr || device == nullptr || area == nullptr) return 1;
        {
            std::lock_guard<std::mutex> lock(FlashRingLock());
            h->loadFile = loadFile;
            h->area = *area;
            TakeDevice(h, device);
        }
        PostCommand(h, PRR_MSG_CHECKSUM);
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshSecurity(FlashHandle *h, DeviceParameters *device, int32_t arg1, int32_t arg2) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr || device == nullptr) return 1;
        {
            std::lock_guard<std::mutex> lock(FlashRingLock());
            h->securityArg1 = arg1;
            h->securityArg2 = arg2;
            TakeDevice(h, device);
        }
        PostCommand(h, PRR_MSG_SECURITY);
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshSigread(FlashHandle *h, DeviceParameters *device) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr || device == nullptr) return 1;
        {
            std::lock_guard<std::mutex> lock(FlashRingLock());
            TakeDevice(h, device);
        }
        PostCommand(h, PRR_MSG_SIGNATURE);
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshAbort(FlashHandle *h, DeviceParameters *device) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr) return 1;
        if (device != nullptr) {
            std::lock_guard<std::mutex> lock(FlashRingLock());
            TakeDevice(h, device);
        }
        PostCommand(h, kMsgAbort);
        return 0;
    });
}

}  // extern "C"
