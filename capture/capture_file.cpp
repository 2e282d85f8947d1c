#include "capture/capture_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tessel {

CaptureFile::CaptureFile(std::string path, std::uint64_t sizeLimit, CaptureHeader header, Say say)
    : path_(std::move(path)), limit_(std::max(sizeLimit, kMinimumCaptureFileSize)), header_(std::move(header)),
      say_(std::move(say)) {}

CaptureFile::~CaptureFile() = default;

bool CaptureFile::open(std::int64_t nowMillis) {
    if (openFile(false)) return true;
    fail("cannot write the capture file " + path_, errno, nowMillis);
    return false;
}

bool CaptureFile::openFile(bool announce) {
    // Never through a link: one planted at the path would have its target written.
    UniqueFd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0640));
    if (!fd.valid()) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;  // a capture goes to a file of its own, not a device or a pipe
        return false;
    }
    fd_ = std::move(fd);
    size_ = static_cast<std::uint64_t>(st.st_size);
    std::string start = captureHeaderText(header_);
    // A run before this one cut short by a power cut: its half line is ended, so it cannot run
    // into this run's header.
    if (size_ > 0) {
        char last = '\n';
        if (::pread(fd_.get(), &last, 1, static_cast<off_t>(size_ - 1)) == 1 && last != '\n') start.insert(start.begin(), '\n');
    }
    if (!writeAll(start)) {
        fd_.reset();
        return false;
    }
    if (announce) say_("capture file " + path_ + " written again", false);
    return true;
}

bool CaptureFile::writeAll(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // Part of a line must not stay: the file goes back to where this write began.
            if (done > 0 && ::ftruncate(fd_.get(), static_cast<off_t>(size_)) != 0) {
                // Nothing more to do: the reader leaves a line without its line feed out.
            }
            errno = error;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    // At most the last second is lost to a power cut.
    if (::fdatasync(fd_.get()) != 0 && errno != EINVAL) return false;
    size_ += text.size();
    return true;
}

void CaptureFile::fail(const std::string& what, int error, std::int64_t nowMillis) {
    fd_.reset();
    pending_.clear();
    pendingSince_ = -1;
    retryAt_ = nowMillis + kCaptureRetryMillis;
    if (warned_) return;  // one line, however often it is tried again
    warned_ = true;
    const std::string why = error == ELOOP ? "it is a symbolic link, which is not followed" : std::strerror(error);
    say_(what + ": " + why + "; the capture goes on in memory only", true);
}

bool CaptureFile::reopen(std::int64_t nowMillis) {
    if (fd_.valid()) flush(nowMillis);
    fd_.reset();
    retryAt_ = -1;
    if (openFile(warned_)) {
        warned_ = false;
        return true;
    }
    fail("cannot write the capture file " + path_, errno, nowMillis);
    return false;
}

bool CaptureFile::rotate() {
    ::fdatasync(fd_.get());
    fd_.reset();
    const std::string older = path_ + ".1";
    if (::rename(path_.c_str(), older.c_str()) != 0) return false;
    return openFile(false);
}

void CaptureFile::add(const CaptureRecord& record, std::int64_t nowMillis) {
    if (!fd_.valid()) return;
    if (pending_.empty()) pendingSince_ = nowMillis;
    appendCaptureLine(pending_, record);
    if (pending_.size() >= std::min<std::uint64_t>(kCaptureFlushBytes, limit_ / 4)) flush(nowMillis);
}

Deadline CaptureFile::deadline() const {
    if (!fd_.valid()) return retryAt_ < 0 ? std::nullopt : Deadline{retryAt_};
    if (pending_.empty()) return std::nullopt;
    return pendingSince_ + kCaptureFlushMillis;
}

void CaptureFile::flushIfDue(std::int64_t nowMillis) {
    if (const Deadline due = deadline(); due && nowMillis >= *due) flush(nowMillis);
}

void CaptureFile::flush(std::int64_t nowMillis) {
    if (!fd_.valid()) {
        if (retryAt_ >= 0 && nowMillis >= retryAt_) {
            retryAt_ = -1;
            if (openFile(warned_)) {
                warned_ = false;
            } else {
                fail("cannot write the capture file " + path_, errno, nowMillis);
            }
        }
        return;
    }
    if (pending_.empty()) return;
    if (size_ + pending_.size() > limit_ && !rotate()) {
        fail("cannot rotate the capture file " + path_, errno, nowMillis);
        return;
    }
    if (!writeAll(pending_)) {
        fail("cannot write the capture file " + path_, errno, nowMillis);
        return;
    }
    pending_.clear();
    pendingSince_ = -1;
}

}  // namespace tessel
