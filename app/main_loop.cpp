#include "app/main_loop.h"

#include <unistd.h>

#include <algorithm>
#include <numeric>

#include "app/log_file.h"
#include "app/main_window.h"

namespace tessel {

namespace {

bool takingClientData(const Bridge& b) { return b.toBusQueue.size() <= kBusQueueHighWater; }

std::int64_t errorTotal(const ClientTable& table) {
    return std::accumulate(table.begin(), table.end(), std::int64_t{0},
                           [](std::int64_t sum, const ClientRecord& r) { return sum + r.errorCount; });
}

void setIfChanged(Bridge& b, std::string& shown, const std::string& text, int control, int field) {
    if (shown == text) return;
    shown = text;
    if (control != 0) {
        b.gui.setText(control, text);
    } else {
        b.gui.setStatusField(field, text);
    }
}

MonitorFilter readFilter(const Gui& gui) {
    return {gui.isOn(kFilterToggle), gui.isOn(kInvertToggle), gui.text(kFilterText)};
}

// The program's page: the README installed with it, else the one beside the build.
void openHelpPage() {
    std::string page = TESSEL_DOC_PATH;
    if (access(page.c_str(), R_OK) != 0) {
        char exe[4096];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) {
            exe[n] = '\0';
            std::string dir(exe);
            dir = dir.substr(0, dir.rfind('/'));
            page = dir.substr(0, dir.rfind('/')) + "/README.md";
        }
    }
    gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(page.c_str()), nullptr};
    g_spawn_async(nullptr, argv, nullptr, GSpawnFlags(G_SPAWN_SEARCH_PATH), nullptr, nullptr,
                  nullptr, nullptr);
}

// The serial port first (when open), then the server's sockets.
std::vector<pollfd> watchedDescriptors(const Bridge& b) {
    std::vector<pollfd> fds;
    const int serialFd = serialDescriptor(b.serial, 0);
    if (serialFd >= 0) fds.push_back({serialFd, POLLIN, 0});
    collectNetworkDescriptors(b.net, takingClientData(b), fds);
    return fds;
}

}  // namespace

void attachMainWindow(Bridge& b) {
    b.monitor = std::make_unique<GtkMonitorList>(b.gui, kMonitorList);
    b.clientList = std::make_unique<GtkClientList>(b.gui, kClientList);
    b.statsView = std::make_unique<GtkStatsView>(b.gui);
}

void reopenLostSerialPort(Bridge& b) {
    if (!b.serialLost) return;
    const std::int64_t now = b.clock.elapsedMillis();
    if (now < b.nextSerialRetryMillis) return;
    b.nextSerialRetryMillis = now + kSerialRetryMillis;
    if (openVelbusPort(b.serial, 0, b.config.serialPortName) == 0) return;
    b.serialLost = false;
    b.gui.setStatusField(kSerialField, "Velbus serial " + b.config.serialPortName);
}

std::int64_t loseSerialPort(Bridge& b) {
    const std::int64_t frames = finishBusReceive(b.busReceiver, b.toClientsQueue);
    closeSerialPort(b.serial, 0);
    b.serialLost = true;
    b.nextSerialRetryMillis = b.clock.elapsedMillis() + kSerialRetryMillis;
    b.gui.setStatusField(kSerialField, "Velbus serial lost");
    return frames;
}

int waitMillis(const Bridge& b, std::int64_t now) {
    std::int64_t wait = b.stats.lastStatsMillis + kStatsIntervalMillis + 1 - now;
    wait = std::min(wait, b.lastSweepMillis + kSweepMillis + 1 - now);
    if (!b.toBusQueue.empty()) {
        wait = std::min(wait, b.pacing.lastBusSendMillis + b.pacing.busSendDelay + 1 - now);
    }
    if (b.busReceiver.extractor.hasKept()) {
        wait = std::min(wait, b.busReceiver.extractor.lastFeedMillis() + kBusKeptRunMillis + 1 - now);
    }
    if (const auto due = nextClientRunDeadline(b.clientReceiver)) wait = std::min(wait, *due - now);
    if (b.serialLost) wait = std::min(wait, b.nextSerialRetryMillis - now);
    return static_cast<int>(std::clamp<std::int64_t>(wait, 0, kStatsIntervalMillis + 1));
}

