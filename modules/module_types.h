// The module types a bus may hold, as data: each type's code and name, how its frames name a
// channel, where its type reply carries the serial number, and where its module name lives in
// memory. Types without those last facts are still named.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessel {

// How a type's channel-name and status frames name a channel: one bit of a mask, or a number.
enum class ChannelNaming { Bit, Number };

struct ModuleTypeInfo {
    std::uint8_t code = 0;
    const char* name = "";
    ChannelNaming naming = ChannelNaming::Bit;
    // The type reply's data byte where the serial number begins: the sensor names its zone first.
    std::uint8_t serialAt = 2;
    // The module name's memory ranges (first and last address), in the name's order; none: the
    // type keeps no name in memory.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> nameRanges;
    // The channels it names, as far as the list knows them (8 where it does not).
    int channels = 8;
};

// The type of `code`, or nothing for a code not in the list.
const ModuleTypeInfo* findModuleType(std::uint8_t code);
// "VMB4RYNO", or "type $5A" for a code not in the list.
std::string moduleTypeText(std::uint8_t code);
// How many bytes the type's name ranges hold together.
std::size_t nameLength(const ModuleTypeInfo& type);

}  // namespace tessel
