#include "modules/module_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "platform/unique_fd.h"

namespace tessel {

namespace {

constexpr const char* kHeader = "tessel-serverd modules 2";
constexpr const char* kHeaderWithoutEnd = "tessel-serverd modules 1";
constexpr char kDigits[] = "0123456789ABCDEF";

void hexByte(std::string& out, unsigned v) {
    out += kDigits[(v >> 4) & 0x0F];
    out += kDigits[v & 0x0F];
}

std::string hexOf(unsigned v, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) hexByte(out, (v >> (8 * i)) & 0xFF);
    return out;
}

std::string recordLines(const ModuleRecord& r) {
    std::string out = "module " + hexOf(r.address, 1) + " " + (r.type ? hexOf(*r.type, 1) : "-") + " " +
                      (r.serial ? hexOf(*r.serial, 2) : "-") + " " + hexOf(r.memoryMap, 1) + " " +
                      (r.build ? hexOf((*r.build)[0] << 8 | (*r.build)[1], 2) : "-") + " ";
    for (const std::uint8_t s : r.subAddresses) hexByte(out, s);
    out += " " + std::to_string(r.firstSeen) + " " + std::to_string(r.lastSeen) + " " + std::to_string(r.frames) +
           " " + std::to_string(r.restarts) + " " + std::to_string(r.lastRestart) + "\n";
    if (!r.nameBytes.empty()) {
        out += "name " + hexOf(r.address, 1) + " ";
        for (const std::int16_t b : r.nameBytes) {
            if (b < 0) out += "--";
            else hexByte(out, static_cast<unsigned>(b));
        }
        out += "\n";
    }
    for (const auto& [channel, name] : r.channels) {
        out += "channel " + hexOf(r.address, 1) + " " + std::to_string(channel) + " " + std::to_string(name.partsKnown) + " ";
        for (const std::uint8_t b : name.bytes) hexByte(out, b);
        out += "\n";
    }
    return out;
}

std::optional<std::int64_t> number(const std::string& text, int base) {
    std::int64_t v = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() || v < 0) return std::nullopt;
    return v;
}

std::optional<std::vector<std::int16_t>> bytesOf(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<std::int16_t> out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const std::string pair = text.substr(i, 2);
        if (pair == "--") {
            out.push_back(-1);
            continue;
        }
        const auto v = number(pair, 16);
        if (!v) return std::nullopt;
        out.push_back(static_cast<std::int16_t>(*v));
    }
    return out;
}

// One line into the table; false when it does not read as the format says.
bool readLine(const std::string& line, ModuleTable& t) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return true;
    const auto address = w.size() > 1 ? number(w[1], 16) : std::nullopt;
    if (!address || *address < 1 || *address > 0xFE || w[1].size() != 2) return false;
    auto& slot = t.byAddress[static_cast<std::size_t>(*address)];
    if (w[0] == "module" && w.size() == 12) {
        if (slot) return false;
        ModuleRecord r;
        r.address = static_cast<std::uint8_t>(*address);
        if (w[2] != "-") {
            const auto type = number(w[2], 16);
            if (!type || *type > 0xFF) return false;
            r.type = static_cast<std::uint8_t>(*type);
            const ModuleTypeInfo* info = findModuleType(*r.type);
            r.nameBytes.assign(info != nullptr ? nameLength(*info) : 0, -1);
        }
        if (w[3] != "-") {
            const auto serial = number(w[3], 16);
            if (!serial || *serial > 0xFFFF) return false;
            r.serial = static_cast<std::uint16_t>(*serial);
        }
        const auto map = number(w[4], 16);
        if (!map || *map > 0xFF) return false;
        r.memoryMap = static_cast<std::uint8_t>(*map);
        if (w[5] != "-") {
            const auto build = number(w[5], 16);
            if (!build || *build > 0xFFFF) return false;
            r.build = std::array<std::uint8_t, 2>{static_cast<std::uint8_t>(*build >> 8), static_cast<std::uint8_t>(*build & 0xFF)};
        }
        const auto subs = bytesOf(w[6]);
        if (!subs || subs->size() != 4) return false;
        for (std::size_t i = 0; i < 4; ++i) {
            if ((*subs)[i] < 0) return false;
            r.subAddresses[i] = static_cast<std::uint8_t>((*subs)[i]);
        }
        std::int64_t* times[] = {&r.firstSeen, &r.lastSeen, &r.frames, &r.restarts, &r.lastRestart};
        for (std::size_t i = 0; i < 5; ++i) {
            const auto v = number(w[7 + i], 10);
            if (!v) return false;
            *times[i] = *v;
        }
        slot = r;
        for (const std::uint8_t s : r.subAddresses) {
            if (s != 0xFF && s != 0x00) t.ownerOf[s] = r.address;
        }
        return true;
    }
    if (!slot) return false;  // names of a module not listed before them
    if (w[0] == "name" && w.size() == 3) {
        const auto bytes = bytesOf(w[2]);
        if (!bytes || bytes->size() != slot->nameBytes.size()) return false;
        slot->nameBytes = *bytes;
        return true;
    }
    if (w[0] == "channel" && w.size() == 5) {
        const auto channel = number(w[2], 10);
        const auto parts = number(w[3], 10);
        const auto bytes = bytesOf(w[4]);
        if (!channel || *channel < 1 || *channel > 255 || !parts || *parts > 7 || !bytes || bytes->size() != 16) return false;
        ChannelName name;
        name.partsKnown = static_cast<std::uint8_t>(*parts);
        for (std::size_t i = 0; i < 16; ++i) {
            if ((*bytes)[i] < 0) return false;
            name.bytes[i] = static_cast<std::uint8_t>((*bytes)[i]);
        }
        slot->channels[static_cast<int>(*channel)] = name;
        return true;
    }
    return false;
}

