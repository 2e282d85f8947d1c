#include "capture/capture_record.h"

#include <charconv>
#include <cstdio>

#include "platform/date.h"
#include "platform/latin9.h"
#include "protocol/decoder.h"

namespace tessel {

namespace {

constexpr const char* kMagic = "# tessel-serverd capture ";

const char* directionName(CaptureDirection d) {
    switch (d) {
        case CaptureDirection::FromBus: return "from-bus";
        case CaptureDirection::ToBus: return "to-bus";
        case CaptureDirection::Event: return "event";
    }
    return "event";
}

// A field never holds a TAB or a line break: whatever control character a name from the bus or
// a host name carries becomes a blank.
void appendField(std::string& out, std::string_view text) {
    for (const char c : text) out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c);
}

void appendMicros(std::string& out, std::int64_t micros) {
    if (micros < 0) {
        out.push_back('-');
        micros = -micros;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(micros / 1000000),
                  static_cast<long long>(micros % 1000000));
    out += text;
}

// UTC by the civil calendar, with no time_t (32 bits on some machines) in the way.
void appendWallTime(std::string& out, std::int64_t micros) {
    std::int64_t seconds = micros / 1000000;
    std::int64_t fraction = micros % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        --seconds;
    }
    const CivilTime t = civilFromSeconds(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%06lldZ", static_cast<long long>(t.year), t.month,
                  t.day, t.hour, t.minute, t.second, static_cast<long long>(fraction));
    out += text;
}

std::vector<std::string_view> splitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', from);
        fields.push_back(line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from));
        if (tab == std::string_view::npos) return fields;
        from = tab + 1;
    }
}

template <typename T>
bool wholeNumber(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// "12.345678" (six decimals, as written) as microseconds.
std::optional<std::int64_t> readMicros(std::string_view text) {
    bool negative = !text.empty() && text.front() == '-';
    if (negative) text.remove_prefix(1);
    const std::size_t dot = text.find('.');
    std::int64_t whole = 0, fraction = 0;
    if (dot == std::string_view::npos || text.size() - dot - 1 != 6 || dot == 0) return std::nullopt;
    if (!wholeNumber(text.substr(0, dot), whole) || !wholeNumber(text.substr(dot + 1), fraction)) return std::nullopt;
    if (whole > 9'000'000'000'000LL) return std::nullopt;
    const std::int64_t micros = whole * 1000000 + fraction;
    return negative ? -micros : micros;
}

std::optional<std::int64_t> readWallTime(std::string_view text) {
    // 2026-12-09T21:04:05.123456Z
    if (text.size() != 27 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != '.' || text[26] != 'Z') {
        return std::nullopt;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::int64_t fraction = 0;
    if (!wholeNumber(text.substr(0, 4), year) || !wholeNumber(text.substr(5, 2), month) ||
        !wholeNumber(text.substr(8, 2), day) || !wholeNumber(text.substr(11, 2), hour) ||
        !wholeNumber(text.substr(14, 2), minute) || !wholeNumber(text.substr(17, 2), second) ||
        !wholeNumber(text.substr(20, 6), fraction)) {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    return secondsFromCivil(year, month, day, hour, minute, second) * 1000000LL + fraction;
}

std::optional<Bytes> readHex(std::string_view text) {
    Bytes bytes;
    if (text.empty()) return bytes;
    if ((text.size() + 1) % 3 != 0) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        if (i + 2 < text.size() && text[i + 2] != ' ') return std::nullopt;
        std::uint8_t value = 0;
        const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (error != std::errc() || end != text.data() + i + 2) return std::nullopt;
        bytes.push_back(value);
    }
    return bytes;
}

std::optional<CaptureDirection> readDirection(std::string_view text) {
    if (text == "from-bus") return CaptureDirection::FromBus;
    if (text == "to-bus") return CaptureDirection::ToBus;
    if (text == "event") return CaptureDirection::Event;
    return std::nullopt;
}

}  // namespace

std::string captureHeaderText(const CaptureHeader& header) {
    std::string out = kMagic + std::to_string(header.version) + "\thost=";
    appendField(out, header.host);
    out += "\tdevice=";
    appendField(out, header.device);
    out += "\tversion=";
    appendField(out, header.serviceVersion);
    out += "\n# time\tmonotonic\tdirection\tsource\tbytes\ttext\n";
    return out;
}

void appendCaptureLine(std::string& out, const CaptureRecord& r) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    appendWallTime(out, r.wallMicros);
    out.push_back('\t');
    appendMicros(out, r.monoMicros);
    out.push_back('\t');
    out += directionName(r.direction);
    out.push_back('\t');
    appendField(out, r.source);
    out.push_back('\t');
    for (std::size_t i = 0; i < r.bytes.size(); ++i) {
        if (i != 0) out.push_back(' ');
        out.push_back(kDigits[r.bytes[i] >> 4]);
        out.push_back(kDigits[r.bytes[i] & 0x0F]);
    }
    out.push_back('\t');
    appendField(out, r.text);
    out.push_back('\n');
}

