#include "routing/transmit.h"

namespace tessel {

void sendToBus(FrameQueue& toBus, const SerialPortTable& ports, std::int64_t& busTxByteCount,
               BusPacing& pacing, Clock& clock) {
    if (!toBus.empty()) {
        const ReceivedFrame& head = toBus.front();
        if (head.wellFormed != 0) {
            writeSerialPort(ports, 0, head.bytes.data(), head.length);
            busTxByteCount += head.length;
        }
        toBus.pop_front();
    }
    pacing.lastBusSendMillis = clock.elapsedMillis();
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

std::optional<std::int64_t> nextHoldDeadline(const BusPacing& p) {
    if (!p.held()) return std::nullopt;
    return p.heldLong ? p.heldSinceMillis + kBusHoldMillis : p.heldSinceMillis + kLongHoldMillis + 1;
}

void clearHold(BusPacing& p) {
    p.heldLong = p.bufferFull = p.busOff = false;
}

}  // namespace tessel
