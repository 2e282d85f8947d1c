// A front end for tests of the pass: a plain poll() as the wait, the lists in vectors, and a
// record of what it was told.
#pragma once
#include <poll.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "support/fakes.h"

namespace tessel::test {

class TestShell final : public Shell {
public:
    VectorMonitorList lines;
    VectorClientList rows;
    RecordingStatsView statsView;
    bool showsMonitor = true;
    bool showsClients = true;
    bool showsStatistics = true;
    // Runs inside the next wait, after the poll, as a command of the front end would.
    std::function<void(Bridge&)> duringWait;
    WaitOutcome outcome = WaitOutcome::Continue;
    std::vector<std::string> events;
    int waits = 0;

    WaitOutcome wait(Bridge& bridge, Deadline due, std::span<pollfd> watched) override {
        ++waits;
        // Bounded, so that a test waiting on something the bridge does not watch goes on.
        ::poll(watched.data(), watched.size(), std::min(millisUntil(due, bridge.clock.elapsedMillis()), 100));
        if (duringWait) {
            auto run = std::move(duringWait);
            duringWait = nullptr;
            run(bridge);
        }
        return outcome;
    }
    MonitorList* monitor() override { return showsMonitor ? &lines : nullptr; }
    ClientListView* clientList() override { return showsClients ? &rows : nullptr; }
    StatsView* statistics() override { return showsStatistics ? &statsView : nullptr; }
    void clientJoined(const ClientRecord& r) override { events.push_back("joined " + r.ipText); }
    void clientLeft(const ClientRecord& r) override {
        events.push_back("left " + r.ipText + " " + std::to_string(r.errorCount));
    }
    void serialChanged(const std::string& device, bool present) override {
        events.push_back((present ? "back " : "lost ") + device);
    }
    void holdChanged(HoldChange change) override {
        events.push_back("hold " + std::to_string(static_cast<int>(change)));
    }
};

}  // namespace tessel::test
