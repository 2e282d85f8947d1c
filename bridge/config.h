// The two-line configuration file: serial device name, then TCP port.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessel {

inline constexpr const char* kConfigFileName = "Tessel-server.ini";
constexpr std::int64_t kDefaultEthernetPort = 8080;
// Bytes of a configuration line that are read; the rest of a longer line is passed over.
constexpr std::size_t kConfigLineLimit = 4096;

struct Configuration {
    std::string serialPortName;
    std::int64_t ethernetPort = kDefaultEthernetPort;
};

// Blanks and tabs, an optional sign, then "$" hex, "%" binary or decimal digits up to the first
// character that is not one. No digits gives 0.
std::int64_t parseNumber(std::string_view text);

// The first two lines only. Lines end at LF, CR (CR LF counts as one end) or NUL; a missing line
// reads as empty.
Configuration parseConfiguration(std::string_view content);

// The first line of a regular file, read as the configuration's lines are; nothing when it
// cannot be opened or is not a regular file.
std::optional<std::string> readFirstLine(const std::string& path);

// The two lines as they stand (empty when missing), for a front end that checks the port more
// strictly than the window's rule; nothing when the file cannot be read.
std::optional<std::array<std::string, 2>> readConfigurationLines(const std::string& path);

// Reads the file; nothing when it cannot be opened or is not a regular file.
std::optional<Configuration> readConfigurationFile(const std::string& path);

// Both values, each followed by one line feed. False when the file could not be written, or
// the path names something that is not a regular file.
bool writeConfigurationFile(const std::string& path, const Configuration& config);

}  // namespace tessel
