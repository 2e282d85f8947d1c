// The module types a bus may hold, as data: each type's code and name, how its frames name a
// channel, how the clients number its channels, where its channel names and its module name
// live in memory (all from module-memory.tsv, which the program carries), and where its type
// reply carries the serial number and how many channels it names (kept beside the table).
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel {

// How a type's channel-name and status frames name a channel: one bit of a mask, or a number;
// None: it names no channel.
enum class ChannelNaming { Bit, Number, None };

// First and last address of a run of memory.
using MemoryRange = std::pair<std::uint16_t, std::uint16_t>;
using MemoryRanges = std::vector<MemoryRange>;

struct ModuleTypeInfo {
    std::uint8_t code = 0;
    std::string name;
    ChannelNaming naming = ChannelNaming::Bit;
    // The type reply's data byte where the serial number begins: the sensor names its zone first.
    std::uint8_t serialAt = 2;
    // The module name's memory ranges, in the name's order; none: the type keeps no name in memory.
    MemoryRanges nameRanges;
    // The channels it names, as far as the list knows them (8 where it does not).
    int channels = 8;
    // Bus channel numbers the clients number otherwise (a glass panel's sensor: 9 on the bus,
    // 10 for the clients).
    std::map<int, int> clientChannelOf;
    // Each editable channel's name in memory, by the clients' channel number.
    std::map<int, MemoryRanges> channelNameRanges;
};

// The type of `code`, or nothing for a code not in the list.
const ModuleTypeInfo* findModuleType(std::uint8_t code);
// The type named so ("VMB4RYNO"), or nothing.
const ModuleTypeInfo* findModuleTypeNamed(std::string_view name);
// Every type in the list, by code.
const std::vector<ModuleTypeInfo>& moduleTypeList();
// "VMB4RYNO", or "type $5A" for a code not in the list.
std::string moduleTypeText(std::uint8_t code);
// How many bytes the ranges hold together.
std::size_t rangesLength(const MemoryRanges& ranges);
// How many bytes the type's name ranges hold together.
inline std::size_t nameLength(const ModuleTypeInfo& type) { return rangesLength(type.nameRanges); }
// The clients' number of a bus channel, and back.
int clientChannel(const ModuleTypeInfo& type, int busChannel);
int busChannel(const ModuleTypeInfo& type, int clientChannel);

// The table as text (module-memory.tsv): one type a line, TAB-separated, # begins a comment.
// Its types, or `error` naming the first line that will not do.
std::vector<ModuleTypeInfo> readModuleTypes(std::string_view table, std::string& error);

}  // namespace tessel
