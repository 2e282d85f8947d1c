#include "service/service_shell.h"

#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>

#include "web/metrics.h"

namespace tessel {

namespace {
constexpr std::size_t kRememberedListeners = 4096;
// While a scan's frames are on their way, it looks at the queue this often.
constexpr std::int64_t kScanLookMillis = 60;

std::int64_t wallSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }
}  // namespace

ServiceShell::ServiceShell(int stopSignals, bool monitorLines, std::FILE* out, std::string device,
                           WebMonitor* webMonitor)
    : stopSignals_(stopSignals),
      out_(out),
      webMonitor_(webMonitor),
      levelled_(isJournalStream(::fileno(out))),
      journalMonitor_(out, levelled_) {
    device_ = std::move(device);
    if (monitorLines && webMonitor_ != nullptr) {
        bothMonitors_.emplace(journalMonitor_, webMonitor_->monitorList());
        monitor_ = &*bothMonitors_;
    } else if (monitorLines) {
        monitor_ = &journalMonitor_;
    } else if (webMonitor_ != nullptr) {
        monitor_ = &webMonitor_->monitorList();
    }
}

void ServiceShell::notifySystemd(SystemdNotifier& notifier) { notifier_ = &notifier; }

std::string ServiceShell::statusText() const {
    return "Velbus serial " + device_ + (deviceLost_ ? " lost" : "") + ", " + std::to_string(clients_) +
           (clients_ == 1 ? " client" : " clients");
}

// What systemd and the web page show of the device and the bus, from the one state the hooks keep.
void ServiceShell::updateStatus() {
    if (notifier_ != nullptr) notifier_->status(statusText());
    if (webMonitor_ == nullptr) return;
    WebStatus status = webMonitor_->status();
    if (status.device == device_ && status.serialUp == !deviceLost_ && status.busOff == busOff_ &&
        status.writesHeld == heldLong_) {
        return;  // the page is told only what changed
    }
    status.device = device_;  // found again under another name, with --device auto
    status.serialUp = !deviceLost_;
    status.busOff = busOff_;
    status.writesHeld = heldLong_;
    webMonitor_->setStatus(status);
}

void ServiceShell::line(const std::string& text, JournalLevel level) { writeJournalLine(out_, text, level, levelled_); }

Deadline ServiceShell::clockDeadline(std::int64_t now) const {
    if (!localTime_) return std::nullopt;
    // A device just opened or back is owed the clock at once, not at the next minute.
    if (deviceNew_ && !deviceLost_) return kDueNow;
    // The modules' clock is looked at each minute, so a new hour or a change of summer time is
    // set within one.
    const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
    return now + 60'000 - wall % 60'000 + 5;
}

Deadline ServiceShell::scanDeadline(std::int64_t now) const {
    if (!scanning_ || deviceLost_ || !scan_.active()) return std::nullopt;
    return scan_.deadline().value_or(now + kScanLookMillis);
}

ServiceShell::OwnTimers ServiceShell::serveOwnTimers(std::int64_t now) {
    for (const std::string& folded : folds_.due(now)) line(folded, JournalLevel::Warning);
    OwnTimers t;
    t.wake = folds_.nextDue();
    if (capture_ != nullptr) {
        capture_->tick(now);
        t.wake = nearest({t.wake, capture_->deadline()});
    }
    if (modules_ != nullptr) {
        modules_->tick(wallSeconds(), now);
        t.wake = nearest({t.wake, modules_->nextCheck()});
    }
    // The watchdog is pinged from here, so a loop that hangs is found; it and the clock are the
    // only other reasons an idle service wakes.
    if (notifier_ != nullptr) {
        notifier_->keepAlive(now);
        t.wake = nearest({t.wake, notifier_->watchdogDeadline()});
    }
    if (web_ != nullptr) {
        // The web side's work comes here, after the last pass sent its frames and before the
        // wait for the next ones.
        web_->run();
        t.wake = nearest({t.wake, web_->deadline()});
        if (web_->descriptorShortages() != webShortages_) {
            webShortages_ = web_->descriptorShortages();
            outOfDescriptors();
        }
    }
    t.pass = nearest({clockDeadline(now), scanDeadline(now)});
    return t;
}

