// The pass both front ends run, driven through a test shell: the routing rules, the held loop,
// the lost serial device, backpressure and "Disconnect All".
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>

#include "bridge/bridge.h"
#include "support/fakes.h"
#include "support/loopback.h"
#include "support/pass_driver.h"
#include "support/pty.h"
#include "support/test_shell.h"

namespace tessel {
namespace {

using test::hexBytes;

const Bytes kBusFrame = hexBytes("0F FB 05 07 E6 2B 00 00 00 00 00 D9 04");
const Bytes kClientFrame = hexBytes("0F F8 10 02 02 01 E4 04");

class Pass : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(driver.start(pty.path));
    }
    // Runs passes while collecting what reaches the bus, until `want` bytes came and `also`.
    Bytes onBus(std::size_t want, const std::function<bool()>& also = [] { return true; }) {
        Bytes got;
        driver.runUntil([&] {
            const Bytes more = pty.read(1, 1);
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= want && also();
        });
        return got;
    }

    SystemClock clock;
    Bridge bridge{clock};
    test::TestShell shell;
    test::PassDriver driver{bridge, shell};
    test::Pty pty;
};

TEST_F(Pass, BusFramesReachEveryClientAndClientFramesOnlyTheBus) {
    UniqueFd a = driver.connect();
    UniqueFd b = driver.connect();
    pty.write(kBusFrame);
    EXPECT_EQ(driver.collect(a, kBusFrame.size()), kBusFrame);
    EXPECT_EQ(driver.collect(b, kBusFrame.size()), kBusFrame);

    test::sendAll(a, kClientFrame);
    EXPECT_EQ(onBus(kClientFrame.size()), kClientFrame);
    driver.runUntil([] { return false; }, 100);
    std::uint8_t buf[64];
    EXPECT_EQ(::recv(a.get(), buf, sizeof buf, MSG_DONTWAIT), -1);  // nothing back to the sender
    EXPECT_EQ(::recv(b.get(), buf, sizeof buf, MSG_DONTWAIT), -1);  // nor to another client
}

TEST_F(Pass, TotalsCountWhatCrossedTheBridgeEachWay) {
    UniqueFd a = driver.connect();
    pty.write(kBusFrame);
    driver.collect(a, kBusFrame.size());
    Bytes sent = kClientFrame;
    const Bytes notAFrame = hexBytes("0F F8 10 02 02 01 E4 05");  // its end byte is wrong
    sent.insert(sent.end(), notAFrame.begin(), notAFrame.end());
    test::sendAll(a, sent);
    EXPECT_EQ(onBus(kClientFrame.size(), [&] { return bridge.toBusQueue.empty() && bridge.totals.clientRunsNotFrames > 0; }),
              kClientFrame);
    EXPECT_EQ(bridge.totals.busFramesReceived, 1);
    EXPECT_EQ(bridge.totals.busBytesReceived, static_cast<std::int64_t>(kBusFrame.size()));
    EXPECT_EQ(bridge.totals.busFramesWritten, 1);
    EXPECT_EQ(bridge.totals.busBytesWritten, static_cast<std::int64_t>(kClientFrame.size()));
    EXPECT_EQ(bridge.totals.clientRunsNotFrames, 1);
}

TEST_F(Pass, WritesWaitWhileTheInterfaceIsFullAndItsFramesStillReachTheClients) {
    UniqueFd a = driver.connect();
    const Bytes full = hexBytes("0F F8 00 01 0B ED 04");
    const Bytes ready = hexBytes("0F F8 00 01 0C EC 04");
    pty.write(full);
    EXPECT_EQ(driver.collect(a, full.size()), full);
    ASSERT_TRUE(bridge.pacing.held());
    test::sendAll(a, kClientFrame);
    driver.runUntil([] { return false; }, 300);
    EXPECT_EQ(pty.read(1, 50), Bytes{});  // held
    EXPECT_EQ(bridge.toBusQueue.size(), 1u);
    EXPECT_EQ(shell.events.back(), "hold 1");
    pty.write(ready);
    EXPECT_EQ(onBus(kClientFrame.size()), kClientFrame);

    // A lost device takes its hold with it: a new one starts as ready.
    pty.write(full);
    ASSERT_TRUE(driver.runUntil([&] { return bridge.pacing.held(); }));
    loseSerialPort(bridge, shell, clock.elapsedMillis());
    EXPECT_FALSE(bridge.pacing.held());
}

