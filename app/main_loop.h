// The window's side of the main loop: the event wait that also serves the toolkit, the
// commands of the main window's controls, and where the pass's results are shown.
#pragma once
#include <cstdint>
#include <string>

#include "app/gui.h"
#include "app/views.h"
#include "bridge/bridge.h"

namespace tessel {

constexpr std::int64_t kSavePauseMillis = 10;
// The monitor and the status bar are drawn at most this often: nobody reads faster, and the
// toolkit then lays out and draws once for many lines.
constexpr std::int64_t kDrawIntervalMillis = 100;

class WindowShell final : public Shell {
public:
    // The main window must exist.
    WindowShell(Gui& gui, Clock& clock);

    WaitOutcome wait(Bridge& bridge, Deadline due, std::span<pollfd> watched) override;
    MonitorList* monitor() override { return &monitor_; }
    MonitorFilter monitorFilter() override;
    ClientListView* clientList() override { return &clientList_; }
    StatsView* statistics() override { return &stats_; }
    void passDone(const PassReport& report) override;
    void serialChanged(const std::string& device, bool present) override;

    // Carries out the command of a control of the main window.
    WaitOutcome runCommand(Bridge& bridge, int control);

    GtkMonitorList& monitorList() { return monitor_; }
    GtkClientList& clients() { return clientList_; }
    std::string logDirectory = ".";

    // Shows what the passes since the last drawing decided.
    void draw();

private:
    // A control's text is written only when it changes: every write lays the window out again.
    void setIfChanged(std::string& shown, const std::string& text, int control, int field);
    bool drawPending() const;

    Gui& gui_;
    Clock& clock_;
    std::int64_t lastDrawMillis_ = 0;
    std::int64_t lastBusFrames_ = 0;
    std::int64_t clientRunsToShow_ = 0;  // 0: field 2 keeps its text
    GtkMonitorList monitor_;
    GtkClientList clientList_;
    GtkStatsView stats_;
    std::string shownLineCount_;
    std::string shownBusFrames_;
};

}  // namespace tessel
