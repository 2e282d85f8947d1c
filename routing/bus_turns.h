// Fair turns at the bus: the frame written next is the oldest of the client whose turn it is,
// and the turn goes round the clients that have frames waiting. Each client's frames keep
// their own order; a front end's own frames (named, not numbered) take turns as one more
// client. A front end that wants the single first-come queue does not call this.
#pragma once
#include <cstdint>

#include "protocol/received_frame.h"

namespace tessel {

struct BusTurns {
    // The sender served last; the next turn is the first sender after it in id order.
    std::int64_t lastServed = -1;
};

// The sender of a queued run: its client id, or 0 for the front end's own frames.
std::int64_t runSender(const ReceivedFrame& record);

// Moves the oldest run of the sender whose turn it is to the head of `toBus`, and takes that
// turn. The queue holds at most about a thousand runs (the high-water mark stops reading
// clients past it), so one look along it costs little beside the 50 ms between two writes.
void bringTurnForward(FrameQueue& toBus, BusTurns& turns);

}  // namespace tessel
