// The files a device command reads: the parameter file with its checksum and
// the load image, and why either cannot be used. Front ends word the reason
// their own way; what is wrong is decided here once.
#pragma once
#include <cstdint>
#include <string>

#include "client/notification_queue.h"
#include "client/waiter.h"
#include "quillctl.h"

namespace quillclient {

struct FileStatus {
    enum Fault {
        kNone,
        kMissing,           // stat failed: `error` says why (no such file, a folder on the way is not one...)
        kFolder,            // a folder, not a file
        kNotRegular,        // a FIFO, a device: an open would block or never end
        kUnreadable,        // cannot be opened for reading: `error`
        kEmpty,
        kPathTooLong,       // longer than the 255 bytes the load-file reader keeps
        kNotLoadFile,       // does not start with ':' or 'S'
        kRefused,           // the library would not open it for another reason
        kReadFailed,        // the reader stopped with `readStatus` and its record's text in `detail`
        kNoData,            // read, but it holds no data record
        kNoAnswer,          // the reader did not finish in the time allowed
        kInterrupted,       // the wait was interrupted (Waiter::Interrupts)
        kNotParameterFile,  // the parameter-file reader refused it
        kBadChecksum,       // its SUM= value does not match its contents
    };
    Fault fault = kNone;
    int error = 0;           // errno, for kMissing and kUnreadable
    int32_t readStatus = 0;  // PRR_STATUS_* of kReadFailed
    std::string detail;

    bool ok() const { return fault == kNone; }
};

// Whether `path` names a readable, non-empty regular file (kNone), or why not.
FileStatus CheckFile(const std::string &path);
// The same, then what the load-file reader would refuse before reading.
FileStatus CheckLoadFile(const std::string &path);

// Reads a parameter file; with `checkSum` also compares its checksum (the
// checksum compares with what the read just found, so read it first). Null
// with the reason in *status when it cannot be used.
DeviceParameters *ReadParameterFile(const std::string &path, bool checkSum, FileStatus *status);
// Its SUM as upper-case hex ("1A2B"); "" when it has none that can be read.
std::string ParameterChecksumText(const std::string &path);

// One load-file read on the library's reader thread, for callers with an
// event loop: the reader posts PRR_MSG_LOADFILE_RECORD to `window` for every
// record, and OnRecord tells what the read has come to.
class ImageLoad {
public:
    ImageLoad() = default;
    ~ImageLoad();  // closes the handle unless released
    ImageLoad(const ImageLoad &) = delete;
    ImageLoad &operator=(const ImageLoad &) = delete;
    // The read goes over; the one moved from holds none.
    ImageLoad(ImageLoad &&other) noexcept;
    ImageLoad &operator=(ImageLoad &&other) noexcept;

    // Starts the read; false, with the reason, when the library cannot open the file.
    bool Open(const std::string &path, PRRWindow *window, FileStatus *status);
    enum class Progress { kReading, kDone, kFailed };
    // For each record notification: takes the record (into *record when given).
    Progress OnRecord(LoadProgressRecord *record = nullptr);
    // After kDone: true when the file held no data record.
    bool empty() const;
    LoadFileHandle *handle() const { return handle_; }
    const FileStatus &status() const { return status_; }
    // The handle is the caller's from now on (PRRHexClose).
    LoadFileHandle *Release();
    void Close();

private:
    LoadFileHandle *handle_ = nullptr;
    FileStatus status_;
};

// Opens `path` and waits on `waiter` until the reader has the image: the
// ready handle (the caller closes it; it posts nowhere), or null with the
// reason. An image without data is refused (kNoData: nothing would be
// programmed) unless `allowEmpty`. `timeoutMs` < 0 waits as long as the
// reader takes.
LoadFileHandle *LoadImage(const std::string &path, Waiter &waiter, FileStatus *status, int timeoutMs = -1,
                          bool allowEmpty = false);

}  // namespace quillclient
