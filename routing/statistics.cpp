#include <algorithm>
#include "routing/statistics.h"

namespace tessel {

namespace {

constexpr Rgb kRxBackground{221, 255, 221};
constexpr Rgb kRxBar{0, 119, 0};
constexpr Rgb kTxBackground{221, 221, 255};
constexpr Rgb kTxBar{0, 0, 119};

constexpr std::int64_t kSecondsPerYear = 31536000;
constexpr std::int64_t kSecondsPerMonth = 2635200;
constexpr std::int64_t kSecondsPerDay = 86400;

}  // namespace

GraphImage renderGraph(const std::deque<BandwidthSample>& history, GraphKind kind) {
    const bool rx = kind == GraphKind::Received;
    GraphImage image;
    std::fill(image.pixels.begin(), image.pixels.end(), rx ? kRxBackground : kTxBackground);
    const Rgb bar = rx ? kRxBar : kTxBar;
    int x = 0;
    for (const BandwidthSample& s : history) {
        if (x >= kGraphWidth) break;
        const int pixels = barPixels(rx ? s.rxHeight : s.txHeight);
        for (int y = kGraphHeight - 1; y >= kGraphHeight - pixels; --y) {
            image.pixels[static_cast<std::size_t>(y * kGraphWidth + x)] = bar;
        }
        ++x;
    }
    return image;
}

int barPixels(std::int64_t height) {
    // From the bottom row up to row 24 - height, both included.
    return static_cast<int>(std::clamp<std::int64_t>(height + 1, 0, kGraphHeight));
}

std::string rateText(std::int64_t bitsPerSecond) { return std::to_string(bitsPerSecond) + ".0"; }

std::string uptimeText(std::int64_t u) {
    const std::int64_t years = u / kSecondsPerYear;
    const std::int64_t months = (u - years * kSecondsPerYear) / kSecondsPerMonth;
    const std::int64_t days = (u - years * kSecondsPerYear - months * kSecondsPerMonth) / kSecondsPerDay;
    return "UpTime: " + std::to_string(years) + "y " + std::to_string(months) + "m " +
           std::to_string(days) + "d and " + formatDate("%hh:%ii:%ss", u);
}

void updateBandwidthGraphs(TrafficStats& stats, StatsView& view, std::int64_t nowMillis) {
    stats.statsStartMillis = nowMillis;
    const std::int64_t seconds = (stats.statsStartMillis - stats.lastStatsMillis) / 1000;
    if (seconds <= 0) return;
    const std::int64_t rxBps = stats.busRxByteCount * 8 / seconds;
    const std::int64_t txBps = stats.busTxByteCount * 8 / seconds;
    view.setRates(rateText(rxBps), rateText(txBps));
    stats.bandwidthHistory.push_back({txBps * 25 / 1500, rxBps * 25 / 1500});
    stats.bandwidthHistory.pop_front();
    view.showSamples(stats.bandwidthHistory);
    stats.busTxByteCount = 0;
    stats.busRxByteCount = 0;
    stats.lastStatsMillis = nowMillis;
}

void updateUptime(const TrafficStats& stats, StatsView& view, DateValue now) {
    view.setUptime(uptimeText(now - stats.serverStartDate), formatDate("%hh:%ii:%ss", now));
}

}  // namespace tessel
