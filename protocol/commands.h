// The Velbus command bytes (a frame's first data byte) that the bridge itself reads or sends,
// named once: the module table, the scan, the clock and the simulated house use these names.
#pragma once
#include <cstdint>

namespace tessel {

// A frame's priority byte, and the request bit of its length byte.
constexpr std::uint8_t kHighPriority = 0xF8;
constexpr std::uint8_t kLowPriority = 0xFB;
constexpr std::uint8_t kRtrBit = 0x40;

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
constexpr std::uint8_t kBusErrorCountRequest = 0xD9;
constexpr std::uint8_t kBusErrorCount = 0xDA;       // DA tx_errors rx_errors bus_off_count
constexpr std::uint8_t kTemperatureRequest = 0xE5;  // E5 00
constexpr std::uint8_t kTemperature = 0xE6;         // E6 t_hi t_lo min_hi min_lo max_hi max_lo
constexpr std::uint8_t kCounterStatusRequest = 0xBD;  // BD mask 00
constexpr std::uint8_t kCounterStatus = 0xBE;
constexpr std::uint8_t kButtonStatus = 0x00;        // 00 pressed released long, high priority
constexpr std::uint8_t kModuleStatus = 0xED;      // a push-button panel's
constexpr std::uint8_t kThermostatStatus = 0xEA;
constexpr std::uint8_t kBlindStatus = 0xEC;

// The interface's word on itself, from address 0 with this one data byte: it left the bus, is
// back on it, cannot take more frames for the bus, can again.
enum InterfaceWord : std::uint8_t { kBusOff = 0x09, kBusActive = 0x0A, kBufferFull = 0x0B, kBufferReady = 0x0C };

// What hosts tell modules to do.
constexpr std::uint8_t kSwitchRelayOff = 0x01;      // 01 ch, ch a bit mask
constexpr std::uint8_t kSwitchRelayOn = 0x02;
constexpr std::uint8_t kSetDimmer = 0x07;           // 07 ch percent time_hi time_lo
constexpr std::uint8_t kRelayStatus = 0xFB;         // FB ch mode relay led T2 T1 T0
constexpr std::uint8_t kDimmerStatus = 0xB8;

// Setting the modules' clock, broadcast from address 0.
constexpr std::uint8_t kSetClock = 0xD8;            // D8 wday hour minute
constexpr std::uint8_t kSetDate = 0xB7;             // B7 day month year_hi year_lo
constexpr std::uint8_t kSetDaylightSaving = 0xAF;   // AF ds

}  // namespace tessel
