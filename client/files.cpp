#include "client/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace quillclient {
namespace {

constexpr size_t kLoadPathRoom = 255;  // the handle keeps the name in 256 bytes

FileStatus Fault(FileStatus::Fault fault, int error = 0) {
    FileStatus s;
    s.fault = fault;
    s.error = error;
    return s;
}

}  // namespace

FileStatus CheckFile(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Fault(FileStatus::kMissing, errno);
    if (S_ISDIR(st.st_mode)) return Fault(FileStatus::kFolder);
    // A FIFO or a device would block the read, or never end.
    if (!S_ISREG(st.st_mode)) return Fault(FileStatus::kNotRegular);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fault(FileStatus::kUnreadable, errno);
    ::close(fd);
    if (st.st_size == 0) return Fault(FileStatus::kEmpty);
    return {};
}

FileStatus CheckLoadFile(const std::string &path) {
    FileStatus s = CheckFile(path);
    if (!s.ok()) return s;
    if (path.size() > kLoadPathRoom) return Fault(FileStatus::kPathTooLong);
    char first = 0;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        if (std::fread(&first, 1, 1, f) != 1) first = 0;
        std::fclose(f);
    }
    if (first != ':' && first != 'S') return Fault(FileStatus::kNotLoadFile);
    return {};
}

DeviceParameters *ReadParameterFile(const std::string &path, bool checkSum, FileStatus *status) {
    *status = FileStatus{};
    DeviceParameters *device = PRRReadPRM(path.c_str(), 0);
    if (device == nullptr) {
        *status = CheckFile(path);
        if (status->ok()) *status = Fault(FileStatus::kNotParameterFile);
        return nullptr;
    }
    if (checkSum && PRRChecksumPRM(path.c_str(), 0) == 0) {
        PRRFreePRM(device);
        *status = Fault(FileStatus::kBadChecksum);
        return nullptr;
    }
    return device;
}

std::string ParameterChecksumText(const std::string &path) {
    uint32_t sum = 0;
    if (PRRChecksumValuesPRM(path.c_str(), &sum, nullptr) != 0) return "";
    char text[16];
    std::snprintf(text, sizeof text, "%X", sum);
    return text;
}

ImageLoad::~ImageLoad() { Close(); }

ImageLoad::ImageLoad(ImageLoad &&other) noexcept : handle_(other.Release()), status_(std::move(other.status_)) {}

ImageLoad &ImageLoad::operator=(ImageLoad &&other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.Release();
        status_ = std::move(other.status_);
    }
    return *this;
}

bool ImageLoad::Open(const std::string &path, PRRWindow *window, FileStatus *status) {
    Close();
    status_ = FileStatus{};
    handle_ = PRRHexOpen(path.c_str(), window, PRR_MSG_LOADFILE_RECORD, nullptr);
    if (handle_ == nullptr) {
        status_ = CheckLoadFile(path);
        if (status_.ok()) status_ = Fault(FileStatus::kRefused);
    }
    if (status != nullptr) *status = status_;
    return handle_ != nullptr;
}

ImageLoad::Progress ImageLoad::OnRecord(LoadProgressRecord *record) {
    const LoadProgressRecord *r = handle_ ? PRRHexGetProg(handle_) : nullptr;
    if (r == nullptr) return Progress::kReading;
    if (record != nullptr) *record = *r;
    if (r->status != 0) {
        status_ = Fault(FileStatus::kReadFailed);
        status_.readStatus = r->status;
        status_.detail = std::string(r->text, strnlen(r->text, sizeof r->text));
        return Progress::kFailed;
    }
    return r->state == PRR_LOAD_STATE_DONE && r->percent == 100 ? Progress::kDone : Progress::kReading;
}

bool ImageLoad::empty() const { return handle_ == nullptr || handle_->readState != PRR_LOAD_READY || handle_->imageLength == 0; }

LoadFileHandle *ImageLoad::Release() {
    LoadFileHandle *h = handle_;
    handle_ = nullptr;
    return h;
}

void ImageLoad::Close() {
    PRRHexClose(handle_);
    handle_ = nullptr;
}

LoadFileHandle *LoadImage(const std::string &path, Waiter &waiter, FileStatus *status, int timeoutMs, bool allowEmpty) {
    *status = CheckFile(path);
    if (!status->ok()) return nullptr;
    const int interrupts = waiter.Interrupts();
    NotificationQueue inbox([&waiter] { waiter.Wake(); });
    ImageLoad load;
    if (!load.Open(path, inbox.window(), status)) return nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        waiter.Wait(wait);
        if (waiter.Interrupts() > interrupts) {
            *status = Fault(FileStatus::kInterrupted);
            return nullptr;
        }
        for (const uint32_t message : inbox.Take()) {
            if (message != PRR_MSG_LOADFILE_RECORD) continue;
            switch (load.OnRecord()) {
            case ImageLoad::Progress::kReading: break;
            case ImageLoad::Progress::kFailed: *status = load.status(); return nullptr;
            case ImageLoad::Progress::kDone:
                if (load.empty() && !allowEmpty) {
                    *status = Fault(FileStatus::kNoData);
                    return nullptr;
                }
                // The reader posts nothing after its final record; the inbox
                // goes with this call, so the handle keeps no pointer to it.
                load.handle()->notifyWindow = nullptr;
                *status = FileStatus{};
                return load.Release();
            }
        }
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) {
            *status = Fault(FileStatus::kNoAnswer);
            return nullptr;
        }
    }
}

}  // namespace quillclient
