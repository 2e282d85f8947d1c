// Test doubles: a clock moved by hand, and the two lists held in vectors.
#pragma once
#include <string>
#include <vector>

#include "net/client_table.h"
#include "platform/clock.h"
#include "platform/deadline.h"
#include "routing/monitor.h"
#include "routing/statistics.h"

namespace tessel::test {

// A deadline as the milliseconds left from `now` (0 once due), or -1 for none.
inline std::int64_t dueIn(Deadline due, std::int64_t now) {
    if (!due) return -1;
    return *due <= now ? 0 : *due - now;
}

class FakeClock final : public Clock {
public:
    std::int64_t millis = 0;
    DateValue date = 1'700'000'000;
    std::vector<std::int64_t> sleeps;

    std::int64_t elapsedMillis() override { return millis; }
    DateValue currentDate() override { return date; }
    void sleepMillis(std::int64_t ms) override {
        sleeps.push_back(ms);
        millis += ms;
    }
    void advance(std::int64_t ms) {
        millis += ms;
        date += ms / 1000;
    }
};

class VectorMonitorList final : public MonitorList {
public:
    std::vector<MonitorLine> lines;  // line 0 at the top
    void insertTop(const MonitorLine& line) override { lines.insert(lines.begin(), line); }
    int lineCount() const override { return static_cast<int>(lines.size()); }
    void removeLine(int index) override { lines.erase(lines.begin() + index); }
    std::string readCell(int line, int column) const override {
        if (line < 0 || line >= lineCount() || column < 0 || column > 4) return "";
        return lines[static_cast<std::size_t>(line)].cells[static_cast<std::size_t>(column)];
    }
    void clear() override { lines.clear(); }
};

class VectorClientList final : public ClientListView {
public:
    std::vector<ClientRow> rows;  // row 0 at the top
    std::int64_t moreEnded = 0;
    int calls = 0;  // of every kind, to see what one change costs
    void clear() override {
        ++calls;
        rows.clear();
    }
    void insertTop(const ClientRow& row) override {
        ++calls;
        rows.insert(rows.begin(), row);
    }
    void updateRow(const ClientRow& row) override {
        ++calls;
        for (auto& r : rows) {
            if (r.rowKey == row.rowKey) r = row;
        }
    }
    void removeRow(std::int64_t rowKey) override {
        ++calls;
        std::erase_if(rows, [rowKey](const ClientRow& r) { return r.rowKey == rowKey; });
    }
    void setMoreEnded(std::int64_t count) override { moreEnded = count; }
};

// A table holding these records, oldest first.
inline ClientTable clientTableOf(std::vector<ClientRecord> records) {
    ClientTable table;
    VectorClientList list;
    for (auto& r : records) addClientRecord(table, list, std::move(r));
    return table;
}

inline ClientRecord clientRecord(ClientId id, const std::string& ip, std::uint16_t port) {
    ClientRecord r;
    r.clientId = id;
    r.ipText = ip;
    r.port = port;
    return r;
}

class RecordingStatsView final : public StatsView {
public:
    std::string rx = "0", tx = "0", uptime, clock;
    std::deque<BandwidthSample> samples;
    GraphImage rxGraph, txGraph;
    int graphDraws = 0;
    void setRates(const std::string& r, const std::string& t) override {
        rx = r;
        tx = t;
    }
    void showSamples(const std::deque<BandwidthSample>& history) override {
        samples = history;
        rxGraph = renderGraph(history, GraphKind::Received);
        txGraph = renderGraph(history, GraphKind::Transmitted);
        ++graphDraws;
    }
    void setUptime(const std::string& u, const std::string& c) override {
        uptime = u;
        clock = c;
    }
};

inline Bytes hexBytes(const std::string& hex) {
    Bytes out;
    std::string digits;
    for (char c : hex) {
        if (c != ' ') digits += c;
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

}  // namespace tessel::test