// A time the file says, past which it cannot have been written here.
bool inFuture(const ModuleRecord& r, std::int64_t now) {
    const std::int64_t latest = now + kStateFutureSlackSeconds;
    return r.firstSeen > latest || r.lastSeen > latest || r.lastRestart > latest;
}

// The file's text, at most the limit; why not, when it is no file to read.
StateRead fileText(const std::string& path, std::string& text, std::string& error) {
    // O_NONBLOCK: a FIFO in its place must not hold the start.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT) return StateRead::Missing;
        if (errno == ELOOP) {
            error = "it is a symbolic link";
            return StateRead::NotAFile;
        }
        error = std::strerror(errno);
        return StateRead::Damaged;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
        return StateRead::NotAFile;
    }
    if (st.st_size > kModuleStateLimit) {
        error = "it is larger than " + std::to_string(kModuleStateLimit / (1024 * 1024)) + " MiB, more than any table";
        return StateRead::Damaged;
    }
    text.assign(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);  // a file that shrank meanwhile reads as cut
    return StateRead::Read;
}

}  // namespace

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool writeModuleState(const ModuleTable& t, const std::string& path, std::string& error) {
    std::string text = std::string(kHeader) + "\n";
    int modules = 0;
    for (const auto& slot : t.byAddress) {
        if (!slot) continue;
        text += recordLines(*slot);
        ++modules;
    }
    text += "end " + std::to_string(modules) + "\n";
    const std::string temporary = path + ".tmp";
    {
        // Made anew, never through what stands in its place (a link planted there, or the
        // leftover of a crash, is removed, not followed).
        ::unlink(temporary.c_str());
        UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd.valid() || !writeWhole(fd.get(), text) || ::fsync(fd.get()) != 0) {
            error = "cannot write " + temporary + ": " + std::strerror(errno);
            if (fd.valid()) ::unlink(temporary.c_str());
            return false;
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with its directory.
    if (UniqueFd dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir.valid()) {
        ::fsync(dir.get());
    }
    return true;
}

StateRead readModuleState(const std::string& path, ModuleTable& t, std::string& error, std::int64_t now) {
    std::string text;
    if (const StateRead got = fileText(path, text, error); got != StateRead::Read) return got;
    std::istringstream in(text);
    std::string line;
    const bool hasHeader = static_cast<bool>(std::getline(in, line));
    const bool counted = hasHeader && line == kHeader;
    if (!counted && !(hasHeader && line == kHeaderWithoutEnd)) {
        error = "it does not begin with \"" + std::string(kHeader) + "\"";
        return StateRead::Damaged;
    }
    ModuleTable read;
    int modules = 0;
    std::optional<int> end;
    for (int at = 2; std::getline(in, line); ++at) {
        if (end) {
            error = "line " + std::to_string(at) + " follows its last line";
            return StateRead::Damaged;
        }
        if (counted && line.rfind("end ", 0) == 0) {
            const auto n = number(line.substr(4), 10);
            if (!n || *n != modules) {
                error = "line " + std::to_string(at) + " does not count the " + std::to_string(modules) +
                        " modules read before it";
                return StateRead::Damaged;
            }
            end = modules;
            continue;
        }
        if (counted && in.eof() && text.back() != '\n') {
            error = "its last line is cut short";
            return StateRead::Damaged;
        }
        const bool isModule = line.rfind("module ", 0) == 0;
        if (!readLine(line, read)) {
            error = "line " + std::to_string(at) + " does not read";
            return StateRead::Damaged;
        }
        if (!isModule) continue;
        ++modules;
        const auto address = number(line.substr(7, 2), 16);
        if (address && read.byAddress[static_cast<std::size_t>(*address)] &&
            inFuture(*read.byAddress[static_cast<std::size_t>(*address)], now)) {
            error = "line " + std::to_string(at) + " has a time more than a day ahead of this host's clock";
            return StateRead::Damaged;
        }
    }
    t = read;
    if (counted && !end) {
        error = std::to_string(modules) + (modules == 1 ? " module" : " modules") + " read before the cut";
        return StateRead::Cut;
    }
    return StateRead::Read;
}

StateLock lockStateDirectory(const std::string& directory, UniqueFd& lock, std::string& holder) {
    const std::string path = directory + "/" + kStateLockFile;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        holder = "its lock file " + path + " cannot be opened: " + std::strerror(errno);
        return StateLock::Unavailable;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        const ssize_t n = ::pread(fd.get(), pid, sizeof pid - 1, 0);
        std::string text(pid, n > 0 ? static_cast<std::size_t>(n) : 0);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        if (errno != EWOULDBLOCK) {
            holder = std::string("its lock cannot be taken: ") + std::strerror(errno);
            return StateLock::Unavailable;
        }
        holder = "another tessel-serverd holds it" + (digits ? " (pid " + text + ")" : std::string());
        return StateLock::Held;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) == 0 && ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0) {
        // Only what a second service says of the holder is lost.
    }
    lock = std::move(fd);
    return StateLock::Ours;
}

bool setAsideStateFile(const std::string& path, std::string& movedTo) {
    movedTo = path + ".damaged";
    return ::rename(path.c_str(), movedTo.c_str()) == 0;
}

}  // namespace tessel
