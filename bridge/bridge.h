// The running bridge, whichever front end holds it: one record of its state, and the pass that
// drives every subsystem once between two waits. A front end (the window, the service) is known
// to the pass only through Shell: it does the waiting and carries out its own commands, and it
// says where the monitor's lines, the client list, the statistics and the status go.
#pragma once
#include <poll.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "bridge/config.h"
#include "net/client_receive.h"
#include "net/client_table.h"
#include "net/tcp_server.h"
#include "platform/clock.h"
#include "platform/deadline.h"
#include "protocol/received_frame.h"
#include "routing/bus_turns.h"
#include "routing/monitor.h"
#include "routing/statistics.h"
#include "routing/transmit.h"
#include "serial/bus_receive.h"
#include "serial/serial_port.h"

namespace tessel {

constexpr std::int64_t kSweepMillis = 3600000;
constexpr std::int64_t kDisconnectAllPauseMillis = 500;
// How often a lost serial device is looked for again.
constexpr std::int64_t kSerialRetryMillis = 2000;

// Running totals since the start, for a front end that reports them (the service's metrics).
struct BridgeTotals {
    std::int64_t busFramesReceived = 0;
    std::int64_t busBytesReceived = 0;
    std::int64_t busFramesWritten = 0;
    std::int64_t busBytesWritten = 0;
    std::int64_t clientRunsNotFrames = 0;
};

struct Bridge {
    explicit Bridge(Clock& clock) : clock(clock) {}

