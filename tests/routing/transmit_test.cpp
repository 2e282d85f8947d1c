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
                txBytes += sendToBus(queue, device, pacing, clock.millis, clock).bytesWritten;
                if (queue.size() != before) steps.push_back(clock.millis);
            }
        }
    }

    test::Pty pty;
    SerialPortTable ports;
    SerialBusDevice device{ports};
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
    sendToBus(queue, device, pacing, clock.millis, clock);
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

// A device that takes at most `room` bytes a write, then says "try again" until given more room,
// or fails for good once `failAfter` writes were made.
class TrickleDevice final : public BusDevice {
public:
    std::size_t room = 3;
    int failAfter = -1;
    Bytes line;  // what reached the bus
    int writes = 0;
    DeviceWrite write(std::span<const std::uint8_t> bytes) override {
        if (failAfter >= 0 && writes >= failAfter) return {0, true};
        ++writes;
        const std::size_t n = std::min(room, bytes.size());
        line.insert(line.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        room -= n;
        return {static_cast<std::int64_t>(n), false};
    }
};

class WholeWrites : public ::testing::Test {
protected:
    TrickleDevice device;
    FakeClock clock;
    BusPacing pacing;
    FrameQueue queue{clientRun("0F F8 00 01 0B ED 04", true)};
};

TEST_F(WholeWrites, AFrameTheDeviceTakesInPiecesReachesTheBusWholeAndInOrder) {
    queue.push_back(clientRun("0F 01 02", false));
    queue.push_back(clientRun("0F F8 00 01 0C EC 04", true));
    std::vector<std::int64_t> frameEnds;
    std::int64_t written = 0;
    for (int ms = 1; ms <= 400; ++ms) {
        clock.millis = ms;
        if (ms % 7 == 0) device.room += 3;  // the reader takes a few bytes now and then
        if (!busWaitsForRoom(pacing) && !busStepDue(pacing, ms)) continue;
        const BusStep step = sendToBus(queue, device, pacing, ms, clock);
        ASSERT_FALSE(step.deviceLost);
        written += step.bytesWritten;
        if (step.frameWritten) frameEnds.push_back(ms);
    }
    EXPECT_EQ(device.line, hexBytes("0F F8 00 01 0B ED 04 0F F8 00 01 0C EC 04"));
    EXPECT_EQ(written, 14);
    EXPECT_TRUE(queue.empty());
    ASSERT_EQ(frameEnds.size(), 2u);
    // The next frame keeps its distance from the write that finished the last (and the run that
    // was no frame took a step of its own between them).
    EXPECT_GT(frameEnds[1] - frameEnds[0], 2 * kDelayedBusSendMillis);
}

TEST_F(WholeWrites, WhileARestWaitsNoStepIsDueAndTheWaitWatchesForRoom) {
    device.room = 2;
    clock.millis = 100;
    const BusStep first = sendToBus(queue, device, pacing, 100, clock);
    EXPECT_EQ(first.bytesWritten, 2);
    EXPECT_FALSE(first.taken);
    EXPECT_EQ(pacing.headWritten, 2);
    EXPECT_TRUE(busWaitsForRoom(pacing));
    EXPECT_FALSE(busStepDue(pacing, 10'000));
    // A hold said now does not stop a frame begun.
    noteInterfaceSignal(pacing, InterfaceSignal::BufferFull, 100);
    EXPECT_TRUE(busWaitsForRoom(pacing));
    // "Try again": nothing changes, nothing is lost.
    clock.millis = 120;
    EXPECT_EQ(sendToBus(queue, device, pacing, 120, clock).bytesWritten, 0);
    EXPECT_EQ(pacing.lastBusSendMillis, 100);
    device.room = 100;
    clock.millis = 130;
    const BusStep rest = sendToBus(queue, device, pacing, 130, clock);
    EXPECT_EQ(rest.bytesWritten, 5);
    EXPECT_TRUE(rest.frameWritten);
    EXPECT_EQ(rest.taken, kFrontEndSender + 0);
    EXPECT_EQ(pacing.lastBusSendMillis, 130);
    EXPECT_FALSE(busWaitsForRoom(pacing));
}

TEST_F(WholeWrites, AFrameNotBegunWaitsOutAHoldWithoutWatchingForRoom) {
    device.room = 0;
    sendToBus(queue, device, pacing, 100, clock);
    EXPECT_TRUE(busWaitsForRoom(pacing));  // not one byte taken: it waits for room
    noteInterfaceSignal(pacing, InterfaceSignal::BufferFull, 110);
    EXPECT_FALSE(busWaitsForRoom(pacing));  // held, and nothing of it on the bus yet
}

TEST_F(WholeWrites, AWriteThatFailsForGoodIsADeviceLostAndTheFrameGoesWholeToTheNext) {
    device.failAfter = 1;
    EXPECT_EQ(sendToBus(queue, device, pacing, 100, clock).bytesWritten, 3);
    const BusStep failed = sendToBus(queue, device, pacing, 120, clock);
    EXPECT_TRUE(failed.deviceLost);
    EXPECT_FALSE(failed.taken);
    ASSERT_EQ(queue.size(), 1u);  // kept
    restartHead(pacing);
    TrickleDevice next;
    next.room = 100;
    EXPECT_TRUE(sendToBus(queue, next, pacing, 200, clock).frameWritten);
    EXPECT_EQ(next.line, hexBytes("0F F8 00 01 0B ED 04"));
}

TEST(SerialBusDevice, APortWhoseOtherSideIsGoneSaysSoOnWrite) {
    // A pseudo-terminal whose other side closed: the write fails with EIO, as a pulled adapter's.
    SerialPortTable ports;
    {
        test::Pty pty;
        ASSERT_NE(openVelbusPort(ports, 0, pty.path), 0);
    }
    SerialBusDevice device(ports);
    const Bytes frame = hexBytes("0F F8 00 01 0B ED 04");
    EXPECT_TRUE(device.write(frame).failed);
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
        clientConnected(table, list, net, eventClient(net), clock.now());
    }
    // One leaves: its record ends as its connection is reported gone, and it is sent nothing.
    sockets[1].reset();
    ASSERT_EQ(test::pollFor(net, NetworkEvent::Disconnect), NetworkEvent::Disconnect);
    clientDisconnected(table, list, eventClient(net), clock.date);
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
