#include "app/config.h"

#include <fstream>
#include <iterator>

namespace tessel {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 99;
}

// The next line from `pos`, which moves past its end.
std::string_view nextLine(std::string_view content, std::size_t& pos) {
    const std::size_t start = pos;
    while (pos < content.size() && content[pos] != '\n' && content[pos] != '\r' &&
           content[pos] != '\0') {
        ++pos;
    }
    const std::string_view line = content.substr(start, pos - start);
    if (pos < content.size()) {
        if (content[pos] == '\r' && pos + 1 < content.size() && content[pos + 1] == '\n') ++pos;
        ++pos;
    }
    return line;
}

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
    std::size_t pos = 0;
    Configuration config;
    config.serialPortName = std::string(nextLine(content, pos));
    config.ethernetPort = parseNumber(nextLine(content, pos));
    return config;
}

std::optional<Configuration> readConfigurationFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    return parseConfiguration(content);
}

bool writeConfigurationFile(const std::string& path, const Configuration& config) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << config.serialPortName << '\n' << config.ethernetPort << '\n';
    return static_cast<bool>(out.flush());
}

}  // namespace tessel
