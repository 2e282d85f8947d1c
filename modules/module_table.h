// The house as the bridge learns it from the traffic, without sending a byte: which modules
// answer at which address, their type, serial number, build, sub-addresses, channel names and
// module name, when they were first and last heard, and which have gone silent. Fed with each
// frame the pass hands on; read by the service (journal, state file, metrics) and the web page.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "modules/module_types.h"

namespace tessel {

// A channel name comes in three parts of 6, 6 and 4 characters: where each begins and how long
// it is, and the part a byte of the name falls in.
constexpr std::size_t channelPartStart(int part) { return static_cast<std::size_t>(part) * 6; }
constexpr std::size_t channelPartSize(int part) { return part == 2 ? 4 : 6; }
constexpr int channelPartOf(std::size_t byte) { return byte < 12 ? static_cast<int>(byte / 6) : 2; }

struct ChannelName {
    std::array<std::uint8_t, 16> bytes{};
    std::uint8_t partsKnown = 0;  // bit 0, 1, 2: parts F0, F1, F2
    bool operator==(const ChannelName&) const = default;
};

struct ModuleRecord {
    std::uint8_t address = 0;
    std::optional<std::uint8_t> type;  // from its type reply
    std::optional<std::uint16_t> serial;
    std::uint8_t memoryMap = 0;
    std::optional<std::array<std::uint8_t, 2>> build;
    std::array<std::uint8_t, 4> subAddresses{0xFF, 0xFF, 0xFF, 0xFF};  // 0xFF: none
    std::map<int, ChannelName> channels;  // by channel number, from 1
    // The module name's bytes in its type's ranges, in order; -1 where not read yet.
    std::vector<std::int16_t> nameBytes;
    std::int64_t firstSeen = 0;  // Unix seconds
    std::int64_t lastSeen = 0;
    std::int64_t frames = 0;     // frames heard from it
    std::int64_t restarts = 0;   // power-up frames heard for it
    std::int64_t lastRestart = 0;
    bool heardSinceStart = false;  // false for a module only known from the state file
    bool silent = false;
    bool operator==(const ModuleRecord&) const = default;
};

// A bus holds at most 254 module addresses (0x00 and 0xFF are not modules'), so the table is
// bounded by the addresses themselves.
struct ModuleTable {
    std::array<std::optional<ModuleRecord>, 256> byAddress;
    // The main address each known sub-address belongs to; 0: none.
    std::array<std::uint8_t, 256> ownerOf{};
};

// What one frame taught.
struct ModuleNews {
    std::uint8_t address = 0;  // the module it was from (its main address); 0: none
    bool found = false;        // the module is new to the table
    bool described = false;    // something shown of it changed: type, serial, build, names
    bool heardAgain = false;   // it was silent and is heard again
    bool restarted = false;    // a power-up frame for it
    bool written = false;      // a memory write changed its module or a channel name
    std::int64_t silentFor = 0;  // with heardAgain: seconds it was not heard
};

// Learns from one sound frame; `fromBus`: it came from the bus, not from a client. Frames from
// clients are requests and teach nothing; a bus frame teaches only when a module sent it.
ModuleNews learnFromFrame(ModuleTable& table, std::span<const std::uint8_t> frame, bool fromBus,
                          std::int64_t nowSeconds);

// Learns from a memory write (FC hi lo byte, CA hi lo b0..b3) to a module the table knows, from a
// client or seen on the bus: bytes at its name's or a channel name's addresses take their place,
// as the module will answer them. Any other frame teaches nothing here.
ModuleNews learnFromWrite(ModuleTable& table, std::span<const std::uint8_t> frame);
// Whether the frame is a memory write, and to which address (none: it is not one).
std::optional<std::uint8_t> memoryWriteTarget(std::span<const std::uint8_t> frame);

// The module an address belongs to (its own, or the one it is a sub-address of); none when the
// table has none.
const ModuleRecord* moduleAt(const ModuleTable& table, std::uint8_t address);

// Marks silent the modules not heard for `silentAfter` seconds (0: never) and returns their
// addresses, in address order.
std::vector<std::uint8_t> markSilent(ModuleTable& table, std::int64_t nowSeconds, std::int64_t silentAfter);
// When the next module goes silent, in Unix seconds; none when none will.
std::optional<std::int64_t> nextSilence(const ModuleTable& table, std::int64_t silentAfter);

struct ModuleCounts {
    std::int64_t known = 0;
    std::int64_t silent = 0;
};
ModuleCounts countModules(const ModuleTable& table);

// The texts shown of a module, ISO-8859-15: its name and a channel's, padding stripped; its
// serial ("1234"), build ("14-20") and type ("VMB4RYNO"); empty while unknown.
std::string moduleName(const ModuleRecord& record);
std::string channelNameText(const ChannelName& name);
// Whether the module name is read whole: every byte up to its padding (or all of them), or the
// type keeps none in memory.
bool nameComplete(const ModuleRecord& record);
std::string serialText(const ModuleRecord& record);
std::string buildText(const ModuleRecord& record);
std::string typeText(const ModuleRecord& record);
// A name in quotes, a quote or backslash inside it behind a backslash, so that no name reads as
// the end of itself and the start of another's.
std::string quotedName(const std::string& name);
// "$10 VMB4RYNO "Kitchen" serial 1234 build 14-20", as the journal names a module.
std::string moduleDescription(const ModuleRecord& record);

}  // namespace tessel
