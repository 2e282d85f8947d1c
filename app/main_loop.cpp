#include "app/main_loop.h"

#include <unistd.h>

#include <algorithm>

#include "app/log_file.h"
#include "app/main_window.h"

namespace tessel {

namespace {

// The program's page: the README installed with it, else the one of the source it was built
// from (a program run from its build tree).
void openHelpPage() {
    std::string page = TESSEL_DOC_PATH;
    if (access(page.c_str(), R_OK) != 0) page = TESSEL_SOURCE_README;
    gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(page.c_str()), nullptr};
    g_spawn_async(nullptr, argv, nullptr, GSpawnFlags(G_SPAWN_SEARCH_PATH), nullptr, nullptr,
                  nullptr, nullptr);
}

}  // namespace

WindowShell::WindowShell(Gui& gui, Clock& clock)
    : gui_(gui), clock_(clock), monitor_(gui, kMonitorList), clientList_(gui, kClientList),
      stats_(gui) {}

void WindowShell::setIfChanged(std::string& shown, const std::string& text, int control, int field) {
    if (shown == text) return;
    shown = text;
    if (control != 0) {
        gui_.setText(control, text);
    } else {
        gui_.setStatusField(field, text);
    }
}

MonitorFilter WindowShell::monitorFilter() {
    return {gui_.isOn(kFilterToggle), gui_.isOn(kInvertToggle), gui_.text(kFilterText)};
}

WaitOutcome WindowShell::wait(Bridge& b, Deadline due, std::span<pollfd> watched) {
    // One window event, or the bus or a client has something; in the first 5 ms after a
    // statistics tick the wait is repeated while nothing happened.
    WindowEvent event;
    for (;;) {
        std::int64_t now = clock_.elapsedMillis();
        if (drawPending() && now - lastDrawMillis_ >= kDrawIntervalMillis) {
            draw();
            now = lastDrawMillis_;
        }
        const Deadline drawDue = drawPending() ? Deadline{lastDrawMillis_ + kDrawIntervalMillis} : std::nullopt;
        bool ioReady = false;
        event = gui_.waitWindowEvent(millisUntil(nearest({due, drawDue}), now), watched, &ioReady);
        if (event.code != WindowEventCode::None || ioReady ||
            clock_.elapsedMillis() - b.stats.statsStartMillis > 5) {
            break;
        }
        due = nextDeadline(b, *this);
    }
    if (event.code == WindowEventCode::Control && event.window == kMainWindow) {
        if (runCommand(b, event.control) == WaitOutcome::EndNow) return WaitOutcome::EndNow;
    }
    return event.code == WindowEventCode::CloseRequest ? WaitOutcome::CloseAfterPass
                                                       : WaitOutcome::Continue;
}

WaitOutcome WindowShell::runCommand(Bridge& b, int control) {
    switch (control) {
        case kClearButton:
            monitor_.clear();
            break;
        case kSaveButton:
            saveMonitorLog(monitor_, b.clock.currentDate(), logDirectory);
            b.clock.sleepMillis(kSavePauseMillis);
            break;
        case kDisconnectAllButton:
            if (!disconnectAll(b, *this)) {
                gui_.showMessage("Network Error", "Couldn't restart connexion's server",
                                 MessageKind::Ok);
                return WaitOutcome::EndNow;
            }
            break;
        case kQuitButton:
            if (gui_.showMessage("Quit Tessel-Server", "Do you want to close Tessel-server ?",
                                 MessageKind::YesNo) == kAnswerYes) {
                return WaitOutcome::EndNow;
            }
            break;
        case kHelpButton:
            openHelpPage();
            break;
        case kDelayOption:
            b.pacing.busSendDelay =
                gui_.isOn(kDelayOption) ? kDelayedBusSendMillis : kFastBusSendMillis;
            break;
        default:
            break;
    }
    return WaitOutcome::Continue;
}

void WindowShell::passDone(const PassReport& report) {
    lastBusFrames_ = report.busFrames;
    if (report.clientRuns != 0) clientRunsToShow_ = report.clientRuns;
    if (clock_.elapsedMillis() - lastDrawMillis_ >= kDrawIntervalMillis) draw();
}

bool WindowShell::drawPending() const {
    return monitor_.hasPending() || clientRunsToShow_ != 0 ||
           shownBusFrames_ != "V:" + std::to_string(lastBusFrames_) ||
           shownLineCount_ != "Log line Number: " + std::to_string(monitor_.lineCount());
}

void WindowShell::draw() {
    lastDrawMillis_ = clock_.elapsedMillis();
    if (clientRunsToShow_ != 0) {
        gui_.setStatusField(kClientRunsField, "N:" + std::to_string(clientRunsToShow_));
        clientRunsToShow_ = 0;
    }
    monitor_.flush();
    setIfChanged(shownBusFrames_, "V:" + std::to_string(lastBusFrames_), 0, kBusFramesField);
    setIfChanged(shownLineCount_, "Log line Number: " + std::to_string(monitor_.lineCount()),
                 kLineCountLabel, 0);
}

void WindowShell::serialChanged(const std::string& device, bool present) {
    gui_.setStatusField(kSerialField, present ? "Velbus serial " + device : std::string("Velbus serial lost"));
}

}  // namespace tessel
