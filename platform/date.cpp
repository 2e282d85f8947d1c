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
    std::time_t t = static_cast<std::time_t>(date);
    std::tm f{};
    gmtime_r(&t, &f);
    const long long year = static_cast<long long>(f.tm_year) + 1900;

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
            appendTwoDigits(out, f.tm_mon + 1);
            i = next + 2;
        } else if (tokenAt(mask, next, "dd")) {
            appendTwoDigits(out, f.tm_mday);
            i = next + 2;
        } else if (tokenAt(mask, next, "hh")) {
            appendTwoDigits(out, f.tm_hour);
            i = next + 2;
        } else if (tokenAt(mask, next, "ii")) {
            appendTwoDigits(out, f.tm_min);
            i = next + 2;
        } else if (tokenAt(mask, next, "ss")) {
            appendTwoDigits(out, f.tm_sec);
            i = next + 2;
        } else {
            out += '%';
            i = next;
        }
    }
    return out;
}

}  // namespace tessel
