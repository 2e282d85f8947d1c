// The Velbus wire frame: 0F prio addr len data[len&0x0F] checksum 04. Pure functions; nothing
// here reads outside the run it is given.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessel {

using ByteRun = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kStartByte = 0x0F;
constexpr std::uint8_t kEndByte = 0x04;

// Total frame length from the length byte: (len & 0x0F) + 6, so 6 to 21.
int frameTotalLength(std::uint8_t lengthByte);

// Two's complement of the sum of bytes 0..lastIndex. A negative lastIndex is an empty sum (0x00);
// indices past the run's end add nothing.
std::uint8_t frameChecksum(ByteRun run, std::int64_t lastIndex);

// A whole frame to `address` with these data bytes (at most 15), its checksum and end byte;
// `rtr` for a request that carries no data.
Bytes makeFrame(std::uint8_t priority, std::uint8_t address, ByteRun data, bool rtr = false);

// Two uppercase hex digits per byte of the first `count` bytes, no separator.
std::string frameHexText(ByteRun run, std::size_t count);
inline std::string frameHexText(ByteRun run) { return frameHexText(run, run.size()); }

// "$" and two uppercase hex digits.
std::string addressText(std::uint8_t address);

// The length in decimal.
std::string lengthText(std::int64_t length);

// The computed checksum of a stored run and the one it carries (at offset length - 2).
// A run shorter than 2 bytes carries none.
struct ChecksumPair {
    std::uint8_t computed = 0;
    std::optional<std::uint8_t> carried;
    // A run that carries no checksum never agrees.
    bool agrees() const { return carried && *carried == computed; }
};
ChecksumPair checksumPair(ByteRun run);

// A recognised frame whose checksums agree: what a client may put on the bus, and what its
// error count and the monitor's colours do not count against it.
inline bool soundFrame(bool wellFormed, ByteRun run) { return wellFormed && checksumPair(run).agrees(); }

// "ED/ED": computed, "/", carried. A run shorter than 2 bytes shows "--" for the missing half.
std::string checksumPairText(ByteRun run);

// The recognition test at a position holding 0x0F, shared by both receive sides.
struct Recognition {
    enum class Kind {
        Frame,      // a frame of `length` bytes starts here
        NotFrame,   // the byte at the end position is not 0x04
        Undecided,  // the end position lies beyond the bytes given: more bytes will decide
    };
    Kind kind;
    std::size_t length = 0;
};
Recognition recognizeFrame(ByteRun bytes, std::size_t start);

// What the bus interface says of itself, in a frame from address 0x00 with one data byte and a
// good checksum (either priority): it left the bus (0x09), is back on it (0x0A), cannot take more
// frames for the bus (0x0B), can again (0x0C). Any other frame: None.
enum class InterfaceSignal { None, BusOff, BusActive, BufferFull, ReceiveReady };
InterfaceSignal interfaceSignal(ByteRun frame);

}  // namespace tessel
