// Bus traffic in bits per second with two scrolling graphs, and the uptime, once a second.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "routing/monitor.h"

namespace tessel {

constexpr int kGraphWidth = 110;
constexpr int kGraphHeight = 25;
constexpr std::int64_t kStatsIntervalMillis = 1000;

struct BandwidthSample {
    std::int64_t txHeight = 0;
    std::int64_t rxHeight = 0;
};

struct TrafficStats {
    std::int64_t busRxByteCount = 0;
    std::int64_t busTxByteCount = 0;
    std::int64_t lastStatsMillis = 0;
    std::int64_t statsStartMillis = 0;
    std::deque<BandwidthSample> bandwidthHistory =
        std::deque<BandwidthSample>(kGraphWidth, BandwidthSample{});
    DateValue serverStartDate = 0;
};

// A graph as rows of pixels, row 0 at the top.
struct GraphImage {
    std::vector<Rgb> pixels = std::vector<Rgb>(kGraphWidth * kGraphHeight);
    Rgb at(int x, int y) const { return pixels[static_cast<std::size_t>(y * kGraphWidth + x)]; }
};

enum class GraphKind { Received, Transmitted };
GraphImage renderGraph(const std::deque<BandwidthSample>& history, GraphKind kind);
// The pixels a sample's bar fills, counted up from the bottom row: its height and the base
// line, clipped at the top.
int barPixels(std::int64_t height);

// What the statistics hand to a front end: the texts, and the graphs' samples as numbers, which
// the window draws and the web page is sent as they are.
class StatsView {
public:
    virtual ~StatsView() = default;
    virtual void setRates(const std::string& rxText, const std::string& txText) = 0;
    // The last kGraphWidth samples, oldest first.
    virtual void showSamples(const std::deque<BandwidthSample>& history) = 0;
    virtual void setUptime(const std::string& uptimeText, const std::string& clockText) = 0;
};

inline bool statsTickDue(const TrafficStats& stats, std::int64_t nowMillis) {
    return nowMillis - stats.lastStatsMillis > kStatsIntervalMillis;
}

// "9600.0"
std::string rateText(std::int64_t bitsPerSecond);
// "UpTime: 0y 0m 1d and 01:01:01"; months count 30.5 days.
std::string uptimeText(std::int64_t seconds);

void updateBandwidthGraphs(TrafficStats& stats, StatsView& view, std::int64_t nowMillis);
void updateUptime(const TrafficStats& stats, StatsView& view, DateValue now);

}  // namespace tessel
