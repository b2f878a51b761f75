#include "loadfile/load_sources.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "loadfile/elf_reader.h"
#include "loadfile/hex_records.h"
#include "platform/file_compat.h"

namespace quill {
namespace {


// Writes sources into the image and keeps who wrote what.
class Merger {
public:
    Merger(uint8_t *image, MergeResult *result) : image_(image), result_(result), owner_(kImageSize, 0) {}

    void Begin(std::size_t index, SourceKind kind) {
        index_ = index;
        result_->maps.push_back(SourceMap{kind, {}});
    }

    // Puts `count` bytes at `address`; false (status 3) when they leave the image.
    bool Put(const std::string &path, uint32_t address, const uint8_t *bytes, uint64_t count) {
        if (address >= kImageSize || count > kImageSize - address)
            return Fail(PRR_STATUS_ILLEGAL_PARAMETER, path + ": bytes at " + HexAddress(address) + ".." + HexAddress(address + count - 1) +
                                                          " fall outside the image (0x0..0x1FFFFF)");
        const uint8_t me = static_cast<uint8_t>(index_ + 1);
        for (uint64_t i = 0; i < count; ++i) {
            const uint32_t a = address + static_cast<uint32_t>(i);
            if (owner_[a] != 0 && owner_[a] != me && a < clashAt_) {
                clashAt_ = a;
                clashFirst_ = owner_[a] - 1u;
                clashSecond_ = index_;
            }
            owner_[a] = me;
            image_[a] = bytes[i];
        }
        auto &ranges = result_->maps.back().ranges;
        const uint32_t last = address + static_cast<uint32_t>(count - 1);
        if (!ranges.empty() && ranges.back().second + 1 == address) ranges.back().second = last;
        else ranges.emplace_back(address, last);
        Extend(address, last);
        return true;
    }

    void Extend(uint32_t lowest, uint32_t highest) {
        result_->lowest = std::min(result_->lowest, lowest);
        result_->highest = std::max(result_->highest, highest);
    }

    bool Fail(int32_t status, const std::string &reason) {
        result_->status = status;
        result_->reason = reason;
        return false;
    }

    // After the last source: the clash, if any, else the fill.
    bool Finish(const std::vector<LoadSource> &sources, uint8_t fill) {
        for (auto &m : result_->maps) std::sort(m.ranges.begin(), m.ranges.end());
        if (clashAt_ != UINT32_MAX) {
            const std::size_t a = std::min(clashFirst_, clashSecond_), b = std::max(clashFirst_, clashSecond_);
            return Fail(PRR_STATUS_ILLEGAL_FILE_TYPE,
                        sources[a].path + " and " + sources[b].path + " both write " + HexAddress(clashAt_));
        }
        if (fill != 0xFF && result_->lowest <= result_->highest && result_->highest < kImageSize)
            for (uint32_t a = result_->lowest; a <= result_->highest; ++a)
                if (owner_[a] == 0) image_[a] = fill;
        return true;
    }

private:
    uint8_t *image_;
    MergeResult *result_;
    std::vector<uint8_t> owner_;  // 1 + the index of the source that wrote each address; 0 none
    std::size_t index_ = 0;
    uint32_t clashAt_ = UINT32_MAX;
    std::size_t clashFirst_ = 0, clashSecond_ = 0;
};

bool MergeRecords(const LoadSource &src, const std::vector<uint8_t> &file, Merger &m) {
    std::vector<uint8_t> scratch(kImageSize + kImageSlack, 0xFF), written(kImageSize, 0);
    HexParser p;
    p.written = written.data();
    const RecordResult r = ReadAllRecords(file.data(), file.size(), p, scratch.data());
    if (r != RecordResult::kEnd) return m.Fail(RecordFailureStatus(r), DescribeRecordFailure(src.path, file.data(), file.size(), p, r));
    if (!p.extentSeen) return m.Fail(PRR_STATUS_ILLEGAL_FILE_TYPE, src.path + ": no data record");
    for (uint32_t a = 0; a < kImageSize;) {
        if (!written[a]) {
            ++a;
            continue;
        }
        uint32_t end = a;
        while (end + 1 < kImageSize && written[end + 1]) ++end;
        if (!m.Put(src.path, a, scratch.data() + a, end - a + 1u)) return false;
        a = end + 1;
    }
    // The reader's own extent (an S-record start address may lower it).
    m.Extend(p.lowest, p.highest);
    return true;
}

}  // namespace

std::string DescribeRecordFailure(const std::string &path, const uint8_t *file, std::size_t size, const HexParser &p,
                                  RecordResult r) {
    const std::size_t at = std::min(p.position, size);
    const std::string line = std::to_string(1 + std::count(file, file + at, '\n'));
    if (r == RecordResult::kOutOfRange) return path + ": data past 0x1FFFFF in the record at line " + line;
    if (p.position >= size) return path + ": no end record";
    return path + ": malformed record at line " + line;
}

bool ReadFileBytes(const std::string &path, std::vector<uint8_t> *bytes, std::string *reason) {
    bytes->clear();
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | kOpenBinary);
    if (fd < 0) {
        *reason = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) *reason = path + ": not a regular file";
    if (ok && static_cast<unsigned long long>(st.st_size) > UINT32_MAX) {
        *reason = path + ": larger than 4 GiB";
        ok = false;
    }
    if (ok) {
        bytes->resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (ok && done < bytes->size()) {
            const ssize_t n = ::read(fd, bytes->data() + done, bytes->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                *reason = path + ": " + (n < 0 ? std::strerror(errno) : "shorter than it was");
                ok = false;
            } else {
                done += static_cast<std::size_t>(n);
            }
        }
    }
    ::close(fd);
    return ok;
}

