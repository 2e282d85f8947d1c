#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace tessel {

std::int64_t SystemClock::elapsedMillis() {
    static const std::int64_t firstSeconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::int64_t>(ts.tv_sec);
    }();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (static_cast<std::int64_t>(ts.tv_sec) - firstSeconds) * 1000 + ts.tv_nsec / 1000000;
}

DateValue SystemClock::currentDate() { return tessel::currentDate(); }

void SystemClock::sleepMillis(std::int64_t ms) {
    if (ms <= 0) return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace tessel
