#include "service/clock_sync.h"

#include "protocol/commands.h"

namespace tessel {

namespace {

// To every module (address 0), at low priority.
Bytes broadcast(const Bytes& data) { return makeFrame(0xFB, 0x00, data); }

}  // namespace

LocalTime localTimeAt(std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    LocalTime l;
    l.weekday = (tm.tm_wday + 6) % 7;  // the C library counts from Sunday
    l.hour = tm.tm_hour;
    l.minute = tm.tm_min;
    l.day = tm.tm_mday;
    l.month = tm.tm_mon + 1;
    l.year = tm.tm_year + 1900;
    l.summer = tm.tm_isdst > 0;
    l.offsetSeconds = tm.tm_gmtoff;
    return l;
}

std::vector<Bytes> clockFrames(const LocalTime& t) {
    const auto byte = [](int v) { return static_cast<std::uint8_t>(v); };
    return {broadcast({kSetClock, byte(t.weekday), byte(t.hour), byte(t.minute)}),
            broadcast({kSetDate, byte(t.day), byte(t.month), byte(t.year >> 8), byte(t.year)}),
            broadcast({kSetDaylightSaving, byte(t.summer ? 0 : 1)})};
}

std::vector<Bytes> ClockSync::due(const LocalTime& now, bool deviceNew) {
    const std::int64_t hourKey = ((now.year * std::int64_t{100} + now.month) * 100 + now.day) * 100 + now.hour;
    const bool due = deviceNew || !started_ || hourKey != hourKey_ || now.offsetSeconds != offset_;
    started_ = true;
    hourKey_ = hourKey;
    offset_ = now.offsetSeconds;
    return due ? clockFrames(now) : std::vector<Bytes>{};
}

}  // namespace tessel
