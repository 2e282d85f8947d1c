// One received run waiting to be forwarded, and the queues that hold them. Queues are appended
// at the tail and consumed from the head; the monitor reads a pass's new records by position.
#pragma once
#include <cstdint>
#include <deque>
#include <string>

#include "protocol/frame.h"

namespace tessel {

// Who queued a run for the bus: a client by its id (they count from 1), or the front end itself.
using SenderId = std::int64_t;
constexpr SenderId kFrontEndSender = 0;

struct ReceivedFrame {
    // Bus side: address, decoded text, " from VELBUS"; client side: the client's id in decimal,
    // or the front end's name, for display only (the sender says who it was).
    std::string text;
    std::int64_t length = 0;
    Bytes bytes;
    std::uint8_t wellFormed = 0;  // client side: 1 for a recognised frame
    SenderId sender = kFrontEndSender;  // client side
};

using FrameQueue = std::deque<ReceivedFrame>;

}  // namespace tessel
