#include "link/memory_link.h"

namespace quill {

int32_t MemoryLink::ReadExact(uint8_t *buf, size_t count, uint32_t, bool wakeOnAbort) {
    if (unplugged_) return PRR_STATUS_COM_READ;
    // What has arrived is consumed even when it is too little, as a real
    // port's read would have taken it.
    size_t got = 0;
    while (got < count && !answer_.empty()) {
        buf[got++] = answer_.front();
        answer_.pop_front();
    }
    if (got == count) return 0;
    // A real port would wait here, and a close or an abort would wake it.
    return wake_.Interrupted(wakeOnAbort) ? PRR_STATUS_COM_READ : PRR_STATUS_READ_TIMEOUT;
}

int32_t MemoryLink::Write(const uint8_t *buf, size_t count) {
    if (unplugged_) return PRR_STATUS_COM_WRITE;
    written_.insert(written_.end(), buf, buf + count);
    if (device_) device_(buf, count, answer_);
    return 0;
}

int32_t MemoryLink::SetFormat(uint32_t baud) {
    if (unplugged_ || (baud != 9600 && baud != 19200 && baud != 38400 && baud != 57600 && baud != 115200))
        return PRR_STATUS_COM_SETTING;
    baud_ = baud;
    // As a serial driver does when settings are applied.
    rts_ = dtr_ = true;
    return 0;
}

void MemoryLink::SetModemLine(ModemLine line, bool on) {
    if (line == ModemLine::kRts) {
        rts_ = on;
        lines_.push_back(on ? 'R' : 'r');
    } else {
        dtr_ = on;
        lines_.push_back(on ? 'D' : 'd');
    }
}

}  // namespace quill
