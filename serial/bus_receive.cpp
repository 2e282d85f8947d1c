#include "serial/bus_receive.h"

#include "protocol/decoder.h"

namespace tessel {

std::string busFrameText(ByteRun frame) {
    const auto length = static_cast<std::int64_t>(frame.size());
    return addressText(frame[2]) + " " + decodeMessage("VMB", frame, length) + " from VELBUS";
}

namespace {

std::int64_t queueFound(BusReceiver& receiver, FrameQueue& toClients) {
    for (auto& run : receiver.found) {
        ReceivedFrame record;
        record.text = busFrameText(run.bytes);
        record.length = static_cast<std::int64_t>(run.bytes.size());
        record.bytes = std::move(run.bytes);
        record.wellFormed = 0;
        toClients.push_back(std::move(record));
    }
    const auto count = static_cast<std::int64_t>(receiver.found.size());
    receiver.found.clear();
    return count;
}

}  // namespace

std::int64_t busReceive(BusReceiver& receiver, const SerialPortTable& ports, FrameQueue& toClients,
                        std::int64_t& busRxByteCount, std::int64_t nowMillis,
                        bool inputMayBeWaiting, bool* gone) {
    if (gone != nullptr) *gone = false;
    receiver.found.clear();
    const bool keptRunDue = receiver.extractor.expired(nowMillis, kBusKeptRunMillis);
    std::int64_t got = 0;
    if (inputMayBeWaiting || keptRunDue) {
        // One read of what is there, up to the buffer's size; the rest waits for the next call.
        // Counting the bytes read (rather than those reported waiting before the read) counts
        // each byte once, also when more than a buffer's worth was waiting.
        got = readSerialPort(ports, 0, receiver.buffer.data(),
                             static_cast<std::int64_t>(receiver.buffer.size()), gone);
        busRxByteCount += got;
        receiver.extractor.feed(ByteRun(receiver.buffer.data(), static_cast<std::size_t>(got)),
                                nowMillis, receiver.found);
    }
    // Read first, then give up: the rest of a kept frame may have waited while the loop was held.
    if (got == 0 && keptRunDue) receiver.extractor.finish(receiver.found);
    return queueFound(receiver, toClients);
}

std::int64_t finishBusReceive(BusReceiver& receiver, FrameQueue& toClients) {
    receiver.found.clear();
    receiver.extractor.finish(receiver.found);
    return queueFound(receiver, toClients);
}

}  // namespace tessel