PassResult runCommand(Bridge& b, int control) {
    switch (control) {
        case kClearButton:
            b.monitor->clear();
            break;
        case kSaveButton:
            saveMonitorLog(*b.monitor, b.clock.currentDate(), b.logDirectory);
            b.clock.sleepMillis(kSavePauseMillis);
            break;
        case kDisconnectAllButton:
            return disconnectAll(b);
        case kQuitButton:
            if (b.gui.showMessage("Quit Tessel-Server", "Do you want to close Tessel-server ?",
                                  MessageKind::YesNo) == kAnswerYes) {
                endProgram(b);
                return PassResult::End;
            }
            break;
        case kHelpButton:
            openHelpPage();
            break;
        case kDelayOption:
            b.pacing.busSendDelay =
                b.gui.isOn(kDelayOption) ? kDelayedBusSendMillis : kFastBusSendMillis;
            break;
        default:
            break;
    }
    return PassResult::Continue;
}

PassResult disconnectAll(Bridge& b) {
    // Half-received runs of the dropped clients can never become frames: they get their red line
    // now, named after their senders while the table still has them, and their turn at the bus.
    const auto toBusBefore = static_cast<std::int64_t>(b.toBusQueue.size());
    const std::int64_t dropped = flushAllClientRuns(b.clientReceiver, b.toBusQueue, b.clientTable);
    if (dropped != 0) {
        updateMonitor(*b.monitor, readFilter(b.gui), b.toBusQueue, FrameQueue{}, b.clientTable,
                      toBusBefore, dropped, 0, 0, b.clock.currentDate());
    }
    b.clientTable.clear();
    b.clientList->clear();
    closeServer(b.net, 0);
    b.clock.sleepMillis(kDisconnectAllPauseMillis);
    if (createServer(b.net, 0, b.config.ethernetPort) == 0) {
        b.gui.showMessage("Network Error", "Couldn't restart connexion's server", MessageKind::Ok);
        endProgram(b);
        return PassResult::End;
    }
    return PassResult::Continue;
}

void endProgram(Bridge& b) {
    closeSerialPort(b.serial, 0);
    closeServer(b.net, 0);
    closeSerialPort(b.serial, kAllSerialPorts);
    closeServer(b.net, kAllServers);
}

