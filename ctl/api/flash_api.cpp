// Flash-handle exports: each command hands its arguments and its message to
// the worker (see PostWithArguments for when they reach the handle).
#include <cstring>
#include <mutex>

#include "api/sequence_table.h"
#include "link/com_port.h"
#include "platform/handle_core.h"
#include "platform/export_guard.h"
#include "platform/process_locks.h"
#include "quillctl.h"
#include "quillrom_version.h"
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
// back into the caller's record, then the whole record is copied in. (For a
// command that waits behind another, the flags are those the handle has now.)
DeviceParameters TakeDevice(FlashHandle *h, DeviceParameters *device) {
    {
        std::lock_guard<std::mutex> lock(FlashRingLock());
        device->parseFlags = h->device.parseFlags;
    }
    return *device;
}

int32_t AreaCommand(FlashHandle *h, DeviceParameters *device, const AreaRecord *area, LoadFileHandle *loadFile,
                    bool takesLoadFile, int32_t autoRange, uint32_t message) {
    if (h == nullptr || device == nullptr || area == nullptr) return 1;
    const DeviceParameters d = TakeDevice(h, device);
    const AreaRecord a = *area;
    PostWithArguments(h, message, 0, [=](FlashHandle *t) {
        if (takesLoadFile) t->loadFile = loadFile;
        t->autoRange = autoRange;
        t->area = a;
        t->device = d;
    });
    return 0;
}

}  // namespace

extern "C" {

QUILLCTL_API int32_t PRRGetVersion(void) { return PRR_VERSION; }

QUILLCTL_API const char *PRRGetVersionText(void) { return QUILLROM_VERSION; }

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

QUILLCTL_API int32_t PRRFlshGetLinkInfo(FlashHandle *h, PRRLinkInfo *out) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr || out == nullptr) return 1;
        const quill::HandleCore &core = quill::CoreOf(h);
        std::lock_guard<std::mutex> lock(core.linkInfoLock);
        *out = core.linkInfo;
        out->wireMicrosPerDataByte = quill::WireMicrosPerDataByte();
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshReset(FlashHandle *h, const ResetRecord *reset, DeviceParameters *device) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr || reset == nullptr || device == nullptr) return 1;
        // The phase travels with the request: the application clears
        // linePreparePass right after this call, before the worker may look.
        const int32_t phase = h->linePreparePass;
        const ResetRecord r = *reset;
        const DeviceParameters d = *device;
        PostWithArguments(h, kMsgReset, phase & kParamPhaseMask, [r, d](FlashHandle *t) {
            t->securityByte = SecurityByteFromFlags(r.securityFlags);
            t->commandSet = 0;
            t->reset = r;
            t->commandOptions = r.commandOptions;
            t->device = d;
        });
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshCmdOpt(FlashHandle *h, int32_t options) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr) return 1;
        // While a command runs or waits, its options stay as they were given.
        const bool changed = ChangeArgumentsWhileIdle(
            h, [options](FlashHandle *t) { t->commandOptions = static_cast<uint8_t>(options & 0xFF); });
        return changed ? 0 : 1;
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
        const DeviceParameters d = TakeDevice(h, device);
        const AreaRecord a = *area;
        PostWithArguments(h, PRR_MSG_CHECKSUM, 0, [=](FlashHandle *t) {
            t->loadFile = loadFile;
            t->area = a;
            t->device = d;
        });
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshSecurity(FlashHandle *h, DeviceParameters *device, int32_t arg1, int32_t arg2) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr || device == nullptr) return 1;
        const DeviceParameters d = TakeDevice(h, device);
        PostWithArguments(h, PRR_MSG_SECURITY, 0, [=](FlashHandle *t) {
            t->securityArg1 = arg1;
            t->securityArg2 = arg2;
            t->device = d;
        });
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshSigread(FlashHandle *h, DeviceParameters *device) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr || device == nullptr) return 1;
        const DeviceParameters d = TakeDevice(h, device);
        PostWithArguments(h, PRR_MSG_SIGNATURE, 0, [d](FlashHandle *t) { t->device = d; });
        return 0;
    });
}

QUILLCTL_API int32_t PRRFlshAbort(FlashHandle *h, DeviceParameters *device) {
    return quill::Guarded<int32_t>(1, [&]() -> int32_t {
        if (h == nullptr) return 1;
        // The record is taken only while nothing runs: an abort must not
        // change what the command it stops is doing.
        if (device != nullptr) {
            const DeviceParameters d = TakeDevice(h, device);
            (void)ChangeArgumentsWhileIdle(h, [d](FlashHandle *t) { t->device = d; });
        }
        PostAbort(h);
        return 0;
    });
}

}  // extern "C"
