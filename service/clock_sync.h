// --sync-clock: the service sets the modules' clock, date and summer-time state from the host's
// local time, with the three broadcast frames modules with timers listen to, once the device is
// open (and each time it is back), at every full hour, and when summer time begins or ends.
#pragma once
#include <cstdint>
#include <ctime>
#include <vector>

#include "protocol/frame.h"

namespace tessel {

struct LocalTime {
    int weekday = 0;  // 0 Monday ... 6 Sunday, as the modules count
    int hour = 0;
    int minute = 0;
    int day = 1;
    int month = 1;
    int year = 2000;
    bool summer = false;       // daylight saving in effect
    long offsetSeconds = 0;    // from UTC
};

// The host's local time at `t`.
LocalTime localTimeAt(std::time_t t);

// In order: the time of day (D8), the date (B7), the summer-time state (AF; 0 while summer time
// is in effect, as the common home-automation client sends it, 1 otherwise).
std::vector<Bytes> clockFrames(const LocalTime& t);

class ClockSync {
public:
    // The frames due: when the device is new (`deviceNew`: at start, or back after it was
    // lost), at the first look in a new hour, and when the local offset changed. Else none.
    std::vector<Bytes> due(const LocalTime& now, bool deviceNew);

private:
    bool started_ = false;
    std::int64_t hourKey_ = -1;
    long offset_ = 0;
};

}  // namespace tessel
