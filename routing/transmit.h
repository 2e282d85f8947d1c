// The two transmit steps: client frames to the bus one per step, bus frames to every client.
#pragma once
#include <cstdint>
#include <optional>
#include <span>

#include "net/client_table.h"
#include "net/tcp_server.h"
#include "platform/clock.h"
#include "platform/deadline.h"
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
    // The device did not take the head of the queue whole: the bytes of it already written, and
    // whether the rest waits for the device to be writable again (the wait watches for that).
    // A frame is never torn on the bus: its rest goes before anything else.
    std::int64_t headWritten = 0;
    bool waitingWritable = false;

    bool held() const { return bufferFull || busOff; }
};

// Strictly more than the delay must have passed since the last step, and writes not be held;
// a frame whose rest waits for the device needs no step.
inline bool busStepDue(const BusPacing& pacing, std::int64_t nowMillis) {
    return !pacing.waitingWritable && !pacing.held() && nowMillis - pacing.lastBusSendMillis > pacing.busSendDelay;
}

// Whether the wait should watch the device for room: a frame's rest is waiting. A frame not
// begun waits through a hold like any other.
inline bool busWaitsForRoom(const BusPacing& pacing) {
    return pacing.waitingWritable && (pacing.headWritten > 0 || !pacing.held());
}

// What a write to the device did: the bytes it took (none when it says "try again"), or that
// it failed for good, which is handled as the device lost.
struct DeviceWrite {
    std::int64_t taken = 0;
    bool failed = false;
};

// Where bus frames are written: serial port 0 in the programs, a fake in tests.
class BusDevice {
public:
    virtual ~BusDevice() = default;
    virtual DeviceWrite write(std::span<const std::uint8_t> bytes) = 0;
};

class SerialBusDevice final : public BusDevice {
public:
    explicit SerialBusDevice(const SerialPortTable& ports) : ports_(ports) {}
    DeviceWrite write(std::span<const std::uint8_t> bytes) override;

private:
    const SerialPortTable& ports_;
};

// What one bus step did.
struct BusStep {
    std::int64_t bytesWritten = 0;
    bool frameWritten = false;       // a frame's last byte went to the device
    std::optional<SenderId> taken;   // a record left the queue: the sender whose it was
    bool deviceLost = false;         // the write failed for good; the record stays at the head
};

// What a hold did in a step of time.
enum class HoldChange { None, Held, HeldLong, Resumed, TimedOut };

// The interface's word on the hold: full or off holds; ready ends the full buffer and active
// the bus off, and writes resume once neither holds (Resumed only when the hold had lasted
// long enough to be said).
HoldChange noteInterfaceSignal(BusPacing& pacing, InterfaceSignal signal, std::int64_t nowMillis);
// Time on the hold: HeldLong once past a second, TimedOut (and released) after kBusHoldMillis.
HoldChange advanceHold(BusPacing& pacing, std::int64_t nowMillis);
// The next moment advanceHold has something to do, when held.
Deadline nextHoldDeadline(const BusPacing& pacing);
// A new device starts as ready: the hold of the lost one goes with it.
void clearHold(BusPacing& pacing);

// Writes the head of `toBus` to the device when it is a recognised frame and removes it once
// written whole, or goes on with the rest of a head the device took only part of. A write stamps
// the step with the time it was made (read from `clock`, since the pace runs from each write);
// a step without one (nothing queued, a run that is no frame) with `nowMillis`. Call it when a
// step is due or the rest waits (busStepDue, busWaitsForRoom).
BusStep sendToBus(FrameQueue& toBus, BusDevice& device, BusPacing& pacing, std::int64_t nowMillis, Clock& clock);
// A new device starts every frame afresh: a head part-written to the lost one goes whole.
void restartHead(BusPacing& pacing);

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
