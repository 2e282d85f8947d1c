// What the web page shows, kept as the window keeps it: the monitor's newest 500 lines, the
// client rows, the bandwidth texts and graphs, the uptime, and the device's state. The core
// fills it through the same views the window implements; every change is gathered into the next
// batch, which goes to every page as one Server-Sent Event. A page that opens (or comes back)
// first gets a snapshot of what is held.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "net/client_table.h"
#include "routing/monitor.h"
#include "routing/statistics.h"

namespace tessel {

// Where the service is and what it listens on, as the page's header shows it.
struct WebStatus {
    std::string version;
    std::string device;
    bool serialUp = true;
    bool busOff = false;      // as the interface said
    bool writesHeld = false;  // held for over a second
    std::vector<std::string> listening;  // "0.0.0.0:8080", the web monitor's own among them
    bool capture = true;  // /capture serves the traffic (not with --capture-memory 0)
};

class WebMonitor;

// Ended clients the page lists; it says how many more ended within the hour.
constexpr std::size_t kWebEndedClients = 100;

class WebMonitorLines final : public MonitorList {
public:
    explicit WebMonitorLines(WebMonitor& owner) : owner_(owner) {}
    void insertTop(const MonitorLine& line) override;
    int lineCount() const override;
    void removeLine(int index) override;
    std::string readCell(int line, int column) const override;
    void clear() override;

private:
    WebMonitor& owner_;
};

// The client rows by their key, newest first; a batch carries only the rows that changed.
class WebClientRows final : public ClientListView {
public:
    explicit WebClientRows(WebMonitor& owner) : owner_(owner) {}
    void clear() override;
    void insertTop(const ClientRow& row) override;
    void updateRow(const ClientRow& row) override;
    void removeRow(std::int64_t rowKey) override;
    void setMoreEnded(std::int64_t count) override;

private:
    WebMonitor& owner_;
};

class WebStats final : public StatsView {
public:
    explicit WebStats(WebMonitor& owner) : owner_(owner) {}
    void setRates(const std::string& rxText, const std::string& txText) override;
    void showSamples(const std::deque<BandwidthSample>& history) override;
    void setUptime(const std::string& uptimeText, const std::string& clockText) override;

private:
    WebMonitor& owner_;
};

class WebMonitor {
public:
    // `instance` tells this run's event ids from those of an earlier run of the service, so a
    // page that reconnects after a restart starts afresh.
    explicit WebMonitor(std::string instance);
    WebMonitor(const WebMonitor&) = delete;
    WebMonitor& operator=(const WebMonitor&) = delete;

    MonitorList& monitorList() { return lines_; }
    ClientListView& clientList() { return rows_; }
    StatsView& statsView() { return stats_; }
    void setStatus(const WebStatus& status);
    // Names the listener a client came in by, for a service with several; unset: none shown.
    void setListenerLookup(std::function<std::string(ClientId)> lookup) { listenerOf_ = std::move(lookup); }
    const WebStatus& status() const { return status_; }
    // A row of the Modules panel (the module's JSON object), new or changed, by its address.
    void setModuleRow(std::uint8_t address, std::string json);
    // Only when a module was last heard changed: a number, not its whole row.
    void setModuleSeen(std::uint8_t address, std::int64_t lastSeen);
    // A row that is no module's any more (one heard at a sub-address before its module said so).
    void removeModuleRow(std::uint8_t address);
    // Unix seconds as the page is told them, so it says "12 s ago" by the host's clock.
    void setWallClock(std::function<std::int64_t()> seconds) { wallSeconds_ = std::move(seconds); }

    // True when something changed since the last batch.
    bool hasPending() const {
        return pendingLines_ > 0 || clientsChanged_ || statsChanged_ || statusChanged_ || !changedModules_.empty() ||
               !changedSeen_.empty() || !goneModules_.empty();
    }
    // The pending changes as one event ("id", "event: batch", "data"), and a new batch begins.
    std::string takeBatch();
    // What a page gets first: everything held, or with `lastEventId` of this run, the lines
    // that came after that event and the current state of the rest.
    std::string snapshotEvent(const std::string& lastEventId) const;
    // True when `lastEventId` is one of this run that the snapshot resumes from.
    bool resumes(const std::string& lastEventId) const;
    // The id of the last batch sent, "instance-sequence".
    std::string lastEventId() const;

    // The lines held, newest first (for tests and the log file's form).
    struct HeldLine {
        std::int64_t batch = 0;  // the batch that carried (or will carry) it
        MonitorLine line;
        std::string json;
    };
    const std::deque<HeldLine>& heldLines() const { return held_; }

private:
    friend class WebMonitorLines;
    friend class WebClientRows;
    friend class WebStats;

    std::string stateJson(bool withClients, bool withStats, bool withStatus) const;
    std::string clientChangesJson() const;
    std::string linesJson(std::int64_t afterBatch, std::int64_t upToBatch) const;
    std::string modulesJson(bool all) const;

    WebMonitorLines lines_{*this};
    WebClientRows rows_{*this};
    WebStats stats_{*this};
    std::string instance_;
    std::int64_t sequence_ = 0;  // the last batch taken
    std::deque<HeldLine> held_;  // newest first, at most 500
    int pendingLines_ = 0;
    // The rows held, by key (newest last); the page lists them newest first.
    std::map<std::int64_t, std::string> clientRows_;
    // Changed since the last batch: a row's new text, or none when it is gone.
    std::map<std::int64_t, std::optional<std::string>> changedRows_;
    bool rowsReset_ = false;  // emptied since the last batch: it carries them all
    std::int64_t moreEnded_ = 0;
    std::string rxRate_ = "0.0", txRate_ = "0.0";
    std::array<int, kGraphWidth> rxBars_{}, txBars_{};
    std::string uptime_, clock_;
    WebStatus status_;
    std::function<std::string(ClientId)> listenerOf_;
    std::map<int, std::string> moduleRows_;  // by address: at most 254
    std::set<int> changedModules_;
    std::map<int, std::int64_t> lastSeen_;  // by address, newer than the rows may say
    std::set<int> changedSeen_;
    std::set<int> goneModules_;
    std::function<std::int64_t()> wallSeconds_;
    bool clientsChanged_ = false, statsChanged_ = false, statusChanged_ = false;
};

// "instance-sequence" read back: the sequence when the instance is `instance`, else -1.
std::int64_t eventSequence(const std::string& lastEventId, const std::string& instance);

// One monitor line as the page takes it.
std::string monitorLineJson(const MonitorLine& line);

}  // namespace tessel
