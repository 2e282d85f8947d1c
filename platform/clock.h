// Time as the bridge sees it: a millisecond counter for intervals, the local date for display,
// and a pause. Every timing rule goes through this interface so tests can move time instead of
// sleeping.
#pragma once
#include <cstdint>

#include "platform/date.h"

namespace tessel {

// One reading of both clocks, handed down through a pass instead of each step asking again.
struct Moment {
    std::int64_t millis = 0;  // monotonic, for intervals and deadlines
    DateValue date = 0;       // wall clock, for what is shown and kept
};

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since the first call in this process.
    virtual std::int64_t elapsedMillis() = 0;
    virtual DateValue currentDate() = 0;
    virtual void sleepMillis(std::int64_t ms) = 0;
    Moment now() { return {elapsedMillis(), currentDate()}; }
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
