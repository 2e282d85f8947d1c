#include <gtest/gtest.h>

#include "routing/transmit.h"
#include "support/fakes.h"
#include "support/loopback.h"
#include "support/pty.h"

namespace tessel {
namespace {

using test::FakeClock;
using test::hexBytes;

ReceivedFrame clientRun(const std::string& hex, bool wellFormed) {
    ReceivedFrame r;
    r.bytes = hexBytes(hex);
    r.length = static_cast<std::int64_t>(r.bytes.size());
    r.wellFormed = wellFormed ? 1 : 0;
    r.text = "1";
    return r;
}

class SendToBus : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(openVelbusPort(ports, 0, pty.path), 0); }
    // Runs bus steps the way the loop does, one millisecond at a time.
    void runFor(std::int64_t ms) {
        for (std::int64_t i = 0; i < ms; ++i) {
            clock.advance(1);
            if (busStepDue(pacing, clock.millis)) {
                const std::size_t before = queue.size();
                sendToBus(queue, ports, txBytes, pacing, clock);
                if (queue.size() != before) steps.push_back(clock.millis);
            }
        }
    }

    test::Pty pty;
    SerialPortTable ports;
    FakeClock clock;
    FrameQueue queue;
    BusPacing pacing;
    std::int64_t txBytes = 0;
    std::vector<std::int64_t> steps;
};

TEST_F(SendToBus, StepIsDueOnlyStrictlyAfterTheDelay) {
    pacing.lastBusSendMillis = 1000;
    EXPECT_FALSE(busStepDue(pacing, 1050));
    EXPECT_TRUE(busStepDue(pacing, 1051));
    pacing.busSendDelay = kFastBusSendMillis;
    EXPECT_FALSE(busStepDue(pacing, 1005));
    EXPECT_TRUE(busStepDue(pacing, 1006));
}

TEST_F(SendToBus, OneFramePerStepInArrivalOrder) {
    queue.push_back(clientRun("0F F8 00 01 0B ED 04", true));
    queue.push_back(clientRun("0F F8 00 01 0C EC 04", true));
    runFor(200);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_GT(steps[1] - steps[0], 50);
    EXPECT_EQ(pty.read(14), hexBytes("0F F8 00 01 0B ED 04 0F F8 00 01 0C EC 04"));
    EXPECT_EQ(txBytes, 14);
}

TEST_F(SendToBus, RunThatIsNotAFrameUsesUpATurnAndIsNeverWritten) {
    queue.push_back(clientRun("0F F8 00 01 0B ED 04", true));
    queue.push_back(clientRun("0F 01 02", false));
    queue.push_back(clientRun("0F F8 00 01 0C EC 04", true));
    runFor(300);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_GT(steps[2] - steps[0], 100);
    EXPECT_EQ(pty.read(14, 300), hexBytes("0F F8 00 01 0B ED 04 0F F8 00 01 0C EC 04"));
    EXPECT_EQ(txBytes, 14);
}

TEST_F(SendToBus, EmptyStepStillMovesTheStepTime) {
    clock.millis = 100;
    sendToBus(queue, ports, txBytes, pacing, clock);
    EXPECT_EQ(pacing.lastBusSendMillis, 100);
    queue.push_back(clientRun("0F F8 00 01 0B ED 04", true));
    EXPECT_FALSE(busStepDue(pacing, 150));
}

TEST_F(SendToBus, FastPacingIsFiveMilliseconds) {
    pacing.busSendDelay = kFastBusSendMillis;
    for (int i = 0; i < 5; ++i) queue.push_back(clientRun("0F F8 00 01 0B ED 04", true));
    runFor(40);
    ASSERT_EQ(steps.size(), 5u);
    for (std::size_t i = 1; i < steps.size(); ++i) EXPECT_EQ(steps[i] - steps[i - 1], 6);
}

