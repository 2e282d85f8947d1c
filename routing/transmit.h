// The two transmit steps: client frames to the bus one per step, bus frames to every client.
#pragma once
#include <cstdint>

#include "net/client_table.h"
#include "net/tcp_server.h"
#include "platform/clock.h"
#include "protocol/received_frame.h"
#include "serial/serial_port.h"

namespace tessel {

constexpr std::int64_t kDelayedBusSendMillis = 50;
constexpr std::int64_t kFastBusSendMillis = 5;
// Some widely used clients parse one frame per read and rely on frames arriving apart.
constexpr std::int64_t kClientFramePauseMillis = 2;
// Above this many waiting runs no client data is taken until the bus catches up.
constexpr std::size_t kBusQueueHighWater = 1000;

struct BusPacing {
    std::int64_t busSendDelay = kDelayedBusSendMillis;
    std::int64_t lastBusSendMillis = 0;
};

// Strictly more than the delay must have passed since the last step.
inline bool busStepDue(const BusPacing& pacing, std::int64_t nowMillis) {
    return nowMillis - pacing.lastBusSendMillis > pacing.busSendDelay;
}

// Writes the head of `toBus` to serial port 0 when it is a recognised frame, removes it, and
// moves the step time even when nothing was queued.
void sendToBus(FrameQueue& toBus, const SerialPortTable& ports, std::int64_t& busTxByteCount,
               BusPacing& pacing, Clock& clock);

// Sends every queued bus frame to every connected client, frame by frame, with a short pause
// after each, and empties the queue. The connected clients are the open connections: a client's
// record ends in the very pass its connection is reported gone.
void sendToClients(FrameQueue& toClients, NetworkState& net, Clock& clock);

}  // namespace tessel
