// One received run waiting to be forwarded, and the queues that hold them. Queues are appended
// at the tail and consumed from the head; the monitor reads a pass's new records by position.
#pragma once
#include <cstdint>
#include <deque>
#include <string>

#include "protocol/frame.h"

namespace tessel {

struct ReceivedFrame {
    std::string text;  // bus side: address, decoded text, " from VELBUS"; client side: clientId
    std::int64_t length = 0;
    Bytes bytes;
    std::uint8_t wellFormed = 0;  // client side: 1 for a recognised frame
};

using FrameQueue = std::deque<ReceivedFrame>;

}  // namespace tessel
