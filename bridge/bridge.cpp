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

// The serial port first (when open), then the server's sockets.
std::vector<pollfd> watchedDescriptors(const Bridge& b) {
    std::vector<pollfd> fds;
    const int serialFd = serialDescriptor(b.serial, 0);
    if (serialFd >= 0) fds.push_back({serialFd, POLLIN, 0});
    collectNetworkDescriptors(b.net, fds);
    return fds;
}

// Lists the records at [toBusBefore, end) of the bus queue and [toClientsBefore, end) of the
// clients' queue, when the front end shows a monitor.
void listNewRecords(Bridge& b, Shell& shell, const FrameQueue& toBus, std::int64_t toBusBefore,
                    const FrameQueue& toClients, std::int64_t toClientsBefore) {
    MonitorList* monitor = shell.monitor();
    if (monitor == nullptr) return;
    const auto clientRuns = static_cast<std::int64_t>(toBus.size()) - toBusBefore;
    const auto busFrames = static_cast<std::int64_t>(toClients.size()) - toClientsBefore;
    if (clientRuns == 0 && busFrames == 0) return;
    // The filter and the date are read only when there are lines to make.
    updateMonitor(*monitor, shell.monitorFilter(), toBus, toClients, b.clientTable, toBusBefore,
                  clientRuns, toClientsBefore, busFrames, b.clock.currentDate());
}

}  // namespace

void reopenLostSerialPort(Bridge& b, Shell& shell) {
    if (!b.serialLost) return;
    const std::int64_t now = b.clock.elapsedMillis();
    if (now < b.nextSerialRetryMillis) return;
    b.nextSerialRetryMillis = now + kSerialRetryMillis;
    if (b.findDevice) {
        const auto found = b.findDevice();
        if (!found) return;
        b.config.serialPortName = *found;
    }
    if (openVelbusPort(b.serial, 0, b.config.serialPortName, b.line) == 0) return;
    b.serialLost = false;
    shell.serialBack(b.config.serialPortName);
}

std::int64_t loseSerialPort(Bridge& b, Shell& shell) {
    const std::int64_t frames = finishBusReceive(b.busReceiver, b.toClientsQueue);
    closeSerialPort(b.serial, 0);
    clearHold(b.pacing);  // a device found again starts as ready
    b.serialLost = true;
    b.nextSerialRetryMillis = b.clock.elapsedMillis() + kSerialRetryMillis;
    shell.serialLost(b.config.serialPortName);
    return frames;
}

int waitMillis(const Bridge& b, Shell& shell, std::int64_t now) {
    // Nothing at all due: wait for traffic or the shell's own events, a day at most.
    std::int64_t wait = 86'400'000;
    if (shell.statistics() != nullptr) {
        wait = std::min(wait, b.stats.lastStatsMillis + kStatsIntervalMillis + 1 - now);
    }
    if (shell.clientList() != nullptr) {
        wait = std::min(wait, b.lastSweepMillis + b.sweepMillis + 1 - now);
    }
    if (!b.toBusQueue.empty()) {
        // Held writes wait for the interface's word, or for the hold's own time.
        const auto holdDue = nextHoldDeadline(b.pacing);
        wait = std::min(wait, holdDue ? *holdDue - now : b.pacing.lastBusSendMillis + b.pacing.busSendDelay + 1 - now);
    }
    if (b.busReceiver.extractor.hasKept()) {
        wait = std::min(wait, b.busReceiver.extractor.lastFeedMillis() + kBusKeptRunMillis + 1 - now);
    }
    if (const auto due = nextClientRunDeadline(b.clientReceiver)) wait = std::min(wait, *due - now);
    if (b.serialLost) wait = std::min(wait, b.nextSerialRetryMillis - now);
    if (const auto due = nextAdmissionDeadline(b.net)) wait = std::min(wait, *due - now);
    // Bytes a TLS layer or a key's client already holds show on no descriptor; those of a
    // client held back are not taken, and must not end the wait either.
    if (networkHasBufferedInput(b.net)) wait = 0;
    return static_cast<int>(std::clamp<std::int64_t>(wait, 0, 86'400'000));
}