MergeResult MergeSources(const std::vector<LoadSource> &sources, uint8_t fill, uint8_t *image) {
    MergeResult result;
    Merger m(image, &result);
    if (sources.empty()) {
        m.Fail(PRR_STATUS_ILLEGAL_FILE_TYPE, "no load source");
        return result;
    }
    if (sources.size() > 255) {
        m.Fail(PRR_STATUS_ILLEGAL_FILE_TYPE, "more than 255 load sources");
        return result;
    }
    std::vector<uint8_t> file;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const LoadSource &src = sources[i];
        std::string why;
        if (!ReadFileBytes(src.path, &file, &why)) {
            m.Fail(PRR_STATUS_ILLEGAL_FILE_TYPE, why);
            return result;
        }
        if (file.empty()) {
            m.Fail(PRR_STATUS_ILLEGAL_FILE_TYPE, src.path + ": empty file");
            return result;
        }
        bool ok = true;
        if (src.binary) {
            m.Begin(i, SourceKind::kBinary);
            ok = m.Put(src.path, src.address, file.data(), file.size());
        } else if (LooksLikeElf(file.data(), file.size())) {
            m.Begin(i, SourceKind::kElf);
            std::vector<ElfChunk> chunks;
            if (!ReadElf(file.data(), file.size(), &chunks, &why)) {
                m.Fail(PRR_STATUS_ILLEGAL_FILE_TYPE, src.path + ": " + why);
                return result;
            }
            for (const ElfChunk &c : chunks)
                if (!(ok = m.Put(src.path, c.address, file.data() + c.offset, c.size))) break;
        } else if (file[0] == ':' || file[0] == 'S') {
            m.Begin(i, file[0] == ':' ? SourceKind::kIntelHex : SourceKind::kSRecord);
            ok = MergeRecords(src, file, m);
        } else {
            m.Fail(PRR_STATUS_ILLEGAL_FILE_TYPE,
                   src.path + ": neither Intel HEX, S-record nor ELF (a raw binary needs its address: " + src.path + "@ADDR)");
            return result;
        }
        if (!ok) return result;
    }
    m.Finish(sources, fill);
    return result;
}

}  // namespace quill
