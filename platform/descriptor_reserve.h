// A descriptor held in reserve for a listener when the process runs out of them: without it a
// pending connection can be neither taken nor refused, it keeps the listener readable, and the
// loop spins on it. With it, the connection is taken and closed at once, so its client learns it
// was refused. Each run out is one shortage, so that it is told once, not once per refusal.
#pragma once
#include <cstdint>

#include "platform/unique_fd.h"

namespace tessel {

class DescriptorReserve {
public:
    DescriptorReserve();
    // After an accept on `listener` failed for want of descriptors: takes the pending
    // connection and closes it. Counts the refusal and, when it begins one, a shortage. False
    // when none was pending (an accept fails for want of descriptors before it looks).
    bool refuse(int listener);
    // An accept succeeded: the shortage, if any, is over.
    void ended() { short_ = false; }
    bool inShortage() const { return short_; }
    std::int64_t shortages() const { return shortages_; }
    std::int64_t refusals() const { return refusals_; }

private:
    UniqueFd spare_;
    bool short_ = false;
    std::int64_t shortages_ = 0;
    std::int64_t refusals_ = 0;
};

// True for an accept's errno that means no descriptor was left.
bool outOfDescriptors(int error);

}  // namespace tessel
