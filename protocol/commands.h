// The Velbus command bytes (a frame's first data byte) that the bridge itself reads or sends,
// named once: the module table, the scan, the clock and the simulated house use these names.
#pragma once
#include <cstdint>

namespace tessel {

// Asking a module, and its answers.
constexpr std::uint8_t kModuleTypeReply = 0xFF;     // answers a type request (RTR, no data)
constexpr std::uint8_t kSubAddressReply = 0xB0;     // a module's sub-addresses, after its type
constexpr std::uint8_t kChannelNameRequest = 0xEF;  // EF ch: a channel's name (FF: every channel)
constexpr std::uint8_t kChannelNamePart1 = 0xF0;    // F0 ch c1..c6
constexpr std::uint8_t kChannelNamePart2 = 0xF1;    // F1 ch c7..c12
constexpr std::uint8_t kChannelNamePart3 = 0xF2;    // F2 ch c13..c16
constexpr std::uint8_t kEveryChannel = 0xFF;
constexpr std::uint8_t kMemoryByteRequest = 0xFD;   // FD hi lo
constexpr std::uint8_t kMemoryByte = 0xFE;          // FE hi lo byte
constexpr std::uint8_t kMemoryBlockRequest = 0xC9;  // C9 hi lo
constexpr std::uint8_t kMemoryBlock = 0xCC;         // CC hi lo b0 b1 b2 b3
constexpr std::uint8_t kWriteMemoryByte = 0xFC;     // FC hi lo byte
constexpr std::uint8_t kWriteMemoryBlock = 0xCA;    // CA hi lo b0 b1 b2 b3
constexpr std::uint8_t kModuleStatusRequest = 0xFA;
constexpr std::uint8_t kPowerUp = 0xAB;             // AB addr, from address 0

// Setting the modules' clock, broadcast from address 0.
constexpr std::uint8_t kSetClock = 0xD8;            // D8 wday hour minute
constexpr std::uint8_t kSetDate = 0xB7;             // B7 day month year_hi year_lo
constexpr std::uint8_t kSetDaylightSaving = 0xAF;   // AF ds

}  // namespace tessel
