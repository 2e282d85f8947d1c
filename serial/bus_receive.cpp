#include "serial/bus_receive.h"

#include "protocol/decoder.h"

namespace tessel {

std::string busFrameText(ByteRun frame) {
    const auto length = static_cast<std::int64_t>(frame.size());
    return addressText(frame[2]) + " " + decodeMessage("VMB", frame, length) + " from VELBUS";
}

std::int64_t busReceive(BusReceiver& receiver, const SerialPortTable& ports, FrameQueue& toClients,
                        std::int64_t& busRxByteCount, std::int64_t nowMillis,
                        bool inputMayBeWaiting) {
    receiver.found.clear();
    if (receiver.extractor.expired(nowMillis, kBusKeptRunMillis)) {
        receiver.extractor.finish(receiver.found);
    }

    if (inputMayBeWaiting) {
        // One read of what is there, up to the buffer's size; the rest waits for the next call.
        // Counting the bytes read (rather than those reported waiting before the read) counts
        // each byte once, also when more than a buffer's worth was waiting.
        const std::int64_t got = readSerialPort(ports, 0, receiver.buffer.data(),
                                                static_cast<std::int64_t>(receiver.buffer.size()));
        busRxByteCount += got;
        receiver.extractor.feed(ByteRun(receiver.buffer.data(), static_cast<std::size_t>(got)),
                                nowMillis, receiver.found);
    }

    for (auto& run : receiver.found) {
        ReceivedFrame record;
        record.text = busFrameText(run.bytes);
        record.length = static_cast<std::int64_t>(run.bytes.size());
        record.bytes = std::move(run.bytes);
        record.wellFormed = 0;
        toClients.push_back(std::move(record));
    }
    return static_cast<std::int64_t>(receiver.found.size());
}

}  // namespace tessel