std::string captureLine(const CaptureRecord& record) {
    std::string out;
    appendCaptureLine(out, record);
    return out;
}

std::string captureFrameText(ByteRun bytes) {
    if (bytes.empty() || bytes[0] != kStartByte) return {};
    const Recognition r = recognizeFrame(bytes, 0);
    if (r.kind != Recognition::Kind::Frame || r.length != bytes.size() || !soundFrame(true, bytes)) return {};
    return latin9ToUtf8(decodeMessage("IP", bytes, static_cast<std::int64_t>(bytes.size())));
}

std::optional<CaptureRecord> readCaptureLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // an editor on another system
    if (line.empty() || line.front() == '#') return std::nullopt;
    const auto fields = splitTabs(line);
    if (fields.size() != 6) return std::nullopt;
    CaptureRecord r;
    const auto wall = readWallTime(fields[0]);
    const auto mono = readMicros(fields[1]);
    const auto direction = readDirection(fields[2]);
    auto bytes = readHex(fields[4]);
    if (!wall || !mono || !direction || !bytes) return std::nullopt;
    r.wallMicros = *wall;
    r.monoMicros = *mono;
    r.direction = *direction;
    r.source = std::string(fields[3]);
    r.bytes = std::move(*bytes);
    r.text = std::string(fields[5]);
    return r;
}

std::optional<CaptureHeader> readCaptureHeader(std::string_view line) {
    if (line.rfind(kMagic, 0) != 0) return std::nullopt;
    const auto fields = splitTabs(line.substr(std::string_view(kMagic).size()));
    CaptureHeader h;
    if (!wholeNumber(fields[0], h.version)) return std::nullopt;
    for (std::size_t i = 1; i < fields.size(); ++i) {
        const std::string_view f = fields[i];
        const std::size_t eq = f.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = f.substr(0, eq), value = f.substr(eq + 1);
        if (key == "host") h.host = value;
        else if (key == "device") h.device = value;
        else if (key == "version") h.serviceVersion = value;
    }
    return h;
}

CaptureContents readCapture(std::istream& in) {
    CaptureContents c;
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) {  // no line feed after it: cut short
            c.tornLast = true;
            break;
        }
        if (auto header = readCaptureHeader(line)) {
            if (header->version > kCaptureFormatVersion) {
                c.error = "a capture of format " + std::to_string(header->version) + ", newer than this program's " +
                          std::to_string(kCaptureFormatVersion);
                return c;
            }
            c.headers.push_back(std::move(*header));
            continue;
        }
        if (!line.empty() && line.front() == '#') continue;
        if (c.headers.empty()) {
            c.error = "not a capture: it does not begin with \"" + std::string(kMagic) + "\"";
            return c;
        }
        if (auto record = readCaptureLine(line)) {
            c.records.push_back(std::move(*record));
            c.runOf.push_back(c.headers.size() - 1);
        } else {
            ++c.badLines;
        }
    }
    if (c.headers.empty() && c.error.empty()) c.error = "not a capture: it is empty";
    return c;
}

}  // namespace tessel