    Clock& clock;
    Configuration config;
    std::string bindAddress;  // empty: every IPv4 interface
    SerialPortTable serial;
    // How the serial device is set up, at the start and each time it is found again.
    LineSettings line;
    NetworkState net;
    BusReceiver busReceiver;
    ClientReceiver clientReceiver;
    FrameQueue toBusQueue;
    // How many runs each sender has in the bus queue; a client past kSenderBacklogLimit is held
    // back.
    std::unordered_map<ClientId, std::size_t> backlog;
    FrameQueue toClientsQueue;
    ClientTable clientTable;
    BusPacing pacing;
    // Set: the bus queue's head goes round the clients; else first come, first served.
    bool fairTurns = false;
    BusTurns turns;
    // Set: the pause between frames to the clients is kept between frames only, not after the
    // last of a pass.
    std::optional<ClientSpacing> clientSpacing;
    TrafficStats stats;
    std::int64_t lastSweepMillis = 0;
    // A front end that says how many ended clients it no longer lists sweeps more often than
    // hourly, so that count stays current.
    std::int64_t sweepMillis = kSweepMillis;
    // Set while the serial device is gone; the bridge keeps serving its clients meanwhile.
    bool serialLost = false;
    std::int64_t nextSerialRetryMillis = 0;
    // Set when the device is found by what it is: each look for a lost device asks it for the
    // name first (nothing: not there yet).
    std::function<std::optional<std::string>()> findDevice;
    BridgeTotals totals;
};

// What a pass did, for the front end once its frames are on their way.
struct PassReport {
    std::int64_t busFrames = 0;   // records read from the bus
    std::int64_t clientRuns = 0;  // runs from the client of the data event (0 when there was none)
    // The pass's records, for a front end that reads them (readsFrames); empty otherwise.
    const FrameQueue& newClientRuns;
    const FrameQueue& newBusFrames;
};

enum class WaitOutcome {
    Continue,        // go on with the pass
    CloseAfterPass,  // finish this pass, then end
    EndNow,          // end at once
};

class Shell {
public:
    virtual ~Shell() = default;
    // Waits until one of `watched` is ready (their revents say which), the shell has an event
    // of its own, or `due` came (none: nothing of the bridge's is due); carries out the shell's
    // own commands. The shell folds its own deadlines in with `due`.
    virtual WaitOutcome wait(Bridge& bridge, Deadline due, std::span<pollfd> watched) = 0;
    // Where the monitor's lines go; none: no lines are made at all.
    virtual MonitorList* monitor() { return nullptr; }
    virtual MonitorFilter monitorFilter() { return {}; }
    // The client list; none: ended client records are forgotten at the end of their pass, and
    // there is no hourly sweep.
    virtual ClientListView* clientList() { return nullptr; }
    // The traffic statistics; none: no statistics tick, and no wake-up for one.
    virtual StatsView* statistics() { return nullptr; }
    // The pass's counts and, for a front end that reads them, its records, once its frames are
    // on their way.
    virtual void passDone(const PassReport& /*report*/) {}
    // Whether the front end reads the pass's records (client runs and bus frames), monitor or
    // not; it gets them in passDone.
    virtual bool readsFrames() { return false; }
    // For a front end that reads the frames: the bus's bytes that were no frame (noise, a frame
    // cut short), as runs, in the pass they were passed over and before its frames.
    virtual void busBytesPassedOver(const std::vector<Bytes>& /*runs*/) {}
    virtual void clientJoined(const ClientRecord& /*record*/) {}
    virtual void clientLeft(const ClientRecord& /*record*/) {}
    // A client of a guarded server that did not get in: who ("address:port"), why, and where.
    virtual void clientRefused(const Refusal& /*refusal*/) {}
    // The listeners began to refuse new clients for want of descriptors (once per shortage).
    virtual void outOfDescriptors() {}
    // The serial device went away (`present` false) or was found again.
    virtual void serialChanged(const std::string& /*device*/, bool /*present*/) {}
    // The interface spoke of itself (bus off or active, buffer full or ready); its frame goes to
    // the clients and the monitor like any other.
    virtual void interfaceSaid(InterfaceSignal /*signal*/) {}
    // The hold on bus writes changed: held, held past a second, resumed, or resumed by time.
    virtual void holdChanged(HoldChange /*change*/) {}
    // Frames the front end itself sends to the bus, queued like a client's, with their monitor
    // lines; `toBus` takes them at its tail, and `ownWaiting` of them are still there from
    // before. Nothing but the service (its clock setting, its scan) does this.
    virtual void queueOwnFrames(FrameQueue& /*toBus*/, std::size_t /*ownWaiting*/) {}
};

enum class PassResult { Continue, End };

// One pass: the wait, the statistics tick, receive from the bus and one network event, the
// monitor's lines, the write to the bus and the send to the clients, the hourly sweep.
PassResult runPass(Bridge& bridge, Shell& shell);
// Runs passes until the program ends. Both front ends start the bridge through this.
void mainLoop(Bridge& bridge, Shell& shell);

// When the bridge has something due next: a statistics tick, a bus step while runs wait, a kept
// run's time-out, a look for a lost serial device, a client's time to get in, the hourly sweep.
// Bus bytes, client traffic and a device with room for a frame's rest end the wait at once
// whatever its length, so an idle bridge needs no heartbeat.
Deadline nextDeadline(const Bridge& bridge, Shell& shell);
// The same as a wait from `nowMillis`, in milliseconds.
int waitMillis(const Bridge& bridge, Shell& shell, std::int64_t nowMillis);

// Drops every client: their half-received runs get their monitor line and their turn at the
// bus, the table and the list are emptied, the server is closed and, after a pause, created
// again. False when it could not be created again.
bool disconnectAll(Bridge& bridge, Shell& shell);
// Closes serial port 0 and server 0, then every port and server.
void endProgram(Bridge& bridge);

// A serial device that hung up or ended: the frames complete among its kept bytes are queued
// (returns their number), the port is closed and the shell is told.
std::int64_t loseSerialPort(Bridge& bridge, Shell& shell, std::int64_t nowMillis);
// Looks for a lost serial device again, every 2 s.
void reopenLostSerialPort(Bridge& bridge, Shell& shell, std::int64_t nowMillis);

}  // namespace tessel
