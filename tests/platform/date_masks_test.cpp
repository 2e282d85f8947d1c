#include <gtest/gtest.h>

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
        // 64-bit seconds: 2040-06-01 12:00:00 stays right after 2038.
        MaskCase{"%yyyy-%mm-%dd %hh:%ii:%ss", 2222164800, "2040-06-01 12:00:00"}));

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
