// What opening and listing ports share on every platform: the adapter's
// description and the exports that hand ports and adapters to callers.
#include <cstdio>
#include <cstring>

#include "link/adapter.h"
#include "link/port_names.h"
#include "platform/export_guard.h"
#include "quillctl.h"

namespace quill {

std::string AdapterInfo::Description() const {
    std::string s = manufacturer;
    if (!product.empty()) s += (s.empty() ? "" : " ") + product;
    if (s.empty() && usb) {
        char ids[32];
        std::snprintf(ids, sizeof ids, "USB %04x:%04x", vendorId, productId);
        s = ids;
    }
    return s;
}

}  // namespace quill

extern "C" QUILLCTL_API int32_t PRRPortList(PRRPortInfo *out, int32_t capacity, int32_t allPorts) {
    return quill::Guarded<int32_t>(0, [&]() -> int32_t {
        const auto ports = quill::ListPorts(allPorts != 0);
        for (int32_t i = 0; out != nullptr && i < capacity && i < static_cast<int32_t>(ports.size()); ++i) {
            PRRPortInfo &p = out[i];
            std::memset(&p, 0, sizeof p);
            p.number = ports[i].number;
            std::snprintf(p.name, sizeof p.name, "%s", ports[i].name.c_str());
            std::snprintf(p.path, sizeof p.path, "%s", ports[i].path.c_str());
            std::snprintf(p.description, sizeof p.description, "%s", ports[i].description.c_str());
            p.isAlias = ports[i].alias ? 1 : 0;
        }
        return static_cast<int32_t>(ports.size());
    });
}

namespace {

void FillAdapter(const quill::AdapterInfo &a, PRRAdapterInfo *out) {
    std::memset(out, 0, sizeof *out);
    std::snprintf(out->tty, sizeof out->tty, "%s", a.tty.c_str());
    std::snprintf(out->driver, sizeof out->driver, "%s", a.driver.c_str());
    out->isUsb = a.usb ? 1 : 0;
    out->vendorId = a.vendorId;
    out->productId = a.productId;
    std::snprintf(out->manufacturer, sizeof out->manufacturer, "%s", a.manufacturer.c_str());
    std::snprintf(out->product, sizeof out->product, "%s", a.product.c_str());
    std::snprintf(out->serial, sizeof out->serial, "%s", a.serial.c_str());
    out->latencyTimerMs = a.latencyTimerMs;
    out->latencyWritable = a.latencyWritable ? 1 : 0;
    std::snprintf(out->latencyPath, sizeof out->latencyPath, "%s", a.latencyPath.c_str());
    std::snprintf(out->stablePath, sizeof out->stablePath, "%s", a.stablePath.c_str());
}

int32_t CopyPath(const std::string &text, char *out, int32_t capacity) {
    if (text.empty()) return 0;
    if (out == nullptr || capacity <= 0 || text.size() >= static_cast<size_t>(capacity)) return -1;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return static_cast<int32_t>(text.size());
}
}  // namespace

extern "C" QUILLCTL_API int32_t PRRComPortPath(int32_t number, char *path, int32_t capacity) {
    return quill::Guarded<int32_t>(0, [&]() -> int32_t {
        if (number < quill::kComFirst || number > quill::kComLast) return 0;
        return CopyPath(quill::ResolveComPort(number), path, capacity);
    });
}

extern "C" QUILLCTL_API int32_t PRRPortAdapter(const char *path, PRRAdapterInfo *out) {
    return quill::Guarded<int32_t>(0, [&]() -> int32_t {
        if (path == nullptr || out == nullptr) return 0;
        quill::AdapterInfo a;
        if (!quill::ReadAdapterOfPath(path, &a)) return 0;
        FillAdapter(a, out);
        return 1;
    });
}

extern "C" QUILLCTL_API int32_t PRRAdapterList(PRRAdapterInfo *out, int32_t capacity) {
    return quill::Guarded<int32_t>(0, [&]() -> int32_t {
        const auto adapters = quill::ListAdapters();
        for (int32_t i = 0; out != nullptr && i < capacity && i < static_cast<int32_t>(adapters.size()); ++i)
            FillAdapter(adapters[static_cast<size_t>(i)], &out[i]);
        return static_cast<int32_t>(adapters.size());
    });
}

extern "C" QUILLCTL_API int32_t PRRAliasDir(char *path, int32_t capacity) {
    return quill::Guarded<int32_t>(0, [&]() -> int32_t {
        return CopyPath(quill::AliasDir(), path, capacity);
    });
}
