#include <gtest/gtest.h>

#include "net/key_gate.h"
#include "net/tcp_server.h"
#include "support/fakes.h"
#include "support/loopback.h"

namespace tessel {
namespace {

using test::hexBytes;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(KeyGate, KeySplitOverSeveralReceivesIsAdmitted) {
    KeyGate gate("s3cret");
    EXPECT_EQ(gate.take(text("s3")), 2u);
    EXPECT_EQ(gate.state(), KeyGate::State::Waiting);
    EXPECT_EQ(gate.take(text("cr")), 2u);
    EXPECT_EQ(gate.take(text("et")), 2u);
    EXPECT_EQ(gate.state(), KeyGate::State::Admitted);
    EXPECT_EQ(gate.take(text("more")), 0u);  // traffic, not key
}

TEST(KeyGate, KeyAndFramesInOneReceiveLeaveTheFramesAsTraffic) {
    KeyGate gate("s3cret");
    Bytes bytes = text("s3cret");
    const Bytes frame = hexBytes("0F F8 10 02 02 01 E4 04");
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    EXPECT_EQ(gate.take(bytes), 6u);
    EXPECT_EQ(gate.state(), KeyGate::State::Admitted);
}

TEST(KeyGate, WrongKeyIsRefusedOnceItsLengthHasCome) {
    struct Case {
        std::string sent;
        KeyGate::State state;
    };
    const Case cases[] = {
        {"s3cres", KeyGate::State::Refused},   // same length, last byte differs
        {"S3cret", KeyGate::State::Refused},   // first byte differs
        {"s3cre", KeyGate::State::Waiting},    // not all of it yet: the time-out decides
        {"s3cret\n", KeyGate::State::Admitted},  // the line feed is traffic, not key
        {"", KeyGate::State::Waiting},
    };
    for (const Case& c : cases) {
        KeyGate gate("s3cret");
        gate.take(text(c.sent));
        EXPECT_EQ(gate.state(), c.state) << c.sent;
    }
}

TEST(KeyGate, ComparisonOfEqualAndUnequalBytes) {
    EXPECT_TRUE(sameBytes("abc", "abc"));
    EXPECT_FALSE(sameBytes("abc", "abd"));
    EXPECT_FALSE(sameBytes("abc", "ab"));
    EXPECT_TRUE(sameBytes("", ""));
}

// A server that asks for a key: clients count as connected only once they sent it, get no bus
// byte before, and their key is never traffic.
class GuardedServer : public ::testing::Test {
protected:
    void SetUp() override {
        initNetwork(net);
        ASSERT_NE(createServer(net, 0, 0), 0);
        setServerGuard(net, 0, {{}, "s3cret"});
        port = serverPort(net, 0);
    }
    NetworkEvent pollUntilEvent(std::int64_t now) {
        for (int i = 0; i < 2000; ++i) {
            const NetworkEvent e = pollServerEvent(net, now).what;
            if (e != NetworkEvent::None) return e;
            usleep(1000);
        }
        return NetworkEvent::None;
    }
    NetworkState net;
    std::uint16_t port = 0;
};

TEST_F(GuardedServer, KeyThenFramesInOneWriteAdmitsAndTheFramesAreData) {
    auto c = test::connectClient(port);
    const Bytes frame = hexBytes("0F F8 10 02 02 01 E4 04");
    Bytes sent = text("s3cret");
    sent.insert(sent.end(), frame.begin(), frame.end());
    test::sendAll(c, sent);
    ASSERT_EQ(pollUntilEvent(0), NetworkEvent::Connect);
    const ClientId id = eventClient(net);
    ASSERT_EQ(pollUntilEvent(0), NetworkEvent::Data);
    std::uint8_t buffer[64];
    ASSERT_EQ(receiveFromClient(net, id, buffer, sizeof buffer), static_cast<std::int64_t>(frame.size()));
    EXPECT_EQ(Bytes(buffer, buffer + frame.size()), frame);
}

TEST_F(GuardedServer, SplitKeyAdmitsAndNothingIsSentBefore) {
    auto c = test::connectClient(port);
    test::sendAll(c, text("s3c"));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(pollServerEvent(net, 0).what, NetworkEvent::None);
    const Bytes busFrame = hexBytes("0F F8 00 01 0B ED 04");
    sendToAllClients(net, busFrame.data(), static_cast<std::int64_t>(busFrame.size()));
    std::uint8_t byte;
    EXPECT_EQ(::recv(c.get(), &byte, 1, MSG_DONTWAIT), -1);  // not in yet: no bus frame
    test::sendAll(c, text("ret"));
    ASSERT_EQ(pollUntilEvent(0), NetworkEvent::Connect);
    sendToAllClients(net, busFrame.data(), static_cast<std::int64_t>(busFrame.size()));
    EXPECT_EQ(test::receiveAll(c, busFrame.size()), busFrame);
}

TEST_F(GuardedServer, WrongKeyAndNoKeyInTimeAreRefusedAndClosed) {
    auto wrong = test::connectClient(port);
    test::sendAll(wrong, text("s3cres"));
    ASSERT_EQ(pollUntilEvent(0), NetworkEvent::Refused);
    EXPECT_EQ(refusalText(refusedClient(net)), "wrong key");
    EXPECT_EQ(refusedClient(net).peer.rfind("127.0.0.1:", 0), 0u);
    std::uint8_t byte;
    EXPECT_EQ(::recv(wrong.get(), &byte, 1, 0), 0);

    auto silent = test::connectClient(port);
    for (int i = 0; i < 50; ++i) pollServerEvent(net, 1000).what;  // accepted at 1000
    EXPECT_EQ(nextAdmissionDeadline(net), 1000 + kKeyMillis + 1);
    EXPECT_EQ(pollServerEvent(net, 1000 + kKeyMillis).what, NetworkEvent::None);
    EXPECT_EQ(pollServerEvent(net, 1000 + kKeyMillis + 1).what, NetworkEvent::Refused);
    EXPECT_EQ(refusalText(refusedClient(net)), "no complete key within 5 s: 0 of 6 bytes came");
    EXPECT_EQ(::recv(silent.get(), &byte, 1, 0), 0);
    EXPECT_EQ(connectionCount(net), 0u);

    // Part of the key is told apart from none; what came is never said.
    auto half = test::connectClient(port);
    test::sendAll(half, text("s3c"));
    for (int i = 0; i < 50; ++i) pollServerEvent(net, 2000).what;
    EXPECT_EQ(pollServerEvent(net, 2000 + kKeyMillis + 1).what, NetworkEvent::Refused);
    EXPECT_EQ(refusalText(refusedClient(net)), "no complete key within 5 s: 3 of 6 bytes came");
}

// A client that reconnects and sends its frames without the key is told so at once.
TEST_F(GuardedServer, AFrameBeforeTheKeyIsRefusedAtOnceWithItsOwnReason) {
    auto c = test::connectClient(port);
    test::sendAll(c, hexBytes("0F F8 10 02 02 01 E4 04"));
    ASSERT_EQ(pollUntilEvent(0), NetworkEvent::Refused);
    EXPECT_EQ(refusalText(refusedClient(net)),
              "sent a frame before its key: a client that does not send its key again after reconnecting?");
    std::uint8_t byte;
    EXPECT_EQ(::recv(c.get(), &byte, 1, 0), 0);
}

// The loop was held (stopped, or busy) past a client's time while its key waited: it gets in.
TEST_F(GuardedServer, AKeyThatCameInTimeIsJudgedOnWhatCameAfterAHeldLoop) {
    auto c = test::connectClient(port);
    for (int i = 0; i < 50; ++i) pollServerEvent(net, 1000).what;  // accepted at 1000
    test::sendAll(c, text("s3cret"));
    usleep(20000);
    EXPECT_EQ(pollServerEvent(net, 1000 + 30000).what, NetworkEvent::Connect);
}

TEST_F(GuardedServer, EachListenerKeepsItsOwnRule) {
    ASSERT_NE(createServer(net, 1, 0), 0);  // plain, beside the guarded one
    auto plain = test::connectClient(serverPort(net, 1));
    ASSERT_EQ(pollUntilEvent(0), NetworkEvent::Connect);
    const ClientId plainId = eventClient(net);
    EXPECT_EQ(clientServer(net, plainId), 1);
    auto guarded = test::connectClient(port);
    test::sendAll(guarded, text("s3cret"));
    ASSERT_EQ(pollUntilEvent(0), NetworkEvent::Connect);
    EXPECT_EQ(clientServer(net, eventClient(net)), 0);
    // A client without the key on the guarded one is refused, and said to have come there.
    auto keyless = test::connectClient(port);
    test::sendAll(keyless, text("nope!!"));
    ASSERT_EQ(pollUntilEvent(0), NetworkEvent::Refused);
    EXPECT_EQ(refusedClient(net).server, 0);
    EXPECT_EQ(clientServer(net, 999), -1);
}

}  // namespace
}  // namespace tessel
