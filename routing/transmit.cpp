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

void sendToClients(FrameQueue& toClients, NetworkState& net, Clock& clock) {
    if (toClients.empty()) return;
    for (const ReceivedFrame& record : toClients) {
        sendToAllClients(net, record.bytes.data(), record.length);
        clock.sleepMillis(kClientFramePauseMillis);
    }
    toClients.clear();
}

}  // namespace tessel
