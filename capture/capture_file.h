// The capture on disk as it comes: lines gathered for at most a second, then written whole and
// synced, so a crash or a power cut loses at most the last second and leaves no half line of
// ours. The file is rotated at its size limit: FILE and FILE.1 are kept.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "capture/capture_record.h"
#include "platform/deadline.h"
#include "platform/unique_fd.h"

namespace tessel {

constexpr std::uint64_t kDefaultCaptureFileSize = 16 * 1024 * 1024;
constexpr std::uint64_t kMinimumCaptureFileSize = 64 * 1024;
constexpr std::int64_t kCaptureFlushMillis = 1000;
// Written sooner than the second when this much waits (or a quarter of the file's limit), so a
// burst does not pile up and a file stays within its limit.
constexpr std::size_t kCaptureFlushBytes = 64 * 1024;
// After a write failed, the file is tried again this often (the disk may have been cleared).
constexpr std::int64_t kCaptureRetryMillis = 300'000;

class CaptureFile {
public:
    using Say = std::function<void(const std::string& text, bool warning)>;
    CaptureFile(std::string path, std::uint64_t sizeLimit, CaptureHeader header, Say say);
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Opens the file (appending to what an earlier run wrote) and writes this run's header;
    // false, with one warning, when it cannot.
    bool open(std::int64_t nowMillis);
    void add(const CaptureRecord& record, std::int64_t nowMillis);
    // When the waiting lines are due (or the next try of a file that failed); none: nothing.
    Deadline deadline() const;
    void flushIfDue(std::int64_t nowMillis);
    // Writes what waits now (at the stop).
    void flush(std::int64_t nowMillis);
    // Writes what waits, then opens the path again: after logrotate moved the file away, the
    // capture goes on in a new one. False, with one warning, when it cannot be opened.
    bool reopen(std::int64_t nowMillis);
    bool writing() const { return fd_.valid(); }
    const std::string& path() const { return path_; }

private:
    bool openFile(bool announce);
    bool writeAll(const std::string& text);
    void fail(const std::string& what, int error, std::int64_t nowMillis);
    bool rotate();

    std::string path_;
    std::uint64_t limit_;
    CaptureHeader header_;
    Say say_;
    UniqueFd fd_;
    std::uint64_t size_ = 0;
    std::string pending_;
    std::int64_t pendingSince_ = -1;
    std::int64_t retryAt_ = -1;  // set while the file failed
    bool warned_ = false;
};

}  // namespace tessel
