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

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace quillclient {
namespace {

constexpr size_t kLoadPathRoom = 255;  // the handle keeps the name in 256 bytes

FileStatus Fault(FileStatus::Fault fault, int error = 0) {
    FileStatus s;
    s.fault = fault;
    s.error = error;
    return s;
}

FileStatus Fault(FileStatus::Fault fault, const std::string &path) {
    FileStatus s;
    s.fault = fault;
    s.path = path;
    return s;
}

}  // namespace

bool ParseNumberText(const std::string &text, uint32_t *out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) return false;
    uint64_t value = 0;
    for (const char c : digits) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (hex ? !std::isxdigit(u) : !std::isdigit(u)) return false;
        const int digit = std::isdigit(u) ? u - '0' : std::tolower(u) - 'a' + 10;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFu) return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

namespace {

bool HasSuffix(const std::string &path, std::initializer_list<const char *> suffixes) {
    std::string lower;
    for (const char c : path) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char *suffix : suffixes) {
        const size_t n = std::strlen(suffix);
        if (lower.size() > n && lower.compare(lower.size() - n, n, suffix) == 0) return true;
    }
    return false;
}

bool Exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A single HEX or S-record file, with no fill of its own, is read as
// PRRHexOpen always read it: the same records, the same image.
bool ReadAsBefore(const std::vector<LoadSource> &sources, int fill, bool merged) {
    if (merged || sources.size() != 1 || sources[0].binary || (fill >= 0 && fill != 0xFF)) return false;
    bool text = false;
    return CheckLoadFile(sources[0].path, &text).ok() && text;
}

}  // namespace

bool ParseLoadSource(const std::string &text, LoadSource *out, std::string *why) {
    *out = LoadSource{};
    if (text.empty()) {
        *why = "an empty load source";
        return false;
    }
    const size_t at = text.rfind('@');
    // An '@' before a folder separator is part of a folder's name.
    if (at != std::string::npos && !Exists(text) && text.find_first_of("/\\", at) == std::string::npos) {
        const std::string path = text.substr(0, at), tail = text.substr(at + 1);
        uint32_t address = 0;
        if (path.empty() || !ParseNumberText(tail, &address)) {
            *why = "'" + tail + "' in " + text + " is not an address: give it in hex with 0x (cal.bin@0x7C00) or in decimal";
            return false;
        }
        // Such a file carries its own addresses; read as raw bytes it would
        // put its text, or its headers, into flash.
        if (HasSuffix(path, {".hex", ".ihx", ".s19", ".s28", ".s37", ".srec", ".mot", ".elf", ".axf", ".out"})) {
            *why = path + " holds its own addresses: give it without @ADDR (only a raw binary takes one)";
            return false;
        }
        out->path = path;
        out->binary = true;
        out->address = address;
        return true;
    }
    if (HasSuffix(text, {".bin"})) {
        *why = text + " is a raw binary: say where its first byte goes, as " + text + "@ADDR (hex with 0x, or decimal)";
        return false;
    }
    out->path = text;
    return true;
}

std::string SourceText(const LoadSource &source) {
    if (!source.binary) return source.path;
    char address[16];
    std::snprintf(address, sizeof address, "@0x%X", source.address);
    return source.path + address;
}

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

FileStatus CheckLoadFile(const std::string &path, bool *text) {
    FileStatus s = CheckFile(path);
    if (!s.ok()) return s;
    if (path.size() > kLoadPathRoom) return Fault(FileStatus::kPathTooLong);
    char head[4] = {};
    size_t got = 0;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        got = std::fread(head, 1, sizeof head, f);
        std::fclose(f);
    }
    const bool hexOrS = got >= 1 && (head[0] == ':' || head[0] == 'S');
    const bool elf = got == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0;
    if (text != nullptr) *text = hexOrS;
    if (!hexOrS && !elf) return Fault(FileStatus::kNotLoadFile);
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

ImageLoad::ImageLoad(ImageLoad &&other) noexcept
    : handle_(other.handle_), status_(std::move(other.status_)), merged_(other.merged_) {
    other.handle_ = nullptr;
    other.merged_ = false;
}

ImageLoad &ImageLoad::operator=(ImageLoad &&other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.Release();
        status_ = std::move(other.status_);
        merged_ = other.merged_;
        other.merged_ = false;
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

bool ImageLoad::Open(const std::vector<LoadSource> &sources, int fill, PRRWindow *window, FileStatus *status,
                     bool merged) {
    if (ReadAsBefore(sources, fill, merged)) return Open(sources[0].path, window, status);
    Close();
    status_ = FileStatus{};
    // Each file's own fault first, in the words a single file gets.
    for (const LoadSource &source : sources) {
        status_ = source.binary ? CheckFile(source.path) : CheckLoadFile(source.path);
        if (status_.ok() && source.path.size() > kLoadPathRoom) status_ = Fault(FileStatus::kPathTooLong);
        if (!status_.ok()) {
            status_.path = source.path;
            break;
        }
    }
    if (status_.ok()) {
        std::vector<PRRLoadSource> list;
        for (const LoadSource &source : sources)
            list.push_back(PRRLoadSource{source.path.c_str(), source.binary ? 1 : 0, source.address});
        handle_ = PRRLoadOpen(list.data(), static_cast<int32_t>(list.size()), fill, window, PRR_MSG_LOADFILE_RECORD);
        merged_ = handle_ != nullptr;
        if (handle_ == nullptr) status_ = Fault(FileStatus::kRefused, sources.empty() ? std::string() : sources[0].path);
    }
    if (status != nullptr) *status = status_;
    return handle_ != nullptr;
}

ImageLoad::Progress ImageLoad::OnRecord(LoadProgressRecord *record) {
    const LoadProgressRecord *r = handle_ ? PRRHexGetProg(handle_) : nullptr;
    if (r == nullptr) return Progress::kReading;
    if (record != nullptr) *record = *r;
    if (r->status != 0) {
        status_ = Fault(merged_ ? FileStatus::kMergeFailed : FileStatus::kReadFailed, std::string(handle_->loadFilePath));
        status_.readStatus = r->status;
        if (merged_) {
            char reason[512];
            status_.detail = PRRLoadError(handle_, reason, sizeof reason) > 0 ? reason : PRRStatusText(r->status);
        } else {
            status_.detail = std::string(r->text, strnlen(r->text, sizeof r->text));
        }
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
    merged_ = false;
}

LoadFileHandle *LoadImage(const std::string &path, Waiter &waiter, FileStatus *status, int timeoutMs, bool allowEmpty) {
    LoadOptions options;
    options.timeoutMs = timeoutMs;
    options.allowEmpty = allowEmpty;
    return LoadImage({LoadSource{path}}, waiter, status, options);
}

LoadFileHandle *LoadImage(const std::vector<LoadSource> &sources, Waiter &waiter, FileStatus *status,
                          const LoadOptions &options) {
    for (const LoadSource &source : sources) {
        *status = CheckFile(source.path);
        if (!status->ok()) {
            status->path = source.path;
            return nullptr;
        }
    }
    const int timeoutMs = options.timeoutMs;
    const int interrupts = waiter.Interrupts();
    NotificationQueue inbox([&waiter] { waiter.Wake(); });
    ImageLoad load;
    if (!load.Open(sources, options.fill, inbox.window(), status, options.merged)) return nullptr;
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
                if (load.empty() && !options.allowEmpty) {
                    *status = Fault(FileStatus::kNoData, sources.size() == 1 ? sources[0].path : std::string());
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