// A flooding client is held back at its own limit; another client's frame is still read at
// once, and the front end's own frames count toward no one's limit.
TEST_F(Pass, FloodingClientIsHeldBackAloneAndItsBacklogStaysBounded) {
    UniqueFd flooder = driver.connect();
    UniqueFd other = driver.connect();
    for (std::size_t i = 0; i < 2 * kSenderBacklogLimit; ++i) {
        ReceivedFrame own;
        own.bytes = kClientFrame;
        own.length = static_cast<std::int64_t>(kClientFrame.size());
        own.wellFormed = 1;
        own.text = "tessel-serverd";
        bridge.toBusQueue.push_back(own);
    }
    Bytes burst;
    for (int i = 0; i < 400; ++i) burst.insert(burst.end(), kClientFrame.begin(), kClientFrame.end());
    std::size_t highest = 0;
    for (int round = 0; round < 40; ++round) {
        ::send(flooder.get(), burst.data(), burst.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        driver.runUntil([&] {
            highest = std::max(highest, bridge.toBusQueue.size());
            return false;
        }, 20);
    }
    ASSERT_EQ(bridge.backlog.size(), 1u);
    const std::size_t flood = bridge.backlog.begin()->second;
    EXPECT_GT(flood, kSenderBacklogLimit);  // it really was flooded
    EXPECT_LE(flood, kSenderBacklogLimit + 4096 / kClientFrame.size() + 1);
    EXPECT_EQ(bridge.net.heldBack.size(), 1u);
    EXPECT_LE(highest, 2 * kSenderBacklogLimit + flood);

    test::sendAll(other, kClientFrame);
    ASSERT_TRUE(driver.runUntil([&] { return bridge.backlog.size() == 2; }, 500));
    EXPECT_EQ(bridge.net.heldBack.size(), 1u);
}

TEST_F(Pass, DeviceThatIsNotATerminalIsTreatedAsPulledAndIdles) {
    UniqueFd a = driver.connect();
    const std::string path = ::testing::TempDir() + "plain-file-device";
    { std::ofstream(path) << ""; }
    ASSERT_NE(openVelbusPort(bridge.serial, 0, path), 0);
    bridge.config.serialPortName = path;
    ASSERT_TRUE(driver.runUntil([&] { return bridge.serialLost; }));
    // Looked for again every 2 s, found, read as ended, lost again: in between the loop waits.
    int passes = 0;
    driver.runUntil([&] {
        ++passes;
        return false;
    }, 2500);
    EXPECT_LT(passes, 100);
    EXPECT_TRUE(bridge.serialLost);
    EXPECT_EQ(bridge.clientTable.size(), 1u);
    EXPECT_TRUE(bridge.clientTable.back().active());
    std::remove(path.c_str());
}

TEST_F(Pass, WaitLastsUntilTheNextThingFallsDue) {
    const std::int64_t now = clock.elapsedMillis();
    bridge.stats.lastStatsMillis = now - 400;
    EXPECT_EQ(waitMillis(bridge, shell, now), 601);  // the statistics tick
    bridge.pacing.lastBusSendMillis = now - 45;
    bridge.toBusQueue.push_back({});
    EXPECT_EQ(waitMillis(bridge, shell, now), 6);  // a bus step, while runs wait
    bridge.toBusQueue.clear();
    bridge.busReceiver.extractor.feed(hexBytes("0F F8"), now - 30, bridge.busReceiver.found);
    EXPECT_EQ(waitMillis(bridge, shell, now), 71);  // a kept bus run's time-out
    bridge.stats.lastStatsMillis = now - 5000;
    EXPECT_EQ(waitMillis(bridge, shell, now), 0);  // overdue
}

// The loop was held (a message box, a pause) while the rest of a frame arrived.
TEST_F(Pass, FrameSplitAcrossAHeldLoopReachesTheClients) {
    UniqueFd a = driver.connect();
    pty.write(Bytes(kBusFrame.begin(), kBusFrame.begin() + 5));
    ASSERT_TRUE(driver.runUntil([&] { return bridge.busReceiver.extractor.hasKept(); }));
    shell.duringWait = [&](Bridge&) {
        pty.write(Bytes(kBusFrame.begin() + 5, kBusFrame.end()));
        usleep(300000);
    };
    EXPECT_EQ(driver.collect(a, kBusFrame.size()), kBusFrame);
}

TEST_F(Pass, LostSerialDeviceIsReportedAndOpenedAgainWhenBack) {
    UniqueFd a = driver.connect();
    pty.master.reset();
    pty.slave.reset();
    ASSERT_TRUE(driver.runUntil([&] { return bridge.serialLost; }));
    EXPECT_TRUE(bridge.serial.ports.empty());
    test::Pty replacement;
    bridge.config.serialPortName = replacement.path;  // the same name, as a link would give
    ASSERT_TRUE(driver.runUntil([&] { return !bridge.serialLost; }, 3000));
    ASSERT_GE(shell.events.size(), 3u);
    EXPECT_EQ(shell.events[1], "lost " + pty.path);
    EXPECT_EQ(shell.events[2], "back " + replacement.path);
    replacement.write(kBusFrame);
    EXPECT_EQ(driver.collect(a, kBusFrame.size()), kBusFrame);
}

TEST_F(Pass, DisconnectAllGivesHalfReceivedRunsTheirLineAndDropsEveryClient) {
    UniqueFd a = driver.connect();
    UniqueFd b = driver.connect();
    test::sendAll(a, Bytes(kClientFrame.begin(), kClientFrame.begin() + 5));
    ASSERT_TRUE(driver.runUntil([&] { return !bridge.clientReceiver.kept.empty(); }));
    EXPECT_TRUE(shell.lines.lines.empty());
    shell.duringWait = [&](Bridge& br) { EXPECT_TRUE(disconnectAll(br, shell)); };
    runPass(bridge, shell);
    ASSERT_EQ(shell.lines.lines.size(), 1u);
    const MonitorLine& line = shell.lines.lines[0];
    EXPECT_EQ(line.cells[kHexColumn], "0FF8100202");
    EXPECT_NE(line.cells[kSourceColumn].find(" from 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(line.icon, MonitorIcon::ClientError);
    EXPECT_EQ(line.colour, kErrorRed);
    EXPECT_TRUE(bridge.clientReceiver.kept.empty());
    EXPECT_TRUE(bridge.clientTable.empty());
    EXPECT_TRUE(shell.rows.rows.empty());
    std::uint8_t byte;
    EXPECT_EQ(::recv(a.get(), &byte, 1, 0), 0);
    EXPECT_EQ(::recv(b.get(), &byte, 1, 0), 0);
    driver.runUntil([] { return false; }, 200);
    EXPECT_TRUE(pty.read(1, 100).empty());  // its turn at the bus writes nothing
    UniqueFd c = driver.connect();
    EXPECT_EQ(shell.rows.rows.size(), 1u);
}

TEST_F(Pass, ClientsJoiningAndLeavingAreReportedWithTheirErrors) {
    UniqueFd a = driver.connect();
    test::sendAll(a, hexBytes("0F 01 02 03 0F F8 00 00 F9 04"));
    ASSERT_TRUE(driver.runUntil([&] { return shell.lines.lines.size() == 2; }));
    a.reset();
    ASSERT_TRUE(driver.runUntil([&] { return shell.events.size() == 2; }));
    EXPECT_EQ(shell.events[0], "joined 127.0.0.1");
    EXPECT_EQ(shell.events[1], "left 127.0.0.1 1");
}

// A front end with no client list keeps no ended records (and needs no hourly sweep); one with
// no monitor gets no lines made; one with no statistics gets no tick.
TEST_F(Pass, WhatAFrontEndDoesNotShowCostsNothing) {
    shell.showsClients = false;
    shell.showsMonitor = false;
    shell.showsStatistics = false;
    const std::int64_t now = clock.elapsedMillis();
    EXPECT_EQ(waitMillis(bridge, shell, now), 86'400'000);  // nothing falls due: no wake-up
    UniqueFd a = driver.connect();
    pty.write(kBusFrame);
    EXPECT_EQ(driver.collect(a, kBusFrame.size()), kBusFrame);
    a.reset();
    ASSERT_TRUE(driver.runUntil([&] { return shell.events.size() == 2; }));
    EXPECT_TRUE(bridge.clientTable.empty());
    EXPECT_TRUE(shell.lines.lines.empty());
    EXPECT_EQ(shell.statsView.graphDraws, 0);
}

// Bytes a key's client sent with its key wait in the layer, where no descriptor shows them: the
// wait must not block on them, unless their client is held back and they would not be taken anyway.
TEST_F(Pass, BytesHeldInTheLayerEndTheWaitOnlyWhileTheirClientIsRead) {
    setServerGuard(bridge.net, 0, {{}, "k3y"});
    UniqueFd a = test::connectClient(static_cast<std::uint16_t>(bridge.config.ethernetPort));
    Bytes sent = {'k', '3', 'y'};
    sent.insert(sent.end(), kClientFrame.begin(), kClientFrame.end());
    test::sendAll(a, sent);
    for (int i = 0; i < 2000 && pollServerEvent(bridge.net, clock.elapsedMillis()).what != NetworkEvent::Connect; ++i) {
        usleep(1000);
    }
    ASSERT_EQ(connectionCount(bridge.net), 1u);
    ASSERT_TRUE(networkHasBufferedInput(bridge.net));  // the frame came with the key
    const std::int64_t now = clock.elapsedMillis();
    EXPECT_EQ(waitMillis(bridge, shell, now), 0);
    bridge.net.heldBack.insert(eventClient(bridge.net));
    bridge.pacing.lastBusSendMillis = now;
    EXPECT_GT(waitMillis(bridge, shell, now), 0);
}

TEST_F(Pass, CloseAfterPassEndsOnceThePassForwarded) {
    UniqueFd a = driver.connect();
    pty.write(kBusFrame);
    usleep(20000);
    shell.outcome = WaitOutcome::CloseAfterPass;
    EXPECT_EQ(runPass(bridge, shell), PassResult::End);
    std::uint8_t buf[64];
    EXPECT_EQ(::recv(a.get(), buf, sizeof buf, MSG_DONTWAIT), static_cast<ssize_t>(kBusFrame.size()));
    EXPECT_TRUE(bridge.serial.ports.empty());
    EXPECT_TRUE(bridge.net.servers.empty());
}

}  // namespace
}  // namespace tessel
