// Frames out of the bytes the serial port delivers, queued for the TCP clients.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "protocol/extractor.h"
#include "protocol/received_frame.h"
#include "serial/serial_port.h"

namespace tessel {

// A kept start byte is given up when no byte came for this long (a frame takes at most 22 ms).
constexpr std::int64_t kBusKeptRunMillis = 100;

struct BusReceiver {
    std::array<std::uint8_t, 4096> buffer{};
    FrameExtractor extractor{FrameExtractor::Side::Bus};
    std::vector<ExtractedRun> found;
};

// The bus-side record text: address, blank, decoded text, " from VELBUS".
std::string busFrameText(ByteRun frame);

// Reads what serial port 0 holds and appends one record per frame found to `toClients`.
// Adds the bytes read to `busRxByteCount`. Returns the number of records appended.
// With `inputMayBeWaiting` false (the caller's poll saw nothing) the port is not asked, unless a
// kept start byte is due to be given up: it is given up only when a read finds nothing more
// for it, so a loop held up (a message box, a pause) loses no frame whose rest is waiting.
// `gone` is set when the device ended (see readSerialPort).
std::int64_t busReceive(BusReceiver& receiver, const SerialPortTable& ports, FrameQueue& toClients,
                        std::int64_t& busRxByteCount, std::int64_t nowMillis,
                        bool inputMayBeWaiting = true, bool* gone = nullptr);

// Decides the kept bytes as if the bus had ended there (the device went away): a frame complete
// among them is still queued. Returns the number of records appended.
std::int64_t finishBusReceive(BusReceiver& receiver, FrameQueue& toClients);

}  // namespace tessel
