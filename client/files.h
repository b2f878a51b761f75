// The files a device command reads: the parameter file with its checksum and
// the load image, and why either cannot be used. Front ends word the reason
// their own way; what is wrong is decided here once.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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
        kNotLoadFile,       // not HEX, S-record (':' or 'S' first) or ELF
        kRefused,           // the library would not open it for another reason
        kReadFailed,        // the reader stopped with `readStatus` and its record's text in `detail`
        kNoData,            // read, but it holds no data record
        kNoAnswer,          // the reader did not finish in the time allowed
        kInterrupted,       // the wait was interrupted (Waiter::Interrupts)
        kNotParameterFile,  // the parameter-file reader refused it
        kBadChecksum,       // its SUM= value does not match its contents
        kMergeFailed,       // a source of several (or an ELF, a binary) failed: `detail` says why, naming it
    };
    Fault fault = kNone;
    int error = 0;           // errno, for kMissing and kUnreadable
    int32_t readStatus = 0;  // PRR_STATUS_* of kReadFailed and kMergeFailed
    std::string detail;
    std::string path;        // the file the fault is about, where one is

    bool ok() const { return fault == kNone; }
};

// One source of a load image: an Intel HEX, S-record or ELF file (told by
// its content), or a raw binary whose first byte goes to `address`.
struct LoadSource {
    std::string path;
    bool binary = false;
    uint32_t address = 0;
    bool operator==(const LoadSource &) const = default;
};

// "PATH" or "PATH@ADDR" (a raw binary; ADDR in hex with 0x or in decimal, the
// last '@' counts). A path that exists as given is a path even with an '@'
// in it. False with the reason for a bad address, and for a .bin path
// without one (its bytes have no address of their own).
bool ParseLoadSource(const std::string &text, LoadSource *out, std::string *why);
// A number as ADDR is written: hex with 0x, or decimal, up to 32 bits.
bool ParseNumberText(const std::string &text, uint32_t *value);
// The source as ParseLoadSource reads it back: "cal.bin@0x7C00".
std::string SourceText(const LoadSource &source);

// Whether `path` names a readable, non-empty regular file (kNone), or why not.
FileStatus CheckFile(const std::string &path);
// The same, then what the load-file reader would refuse before reading.
// `text` (when given) tells a HEX or S-record file from an ELF.
FileStatus CheckLoadFile(const std::string &path, bool *text = nullptr);

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
    // The same for sources merged into one image, gaps taking `fill` (-1:
    // the erased value). A single HEX or S-record file is read as above
    // unless `merged`.
    bool Open(const std::vector<LoadSource> &sources, int fill, PRRWindow *window, FileStatus *status,
              bool merged = false);
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
    bool merged_ = false;  // opened by PRRLoadOpen: the failure's reason is PRRLoadError's
};

// Opens `path` and waits on `waiter` until the reader has the image: the
// ready handle (the caller closes it; it posts nowhere), or null with the
// reason. An image without data is refused (kNoData: nothing would be
// programmed) unless `allowEmpty`. `timeoutMs` < 0 waits as long as the
// reader takes.
LoadFileHandle *LoadImage(const std::string &path, Waiter &waiter, FileStatus *status, int timeoutMs = -1,
                          bool allowEmpty = false);
// How a list of sources is read.
struct LoadOptions {
    int fill = -1;          // the gaps' byte; -1: the erased value 0xFF
    int timeoutMs = -1;     // < 0: as long as the reader takes
    bool allowEmpty = false;
    bool merged = false;    // always the merging reader (PRRLoadRanges answers only for it)
};
LoadFileHandle *LoadImage(const std::vector<LoadSource> &sources, Waiter &waiter, FileStatus *status,
                          const LoadOptions &options = {});

}  // namespace quillclient
