// Every timer, of the core and of the front ends, is a deadline in one form: a moment on the
// monotonic clock (Clock::elapsedMillis), or none. A wait lasts until the nearest of them, so a
// new timer is one more deadline handed to `nearest`, never a sum worked out by hand.
#pragma once
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>

namespace tessel {

using Deadline = std::optional<std::int64_t>;

// Due at once, whatever the time: work is waiting that no descriptor shows.
constexpr std::int64_t kDueNow = std::numeric_limits<std::int64_t>::min();
// The longest wait with nothing due: a day.
constexpr std::int64_t kIdleWaitMillis = 86'400'000;

inline Deadline nearest(std::initializer_list<Deadline> deadlines) {
    Deadline best;
    for (const Deadline& d : deadlines) {
        if (d && (!best || *d < *best)) best = d;
    }
    return best;
}

// Milliseconds from `nowMillis` until `due`: 0 once it passed, a day at most.
inline int millisUntil(Deadline due, std::int64_t nowMillis) {
    if (!due) return static_cast<int>(kIdleWaitMillis);
    if (*due <= nowMillis) return 0;
    return static_cast<int>(std::min(*due - nowMillis, kIdleWaitMillis));
}

}  // namespace tessel
