// Dates as counts of seconds of local wall-clock time (the local fields read as if UTC), and the
// %-token masks that render them.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace tessel {

// Seconds since 1970-01-01 00:00:00 of the local wall clock; -1 means no valid date.
// 64 bits wide, so dates after 2038-01-18 stay right.
using DateValue = std::int64_t;

DateValue currentDate();
// The DateValue of a given moment of the system clock (what currentDate reads).
DateValue dateFromTime(std::time_t t);

// A moment of UTC (or of a DateValue's wall clock) by the proleptic Gregorian calendar, worked
// out without time_t, which is 32 bits on some machines.
struct CivilTime {
    std::int64_t year;
    int month, day, hour, minute, second;
};
CivilTime civilFromSeconds(std::int64_t seconds);
std::int64_t secondsFromCivil(std::int64_t year, int month, int day, int hour, int minute, int second);

// Tokens (any case): %yyyy, %yy, %mm, %dd, %hh, %ii, %ss. Any other "%" is copied as it is.
std::string formatDate(std::string_view mask, DateValue date);

}  // namespace tessel