int ServiceShell::pollAll(std::span<pollfd> watched, int timeoutMs, std::int64_t now) {
    fds_.assign(watched.begin(), watched.end());
    fds_.push_back({stopSignals_, POLLIN, 0});
    if (web_ != nullptr) {
        fds_.push_back({web_->descriptor(), POLLIN, 0});
        fds_.push_back({web_->listenerDescriptor(), POLLIN, 0});
    }
    const std::size_t announceAt = fds_.size();
    if (announcer_ != nullptr) fds_.push_back({announcer_->descriptor(), POLLIN, 0});
    const int ready = ::poll(fds_.data(), fds_.size(), timeoutMs);
    if (announcer_ != nullptr && ready > 0 && fds_[announceAt].revents != 0) announcer_->serve(now);
    if (web_ != nullptr && ready >= 0) {
        const std::size_t at = watched.size() + 1;
        web_->sawReady(fds_[at].revents != 0, fds_[at + 1].revents != 0);
    }
    return ready;
}

WaitOutcome ServiceShell::wait(Bridge& bridge, Deadline due, std::span<pollfd> watched) {
    clock_ = &bridge.clock;
    for (;;) {
        std::int64_t now = bridge.clock.elapsedMillis();
        const OwnTimers own = serveOwnTimers(now);
        const int ready = pollAll(watched, millisUntil(nearest({due, own.wake, own.pass}), now), now);
        now = bridge.clock.elapsedMillis();
        const bool signalled = ready > 0 && (fds_[watched.size()].revents & POLLIN) != 0;
        if (signalled && readStopSignal()) stopAsked_ = true;
        const bool bridgeReady =
            ready > 0 && std::any_of(fds_.begin(), fds_.begin() + static_cast<std::ptrdiff_t>(watched.size()),
                                     [](const pollfd& p) { return p.revents != 0; });
        // Only the web side or the watchdog had something: serve it and wait on, without an
        // empty pass. A SIGHUP, the clock or the scan's next step wants a pass of its own, for
        // its frames.
        const bool bridgeDue = due && now >= *due;
        const bool ownDue = (own.pass && now >= *own.pass) || signalled;
        if (ready >= 0 && !stopAsked_ && !bridgeReady && !bridgeDue && !ownDue) continue;
        if (stopAsked_ && notifier_ != nullptr) notifier_->stopping();
        for (std::size_t i = 0; i < watched.size(); ++i) watched[i].revents = ready > 0 ? fds_[i].revents : 0;
        // The pass that follows still forwards what has come, then the service ends.
        return stopAsked_ ? WaitOutcome::CloseAfterPass : WaitOutcome::Continue;
    }
}

void ServiceShell::nameListeners(const NetworkState& net, std::vector<std::string> names) {
    net_ = &net;
    listenerNames_ = std::move(names);
    if (webMonitor_ != nullptr) webMonitor_->setListenerLookup([this](ClientId id) { return listenerOf(id); });
}

std::string ServiceShell::listenerOf(ClientId id) const {
    if (net_ == nullptr) return {};
    const int server = clientServer(*net_, id);
    if (server >= 0 && static_cast<std::size_t>(server) < listenerNames_.size()) {
        return listenerNames_[static_cast<std::size_t>(server)];
    }
    const auto it = clientListeners_.find(id);
    return it != clientListeners_.end() ? it->second : std::string();
}

void ServiceShell::clientJoined(const ClientRecord& r) {
    const std::string via = listenerOf(r.clientId);
    if (!via.empty()) clientListeners_[r.clientId] = via;
    ++clients_;
    updateStatus();
    line(clientJoinedLine(r, via));
    if (capture_ != nullptr) {
        std::string name = r.ipText + ":" + std::to_string(r.port);
        const int server = clientServer(*captureNet_, r.clientId);
        if (server >= 0 && static_cast<std::size_t>(server) < captureListeners_.size()) {
            name += " on " + captureListeners_[static_cast<std::size_t>(server)];
        }
        capture_->clientJoined(r.clientId, name, captureTimeNow(captureStartMicros_), nowMillis());
    }
}

