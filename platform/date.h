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

// Tokens (any case): %yyyy, %yy, %mm, %dd, %hh, %ii, %ss. Any other "%" is copied as it is.
std::string formatDate(std::string_view mask, DateValue date);

}  // namespace tessel