TEST(InterfaceSignals, OnlyTheInterfacesOwnFramesSpeak) {
    const std::pair<const char*, InterfaceSignal> table[] = {
        {"0F F8 00 01 09 EF 04", InterfaceSignal::BusOff},
        {"0F F8 00 01 0A EE 04", InterfaceSignal::BusActive},
        {"0F F8 00 01 0B ED 04", InterfaceSignal::BufferFull},
        {"0F F8 00 01 0C EC 04", InterfaceSignal::ReceiveReady},
        {"0F FB 00 01 0B EA 04", InterfaceSignal::BufferFull},  // either priority
        {"0F F8 00 01 0B EC 04", InterfaceSignal::None},        // a wrong checksum
        {"0F F8 01 01 0B EC 04", InterfaceSignal::None},        // a module, not the interface
        {"0F F8 00 01 0D EB 04", InterfaceSignal::None},        // another command
        {"0F F8 00 02 0B 00 EB 04", InterfaceSignal::None},     // more data than its word
        {"0F F8 00 41 0B AD 04", InterfaceSignal::None},        // a request (RTR)
    };
    for (const auto& [hex, signal] : table) EXPECT_EQ(interfaceSignal(hexBytes(hex)), signal) << hex;
}

TEST_F(SendToBus, FullHoldsTheWritesUntilReadyAndTheDistanceStillHolds) {
    queue = {clientRun("0F F8 10 02 02 01 E4 04", true), clientRun("0F F8 10 02 02 02 E3 04", true)};
    runFor(60);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(noteInterfaceSignal(pacing, InterfaceSignal::BufferFull, clock.millis), HoldChange::Held);
    EXPECT_EQ(noteInterfaceSignal(pacing, InterfaceSignal::BufferFull, clock.millis), HoldChange::None);
    runFor(500);
    EXPECT_EQ(steps.size(), 1u);  // held: nothing written
    EXPECT_EQ(queue.size(), 1u);  // and nothing lost
    EXPECT_EQ(noteInterfaceSignal(pacing, InterfaceSignal::ReceiveReady, clock.millis), HoldChange::None);
    runFor(5);
    EXPECT_EQ(steps.size(), 2u);  // long after its distance, at once
    EXPECT_EQ(steps[1] - steps[0], 510);

    // Ready right after a write: the next still keeps its distance from it.
    queue = {clientRun("0F F8 10 02 02 01 E4 04", true)};
    noteInterfaceSignal(pacing, InterfaceSignal::BufferFull, clock.millis);
    noteInterfaceSignal(pacing, InterfaceSignal::ReceiveReady, clock.millis + 10);
    runFor(60);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[2] - steps[1], kDelayedBusSendMillis + 1);
}

