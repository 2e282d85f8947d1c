// Turns one Velbus frame into a one-line description for the monitor. Texts are ISO-8859-15
// byte strings (the degree sign is the byte 0xB0).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/frame.h"

namespace tessel {

enum class ChannelStyle { Compact = 0, Bits = 1, Verbose = 2 };

// Channel i is bit i-1; count is 1 to 8.
std::string channelText(std::uint8_t value, int count, ChannelStyle style);
// One position per channel, highest first: its number when set, "-" when clear.
std::string channelMap(std::uint8_t value, int count);

// Data byte k sits at offset 3 + k and is read there whatever the length byte says. A position
// past the end of the run reads as 0x00, and a run too short to hold a command byte decodes to
// the empty text (only client runs that are not frames can be that short). With the source tag
// "IP" the address text and a blank come first.
std::string decodeMessage(std::string_view sourceTag, ByteRun frame, std::int64_t length);

}  // namespace tessel