bool disconnectAll(Bridge& b, Shell& shell) {
    // Half-received runs of the dropped clients can never become frames: they get their red line
    // now, named after their senders while the table still has them, and their turn at the bus.
    const auto toBusBefore = static_cast<std::int64_t>(b.toBusQueue.size());
    flushAllClientRuns(b.clientReceiver, b.toBusQueue, b.clientTable);
    countQueued(b, static_cast<std::size_t>(toBusBefore));
    listNewRecords(b, shell, b.toBusQueue, toBusBefore, FrameQueue{}, 0);
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
    // 1-3. Wait for the bus, a client or the front end, which carries out its own commands.
    std::vector<pollfd> watched = watchedDescriptors(b);
    const WaitOutcome outcome = shell.wait(b, waitMillis(b, shell, b.clock.elapsedMillis()), watched);
    if (outcome == WaitOutcome::EndNow) {
        endProgram(b);
        return PassResult::End;
    }

    // 4. Statistics tick.
    if (StatsView* view = shell.statistics();
        view != nullptr && statsTickDue(b.stats, b.clock.elapsedMillis())) {
        updateBandwidthGraphs(b.stats, *view, b.clock);
        updateUptime(b.stats, *view, b.clock);
    }

    // What the wait saw decides which descriptors are worth a system call in this pass.
    const bool serialWatched = !watched.empty() && watched[0].fd == serialDescriptor(b.serial, 0);
    const short serialSeen = serialWatched ? watched[0].revents : 0;
    noteReadyDescriptors(b.net, std::span<const pollfd>(watched).subspan(serialWatched ? 1 : 0));
    // A lost interface is looked for again; once found it is read in this very pass.
    reopenLostSerialPort(b, shell);

    // 5-7. Receive.
    const auto toBusSizeBefore = static_cast<std::int64_t>(b.toBusQueue.size());
    const auto toClientsSizeBefore = static_cast<std::int64_t>(b.toClientsQueue.size());
    const auto ownWaiting = b.backlog.find(kFrontEndSender);
    shell.queueOwnFrames(b.toBusQueue, ownWaiting != b.backlog.end() ? ownWaiting->second : 0);
    const std::int64_t rxBytesBefore = b.stats.busRxByteCount;
    bool serialGone = false;
    b.busReceiver.extractor.keepPassedOver(shell.readsFrames());
    std::int64_t busFrames =
        busReceive(b.busReceiver, b.serial, b.toClientsQueue, b.stats.busRxByteCount,
                   b.clock.elapsedMillis(), !serialWatched || serialSeen != 0, &serialGone);
    // A pulled interface (hung up, or a device that reads as ended) is closed and looked for
    // again every 2 s; the clients stay connected meanwhile.
    if (serialGone || (serialSeen & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        busFrames += loseSerialPort(b, shell);
    }
    b.totals.busFramesReceived += busFrames;
    if (std::vector<Bytes>& passedOver = b.busReceiver.extractor.passedOver(); !passedOver.empty()) {
        shell.busBytesPassedOver(passedOver);
        passedOver.clear();
    }
    // The interface's word on its buffer and the bus holds or releases the writes to it.
    for (auto it = b.toClientsQueue.begin() + toClientsSizeBefore; it != b.toClientsQueue.end(); ++it) {
        const InterfaceSignal signal = interfaceSignal(it->bytes);
        if (signal == InterfaceSignal::None) continue;
        shell.interfaceSaid(signal);
        if (const HoldChange change = noteInterfaceSignal(b.pacing, signal, b.clock.elapsedMillis());
            change != HoldChange::None) {
            shell.holdChanged(change);
        }
    }
    b.totals.busBytesReceived += b.stats.busRxByteCount - rxBytesBefore;
    const std::int64_t shortagesBefore = b.net.reserve.shortages();
    const NetworkEvent netEvent = pollServerEvent(b.net, b.clock.elapsedMillis());
    if (b.net.reserve.shortages() != shortagesBefore) shell.outOfDescriptors();

    // 9. The network event.
    ClientListView& clientList = clientListOf(shell);
    const ClientId client = eventClient(b.net);
    std::int64_t dataRuns = 0;
    switch (netEvent) {
        case NetworkEvent::Data: {
            dataRuns = clientReceive(b.clientReceiver, b.net, client, b.toBusQueue, b.clientTable,
                                     b.clock.elapsedMillis());
            if (dataRuns != 0) {
                if (ClientRecord* sender = findClient(b.clientTable, client)) {
                    sender->lastActivityDate = b.clock.currentDate();
                }
            }
            break;
        }
        case NetworkEvent::Connect:
            clientConnected(b.clientTable, clientList, b.net, client, b.clock);
            shell.clientJoined(b.clientTable.back());
            break;
        case NetworkEvent::Disconnect:
            flushClientRuns(b.clientReceiver, client, b.toBusQueue, b.clientTable);
            clientDisconnected(b.clientTable, clientList, client, b.clock);
            if (const ClientRecord* left = findClient(b.clientTable, client)) shell.clientLeft(*left);
            break;
        case NetworkEvent::Refused:
            shell.clientRefused(refusedClient(b.net).peer, refusedClient(b.net).reason);
            break;
        case NetworkEvent::None:
            break;
    }
    expireClientRuns(b.clientReceiver, b.net, b.toBusQueue, b.clientTable, b.clock.elapsedMillis());
    showChangedClients(b.clientTable, clientList);
    countQueued(b, static_cast<std::size_t>(toBusSizeBefore));
    b.totals.clientRunsNotFrames +=
        std::count_if(b.toBusQueue.begin() + toBusSizeBefore, b.toBusQueue.end(), [](const ReceivedFrame& r) {
            return !soundFrame(r.wellFormed != 0, r.bytes);
        });

    // 10. The monitor lists every record this pass queued. The records are taken while still
    // queued; their lines are made once the frames are on their way, so a frame never waits for
    // its own line.
    const bool listing = shell.monitor() != nullptr || shell.readsFrames();
    const FrameQueue newClientRuns =
        listing ? FrameQueue(b.toBusQueue.begin() + toBusSizeBefore, b.toBusQueue.end()) : FrameQueue{};
    const FrameQueue newBusFrames =
        listing ? FrameQueue(b.toClientsQueue.begin() + toClientsSizeBefore, b.toClientsQueue.end())
                : FrameQueue{};

    // 11-12. Transmit.
    if (const HoldChange change = advanceHold(b.pacing, b.clock.elapsedMillis()); change != HoldChange::None) {
        shell.holdChanged(change);
    }
    if (busStepDue(b.pacing, b.clock.elapsedMillis())) {
        const std::int64_t txBytesBefore = b.stats.busTxByteCount;
        if (b.fairTurns) bringTurnForward(b.toBusQueue, b.turns);
        if (!b.toBusQueue.empty()) countTaken(b, b.toBusQueue.front().sender);
        sendToBus(b.toBusQueue, b.serial, b.stats.busTxByteCount, b.pacing, b.clock);
        if (b.stats.busTxByteCount != txBytesBefore) {
            ++b.totals.busFramesWritten;
            b.totals.busBytesWritten += b.stats.busTxByteCount - txBytesBefore;
        }
    }
    sendToClients(b.toClientsQueue, b.net, b.clock, b.clientSpacing ? &*b.clientSpacing : nullptr);

    listNewRecords(b, shell, newClientRuns, 0, newBusFrames, 0);
    if (listing) shell.framesPassed(newClientRuns, newBusFrames);
    shell.passDone(busFrames, dataRuns);

    // 13. The hourly sweep of ended client records; without a list to show them in, they are
    // forgotten at once.
    if (shell.clientList() == nullptr) {
        forgetEndedClients(b.clientTable, clientList);
    } else if (b.clock.elapsedMillis() - b.lastSweepMillis > b.sweepMillis) {
        b.lastSweepMillis = b.clock.elapsedMillis();
        clientDisconnected(b.clientTable, clientList, 0, b.clock);
    }

    // 14. A close request ends the program after this complete pass.
    if (outcome == WaitOutcome::CloseAfterPass) {
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
