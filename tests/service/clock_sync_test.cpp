// The modules' clock set from the host's time, with a time source moved by hand: the frames, and
// when they are due (start, a device back, each full hour, summer time beginning and ending).
#include <gtest/gtest.h>

#include "service/clock_sync.h"
#include "support/fakes.h"

namespace tessel {
namespace {

using test::hexBytes;

LocalTime at(int hour, int minute, int day = 9, long offset = 3600, bool summer = false) {
    LocalTime t;
    t.weekday = 2;  // Wednesday
    t.hour = hour;
    t.minute = minute;
    t.day = day;
    t.month = 12;
    t.year = 2026;
    t.summer = summer;
    t.offsetSeconds = offset;
    return t;
}

TEST(ClockSync, TheThreeBroadcastFramesInOrder) {
    const auto frames = clockFrames(at(11, 5));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], hexBytes("0F FB 00 04 D8 02 0B 05 08 04"));
    EXPECT_EQ(frames[1], hexBytes("0F FB 00 05 B7 09 0C 07 EA 34 04"));
    EXPECT_EQ(frames[2], hexBytes("0F FB 00 02 AF 01 44 04"));  // winter: 1
    EXPECT_EQ(clockFrames(at(11, 5, 9, 7200, true))[2], hexBytes("0F FB 00 02 AF 00 45 04"));
    for (const Bytes& f : frames) EXPECT_TRUE(checksumPair(f).agrees());
}

TEST(ClockSync, DueAtStartEachFullHourWhenSummerTimeChangesAndWhenTheDeviceIsBack) {
    ClockSync sync;
    const struct {
        LocalTime now;
        bool deviceNew;
        bool due;
        const char* why;
    } steps[] = {
        {at(10, 58), true, true, "the device opened"},
        {at(10, 59), false, false, "the same hour"},
        {at(11, 0), false, true, "a full hour"},
        {at(11, 1), false, false, "a minute later"},
        {at(11, 2), true, true, "the device back"},
        {at(11, 3), false, false, "nothing new"},
        {at(23, 59), false, true, "a later hour, even if looks were missed"},
        {at(0, 0, 10), false, true, "a new day"},
        {at(3, 0, 10, 7200, true), false, true, "summer time began"},
        {at(3, 1, 10, 7200, true), false, false, "nothing new"},
        {at(2, 5, 10, 3600, false), false, true, "summer time ended: the same hour twice"},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(!sync.due(step.now, step.deviceNew).empty(), step.due) << step.why;
    }
}

TEST(ClockSync, LocalTimeCountsTheWeekFromMonday) {
    // 2026-12-07 was a Monday; at noon UTC it is that day in every zone from -11 to +11.
    const LocalTime monday = localTimeAt(1796644800);
    EXPECT_EQ(monday.weekday, 0);
    EXPECT_EQ(monday.day, 7);
    EXPECT_EQ(monday.month, 12);
    EXPECT_EQ(monday.year, 2026);
}

}  // namespace
}  // namespace tessel