TEST_F(SendToBus, AHoldThatIsNeverReleasedEndsAfterFiveSeconds) {
    noteInterfaceSignal(pacing, InterfaceSignal::BusOff, clock.millis);
    EXPECT_TRUE(pacing.busOff);
    const std::int64_t start = clock.millis;
    EXPECT_EQ(nextHoldDeadline(pacing), start + kLongHoldMillis + 1);
    EXPECT_EQ(advanceHold(pacing, start + kLongHoldMillis), HoldChange::None);
    EXPECT_EQ(advanceHold(pacing, start + kLongHoldMillis + 1), HoldChange::HeldLong);
    EXPECT_EQ(nextHoldDeadline(pacing), start + kBusHoldMillis);
    EXPECT_EQ(advanceHold(pacing, start + kBusHoldMillis - 1), HoldChange::None);
    EXPECT_EQ(advanceHold(pacing, start + kBusHoldMillis), HoldChange::TimedOut);
    EXPECT_FALSE(pacing.held());
    EXPECT_FALSE(nextHoldDeadline(pacing));
    // A hold said to be long is said to end; a short one is not.
    noteInterfaceSignal(pacing, InterfaceSignal::BufferFull, 10'000);
    advanceHold(pacing, 11'500);
    EXPECT_EQ(noteInterfaceSignal(pacing, InterfaceSignal::ReceiveReady, 11'600), HoldChange::Resumed);
    EXPECT_FALSE(pacing.busOff);
    noteInterfaceSignal(pacing, InterfaceSignal::BufferFull, 20'000);
    clearHold(pacing);  // the device was lost
    EXPECT_FALSE(pacing.held());
}

TEST_F(SendToBus, ReadyDoesNotEndABusOffNorActiveAFullBuffer) {
    noteInterfaceSignal(pacing, InterfaceSignal::BufferFull, 0);
    noteInterfaceSignal(pacing, InterfaceSignal::BusOff, 10);
    EXPECT_EQ(noteInterfaceSignal(pacing, InterfaceSignal::ReceiveReady, 20), HoldChange::None);
    EXPECT_TRUE(pacing.held());  // the buffer has room, but the bus is still off
    noteInterfaceSignal(pacing, InterfaceSignal::BufferFull, 30);
    noteInterfaceSignal(pacing, InterfaceSignal::BusActive, 40);
    EXPECT_TRUE(pacing.held());  // back on the bus, but the buffer is still full
    noteInterfaceSignal(pacing, InterfaceSignal::ReceiveReady, 50);
    EXPECT_FALSE(pacing.held());
    EXPECT_EQ(pacing.heldSinceMillis, 0);  // one hold from the first word to the last
}

TEST(SendToClients, EveryConnectedClientGetsEveryFrameInOrderAndLeftClientsNone) {
    NetworkState net;
    initNetwork(net);
    ASSERT_NE(createServer(net, 0, 0), 0);
    FakeClock clock;
    ClientTable table;
    test::VectorClientList list;
    std::vector<UniqueFd> sockets;
    for (int i = 0; i < 4; ++i) {
        sockets.push_back(test::connectClient(serverPort(net, 0)));
        ASSERT_EQ(test::pollFor(net, NetworkEvent::Connect), NetworkEvent::Connect);
        clientConnected(table, list, net, eventClient(net), clock);
    }
    // One leaves: its record ends as its connection is reported gone, and it is sent nothing.
    sockets[1].reset();
    ASSERT_EQ(test::pollFor(net, NetworkEvent::Disconnect), NetworkEvent::Disconnect);
    clientDisconnected(table, list, eventClient(net), clock);
    ASSERT_EQ(connectionCount(net), 3u);

    FrameQueue queue;
    queue.push_back(clientRun("0F F8 00 01 0B ED 04", false));
    queue.push_back(clientRun("0F F8 00 01 0C EC 04", false));
    sendToClients(queue, net, clock);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(clock.sleeps, (std::vector<std::int64_t>{2, 2}));  // a pause after each frame

    const Bytes both = hexBytes("0F F8 00 01 0B ED 04 0F F8 00 01 0C EC 04");
    for (std::size_t i : {0u, 2u, 3u}) EXPECT_EQ(test::receiveAll(sockets[i], both.size()), both) << i;
}

TEST(SendToClients, KeptSpacingPausesOnlyBetweenFramesTooClose) {
    NetworkState net;
    FakeClock clock;
    clock.millis = 100;
    ClientSpacing spacing;
    FrameQueue queue;
    for (int i = 0; i < 3; ++i) queue.push_back(clientRun("0F F8 00 01 0B ED 04", false));
    sendToClients(queue, net, clock, &spacing);
    // None before the first, none after the last; the counter's whole milliseconds round up.
    EXPECT_EQ(clock.sleeps, (std::vector<std::int64_t>{3, 3}));
    EXPECT_EQ(spacing.lastSendMillis, 106);
    clock.sleeps.clear();
    clock.advance(1);
    queue.push_back(clientRun("0F F8 00 01 0B ED 04", false));
    sendToClients(queue, net, clock, &spacing);
    EXPECT_EQ(clock.sleeps, (std::vector<std::int64_t>{2}));  // 1 ms after the last one
    clock.sleeps.clear();
    clock.advance(7);  // the bus's own pace: 6.7 ms apart
    queue.push_back(clientRun("0F F8 00 01 0B ED 04", false));
    sendToClients(queue, net, clock, &spacing);
    EXPECT_TRUE(clock.sleeps.empty());
}

TEST(SendToClients, EmptyQueueDoesNotPause) {
    NetworkState net;
    FakeClock clock;
    FrameQueue queue;
    sendToClients(queue, net, clock);
    EXPECT_TRUE(clock.sleeps.empty());
}

}  // namespace
}  // namespace tessel
