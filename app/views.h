// The views the core fills, made with the toolkit's controls: the monitor list, the client list,
// and the statistics' fields and graphs.
#pragma once
#include <gtk/gtk.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "app/gui.h"
#include "net/client_table.h"
#include "routing/monitor.h"
#include "routing/statistics.h"

namespace tessel {

// The monitor list control (number 6) as the monitor sees it. New lines are held until flush(),
// which the main loop calls once per pass: a busy pass (hundreds of runs from one client) then
// inserts only what survives the 500-line cap, trims and scrolls once.
class GtkMonitorList final : public MonitorList {
public:
    GtkMonitorList(Gui& gui, int control);
    void insertTop(const MonitorLine& line) override;
    int lineCount() const override;
    void removeLine(int index) override;
    std::string readCell(int line, int column) const override;
    void clear() override;
    void flush();
    bool hasPending() const { return !pending_.empty() || droppedOldest_ != 0; }

private:
    int storedCount() const;

    Gui& gui_;
    GtkListStore* store_;
    GtkTreeView* view_;
    GtkAdjustment* scroll_;
    std::vector<MonitorLine> pending_;  // oldest first
    int droppedOldest_ = 0;             // lines to take off the bottom at the flush
};

// The client list control (number 7). Rows are changed in place, found by their record's key
// (a list store's iterators stay valid while their row lives), so a connect or a disconnect
// never redraws the rows of the hour before.
class GtkClientList final : public ClientListView {
public:
    GtkClientList(Gui& gui, int control);
    void clear() override;
    void insertTop(const ClientRow& row) override;
    void updateRow(const ClientRow& row) override;
    void removeRow(std::int64_t rowKey) override;
    int lineCount() const;
    std::string readCell(int line, int column) const;

private:
    void setCells(GtkTreeIter& iter, const ClientRow& row);

    Gui& gui_;
    GtkListStore* store_;
    std::unordered_map<std::int64_t, GtkTreeIter> rows_;
};

// The rate fields, graph images and status bar fields the statistics write.
class GtkStatsView final : public StatsView {
public:
    explicit GtkStatsView(Gui& gui) : gui_(gui) {}
    void setRates(const std::string& rxText, const std::string& txText) override;
    void showSamples(const std::deque<BandwidthSample>& history) override;
    void setUptime(const std::string& uptimeText, const std::string& clockText) override;

private:
    Gui& gui_;
};

GdkPixbuf* graphPixbuf(const GraphImage& image);

}  // namespace tessel
