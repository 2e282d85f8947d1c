// The simulated house: its module types as the clients know them, its modules with their names,
// channels, memory and states, and the house file that describes them.
//
// A house file, one module a block (# begins a comment):
//   module ADDRESS TYPE SERIAL "MODULE NAME" [sub ADDRESS...]
//     channel N "CHANNEL NAME" [on|off|PERCENT]
//     temperature DEGREES
// ADDRESS and SERIAL are hexadecimal (10, 1A2B), TYPE a type name (VMB4RYNO), the states the
// relay's on or off, the dimmer's level or the blind's position in percent.
#pragma once
#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "modules/module_types.h"
#include "protocol/frame.h"

namespace tessel::sim {

// What the simulated house adds to the shared table of module types (its name, how its frames
// name a channel, where its names live in memory).
struct ModuleType {
    std::uint8_t code;
    int channels;
    std::uint8_t memoryMap;
    std::uint8_t buildYear, buildWeek;
    std::size_t nameLimit;     // characters of a module name every client reads alike
    std::size_t channelLimit;  // characters of a channel name
    const ModuleTypeInfo* info = nullptr;  // the shared table's entry

    const std::string& name() const { return info->name; }
};

const std::vector<ModuleType>& moduleTypes();
const ModuleType* moduleTypeNamed(const std::string& name);

// Room for every simulated type's memory map: the relay modules' fifth bank ends at 04FF.
constexpr std::size_t kMemorySize = 0x800;

struct Module {
    std::uint8_t address = 0;
    const ModuleType* type = nullptr;
    std::uint16_t serial = 0;
    std::string name;
    std::vector<std::string> channelNames;  // one per channel, empty when unnamed
    std::vector<std::uint8_t> states;       // relay 0/1, dimmer level, blind position, input pressed
    std::array<std::uint8_t, 4> subAddresses{0xFF, 0xFF, 0xFF, 0xFF};
    int temperatureSixteenths = 20 * 16;    // sensors and glass panels
    std::array<std::uint32_t, 4> counters{};  // the input module's meters
    std::array<std::uint8_t, kMemorySize> memory{};

    bool is(std::uint8_t code) const { return type->code == code; }
};

struct House {
    std::vector<Module> modules;
    Module* at(std::uint8_t address);
};

// Reads a house file; false, with `error` naming the line ("line 7: ..."), when it will not do.
bool parseHouse(std::istream& in, House& house, std::string& error);
// Lays out each module's memory: 0xFF, with the module name and each channel's name at their
// type's addresses. Its names are read from there, and memory writes change them.
void layOutMemory(Module& module);
// A channel's name as its memory holds it: 16 bytes, 0xFF past its end.
std::array<std::uint8_t, 16> channelNameBytes(const Module& module, int busChannel);

}  // namespace tessel::sim
