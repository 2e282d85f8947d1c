// The two transmit steps: client frames to the bus one per step, bus frames to every client.
#pragma once
#include <cstdint>
#include <optional>

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
// Above this many of its runs waiting for the bus (50 s of bus at the usual pace), a client is
// not read until the bus catches up; the others are read as before, so one client's flood (or
// the front end's own frames, which never count) shuts no one else out.
constexpr std::size_t kSenderBacklogLimit = 1000;

// How long writes stay held when the interface never says it is ready again (a lost status
// frame, an interface that does not say it): the bridge must not stall for ever.
constexpr std::int64_t kBusHoldMillis = 5000;
// A hold is worth a line of its own once it lasts longer than this.
constexpr std::int64_t kLongHoldMillis = 1000;

struct BusPacing {
    std::int64_t busSendDelay = kDelayedBusSendMillis;
    std::int64_t lastBusSendMillis = 0;
    // Set while the interface says its buffer is full or it is off the bus: nothing is written
    // until it says ready or active, or kBusHoldMillis pass. The waiting frames stay queued.
    bool bufferFull = false;    // said full, and not yet ready
    bool busOff = false;        // said it left the bus, and not yet that it is back
    std::int64_t heldSinceMillis = 0;
    bool heldLong = false;  // the hold has lasted longer than kLongHoldMillis

    bool held() const { return bufferFull || busOff; }
};

// Strictly more than the delay must have passed since the last step, and writes not be held.
inline bool busStepDue(const BusPacing& pacing, std::int64_t nowMillis) {
    return !pacing.held() && nowMillis - pacing.lastBusSendMillis > pacing.busSendDelay;
}

// What a hold did in a step of time.
enum class HoldChange { None, Held, HeldLong, Resumed, TimedOut };

// The interface's word on the hold: full or off holds; ready ends the full buffer and active
// the bus off, and writes resume once neither holds (Resumed only when the hold had lasted
// long enough to be said).
HoldChange noteInterfaceSignal(BusPacing& pacing, InterfaceSignal signal, std::int64_t nowMillis);
// Time on the hold: HeldLong once past a second, TimedOut (and released) after kBusHoldMillis.
HoldChange advanceHold(BusPacing& pacing, std::int64_t nowMillis);
// The next moment advanceHold has something to do, when held.
std::optional<std::int64_t> nextHoldDeadline(const BusPacing& pacing);
// A new device starts as ready: the hold of the lost one goes with it.
void clearHold(BusPacing& pacing);

// Writes the head of `toBus` to serial port 0 when it is a recognised frame, removes it, and
// moves the step time even when nothing was queued.
void sendToBus(FrameQueue& toBus, const SerialPortTable& ports, std::int64_t& busTxByteCount,
               BusPacing& pacing, Clock& clock);

// The same pause kept between frames only: the next frame waits out what is left of it, and the
// pass does not stand still after the last one. For a front end that chooses it.
struct ClientSpacing {
    std::int64_t lastSendMillis = -kClientFramePauseMillis - 1;
};

// Sends every queued bus frame to every connected client, frame by frame, with a short pause
// after each (with `spacing`: before each that would come too soon after the last), and
// empties the queue. The connected clients are the open connections: a client's record ends
// in the very pass its connection is reported gone.
void sendToClients(FrameQueue& toClients, NetworkState& net, Clock& clock, ClientSpacing* spacing = nullptr);

}  // namespace tessel