void ServiceShell::clientLeft(const ClientRecord& r) {
    clients_ = std::max<std::int64_t>(clients_ - 1, 0);
    updateStatus();
    line(clientLeftLine(r, listenerOf(r.clientId)));
    if (capture_ != nullptr) capture_->clientLeft(r.clientId, captureTimeNow(captureStartMicros_), nowMillis());
    // The web monitor lists ended clients for an hour; their listener is remembered as long,
    // and the oldest ids (they only grow) are forgotten first past any hour's worth.
    if (webMonitor_ == nullptr) clientListeners_.erase(r.clientId);
    while (clientListeners_.size() > kRememberedListeners) clientListeners_.erase(clientListeners_.begin());
}

void ServiceShell::clientRefused(const Refusal& refusal) {
    ++refused_[refusal.reason];
    std::string via;
    if (const auto server = static_cast<std::size_t>(refusal.server); server < listenerNames_.size()) {
        via = listenerNames_[server];
    }
    refusalLine(addressOfPeer(refusal.peer), clientRefusedLine(refusal.peer, refusalText(refusal), via));
}

void ServiceShell::webLoginFailed(const std::string& address, const std::string& reason) {
    refusalLine("web " + address, "web request from " + address + " refused: " +
                                      (reason == "wrong_key" ? "a wrong key" : "no key given"));
}

void ServiceShell::refusalLine(const std::string& address, const std::string& text) {
    if (folds_.take(address, text, clock_ != nullptr ? clock_->elapsedMillis() : 0)) line(text, JournalLevel::Warning);
}

void ServiceShell::outOfDescriptors() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    line("out of descriptors (the limit is " + std::to_string(limit.rlim_cur) +
             "): new connections are refused until some close",
         JournalLevel::Warning);
}

void ServiceShell::serialLost(const std::string& device) {
    ++serialLostCount_;
    device_ = device;
    deviceLost_ = true;
    updateStatus();
    line(serialLostLine(device), JournalLevel::Warning);
    captureEvent("device " + device + " lost");
}

void ServiceShell::syncClock(std::function<LocalTime()> localTime) {
    localTime_ = std::move(localTime);
    deviceNew_ = true;
}

bool ServiceShell::readStopSignal() {
    bool stop = false;
    signalfd_siginfo info{};
    while (::read(stopSignals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGHUP) {
            hangUp();
        } else {
            stop = true;
        }
    }
    return stop;
}

// `kill -HUP`, the reflex of log rotation: what is kept is written, the capture file opened
// anew, and with --scan the bus asked again; the service goes on.
void ServiceShell::hangUp() {
    std::string done;
    const auto also = [&done](const std::string& what) { done += (done.empty() ? "" : "; ") + what; };
    if (modules_ != nullptr) {
        if (const std::string path = modules_->keepNow(); !path.empty()) also("module table written to " + path);
    }
    if (capture_ != nullptr) {
        if (const std::string path = capture_->reopenFile(nowMillis()); !path.empty()) also("capture file " + path + " reopened");
    }
    if (scanning_) {
        if (deviceLost_) {
            also("no scan while the serial device is lost");
        } else {
            also(scan_.active() ? "one more scan of the bus after the one under way" : "scan of the bus begun");
            scan_.begin(wallSeconds());
        }
    }
    line("SIGHUP: " + (done.empty() ? std::string("nothing is kept or reopened") : done));
}

void ServiceShell::scanBus() {
    scanning_ = true;
    scan_.begin(wallSeconds());
}

void ServiceShell::keepCapture(CaptureKeeper& keeper, Clock& clock, const NetworkState& net,
                               std::vector<std::string> listenerNames) {
    clock_ = &clock;
    capture_ = &keeper;
    captureNet_ = &net;
    captureListeners_ = std::move(listenerNames);
    captureStartMicros_ = monotonicMicros();
    keeper.start(nowMillis());
}

