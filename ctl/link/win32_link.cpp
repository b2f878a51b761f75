// The link on a Windows COM port: exclusive overlapped open, 8E1 through the
// device control block with a read-back check, exact reads against one
// deadline that also wake on the handle's cancel and abort events.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <new>
#include <string>

#include "link/com_port.h"
#include "link/link.h"

namespace quill {
namespace {

using Clock = std::chrono::steady_clock;

// Wine runs the program on a pseudo-terminal, which keeps no parity bit; a
// real port that refuses 8E1 is the setting error it always was.
bool RunningUnderWine() {
    static const bool wine = [] {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

DWORD MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<DWORD>(left);
}

class Win32Link final : public Link {
public:
    Win32Link(HANDLE port, int id) : port_(port), id_(id) {
        readDone_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        writeDone_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Win32Link() override {
        ::CloseHandle(port_);  // also ends any I/O still out on it
        if (readDone_ != nullptr) ::CloseHandle(readDone_);
        if (writeDone_ != nullptr) ::CloseHandle(writeDone_);
    }
    bool ok() const { return readDone_ != nullptr && writeDone_ != nullptr; }

    int32_t ReadExact(uint8_t *buf, size_t count, uint32_t timeoutMs, bool wakeOnAbort) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t got = 0;
        // Loop until we have the requested number of bytes.
        while (got < count) {
            if (wake_.Interrupted(wakeOnAbort)) return PRR_STATUS_COM_READ;
            const DWORD left = MsLeft(deadline);
            if (left == 0) return PRR_STATUS_READ_TIMEOUT;
            // A read ends with what has come as soon as a byte is there, or
            // empty after `left`: the deadline stays ours.
            // Set only when it changes: reads of one kind mostly ask the same,
            // and each call is a trip to the driver (under Wine, its server).
            if (left != readTotalSet_) {
                COMMTIMEOUTS t{};
                t.ReadIntervalTimeout = MAXDWORD;
                t.ReadTotalTimeoutMultiplier = MAXDWORD;
                t.ReadTotalTimeoutConstant = left;
                if (!::SetCommTimeouts(port_, &t)) return PRR_STATUS_COM_READ;
                readTotalSet_ = left;
            }
            DWORD n = 0;
            const int32_t code = Transfer(readDone_, wakeOnAbort, left, [&](OVERLAPPED *ov) {
                return ::ReadFile(port_, buf + got, static_cast<DWORD>(count - got), nullptr, ov);
            }, &n);
            if (code != 0) return code;
            got += n;
        }
        return 0;
    }

    int32_t Write(const uint8_t *buf, size_t count) override {
        size_t done = 0;
        while (done < count) {
            DWORD n = 0;
            const int32_t code = Transfer(writeDone_, false, kWriteStallMs, [&](OVERLAPPED *ov) {
                return ::WriteFile(port_, buf + done, static_cast<DWORD>(count - done), nullptr, ov);
            }, &n);
            if (code != 0 || n == 0) return PRR_STATUS_COM_WRITE;
            done += n;
        }
        return 0;
    }

    void PurgeRx() override { (void)::PurgeComm(port_, PURGE_RXCLEAR); }

    int32_t SetFormat(uint32_t baud) override {
        DCB want{};
        want.DCBlength = sizeof want;
        if (!::GetCommState(port_, &want)) return PRR_STATUS_COM_SETTING;
        want.BaudRate = baud;
        want.ByteSize = 8;
        want.Parity = EVENPARITY;
        want.StopBits = ONESTOPBIT;
        want.fBinary = TRUE;
        want.fParity = TRUE;
        want.fOutxCtsFlow = FALSE;
        want.fOutxDsrFlow = FALSE;
        want.fDsrSensitivity = FALSE;
        want.fOutX = FALSE;
        want.fInX = FALSE;
        want.fNull = FALSE;
        want.fAbortOnError = FALSE;
        // The driver asserts both lines when the settings are applied, as on Linux.
        want.fDtrControl = DTR_CONTROL_ENABLE;
        want.fRtsControl = RTS_CONTROL_ENABLE;
        // Under Wine on a pty the kernel keeps no parity bit: Wine refuses
        // 8E1 (error 87) or takes it and reads back no parity. Both are
        // tolerated there only; the rest of the read-back must hold.
        if (!::SetCommState(port_, &want)) {
            if (!RunningUnderWine()) return PRR_STATUS_COM_SETTING;
            DCB plain = want;
            plain.Parity = NOPARITY;
            plain.fParity = FALSE;
            if (!::SetCommState(port_, &plain)) return PRR_STATUS_COM_SETTING;
        }
        DCB now{};
        now.DCBlength = sizeof now;
        if (!::GetCommState(port_, &now)) return PRR_STATUS_COM_SETTING;
        const bool lineOk = now.BaudRate == baud && now.ByteSize == 8 && now.StopBits == ONESTOPBIT;
        const bool flowOk = !now.fOutxCtsFlow && !now.fOutxDsrFlow && !now.fOutX && !now.fInX;
        const bool parityOk = now.Parity == EVENPARITY || (now.Parity == NOPARITY && RunningUnderWine());
        return lineOk && flowOk && parityOk ? 0 : PRR_STATUS_COM_SETTING;
    }

    void SetModemLine(ModemLine line, bool on) override {
        const DWORD f = line == ModemLine::kRts ? (on ? SETRTS : CLRRTS) : (on ? SETDTR : CLRDTR);
        (void)::EscapeCommFunction(port_, f);  // refused where the port has no modem lines
    }

    int Descriptor() const override { return id_; }

private:
    DWORD readTotalSet_ = 0;  // the read time-out the port has now; 0: not set yet
    // One overlapped read or write, waited for with the handle's wake
    // events: 0 with what moved in *moved, 24 (read) or 8 (write) on an
    // error, a hang-up or a wake. A time-out is no error: *moved says what came.
    template <typename Start>
    int32_t Transfer(HANDLE done, bool wakeOnAbort, DWORD waitMs, Start start, DWORD *moved) {
        const int32_t failed = done == readDone_ ? PRR_STATUS_COM_READ : PRR_STATUS_COM_WRITE;
        OVERLAPPED ov{};
        ov.hEvent = done;
        ::ResetEvent(done);
        *moved = 0;
        if (!start(&ov)) {
            const DWORD e = ::GetLastError();
            if (e == ERROR_TIMEOUT) return 0;  // nothing came in time (Wine says so at once)
            if (e != ERROR_IO_PENDING) return failed;
            HANDLE waits[3] = {done, nullptr, nullptr};
            DWORD n = 1;
            if (wake_.cancel != nullptr && wake_.cancel->handle() != nullptr) waits[n++] = wake_.cancel->handle();
            if (wakeOnAbort && wake_.abort != nullptr && wake_.abort->handle() != nullptr)
                waits[n++] = wake_.abort->handle();
            // The comm time-out ends the read first; this bound only keeps a
            // slow or stuck driver from holding us past the deadline.
            const DWORD r = ::WaitForMultipleObjects(n, waits, FALSE, waitMs + kDriverGraceMs);
            if (r != WAIT_OBJECT_0) {
                ::CancelIoEx(port_, &ov);
                DWORD got = 0;
                (void)::GetOverlappedResult(port_, &ov, &got, TRUE);
                // Bytes that came before the cancel are kept: dropping them
                // would put the next answer out of step.
                *moved = got;
                return r == WAIT_TIMEOUT ? 0 : failed;
            }
        }
        DWORD n = 0;
        if (!::GetOverlappedResult(port_, &ov, &n, TRUE)) {
            const DWORD e = ::GetLastError();
            if (e == ERROR_TIMEOUT) return 0;
            return failed;  // 109 on a hang-up, 995 when cancelled, 21 for a device gone
        }
        *moved = n;
        return 0;
    }

    static constexpr DWORD kDriverGraceMs = 1000;

    HANDLE port_;
    int id_;
    HANDLE readDone_ = nullptr;
    HANDLE writeDone_ = nullptr;
};

// "\\.\COM7" -> 7; COM names are the port's own on Windows.
int ComNumberOfPath(const char *path) {
    const std::string p = path;
    const size_t at = p.rfind("COM");
    if (at == std::string::npos) return 0;
    return std::atoi(p.c_str() + at + 3);
}

}  // namespace

Link *OpenSerialLink(const char *path) {
    if (path == nullptr || path[0] == '\0') return nullptr;
    // Share mode 0: no one else may have the port while we drive a device.
    HANDLE port = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                nullptr);
    if (port == INVALID_HANDLE_VALUE) return nullptr;
    auto *link = new (std::nothrow) Win32Link(port, ComNumberOfPath(path));
    if (link == nullptr) {
        ::CloseHandle(port);
        return nullptr;
    }
    if (!link->ok()) {
        delete link;
        return nullptr;
    }
    return link;
}

}  // namespace quill
