#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/date.h"

namespace tessel {
namespace {

constexpr DateValue kDay = 86400;

// 2013-03-05 07:08:09 as local fields read as if UTC.
constexpr DateValue k2013 = 1362467289;

struct MaskCase {
    const char* mask;
    DateValue date;
    const char* expected;
};

class DateMasks : public ::testing::TestWithParam<MaskCase> {};

TEST_P(DateMasks, FormatsExactly) {
    EXPECT_EQ(formatDate(GetParam().mask, GetParam().date), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DateMasks,
    ::testing::Values(
        MaskCase{"%hh:%ii:%ss", 3661, "01:01:01"},
        MaskCase{"%hh:%ii:%ss", kDay - 1, "23:59:59"},
        MaskCase{"%hh:%ii:%ss", kDay, "00:00:00"},
        MaskCase{"%yyyy-%mm-%dd_%hh-%ii", k2013, "2013-03-05_07-08"},
        MaskCase{"%yyyy-%mm-%dd %hh:%ii:%ss", 0, "1970-01-01 00:00:00"},
        MaskCase{"%yy/%YYYY", k2013, "13/2013"},
        MaskCase{"%HH:%Ii:%sS", k2013, "07:08:09"},
        MaskCase{"%Yy%MM%DD", k2013, "130305"},
        MaskCase{"100%", 0, "100%"},
        MaskCase{"%x", 0, "%x"},
        MaskCase{"a%", 0, "a%"},
        MaskCase{"%%hh", 3600, "%01"},
        MaskCase{"%y", 0, "%y"},
        MaskCase{"", 0, ""},
        // 64-bit seconds, with no time_t in the way (32 bits on armhf): right after 2038 and
        // after 2106, and on a leap day of a year divisible by 400.
        MaskCase{"%yyyy-%mm-%dd %hh:%ii:%ss", 2222164800, "2040-06-01 12:00:00"},
        MaskCase{"%yyyy-%mm-%dd %hh:%ii:%ss", 4294967296, "2106-02-07 06:28:16"},
        MaskCase{"%yyyy-%mm-%dd %hh:%ii:%ss", 13574649599, "2400-02-29 23:59:59"}));

TEST(CivilCalendar, EveryDayOfFourCenturiesBothWays) {
    // Day by day from 1900 to 2300, at a different time of day each day: each reads back to the
    // same seconds, follows the day before, and the leap days are those of the Gregorian rules.
    const std::int64_t first = secondsFromCivil(1900, 1, 1, 0, 0, 0);
    EXPECT_EQ(first, -2208988800);
    CivilTime before{1899, 12, 31, 0, 0, 0};
    std::vector<std::int64_t> leapYears;
    for (std::int64_t day = 0; first + day * kDay < secondsFromCivil(2300, 1, 1, 0, 0, 0); ++day) {
        const std::int64_t seconds = first + day * kDay + day * 3661 % kDay;
        const CivilTime t = civilFromSeconds(seconds);
        ASSERT_EQ(secondsFromCivil(t.year, t.month, t.day, t.hour, t.minute, t.second), seconds);
        const bool next = t.day == before.day + 1 && t.month == before.month && t.year == before.year;
        const bool newMonth = t.day == 1 && (t.month == before.month + 1 || (t.month == 1 && t.year == before.year + 1));
        ASSERT_TRUE(next || newMonth) << t.year << "-" << t.month << "-" << t.day;
        if (t.month == 2 && t.day == 29) leapYears.push_back(t.year);
        before = t;
    }
    EXPECT_EQ(leapYears.size(), 97u);  // 100 multiples of 4, less 1900, 2100 and 2200
    EXPECT_EQ(std::count(leapYears.begin(), leapYears.end(), 2000), 1);
    EXPECT_EQ(std::count(leapYears.begin(), leapYears.end(), 2100), 0);
}

TEST(CurrentDate, ReadsLocalFieldsAsUtc) {
    const std::time_t t = 1700000000;
    std::tm local{};
    localtime_r(&t, &local);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(formatDate("%yyyy-%mm-%dd %hh:%ii:%ss", dateFromTime(t)), expected);
    EXPECT_EQ(dateFromTime(t + 60) - dateFromTime(t), 60);
}

}  // namespace
}  // namespace tessel
