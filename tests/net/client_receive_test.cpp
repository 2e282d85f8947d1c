#include <gtest/gtest.h>

#include <random>

#include "net/client_receive.h"
#include "support/fakes.h"
#include "support/loopback.h"

namespace tessel {
namespace {

using test::FakeClock;
using test::hexBytes;

class ClientReceive : public ::testing::Test {
protected:
    void SetUp() override {
        initNetwork(net);
        ASSERT_NE(createServer(net, 0, 0), 0);
        client = test::connectClient(serverPort(net, 0));
        ASSERT_EQ(test::pollFor(net, NetworkEvent::Connect), NetworkEvent::Connect);
        id = eventClient(net);
        test::VectorClientList list;
        clientConnected(table, list, net, id, clock.now());
    }

    // The client sends; the bridge waits for Data and receives once.
    std::int64_t receive(const std::string& hex, std::int64_t now = 0) {
        test::sendAll(client, hexBytes(hex));
        if (test::pollFor(net, NetworkEvent::Data) != NetworkEvent::Data) return -1;
        return clientReceive(receiver, net, id, queue, table, now);
    }

    NetworkState net;
    FakeClock clock;
    ClientTable table;
    ClientReceiver receiver;
    FrameQueue queue;
    UniqueFd client;
    ClientId id = 0;
};

TEST_F(ClientReceive, OneFrameIsOneWellFormedRecordNamedAfterTheClient) {
    EXPECT_EQ(receive("0F F8 00 01 0B ED 04"), 1);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].length, 7);
    EXPECT_EQ(queue[0].wellFormed, 1);
    EXPECT_EQ(queue[0].text, std::to_string(id));
    EXPECT_EQ(table.back().errorCount, 0);
}

TEST_F(ClientReceive, BytesBeforeTheFirstStartAreDropped) {
    EXPECT_EQ(receive("AA BB 0F F8 00 01 0B ED 04"), 1);
    EXPECT_EQ(queue[0].bytes, hexBytes("0F F8 00 01 0B ED 04"));
}

TEST_F(ClientReceive, FailedStartBecomesARunUpToTheNextStart) {
    EXPECT_EQ(receive("0F 01 02 03 0F F8 00 00 F9 04"), 2);
    EXPECT_EQ(queue[0].bytes, hexBytes("0F 01 02 03"));
    EXPECT_EQ(queue[0].wellFormed, 0);
    EXPECT_EQ(queue[1].bytes, hexBytes("0F F8 00 00 F9 04"));
    EXPECT_EQ(queue[1].wellFormed, 1);
    EXPECT_EQ(table.back().errorCount, 1);
}

TEST_F(ClientReceive, InnerStartByteOfAFrameStartsNoRun) {
    EXPECT_EQ(receive("0F F8 00 02 0F 01 E9 04"), 1);
}

TEST_F(ClientReceive, NoStartByteGivesNothing) { EXPECT_EQ(receive("01 02 03"), 0); }

TEST_F(ClientReceive, FrameSplitAcrossReceivesIsCompletedByTheNext) {
    EXPECT_EQ(receive("0F F8 00 01 0B"), 0);
    EXPECT_EQ(receive("ED 04", 10), 1);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].bytes, hexBytes("0F F8 00 01 0B ED 04"));
    EXPECT_EQ(queue[0].wellFormed, 1);
}

TEST_F(ClientReceive, KeptRunIsQueuedNotWellFormedAfterHalfASecondOfQuiet) {
    EXPECT_EQ(receive("0F F8 00 01 0B", 1000), 0);
    EXPECT_EQ(nextClientRunDeadline(receiver), 1501);
    EXPECT_EQ(expireClientRuns(receiver, net, queue, table, 1500), 0);
    EXPECT_EQ(expireClientRuns(receiver, net, queue, table, 1501), 1);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].length, 5);
    EXPECT_EQ(queue[0].wellFormed, 0);
    EXPECT_FALSE(nextClientRunDeadline(receiver));
}

TEST_F(ClientReceive, KeptRunWhoseRestIsWaitingIsNotGivenUp) {
    EXPECT_EQ(receive("0F F8 00 01 0B", 1000), 0);
    test::sendAll(client, hexBytes("ED 04"));  // arrives while the loop is held
    for (int i = 0; i < 1000 && !clientHasInput(net, id); ++i) usleep(1000);
    EXPECT_EQ(expireClientRuns(receiver, net, queue, table, 2000), 0);
    ASSERT_EQ(test::pollFor(net, NetworkEvent::Data), NetworkEvent::Data);
    EXPECT_EQ(clientReceive(receiver, net, id, queue, table, 2000), 1);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].wellFormed, 1);
}

TEST_F(ClientReceive, LoneStartByteIsQueuedWhenTheClientLeaves) {
    EXPECT_EQ(receive("0F"), 0);
    EXPECT_EQ(flushClientRuns(receiver, id, queue, table), 1);
    EXPECT_EQ(queue[0].length, 1);
    EXPECT_EQ(queue[0].wellFormed, 0);
}

TEST_F(ClientReceive, WrongEndByteIsANotWellFormedRunAtOnce) {
    EXPECT_EQ(receive("0F F8 00 01 0B ED 05"), 1);
    EXPECT_EQ(queue[0].wellFormed, 0);
}

TEST_F(ClientReceive, WrongChecksumIsQueuedAsAFrameButCountedAsAnError) {
    EXPECT_EQ(receive("0F F8 00 01 0B EE 04"), 1);
    EXPECT_EQ(queue[0].wellFormed, 1);
    EXPECT_EQ(table.back().errorCount, 1);
}

TEST_F(ClientReceive, RandomSplitsOverTcpGiveTheSameFrames) {
    std::mt19937 rng(4);
    Bytes stream;
    std::vector<Bytes> frames;
    for (int i = 0; i < 50; ++i) {
        Bytes f{0x0F, 0xFB, static_cast<std::uint8_t>(i), 0x02, 0x02, static_cast<std::uint8_t>(i)};
        f.push_back(frameChecksum(f, 5));
        f.push_back(0x04);
        frames.push_back(f);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    std::size_t at = 0;
    std::uniform_int_distribution<std::size_t> step(1, 11);
    while (at < stream.size()) {
        const std::size_t n = std::min(step(rng), stream.size() - at);
        test::sendAll(client, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                    stream.begin() + static_cast<std::ptrdiff_t>(at + n)));
        at += n;
        if (test::pollFor(net, NetworkEvent::Data) == NetworkEvent::Data) {
            clientReceive(receiver, net, id, queue, table, 0);
        }
    }
    for (int i = 0; i < 50 && queue.size() < frames.size(); ++i) {
        if (pollServerEvent(net).what == NetworkEvent::Data) clientReceive(receiver, net, id, queue, table, 0);
    }
    ASSERT_EQ(queue.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(queue[i].bytes, frames[i]);
        EXPECT_EQ(queue[i].wellFormed, 1);
    }
}

}  // namespace
}  // namespace tessel
