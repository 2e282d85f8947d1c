// The running bridge: one record of its state, and the main loop that drives every subsystem
// once per pass, between two waits for a window event.
#pragma once
#include <cstdint>
#include <string>

#include "app/config.h"
#include "app/gui.h"
#include "net/client_receive.h"
#include "net/client_table.h"
#include "net/tcp_server.h"
#include "platform/clock.h"
#include "protocol/received_frame.h"
#include "routing/monitor.h"
#include "routing/statistics.h"
#include "routing/transmit.h"
#include "serial/bus_receive.h"
#include "serial/serial_port.h"

namespace tessel {

constexpr std::int64_t kSweepMillis = 3600000;
constexpr std::int64_t kDisconnectAllPauseMillis = 500;
constexpr std::int64_t kSavePauseMillis = 10;
// How often a lost serial device is looked for again.
constexpr std::int64_t kSerialRetryMillis = 2000;

struct Bridge {
    Bridge(Gui& gui, Clock& clock) : gui(gui), clock(clock) {}

    Gui& gui;
    Clock& clock;
    Configuration config;
    SerialPortTable serial;
    NetworkState net;
    BusReceiver busReceiver;
    ClientReceiver clientReceiver;
    FrameQueue toBusQueue;
    FrameQueue toClientsQueue;
    ClientTable clientTable;
    BusPacing pacing;
    TrafficStats stats;
    std::int64_t lastSweepMillis = 0;
    std::string logDirectory = ".";
    // Set while the serial device is gone; the bridge keeps serving its clients meanwhile.
    bool serialLost = false;
    std::int64_t nextSerialRetryMillis = 0;

    // Filled once the main window exists.
    std::unique_ptr<GtkMonitorList> monitor;
    std::unique_ptr<GtkClientList> clientList;
    std::unique_ptr<GtkStatsView> statsView;

    // What the controls show now: a control is written only when its text changes, since every
    // write makes the toolkit lay the window out again.
    std::string shownLineCount;
    std::string shownBusFrames;
};

// Connects the bridge to the main window's controls; call after createMainWindow.
void attachMainWindow(Bridge& bridge);

enum class PassResult { Continue, End };

// One pass of the main loop.
PassResult runPass(Bridge& bridge);
// Runs passes until the program ends.
void mainLoop(Bridge& bridge);

// The commands.
PassResult runCommand(Bridge& bridge, int control);
PassResult disconnectAll(Bridge& bridge);
// Closes serial port 0 and server 0; the caller then releases everything and exits with 0.
void endProgram(Bridge& bridge);

// A serial device that hung up or ended: the frames complete among its kept bytes are queued
// (returns their number), the port is closed and the status bar says so.
std::int64_t loseSerialPort(Bridge& bridge);
// Looks for a lost serial device again, every 2 s.
void reopenLostSerialPort(Bridge& bridge);

// How long the next wait may last: until the next thing falls due (a statistics tick, a bus step
// while runs wait, a kept run's time-out, a look for a lost serial device, the hourly sweep).
// Window events, bus bytes and client traffic end the wait at once whatever its length, so an
// idle bridge needs no 20 ms heartbeat: on a virtual machine each wake costs about 0.15 ms.
int waitMillis(const Bridge& bridge, std::int64_t nowMillis);

}  // namespace tessel
