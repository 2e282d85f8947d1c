#include "platform/date.h"

#include <cctype>
#include <cstdio>

namespace tessel {

DateValue dateFromTime(std::time_t t) {
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return -1;
    if (local.tm_year + 1900 < 1970) return -1;
    return static_cast<DateValue>(timegm(&local));
}

DateValue currentDate() { return dateFromTime(std::time(nullptr)); }

CivilTime civilFromSeconds(std::int64_t seconds) {
    std::int64_t days = seconds / 86400;
    std::int64_t inDay = seconds % 86400;
    if (inDay < 0) {
        inDay += 86400;
        --days;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const auto day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    const auto second = static_cast<int>(inDay);
    return {year, month, day, second / 3600, second / 60 % 60, second % 60};
}

std::int64_t secondsFromCivil(std::int64_t year, int month, int day, int hour, int minute, int second) {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t days = era * 146097 + doe - 719468;
    return ((days * 24 + hour) * 60 + minute) * 60 + second;
}

namespace {

bool tokenAt(std::string_view mask, std::size_t pos, std::string_view token) {
    if (mask.size() - pos < token.size()) return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(mask[pos + i])) != token[i]) return false;
    }
    return true;
}

void appendTwoDigits(std::string& out, long long v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02lld", v);
    out += buf;
}

}  // namespace

std::string formatDate(std::string_view mask, DateValue date) {
    const CivilTime f = civilFromSeconds(date);
    const long long year = f.year;

    std::string out;
    out.reserve(mask.size() + 8);
    std::size_t i = 0;
    while (i < mask.size()) {
        if (mask[i] != '%') {
            out += mask[i++];
            continue;
        }
        const std::size_t next = i + 1;
        if (tokenAt(mask, next, "yyyy")) {
            char buf[24];
            std::snprintf(buf, sizeof buf, "%04lld", year);
            out += buf;
            i = next + 4;
        } else if (tokenAt(mask, next, "yy")) {
            appendTwoDigits(out, ((year % 100) + 100) % 100);
            i = next + 2;
        } else if (tokenAt(mask, next, "mm")) {
            appendTwoDigits(out, f.month);
            i = next + 2;
        } else if (tokenAt(mask, next, "dd")) {
            appendTwoDigits(out, f.day);
            i = next + 2;
        } else if (tokenAt(mask, next, "hh")) {
            appendTwoDigits(out, f.hour);
            i = next + 2;
        } else if (tokenAt(mask, next, "ii")) {
            appendTwoDigits(out, f.minute);
            i = next + 2;
        } else if (tokenAt(mask, next, "ss")) {
            appendTwoDigits(out, f.second);
            i = next + 2;
        } else {
            out += '%';
            i = next;
        }
    }
    return out;
}

}  // namespace tessel
