#include "bridge/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/unique_fd.h"

namespace tessel {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 99;
}

// The first two lines of a byte stream, taken a piece at a time, each kept up to
// kConfigLineLimit bytes: what a line holds beyond that is passed over.
class FirstTwoLines {
public:
    // False once both lines are complete: nothing further is needed.
    bool take(std::string_view bytes) {
        for (const char c : bytes) {
            if (afterCarriageReturn_) {
                afterCarriageReturn_ = false;
                if (c == '\n') continue;  // CR LF is one line end
            }
            if (line_ >= 2) return false;
            if (c == '\n' || c == '\0' || c == '\r') {
                afterCarriageReturn_ = c == '\r';
                ++line_;
                continue;
            }
            if (lines_[line_].size() < kConfigLineLimit) lines_[line_] += c;
        }
        return line_ < 2;
    }
    const std::array<std::string, 2>& lines() const { return lines_; }
    Configuration configuration() const {
        Configuration config;
        config.serialPortName = lines_[0];
        config.ethernetPort = parseNumber(lines_[1]);
        return config;
    }

private:
    std::array<std::string, 2> lines_;
    std::size_t line_ = 0;
    bool afterCarriageReturn_ = false;
};

bool isRegularFile(const struct stat& st) { return S_ISREG(st.st_mode); }

}  // namespace

std::int64_t parseNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i < text.size() && text[i] == '%') {
        base = 2;
        ++i;
    }
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const int d = digitValue(text[i]);
        if (d >= base) break;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    // Wraps like the 64-bit integer it is stored in, never overflowing a signed negation.
    return static_cast<std::int64_t>(negative ? 0 - value : value);
}

Configuration parseConfiguration(std::string_view content) {
    FirstTwoLines lines;
    lines.take(content);
    return lines.configuration();
}

namespace {

// The first two lines of a regular file; nothing when it is not one or cannot be opened.
std::optional<FirstTwoLines> readFirstTwoLines(const std::string& path) {
    // Only a regular file is read: a FIFO would block the start for ever and a device (a link
    // to /dev/zero) would never end. Neither is opened for more than a look.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !isRegularFile(st)) return std::nullopt;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !isRegularFile(st)) return std::nullopt;
    FirstTwoLines lines;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !lines.take(std::string_view(buffer, static_cast<std::size_t>(n)))) break;
    }
    return lines;
}

}  // namespace

std::optional<Configuration> readConfigurationFile(const std::string& path) {
    const auto lines = readFirstTwoLines(path);
    if (!lines) return std::nullopt;
    return lines->configuration();
}

std::optional<std::array<std::string, 2>> readConfigurationLines(const std::string& path) {
    const auto lines = readFirstTwoLines(path);
    if (!lines) return std::nullopt;
    return lines->lines();
}

std::optional<std::string> readFirstLine(const std::string& path) {
    const auto lines = readFirstTwoLines(path);
    if (!lines) return std::nullopt;
    return lines->configuration().serialPortName;
}

bool writeConfigurationFile(const std::string& path, const Configuration& config) {
    // Something there that is not a regular file counts as a file that cannot be created:
    // opening a FIFO to write would wait for a reader.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !isRegularFile(st)) return false;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                       0666));
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !isRegularFile(st)) return false;
    const std::string content =
        config.serialPortName + "\n" + std::to_string(config.ethernetPort) + "\n";
    std::size_t at = 0;
    while (at < content.size()) {
        const ssize_t n = ::write(fd.get(), content.data() + at, content.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace tessel
