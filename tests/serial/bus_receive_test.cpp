#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "serial/bus_receive.h"
#include "support/fakes.h"
#include "support/pty.h"

namespace tessel {
namespace {

using test::hexBytes;
using test::Pty;

class BusReceive : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(openVelbusPort(ports, 0, pty.path), 0); }

    // Puts bytes on the bus and runs one receive once the port reports them all.
    std::int64_t receive(const std::string& hex, std::int64_t now = 0) {
        const Bytes bytes = hexBytes(hex);
        pty.write(bytes);
        for (int i = 0; i < 500 && serialInputAvailable(ports, 0) < static_cast<std::int64_t>(bytes.size()); ++i) {
            usleep(1000);
        }
        return busReceive(receiver, ports, queue, rxBytes, now);
    }

    Pty pty;
    SerialPortTable ports;
    BusReceiver receiver;
    FrameQueue queue;
    std::int64_t rxBytes = 0;
};

TEST_F(BusReceive, OneFrameBecomesOneRecord) {
    EXPECT_EQ(receive("0F F8 00 01 0B ED 04"), 1);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].text, "$00  from VELBUS");
    EXPECT_EQ(queue[0].length, 7);
    EXPECT_EQ(queue[0].bytes, hexBytes("0F F8 00 01 0B ED 04"));
    EXPECT_EQ(queue[0].wellFormed, 0);
    EXPECT_EQ(rxBytes, 7);
}

TEST_F(BusReceive, RecordTextCarriesTheDecodedMessage) {
    EXPECT_EQ(receive("0F FB 05 07 E6 2B 00 00 00 00 00 D9 04"), 1);
    EXPECT_EQ(queue[0].text, "$05 (Temp: 21.5\xB0" "C) from VELBUS");
}

TEST_F(BusReceive, FramesAmongJunkInArrivalOrder) {
    EXPECT_EQ(receive("AA 01 0F F8 00 01 0B ED 04 55 0F F8 00 01 0C EC 04 66"), 2);
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue[0].bytes, hexBytes("0F F8 00 01 0B ED 04"));
    EXPECT_EQ(queue[1].bytes, hexBytes("0F F8 00 01 0C EC 04"));
}

TEST_F(BusReceive, FailedStartScansOnAtTheNextByte) {
    EXPECT_EQ(receive("0F 00 00 01 0F F8 00 00 F9 04"), 1);
    EXPECT_EQ(queue[0].bytes, hexBytes("0F F8 00 00 F9 04"));
}

TEST_F(BusReceive, WrongChecksumIsQueuedAllTheSame) {
    EXPECT_EQ(receive("0F F8 00 01 0B EE 04"), 1);
}

TEST_F(BusReceive, FrameSplitAcrossReadsIsCompletedByTheNextRead) {
    EXPECT_EQ(receive("0F F8 00 01 0B ED 04 0F F8 00"), 1);
    EXPECT_EQ(receive("01 0C EC 04", 5), 1);
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue[1].bytes, hexBytes("0F F8 00 01 0C EC 04"));
}