PassResult runPass(Bridge& b) {
    // 1. Wait for one window event, or for the bus or a client to have something.
    std::vector<pollfd> watched = watchedDescriptors(b);
    WindowEvent event;
    for (;;) {
        bool ioReady = false;
        event = b.gui.waitWindowEvent(waitMillis(b, b.clock.elapsedMillis()), watched, &ioReady);
        if (event.code != WindowEventCode::None || ioReady ||
            b.clock.elapsedMillis() - b.stats.statsStartMillis > 5) {
            break;
        }
    }

    // 2-3. The command of a control.
    if (event.code == WindowEventCode::Control && event.window == 0) {
        if (runCommand(b, event.control) == PassResult::End) return PassResult::End;
    }

    // 4. Statistics tick.
    if (statsTickDue(b.stats, b.clock.elapsedMillis())) {
        updateBandwidthGraphs(b.stats, *b.statsView, b.clock);
        updateUptime(b.stats, *b.statsView, b.clock);
    }

    // What the wait saw decides which descriptors are worth a system call in this pass.
    const bool serialWatched = !watched.empty() && watched[0].fd == serialDescriptor(b.serial, 0);
    const short serialSeen = serialWatched ? watched[0].revents : 0;
    if (takingClientData(b)) {
        noteReadyDescriptors(b.net, std::span<const pollfd>(watched).subspan(serialWatched ? 1 : 0));
    } else {
        b.net.readinessKnown = false;  // idle clients are still looked at for a close
    }
    // A lost interface is looked for again; once found it is read in this very pass.
    reopenLostSerialPort(b);

    // 5-7. Receive.
    const auto toBusSizeBefore = static_cast<std::int64_t>(b.toBusQueue.size());
    const auto toClientsSizeBefore = static_cast<std::int64_t>(b.toClientsQueue.size());
    const std::int64_t errorsBefore = errorTotal(b.clientTable);
    bool serialGone = false;
    std::int64_t busFrames =
        busReceive(b.busReceiver, b.serial, b.toClientsQueue, b.stats.busRxByteCount,
                   b.clock.elapsedMillis(), !serialWatched || serialSeen != 0, &serialGone);
    // A pulled interface (hung up, or a device that reads as ended) is closed and looked for
    // again every 2 s; the clients stay connected meanwhile.
    if (serialGone || (serialSeen & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        busFrames += loseSerialPort(b);
    }
    const NetworkEvent netEvent = pollServerEvent(b.net, takingClientData(b));

    // 8. Written to the status bar once this pass's frames are on their way (below).
    const std::string busFramesText = "V:" + std::to_string(busFrames);

    // 9. The network event.
    const ClientId client = eventClient(b.net);
    switch (netEvent) {
        case NetworkEvent::Data: {
            const std::int64_t runs = clientReceive(b.clientReceiver, b.net, client, b.toBusQueue,
                                                    b.clientTable, b.clock.elapsedMillis());
            if (runs != 0) {
                b.gui.setStatusField(kClientRunsField, "N:" + std::to_string(runs));
                const DateValue now = b.clock.currentDate();
                for (auto& r : b.clientTable) {
                    if (r.clientId == client) r.lastActivityDate = now;
                }
            }
            break;
        }
        case NetworkEvent::Connect:
            clientConnected(b.clientTable, *b.clientList, b.net, client, b.clock);
            break;
        case NetworkEvent::Disconnect:
            flushClientRuns(b.clientReceiver, client, b.toBusQueue, b.clientTable);
            clientDisconnected(b.clientTable, *b.clientList, client, b.clock);
            break;
        case NetworkEvent::None:
            break;
    }
    expireClientRuns(b.clientReceiver, b.net, b.toBusQueue, b.clientTable, b.clock.elapsedMillis());
    if (errorTotal(b.clientTable) != errorsBefore) rebuildClientList(b.clientTable, *b.clientList);

    // 10. The monitor lists every record this pass queued. The records are taken while still
    // queued; their lines are made once the frames are on their way, so a frame never waits for
    // its own line.
    const auto clientRuns = static_cast<std::int64_t>(b.toBusQueue.size()) - toBusSizeBefore;
    const FrameQueue newClientRuns(b.toBusQueue.begin() + toBusSizeBefore, b.toBusQueue.end());
    const FrameQueue newBusFrames(b.toClientsQueue.begin() + toClientsSizeBefore,
                                  b.toClientsQueue.end());

    // 11-12. Transmit.
    if (busStepDue(b.pacing, b.clock.elapsedMillis())) {
        sendToBus(b.toBusQueue, b.serial, b.stats.busTxByteCount, b.pacing, b.clock);
    }
    sendToClients(b.toClientsQueue, b.clientTable, b.net, b.clock);

    // The filter controls and the date are read only when there are lines to make.
    const bool newLines = clientRuns != 0 || busFrames != 0;
    const std::string lineCount = updateMonitor(
        *b.monitor, newLines ? readFilter(b.gui) : MonitorFilter{}, newClientRuns, newBusFrames,
        b.clientTable, 0, clientRuns, 0, busFrames, newLines ? b.clock.currentDate() : 0);

    // What steps 8 and 10 decided reaches the window now; the screen changes only at the next
    // wait anyway.
    b.monitor->flush();
    setIfChanged(b, b.shownBusFrames, busFramesText, 0, kBusFramesField);
    setIfChanged(b, b.shownLineCount, lineCount, kLineCountLabel, 0);

    // 13. The hourly sweep of ended client records.
    if (b.clock.elapsedMillis() - b.lastSweepMillis > kSweepMillis) {
        b.lastSweepMillis = b.clock.elapsedMillis();
        clientDisconnected(b.clientTable, *b.clientList, 0, b.clock);
    }

    // 14. A close request ends the program after this complete pass.
    if (event.code == WindowEventCode::CloseRequest) {
        endProgram(b);
        return PassResult::End;
    }
    return PassResult::Continue;
}

void mainLoop(Bridge& b) {
    while (runPass(b) == PassResult::Continue) {
    }
}

}  // namespace tessel
