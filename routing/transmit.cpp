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

void sendToClients(FrameQueue& toClients, const ClientTable& table, NetworkState& net,
                   Clock& clock) {
    if (toClients.empty()) return;
    for (const ReceivedFrame& record : toClients) {
        for (const ClientRecord& client : table) {
            if (client.active()) sendToClient(net, client.clientId, record.bytes.data(), record.length);
        }
        clock.sleepMillis(kClientFramePauseMillis);
    }
    toClients.clear();
}

}  // namespace tessel
