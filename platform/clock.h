// Time as the bridge sees it: a millisecond counter for intervals, the local date for display,
// and a pause. Every timing rule goes through this interface so tests can move time instead of
// sleeping.
#pragma once
#include <cstdint>

#include "platform/date.h"

namespace tessel {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since the first call in this process.
    virtual std::int64_t elapsedMillis() = 0;
    virtual DateValue currentDate() = 0;
    virtual void sleepMillis(std::int64_t ms) = 0;
};

// The real clock. Intervals run on the monotonic clock: stepping the wall clock back (daylight
// saving, NTP) must not freeze the bus pacing, the statistics or the sweep.
class SystemClock final : public Clock {
public:
    std::int64_t elapsedMillis() override;
    DateValue currentDate() override;
    void sleepMillis(std::int64_t ms) override;
};

}  // namespace tessel
