#include <gtest/gtest.h>

#include "routing/statistics.h"
#include "support/fakes.h"

namespace tessel {
namespace {

using test::FakeClock;
using test::RecordingStatsView;

constexpr Rgb kLightGreen{221, 255, 221}, kDarkGreen{0, 119, 0};
constexpr Rgb kLightBlue{221, 221, 255}, kDarkBlue{0, 0, 119};

struct RateCase {
    std::int64_t rxBytes;
    std::int64_t intervalMillis;
    const char* rxText;
    std::int64_t height;
};

class Rates : public ::testing::TestWithParam<RateCase> {};

TEST_P(Rates, WholeSecondsIntegerRatesAndBarHeight) {
    const auto& c = GetParam();
    FakeClock clock;
    clock.millis = 10000 + c.intervalMillis;
    TrafficStats stats;
    stats.lastStatsMillis = 10000;
    stats.busRxByteCount = c.rxBytes;
    RecordingStatsView view;
    updateBandwidthGraphs(stats, view, clock.millis);
    EXPECT_EQ(view.rx, c.rxText);
    EXPECT_EQ(view.tx, "0.0");
    EXPECT_EQ(stats.bandwidthHistory.back().rxHeight, c.height);
    EXPECT_EQ(stats.bandwidthHistory.size(), 110u);
    EXPECT_EQ(stats.busRxByteCount, 0);
    EXPECT_EQ(stats.lastStatsMillis, clock.millis);
}

INSTANTIATE_TEST_SUITE_P(Table, Rates,
                         ::testing::Values(RateCase{120, 1001, "960.0", 16},
                                           RateCase{120, 1999, "960.0", 16},
                                           RateCase{120, 2500, "480.0", 8},
                                           RateCase{0, 1001, "0.0", 0},
                                           RateCase{180, 1001, "1440.0", 24},
                                           RateCase{1200, 1001, "9600.0", 160}));

TEST(Graphs, DrawnColumnReadsBackFromTheImage) {
    std::deque<BandwidthSample> history(110);
    history.back().rxHeight = 16;
    history.back().txHeight = 160;
    const GraphImage rx = renderGraph(history, GraphKind::Received);
    for (int y = 0; y < 25; ++y) {
        EXPECT_EQ(rx.at(109, y), y >= 8 ? kDarkGreen : kLightGreen) << y;
        EXPECT_EQ(rx.at(0, y), y == 24 ? kDarkGreen : kLightGreen) << y;  // the base line
    }
    const GraphImage tx = renderGraph(history, GraphKind::Transmitted);
    for (int y = 0; y < 25; ++y) EXPECT_EQ(tx.at(109, y), kDarkBlue);  // clipped at the top
    EXPECT_EQ(tx.at(50, 0), kLightBlue);
}

TEST(Graphs, ScrollOneColumnPerTick) {
    FakeClock clock;
    TrafficStats stats;
    RecordingStatsView view;
    stats.busRxByteCount = 120;
    clock.millis = 1001;
    updateBandwidthGraphs(stats, view, clock.millis);
    clock.millis += 1001;
    updateBandwidthGraphs(stats, view, clock.millis);
    EXPECT_EQ(view.rxGraph.at(108, 8), kDarkGreen);
    EXPECT_EQ(view.rxGraph.at(109, 23), kLightGreen);
}

struct UptimeCase {
    std::int64_t seconds;
    const char* text;
};

class Uptime : public ::testing::TestWithParam<UptimeCase> {};

TEST_P(Uptime, YearsMonthsDaysAndTime) { EXPECT_EQ(uptimeText(GetParam().seconds), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Table, Uptime,
                         ::testing::Values(UptimeCase{0, "UpTime: 0y 0m 0d and 00:00:00"},
                                           UptimeCase{90061, "UpTime: 0y 0m 1d and 01:01:01"},
                                           UptimeCase{31536000 + 86400, "UpTime: 1y 0m 1d and 00:00:00"},
                                           UptimeCase{31 * 86400, "UpTime: 0y 1m 0d and 00:00:00"},
                                           // past 32-bit seconds
                                           UptimeCase{2147483653, "UpTime: 68y 1m 4d and 03:14:13"}));

TEST(Uptime, WritesUptimeAndClockFields) {
    FakeClock clock;
    clock.date = 1362467289;  // 07:08:09
    TrafficStats stats;
    stats.serverStartDate = clock.date - 61;
    RecordingStatsView view;
    updateUptime(stats, view, clock.date);
    EXPECT_EQ(view.uptime, "UpTime: 0y 0m 0d and 00:01:01");
    EXPECT_EQ(view.clock, "07:08:09");
}

}  // namespace
}  // namespace tessel
