// The service's side of the main loop: a plain poll() that also watches for SIGTERM and SIGINT
// and, when the web monitor is on, serves it between passes; journal lines on standard output
// instead of a window.
#pragma once
#include <cstdio>
#include <functional>
#include <map>

#include "bridge/bridge.h"
#include "service/capture_keeper.h"
#include "service/clock_sync.h"
#include "service/journal.h"
#include "service/lan_announce.h"
#include "service/module_scan.h"
#include "service/module_watch.h"
#include "service/refusal_folds.h"
#include "service/systemd_notify.h"
#include "web/web_monitor.h"
#include "web/web_server.h"

namespace tessel {

// The monitor's lines to the journal and the web monitor both.
class TwoMonitors final : public MonitorList {
public:
    TwoMonitors(MonitorList& journal, MonitorList& web) : journal_(journal), web_(web) {}
    void insertTop(const MonitorLine& line) override {
        journal_.insertTop(line);
        web_.insertTop(line);
    }
    int lineCount() const override { return web_.lineCount(); }
    void removeLine(int index) override { web_.removeLine(index); }
    std::string readCell(int line, int column) const override { return web_.readCell(line, column); }
    void clear() override { web_.clear(); }

private:
    MonitorList& journal_;
    MonitorList& web_;
};

class ServiceShell final : public Shell {
public:
    // `stopSignals`: a descriptor that becomes readable when the service is asked to stop, or
    // on SIGHUP.
    // `webMonitor`: the web monitor's views, when it is on.
    // `device`: the serial device open at the start.
    ServiceShell(int stopSignals, bool monitorLines, std::FILE* out, std::string device,
                 WebMonitor* webMonitor = nullptr);
    // The web server, once it listens: served from the wait.
    void serveWeb(WebServer& web) { web_ = &web; }
    // Tells systemd the status as it changes, pings its watchdog from the wait, and says when
    // the service stops.
    void notifySystemd(SystemdNotifier& notifier);
    // Whether standard output is the journal, whose lines then carry their priority.
    bool levelled() const { return levelled_; }
    // The status line systemd shows: the device, whether it is lost, and the clients.
    std::string statusText() const;

    WaitOutcome wait(Bridge& bridge, Deadline due, std::span<pollfd> watched) override;
    MonitorList* monitor() override { return monitor_; }
    ClientListView* clientList() override { return webMonitor_ != nullptr ? &webMonitor_->clientList() : nullptr; }
    StatsView* statistics() override { return webMonitor_ != nullptr ? &webMonitor_->statsView() : nullptr; }
    void clientJoined(const ClientRecord& record) override;
    void clientLeft(const ClientRecord& record) override;
    void clientRefused(const Refusal& refusal) override;
    // A web request without the right key ("no_key" or "wrong_key"); nothing of what it sent.
    void webLoginFailed(const std::string& address, const std::string& reason);
    void outOfDescriptors() override;
    void serialChanged(const std::string& device, bool present) override;
    void interfaceSaid(InterfaceSignal signal) override;
    void queueOwnFrames(FrameQueue& toBus, std::size_t ownWaiting) override;
    // --sync-clock: the modules' clock set from `localTime` (the host's, but in tests).
    void syncClock(std::function<LocalTime()> localTime);
    void holdChanged(HoldChange change) override;
    bool readsFrames() override { return modules_ != nullptr || capture_ != nullptr; }
    void passDone(const PassReport& report) override;
    void busBytesPassedOver(const std::vector<Bytes>& runs) override;
    // The module table, learned from the frames and kept in its state file.
    void watchModules(ModuleWatch& watch) { modules_ = &watch; }
    // --scan: the bus is asked what it holds once the device is open, when it is back, and on
    // SIGHUP; one scan at a time, and one more at most after it.
    void scanBus();
    // --announce: the clients' LAN discovery answered from the wait, without a pass.
    void announce(LanAnnouncer& announcer) { announcer_ = &announcer; }
    // The service stops: what must outlive it is kept.
    void stopping();
    // The capture: every record and the events around them; clients are named with the
    // listener they came in by.
    void keepCapture(CaptureKeeper& keeper, Clock& clock, const NetworkState& net, std::vector<std::string> listenerNames);

    // The listeners by server number, to be named in the client lines and the web monitor's
    // client list.
    void nameListeners(const NetworkState& net, std::vector<std::string> names);
    // The listener a client came in by ("127.0.0.1:8080 (plain)"), or empty when not named.
    std::string listenerOf(ClientId id) const;

    // What the hooks counted, for /metrics.
    std::int64_t serialLostCount() const { return serialLostCount_; }
    const std::map<RefusalReason, std::int64_t>& refusedClients() const { return refused_; }
    std::int64_t holdCount() const { return holds_; }

private:
    // The service's own timers: those served inside the wait, which only wake it, and those
    // whose frames want a pass of their own (the modules' clock, the scan's next step).
    struct OwnTimers {
        Deadline wake;
        Deadline pass;
    };
    OwnTimers serveOwnTimers(std::int64_t now);
    Deadline clockDeadline(std::int64_t now) const;
    Deadline scanDeadline(std::int64_t now) const;
    // Polls the bridge's descriptors with the service's own, and serves the announcer and the
    // web side what they were ready for; returns what poll() returned.
    int pollAll(std::span<pollfd> watched, int timeoutMs, std::int64_t now);
    void serialLost(const std::string& device);
    void serialBack(const std::string& device);

    int stopSignals_;
    std::FILE* out_;
    WebServer* web_ = nullptr;
    WebMonitor* webMonitor_;
    bool levelled_;  // standard output is the journal
    JournalMonitor journalMonitor_;
    std::optional<TwoMonitors> bothMonitors_;
    MonitorList* monitor_ = nullptr;
    std::vector<pollfd> fds_;
    void line(const std::string& text, JournalLevel level = JournalLevel::Info);
    void updateStatus();

    SystemdNotifier* notifier_ = nullptr;
    std::string device_;
    bool deviceLost_ = false;
    std::int64_t clients_ = 0;
    const NetworkState* net_ = nullptr;
    std::vector<std::string> listenerNames_;
    std::map<ClientId, std::string> clientListeners_;  // those that came, while they are listed
    std::int64_t serialLostCount_ = 0;
    std::int64_t holds_ = 0;
    std::function<LocalTime()> localTime_;  // set with --sync-clock
    ClockSync clockSync_;
    bool deviceNew_ = true;                 // opened or back since the clock was last set
    bool busOff_ = false;   // as the interface last said
    bool heldLong_ = false;
    std::map<RefusalReason, std::int64_t> refused_;
    std::int64_t webShortages_ = 0;  // told so far
    RefusalFolds folds_;
    Clock* clock_ = nullptr;  // the bridge's, from the first wait
    void refusalLine(const std::string& address, const std::string& text);
    // Whether the signal descriptor asked to stop (else it was SIGHUP).
    bool readStopSignal();
    void hangUp();
    ModuleWatch* modules_ = nullptr;
    CaptureKeeper* capture_ = nullptr;
    LanAnnouncer* announcer_ = nullptr;
    const NetworkState* captureNet_ = nullptr;
    std::vector<std::string> captureListeners_;
    std::int64_t captureStartMicros_ = 0;
    void captureEvent(const std::string& text);
    std::int64_t nowMillis() const { return clock_ != nullptr ? clock_->elapsedMillis() : 0; }
    bool scanning_ = false;  // --scan
    ModuleScan scan_;
    bool stopAsked_ = false;
};

}  // namespace tessel