void ServiceShell::captureEvent(const std::string& text) {
    if (capture_ != nullptr) capture_->event(text, captureTimeNow(captureStartMicros_), nowMillis());
}

void ServiceShell::busBytesPassedOver(const std::vector<Bytes>& runs) {
    if (capture_ != nullptr) capture_->busNoise(runs, captureTimeNow(captureStartMicros_), nowMillis());
}

void ServiceShell::passDone(const PassReport& report) {
    if (capture_ != nullptr) {
        capture_->framesPassed(report.newClientRuns, report.newBusFrames, captureTimeNow(captureStartMicros_), nowMillis());
    }
    if (modules_ != nullptr && clock_ != nullptr) {
        modules_->framesPassed(report.newClientRuns, report.newBusFrames, wallSeconds(), clock_->elapsedMillis());
    }
}

void ServiceShell::serialChanged(const std::string& device, bool present) {
    if (present) {
        serialBack(device);
    } else {
        serialLost(device);
    }
}

void ServiceShell::stopping() {
    if (modules_ != nullptr) modules_->stop();
    if (capture_ != nullptr) capture_->stop(captureTimeNow(captureStartMicros_), nowMillis());
}

void ServiceShell::queueOwnFrames(FrameQueue& toBus, std::size_t ownWaiting) {
    if (deviceLost_) return;
    std::vector<Bytes> frames;
    if (localTime_) {
        frames = clockSync_.due(localTime_(), deviceNew_);
        deviceNew_ = false;
    }
    if (scanning_ && scan_.active() && modules_ != nullptr && clock_ != nullptr) {
        ModuleScan::Step step = scan_.due(modules_->table(), clock_->elapsedMillis(), ownWaiting + frames.size());
        if (!step.line.empty()) line(step.line);
        for (Bytes& frame : step.frames) frames.push_back(std::move(frame));
    }
    for (Bytes& frame : frames) {
        ReceivedFrame record;
        record.length = static_cast<std::int64_t>(frame.size());
        record.bytes = std::move(frame);
        record.wellFormed = 1;
        record.text = "tessel-serverd";  // shown as their source in the monitor
        toBus.push_back(std::move(record));
    }
}

void ServiceShell::serialBack(const std::string& device) {
    deviceNew_ = true;
    if (scanning_) scan_.begin(wallSeconds());
    device_ = device;
    deviceLost_ = false;
    updateStatus();
    line(serialBackLine(device));
    captureEvent("device " + device + " back");
}

void ServiceShell::interfaceSaid(InterfaceSignal signal) {
    // One line when the bus goes off and one when it is back, however often the interface says so.
    const bool off = signal == InterfaceSignal::BusOff;
    if ((signal != InterfaceSignal::BusOff && signal != InterfaceSignal::BusActive) || off == busOff_) return;
    busOff_ = off;
    if (off) {
        line("Velbus bus off: the interface left the bus after errors", JournalLevel::Warning);
    } else {
        line("Velbus bus active again");
    }
    updateStatus();
}

void ServiceShell::holdChanged(HoldChange change) {
    switch (change) {
        case HoldChange::Held:
            ++holds_;
            captureEvent("writes to the bus held");
            break;
        case HoldChange::HeldLong:
            heldLong_ = true;
            captureEvent("writes to the bus held for over a second");
            line(busOff_ ? "writes to the bus held for over a second: the bus is off"
                         : "writes to the bus held for over a second: the interface's buffer is full",
                 JournalLevel::Warning);
            break;
        case HoldChange::Resumed:
            heldLong_ = false;
            captureEvent("writes to the bus resume");
            line("writes to the bus resume");
            break;
        case HoldChange::TimedOut:
            heldLong_ = false;
            captureEvent("writes to the bus resume: 5 s without a word from the interface");
            line("writes to the bus resume: 5 s without a word from the interface", JournalLevel::Warning);
            break;
        case HoldChange::None: break;
    }
    updateStatus();
}

}  // namespace tessel
