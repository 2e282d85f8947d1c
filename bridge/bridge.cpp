#include "bridge/bridge.h"

#include <algorithm>
#include <vector>

namespace tessel {

namespace {

// Stands in for the client list of a front end that shows none.
class NoClientList final : public ClientListView {
public:
    void clear() override {}
    void insertTop(const ClientRow&) override {}
    void updateRow(const ClientRow&) override {}
    void removeRow(std::int64_t) override {}
};

ClientListView& clientListOf(Shell& shell) {
    static NoClientList none;
    ClientListView* list = shell.clientList();
    return list != nullptr ? *list : none;
}

// Runs at [from, end) of the bus queue were just queued: their clients' backlogs grow, and a
// client past the limit is not read until the bus takes some of its runs.
void countQueued(Bridge& b, std::size_t from) {
    for (auto it = b.toBusQueue.begin() + static_cast<std::ptrdiff_t>(from); it != b.toBusQueue.end(); ++it) {
        // The front end's own frames are counted too, but never hold anyone back.
        if (++b.backlog[it->sender] > kSenderBacklogLimit && it->sender != kFrontEndSender) {
            b.net.heldBack.insert(it->sender);
        }
    }
}

// A run of `sender` left the bus queue.
void countTaken(Bridge& b, SenderId sender) {
    const auto it = b.backlog.find(sender);
    if (it == b.backlog.end()) return;
    if (--it->second <= kSenderBacklogLimit) b.net.heldBack.erase(sender);
    if (it->second == 0) b.backlog.erase(it);
}

// The serial port first (when open; also for room when a frame's rest waits), then the
// server's sockets.
std::vector<pollfd> watchedDescriptors(const Bridge& b) {
    std::vector<pollfd> fds;
    const int serialFd = serialDescriptor(b.serial, 0);
    if (serialFd >= 0) {
        fds.push_back({serialFd, static_cast<short>(POLLIN | (busWaitsForRoom(b.pacing) ? POLLOUT : 0)), 0});
    }
    collectNetworkDescriptors(b.net, fds);
    return fds;
}

// Lists the records at [toBusBefore, end) of the bus queue and [toClientsBefore, end) of the
// clients' queue, when the front end shows a monitor. The date is read only when there are lines
// to make.
void listNewRecords(Bridge& b, Shell& shell, const FrameQueue& toBus, std::int64_t toBusBefore,
                    const FrameQueue& toClients, std::int64_t toClientsBefore, std::optional<DateValue> date) {
    MonitorList* monitor = shell.monitor();
    if (monitor == nullptr) return;
    const auto clientRuns = static_cast<std::int64_t>(toBus.size()) - toBusBefore;
    const auto busFrames = static_cast<std::int64_t>(toClients.size()) - toClientsBefore;
    if (clientRuns == 0 && busFrames == 0) return;
    updateMonitor(*monitor, shell.monitorFilter(), toBus, toClients, b.clientTable, toBusBefore,
                  clientRuns, toClientsBefore, busFrames, date ? *date : b.clock.currentDate());
}

// Where the pass stands: its one reading of the clock, what the wait saw, and what it queued.
struct Pass {
    Moment time;
    WaitOutcome outcome = WaitOutcome::Continue;
    std::vector<pollfd> watched;
    bool serialWatched = false;
    short serialSeen = 0;
    std::int64_t toBusBefore = 0;
    std::int64_t toClientsBefore = 0;
    std::int64_t busFrames = 0;
    std::int64_t clientRuns = 0;
    bool listing = false;  // the front end reads the pass's records
    FrameQueue newClientRuns;
    FrameQueue newBusFrames;
};

void tickStatistics(Bridge& b, Shell& shell, const Pass& pass) {
    StatsView* view = shell.statistics();
    if (view == nullptr || !statsTickDue(b.stats, pass.time.millis)) return;
    updateBandwidthGraphs(b.stats, *view, pass.time.millis);
    updateUptime(b.stats, *view, pass.time.date);
}

// What the wait saw decides which descriptors are worth a system call in this pass.
void noteWhatTheWaitSaw(Bridge& b, Pass& pass) {
    pass.serialWatched = !pass.watched.empty() && pass.watched[0].fd == serialDescriptor(b.serial, 0);
    pass.serialSeen = pass.serialWatched ? pass.watched[0].revents : 0;
    noteReadyDescriptors(b.net, std::span<const pollfd>(pass.watched).subspan(pass.serialWatched ? 1 : 0));
}

// The interface's word on its buffer and the bus holds or releases the writes to it.
void heedInterfaceSignals(Bridge& b, Shell& shell, const Pass& pass) {
    for (auto it = b.toClientsQueue.begin() + pass.toClientsBefore; it != b.toClientsQueue.end(); ++it) {
        const InterfaceSignal signal = interfaceSignal(it->bytes);
        if (signal == InterfaceSignal::None) continue;
        shell.interfaceSaid(signal);
        if (const HoldChange change = noteInterfaceSignal(b.pacing, signal, pass.time.millis);
            change != HoldChange::None) {
            shell.holdChanged(change);
        }
    }
}

void receiveFromBus(Bridge& b, Shell& shell, Pass& pass) {
    // A lost interface is looked for again; once found it is read in this very pass.
    reopenLostSerialPort(b, shell, pass.time.millis);
    pass.toBusBefore = static_cast<std::int64_t>(b.toBusQueue.size());
    pass.toClientsBefore = static_cast<std::int64_t>(b.toClientsQueue.size());
    const auto ownWaiting = b.backlog.find(kFrontEndSender);
    shell.queueOwnFrames(b.toBusQueue, ownWaiting != b.backlog.end() ? ownWaiting->second : 0);
    const std::int64_t rxBytesBefore = b.stats.busRxByteCount;
    bool serialGone = false;
    b.busReceiver.extractor.keepPassedOver(shell.readsFrames());
    const bool mayBeWaiting = !pass.serialWatched || (pass.serialSeen & ~POLLOUT) != 0;
    pass.busFrames = busReceive(b.busReceiver, b.serial, b.toClientsQueue, b.stats.busRxByteCount,
                                pass.time.millis, mayBeWaiting, &serialGone);
    // A pulled interface (hung up, or a device that reads as ended) is closed and looked for
    // again every 2 s; the clients stay connected meanwhile.
    if (serialGone || (pass.serialSeen & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        pass.busFrames += loseSerialPort(b, shell, pass.time.millis);
    }
    b.totals.busFramesReceived += pass.busFrames;
    b.totals.busBytesReceived += b.stats.busRxByteCount - rxBytesBefore;
    if (std::vector<Bytes>& passedOver = b.busReceiver.extractor.passedOver(); !passedOver.empty()) {
        shell.busBytesPassedOver(passedOver);
        passedOver.clear();
    }
    heedInterfaceSignals(b, shell, pass);
}

void takeNetworkEvent(Bridge& b, Shell& shell, Pass& pass) {
    const std::int64_t shortagesBefore = b.net.reserve.shortages();
    const ServerEvent event = pollServerEvent(b.net, pass.time.millis);
    if (b.net.reserve.shortages() != shortagesBefore) shell.outOfDescriptors();
    ClientListView& clientList = clientListOf(shell);
    const ClientId client = event.client;
    switch (event.what) {
        case NetworkEvent::Data:
            pass.clientRuns = clientReceive(b.clientReceiver, b.net, client, b.toBusQueue, b.clientTable,
                                            pass.time.millis);
            if (pass.clientRuns != 0) {
                if (ClientRecord* sender = findClient(b.clientTable, client)) sender->lastActivityDate = pass.time.date;
            }
            break;
        case NetworkEvent::Connect:
            clientConnected(b.clientTable, clientList, b.net, client, pass.time);
            shell.clientJoined(b.clientTable.back());
            break;
        case NetworkEvent::Disconnect:
            flushClientRuns(b.clientReceiver, client, b.toBusQueue, b.clientTable);
            clientDisconnected(b.clientTable, clientList, client, pass.time.date);
            if (const ClientRecord* left = findClient(b.clientTable, client)) shell.clientLeft(*left);
            break;
        case NetworkEvent::Refused:
            shell.clientRefused(*event.refusal);
            break;
        case NetworkEvent::None:
            break;
    }
    expireClientRuns(b.clientReceiver, b.net, b.toBusQueue, b.clientTable, pass.time.millis);
    showChangedClients(b.clientTable, clientList);
    countQueued(b, static_cast<std::size_t>(pass.toBusBefore));
    b.totals.clientRunsNotFrames +=
        std::count_if(b.toBusQueue.begin() + pass.toBusBefore, b.toBusQueue.end(),
                      [](const ReceivedFrame& r) { return !soundFrame(r.wellFormed != 0, r.bytes); });
}

// The records this pass queued are taken while still queued; their lines are made once the
// frames are on their way, so a frame never waits for its own line.
void listWhatIsNew(const Bridge& b, Shell& shell, Pass& pass) {
    pass.listing = shell.monitor() != nullptr || shell.readsFrames();
    if (!pass.listing) return;
    pass.newClientRuns.assign(b.toBusQueue.begin() + pass.toBusBefore, b.toBusQueue.end());
    pass.newBusFrames.assign(b.toClientsQueue.begin() + pass.toClientsBefore, b.toClientsQueue.end());
}

void writeToBus(Bridge& b, Shell& shell, Pass& pass) {
    if (const HoldChange change = advanceHold(b.pacing, pass.time.millis); change != HoldChange::None) {
        shell.holdChanged(change);
    }
    const bool restWaits = busWaitsForRoom(b.pacing);
    if (!restWaits && !busStepDue(b.pacing, pass.time.millis)) return;
    // A frame begun is finished first; only then may another sender's turn come forward.
    if (b.fairTurns && !restWaits) bringTurnForward(b.toBusQueue, b.turns);
    SerialBusDevice device(b.serial);
    const BusStep step = sendToBus(b.toBusQueue, device, b.pacing, pass.time.millis, b.clock);
    b.stats.busTxByteCount += step.bytesWritten;
    b.totals.busBytesWritten += step.bytesWritten;
    if (step.frameWritten) ++b.totals.busFramesWritten;
    if (step.taken) countTaken(b, *step.taken);
    // A write the device refused for good: it is gone, as if it had hung up. A frame complete
    // among its last bytes is one of this pass's too.
    if (step.deviceLost) {
        const auto before = static_cast<std::ptrdiff_t>(b.toClientsQueue.size());
        pass.busFrames += loseSerialPort(b, shell, pass.time.millis);
        if (pass.listing) {
            pass.newBusFrames.insert(pass.newBusFrames.end(), b.toClientsQueue.begin() + before, b.toClientsQueue.end());
        }
    }
}

void reportThePass(Bridge& b, Shell& shell, const Pass& pass) {
    listNewRecords(b, shell, pass.newClientRuns, 0, pass.newBusFrames, 0, pass.time.date);
    shell.passDone(PassReport{pass.busFrames, pass.clientRuns, pass.newClientRuns, pass.newBusFrames});
}

// The hourly sweep of ended client records; without a list to show them in, they are forgotten
// at once.
void sweepEndedClients(Bridge& b, Shell& shell, const Pass& pass) {
    ClientListView& clientList = clientListOf(shell);
    if (shell.clientList() == nullptr) {
        forgetEndedClients(b.clientTable, clientList);
    } else if (pass.time.millis - b.lastSweepMillis > b.sweepMillis) {
        b.lastSweepMillis = pass.time.millis;
        clientDisconnected(b.clientTable, clientList, 0, pass.time.date);
    }
}

}  // namespace

void reopenLostSerialPort(Bridge& b, Shell& shell, std::int64_t nowMillis) {
    if (!b.serialLost || nowMillis < b.nextSerialRetryMillis) return;
    b.nextSerialRetryMillis = nowMillis + kSerialRetryMillis;
    if (b.findDevice) {
        const auto found = b.findDevice();
        if (!found) return;
        b.config.serialPortName = *found;
    }
    if (openVelbusPort(b.serial, 0, b.config.serialPortName, b.line) == 0) return;
    b.serialLost = false;
    shell.serialChanged(b.config.serialPortName, true);
}

std::int64_t loseSerialPort(Bridge& b, Shell& shell, std::int64_t nowMillis) {
    const std::int64_t frames = finishBusReceive(b.busReceiver, b.toClientsQueue);
    closeSerialPort(b.serial, 0);
    clearHold(b.pacing);     // a device found again starts as ready,
    restartHead(b.pacing);   // and takes a frame begun on the lost one whole
    b.serialLost = true;
    b.nextSerialRetryMillis = nowMillis + kSerialRetryMillis;
    shell.serialChanged(b.config.serialPortName, false);
    return frames;
}

Deadline nextDeadline(const Bridge& b, Shell& shell) {
    const BusPacing& p = b.pacing;
    // Held writes wait for the interface's word, or for the hold's own time; a frame's rest
    // waits for room on the device, which the wait watches.
    Deadline busStep;
    if (!b.toBusQueue.empty() && !busWaitsForRoom(p)) {
        busStep = p.held() ? nextHoldDeadline(p) : Deadline{p.lastBusSendMillis + p.busSendDelay + 1};
    }
    const BusReceiver& rx = b.busReceiver;
    return nearest({
        shell.statistics() != nullptr ? Deadline{b.stats.lastStatsMillis + kStatsIntervalMillis + 1} : std::nullopt,
        shell.clientList() != nullptr ? Deadline{b.lastSweepMillis + b.sweepMillis + 1} : std::nullopt,
        busStep,
        rx.extractor.hasKept() ? Deadline{rx.extractor.lastFeedMillis() + kBusKeptRunMillis + 1} : std::nullopt,
        nextClientRunDeadline(b.clientReceiver),
        b.serialLost ? Deadline{b.nextSerialRetryMillis} : std::nullopt,
        nextAdmissionDeadline(b.net),
        // Bytes a TLS layer or a key's client already holds show on no descriptor; those of a
        // client held back are not taken, and must not end the wait either.
        networkHasBufferedInput(b.net) ? Deadline{kDueNow} : std::nullopt,
    });
}

int waitMillis(const Bridge& b, Shell& shell, std::int64_t now) { return millisUntil(nextDeadline(b, shell), now); }

bool disconnectAll(Bridge& b, Shell& shell) {
    // Half-received runs of the dropped clients can never become frames: they get their red line
    // now, named after their senders while the table still has them, and their turn at the bus.
    const auto toBusBefore = static_cast<std::int64_t>(b.toBusQueue.size());
    flushAllClientRuns(b.clientReceiver, b.toBusQueue, b.clientTable);
    countQueued(b, static_cast<std::size_t>(toBusBefore));
    listNewRecords(b, shell, b.toBusQueue, toBusBefore, FrameQueue{}, 0, std::nullopt);
    for (const ClientRecord& r : b.clientTable) {
        if (r.active()) shell.clientLeft(r);
    }
    b.clientTable.clear();
    clientListOf(shell).clear();
    closeServer(b.net, 0);
    b.clock.sleepMillis(kDisconnectAllPauseMillis);
    return createServer(b.net, 0, b.config.ethernetPort, b.bindAddress) != 0;
}

void endProgram(Bridge& b) {
    closeSerialPort(b.serial, 0);
    closeServer(b.net, 0);
    closeSerialPort(b.serial, kAllSerialPorts);
    closeServer(b.net, kAllServers);
}

PassResult runPass(Bridge& b, Shell& shell) {
    Pass pass;
    pass.watched = watchedDescriptors(b);
    pass.outcome = shell.wait(b, nextDeadline(b, shell), pass.watched);
    if (pass.outcome == WaitOutcome::EndNow) {
        endProgram(b);
        return PassResult::End;
    }
    pass.time = b.clock.now();
    tickStatistics(b, shell, pass);
    noteWhatTheWaitSaw(b, pass);
    receiveFromBus(b, shell, pass);
    takeNetworkEvent(b, shell, pass);
    listWhatIsNew(b, shell, pass);
    writeToBus(b, shell, pass);
    sendToClients(b.toClientsQueue, b.net, b.clock, b.clientSpacing ? &*b.clientSpacing : nullptr);
    reportThePass(b, shell, pass);
    sweepEndedClients(b, shell, pass);
    // A close request ends the program after this complete pass.
    if (pass.outcome == WaitOutcome::CloseAfterPass) {
        endProgram(b);
        return PassResult::End;
    }
    return PassResult::Continue;
}

void mainLoop(Bridge& b, Shell& shell) {
    while (runPass(b, shell) == PassResult::Continue) {
    }
}

}  // namespace tessel
