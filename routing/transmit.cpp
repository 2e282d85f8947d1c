#include "routing/transmit.h"

namespace tessel {

DeviceWrite SerialBusDevice::write(std::span<const std::uint8_t> bytes) {
    DeviceWrite result;
    // No device (a lost interface not yet back): the frame goes nowhere at its pace, as it did
    // while the interface was there, so that the queue does not grow without a bus.
    if (serialDescriptor(ports_, 0) < 0) {
        result.taken = static_cast<std::int64_t>(bytes.size());
        return result;
    }
    result.taken = writeSerialPort(ports_, 0, bytes.data(), static_cast<std::int64_t>(bytes.size()), &result.failed);
    return result;
}

BusStep sendToBus(FrameQueue& toBus, BusDevice& device, BusPacing& pacing, std::int64_t nowMillis, Clock& clock) {
    BusStep step;
    if (toBus.empty()) {
        pacing.waitingWritable = false;
        pacing.headWritten = 0;
        pacing.lastBusSendMillis = nowMillis;
        return step;
    }
    const ReceivedFrame& head = toBus.front();
    if (head.wellFormed == 0) {
        step.taken = head.sender;
        toBus.pop_front();
        pacing.lastBusSendMillis = nowMillis;
        return step;
    }
    const auto rest = std::span<const std::uint8_t>(head.bytes.data(), static_cast<std::size_t>(head.length))
                          .subspan(static_cast<std::size_t>(pacing.headWritten));
    const DeviceWrite wrote = device.write(rest);
    if (wrote.failed) {
        step.deviceLost = true;
        return step;
    }
    step.bytesWritten = wrote.taken;
    if (wrote.taken > 0) pacing.lastBusSendMillis = clock.elapsedMillis();
    if (wrote.taken < static_cast<std::int64_t>(rest.size())) {
        pacing.headWritten += wrote.taken;
        pacing.waitingWritable = true;
        return step;
    }
    pacing.headWritten = 0;
    pacing.waitingWritable = false;
    step.frameWritten = true;
    step.taken = head.sender;
    toBus.pop_front();
    return step;
}

void restartHead(BusPacing& pacing) {
    pacing.headWritten = 0;
    pacing.waitingWritable = false;
}

void sendToClients(FrameQueue& toClients, NetworkState& net, Clock& clock, ClientSpacing* spacing) {
    if (toClients.empty()) return;
    for (const ReceivedFrame& record : toClients) {
        if (spacing != nullptr) {
            // The counter is in whole milliseconds: one more, so the gap is never shorter.
            const std::int64_t since = clock.elapsedMillis() - spacing->lastSendMillis;
            if (since <= kClientFramePauseMillis) clock.sleepMillis(kClientFramePauseMillis + 1 - since);
        }
        sendToAllClients(net, record.bytes.data(), record.length);
        if (spacing != nullptr) {
            spacing->lastSendMillis = clock.elapsedMillis();
        } else {
            clock.sleepMillis(kClientFramePauseMillis);
        }
    }
    toClients.clear();
}

HoldChange noteInterfaceSignal(BusPacing& p, InterfaceSignal signal, std::int64_t now) {
    const bool wasHeld = p.held();
    switch (signal) {
        case InterfaceSignal::BufferFull: p.bufferFull = true; break;
        case InterfaceSignal::ReceiveReady: p.bufferFull = false; break;
        case InterfaceSignal::BusOff: p.busOff = true; break;
        case InterfaceSignal::BusActive: p.busOff = false; break;
        case InterfaceSignal::None: break;
    }
    if (!wasHeld && p.held()) {
        p.heldSinceMillis = now;
        p.heldLong = false;
        return HoldChange::Held;
    }
    if (wasHeld && !p.held()) {
        const bool said = p.heldLong;
        p.heldLong = false;
        return said ? HoldChange::Resumed : HoldChange::None;
    }
    return HoldChange::None;
}

HoldChange advanceHold(BusPacing& p, std::int64_t now) {
    if (!p.held()) return HoldChange::None;
    if (now - p.heldSinceMillis >= kBusHoldMillis) {
        clearHold(p);
        return HoldChange::TimedOut;
    }
    if (!p.heldLong && now - p.heldSinceMillis > kLongHoldMillis) {
        p.heldLong = true;
        return HoldChange::HeldLong;
    }
    return HoldChange::None;
}

Deadline nextHoldDeadline(const BusPacing& p) {
    if (!p.held()) return std::nullopt;
    return p.heldLong ? p.heldSinceMillis + kBusHoldMillis : p.heldSinceMillis + kLongHoldMillis + 1;
}

void clearHold(BusPacing& p) {
    p.heldLong = p.bufferFull = p.busOff = false;
}

}  // namespace tessel