TEST_F(BusReceive, ByteByByteAtLineRateLosesNothing) {
    const Bytes frames = hexBytes("0F FB 05 07 E6 2B 00 00 00 00 00 D9 04 0F F8 00 01 0B ED 04");
    std::int64_t found = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        pty.write(Bytes{frames[i]});
        for (int t = 0; t < 500 && serialInputAvailable(ports, 0) < 1; ++t) usleep(200);
        found += busReceive(receiver, ports, queue, rxBytes, static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(found, 2);
    EXPECT_EQ(rxBytes, static_cast<std::int64_t>(frames.size()));
}

TEST_F(BusReceive, KeptStartIsGivenUpAfterAQuietSpell) {
    // A start byte whose length byte promises 21 bytes, hiding a real frame after it.
    EXPECT_EQ(receive("0F 01 0F F8 00 00 F9 04", 1000), 0);
    EXPECT_EQ(busReceive(receiver, ports, queue, rxBytes, 1100), 0);  // 100 ms is not yet enough
    EXPECT_EQ(busReceive(receiver, ports, queue, rxBytes, 1101), 1);
    EXPECT_EQ(queue[0].bytes, hexBytes("0F F8 00 00 F9 04"));
}

// The loop was held (a message box, the pause of "Disconnect All") while the rest of a frame
// arrived: the rest is read before the kept start is judged, whatever the caller's poll saw
// before it was held.
TEST_F(BusReceive, FrameSplitAcrossAHeldLoopComesOutWhole) {
    for (const bool pollSawInput : {true, false}) {
        SCOPED_TRACE(pollSawInput);
        queue.clear();
        EXPECT_EQ(receive("0F FB 05 07 E6", 1000), 0);
        pty.write(hexBytes("2B 00 00 00 00 00 D9 04"));
        for (int i = 0; i < 500 && serialInputAvailable(ports, 0) < 8; ++i) usleep(1000);
        EXPECT_EQ(busReceive(receiver, ports, queue, rxBytes, 1500, pollSawInput), 1);
        ASSERT_EQ(queue.size(), 1u);
        EXPECT_EQ(queue[0].bytes, hexBytes("0F FB 05 07 E6 2B 00 00 00 00 00 D9 04"));
    }
}

TEST_F(BusReceive, WhenTheDeviceGoesTheKeptBytesAreDecided) {
    EXPECT_EQ(receive("0F 01 0F F8 00 00 F9 04", 1000), 0);  // the first start promises 21 bytes
    EXPECT_EQ(finishBusReceive(receiver, queue), 1);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].bytes, hexBytes("0F F8 00 00 F9 04"));
    EXPECT_FALSE(receiver.extractor.hasKept());
}

TEST_F(BusReceive, AHungUpLineIsReportedGone) {
    bool gone = false;
    busReceive(receiver, ports, queue, rxBytes, 0, true, &gone);
    EXPECT_FALSE(gone);  // nothing waiting is not an end
    pty.master.reset();
    busReceive(receiver, ports, queue, rxBytes, 0, true, &gone);
    EXPECT_TRUE(gone);
}

TEST(BusReceivePlainFile, EndOfFileIsReportedGone) {
    const std::string path = ::testing::TempDir() + "not-a-terminal";
    { std::ofstream(path) << "x"; }
    SerialPortTable ports;
    ASSERT_NE(openVelbusPort(ports, 0, path), 0);  // the terminal settings fail and are ignored
    BusReceiver receiver;
    FrameQueue queue;
    std::int64_t rx = 0;
    bool gone = false;
    busReceive(receiver, ports, queue, rx, 0, true, &gone);
    EXPECT_FALSE(gone);  // its one byte
    busReceive(receiver, ports, queue, rx, 0, true, &gone);
    EXPECT_TRUE(gone);
    std::remove(path.c_str());
}

TEST_F(BusReceive, PortIsNotReadWhenTheCallerSawNothingWaiting) {
    pty.write(hexBytes("0F F8 00 01 0B ED 04"));
    for (int i = 0; i < 500 && serialInputAvailable(ports, 0) < 7; ++i) usleep(1000);
    EXPECT_EQ(busReceive(receiver, ports, queue, rxBytes, 0, false), 0);
    EXPECT_EQ(rxBytes, 0);
    EXPECT_EQ(busReceive(receiver, ports, queue, rxBytes, 0, true), 1);
}

TEST_F(BusReceive, NothingWaitingReturnsZero) {
    EXPECT_EQ(busReceive(receiver, ports, queue, rxBytes, 0), 0);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(rxBytes, 0);
}

TEST(BusReceiveClosed, PortNotOpenReturnsZero) {
    SerialPortTable ports;
    BusReceiver receiver;
    FrameQueue queue;
    std::int64_t rx = 0;
    EXPECT_EQ(busReceive(receiver, ports, queue, rx, 0), 0);
}

}  // namespace
}  // namespace tessel
