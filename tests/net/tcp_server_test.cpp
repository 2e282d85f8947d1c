#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <iterator>

#include "net/tcp_server.h"
#include "support/fakes.h"
#include "support/loopback.h"

namespace tessel {
namespace {

using test::connectClient;
using test::pollFor;

class TcpServer : public ::testing::Test {
protected:
    void SetUp() override {
        initNetwork(net);
        ASSERT_NE(createServer(net, 0, 0), 0);
        port = serverPort(net, 0);
        ASSERT_NE(port, 0);
    }
    ClientId accept() {
        EXPECT_EQ(pollFor(net, NetworkEvent::Connect), NetworkEvent::Connect);
        return eventClient(net);
    }

    NetworkState net;
    std::uint16_t port = 0;
};

TEST_F(TcpServer, TwoClientsConnectingTogetherAreAcceptedOnePerPoll) {
    auto a = connectClient(port);
    auto b = connectClient(port);
    test::sendAll(a, {1});
    test::sendAll(b, {2});
    const ClientId first = accept();
    // The second pending connection is reported before any data.
    EXPECT_EQ(pollFor(net, NetworkEvent::Connect), NetworkEvent::Connect);
    const ClientId second = eventClient(net);
    EXPECT_NE(first, 0);
    EXPECT_NE(second, 0);
    EXPECT_NE(first, second);
}

TEST_F(TcpServer, ConnectThenCloseGivesConnectThenDisconnect) {
    auto c = connectClient(port);
    const ClientId id = accept();
    c.reset();
    EXPECT_EQ(pollFor(net, NetworkEvent::Disconnect), NetworkEvent::Disconnect);
    EXPECT_EQ(eventClient(net), id);
    EXPECT_EQ(connectionCount(net), 0u);
}

TEST_F(TcpServer, NewestClientIsReportedFirstAndDataComesBeforeDisconnect) {
    auto older = connectClient(port);
    const ClientId olderId = accept();
    auto newer = connectClient(port);
    const ClientId newerId = accept();
    test::sendAll(older, {1, 2, 3});
    test::sendAll(newer, {4, 5, 6});
    usleep(20000);
    EXPECT_EQ(pollServerEvent(net).what, NetworkEvent::Data);
    EXPECT_EQ(eventClient(net), newerId);
    std::uint8_t buf[16];
    EXPECT_EQ(receiveFromClient(net, newerId, buf, 16), 3);
    older.reset();
    EXPECT_EQ(pollServerEvent(net).what, NetworkEvent::Data);  // unread data before the close
    EXPECT_EQ(eventClient(net), olderId);
    EXPECT_EQ(receiveFromClient(net, olderId, buf, 16), 3);
    EXPECT_EQ(pollFor(net, NetworkEvent::Disconnect), NetworkEvent::Disconnect);
    EXPECT_EQ(eventClient(net), olderId);
}

TEST_F(TcpServer, HeldBackDataIsNotReportedButConnectionsAndOtherClientsAre) {
    auto c = connectClient(port);
    const ClientId held = accept();
    test::sendAll(c, {1, 2, 3});
    usleep(20000);
    net.heldBack.insert(held);
    EXPECT_EQ(pollServerEvent(net).what, NetworkEvent::None);
    std::vector<pollfd> fds;
    collectNetworkDescriptors(net, fds);
    const int heldFd = net.servers.at(0).connections.front().socket.get();
    EXPECT_TRUE(std::none_of(fds.begin(), fds.end(), [&](const pollfd& p) { return p.fd == heldFd && (p.events & POLLIN) != 0; }));
    auto d = connectClient(port);
    EXPECT_EQ(pollFor(net, NetworkEvent::Connect), NetworkEvent::Connect);
    const ClientId other = eventClient(net);
    test::sendAll(d, {4, 5, 6});
    EXPECT_EQ(pollFor(net, NetworkEvent::Data), NetworkEvent::Data);
    EXPECT_EQ(eventClient(net), other);
    std::uint8_t buf[16];
    EXPECT_EQ(receiveFromClient(net, other, buf, 16), 3);
    net.heldBack.erase(held);
    EXPECT_EQ(pollServerEvent(net).what, NetworkEvent::Data);
    EXPECT_EQ(eventClient(net), held);
}

TEST_F(TcpServer, OnlyDescriptorsSeenReadyAreLookedAt) {
    auto c = connectClient(port);
    accept();
    test::sendAll(c, {1, 2, 3});
    usleep(20000);
    std::vector<pollfd> fds;
    collectNetworkDescriptors(net, fds);
    noteReadyDescriptors(net, fds);  // polled before the data came: nothing ready
    EXPECT_EQ(pollServerEvent(net).what, NetworkEvent::None);
    ASSERT_EQ(::poll(fds.data(), fds.size(), 1000), 1);
    noteReadyDescriptors(net, fds);
    EXPECT_EQ(pollServerEvent(net).what, NetworkEvent::Data);
    createServer(net, 0, port);  // a new listener was never polled: everything is looked at
    auto d = connectClient(port);
    EXPECT_EQ(pollFor(net, NetworkEvent::Connect), NetworkEvent::Connect);
}

TEST_F(TcpServer, AddressAndPortOfAClient) {
    auto c = connectClient(port);
    const ClientId id = accept();
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(c.get(), reinterpret_cast<sockaddr*>(&local), &len);
    EXPECT_EQ(ipv4Text(clientAddress(net, id)), "127.0.0.1");
    EXPECT_EQ(clientPort(net, id), ntohs(local.sin_port));
    EXPECT_EQ(ipv4Text(0), "0.0.0.0");
    EXPECT_EQ(clientAddress(net, 999), 0u);
    EXPECT_EQ(clientPort(net, 999), 0);
}

TEST_F(TcpServer, StalledClientReceivesWholeFramesInOrderOnceItReads) {
    auto c = connectClient(port, 2048);
    const ClientId id = accept();
    // About 40 KiB of numbered 14-byte frames: far more than the socket takes at once.
    Bytes expected;
    for (int i = 0; i < 3000; ++i) {
        Bytes f{0x0F, 0xFB, static_cast<std::uint8_t>(i), 0x08, 0xFB, static_cast<std::uint8_t>(i >> 8),
                0, 0, 0, 0, 0, 0, 0, 0x04};
        sendToClient(net, id, f.data(), static_cast<std::int64_t>(f.size()));
        expected.insert(expected.end(), f.begin(), f.end());
    }
    Bytes got;
    for (int i = 0; i < 5000 && got.size() < expected.size(); ++i) {
        pollServerEvent(net).what;  // drains the kept output as the socket takes more
        std::uint8_t buf[4096];
        const ssize_t n = ::recv(c.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.insert(got.end(), buf, buf + n);
        else usleep(500);
    }
    EXPECT_EQ(got, expected);
}

TEST_F(TcpServer, ClientWhoseBacklogOverflowsIsDisconnected) {
    auto c = connectClient(port, 2048);
    const ClientId id = accept();
    const Bytes chunk(1000, 0xAA);
    for (int i = 0; i < 8000; ++i) sendToClient(net, id, chunk.data(), 1000);
    EXPECT_EQ(pollFor(net, NetworkEvent::Disconnect), NetworkEvent::Disconnect);
    EXPECT_EQ(eventClient(net), id);
}

TEST_F(TcpServer, ResetClientNeverEndsTheProcess) {
    auto c = connectClient(port);
    const ClientId id = accept();
    linger hard{1, 0};
    setsockopt(c.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    c.reset();  // sends a reset
    usleep(20000);
    const Bytes f(14, 0x0F);
    for (int i = 0; i < 10; ++i) sendToClient(net, id, f.data(), 14);
    EXPECT_EQ(pollFor(net, NetworkEvent::Disconnect), NetworkEvent::Disconnect);
}

TEST_F(TcpServer, RecreatingOnTheSamePortRightAfterClientsWereConnected) {
    auto a = connectClient(port);
    accept();
    auto b = connectClient(port);
    accept();
    test::sendAll(a, {1});
    closeServer(net, 0);  // our side closes first: those connections linger in TIME_WAIT
    EXPECT_NE(createServer(net, 0, port), 0);
    auto c = connectClient(port);
    EXPECT_TRUE(c.valid());
    EXPECT_EQ(pollFor(net, NetworkEvent::Connect), NetworkEvent::Connect);
}

TEST_F(TcpServer, CreatingAgainWhileClientsAreConnectedClosesThemFirst) {
    auto a = connectClient(port);
    accept();
    EXPECT_NE(createServer(net, 0, port), 0);
    std::uint8_t b;
    EXPECT_EQ(::recv(a.get(), &b, 1, 0), 0);  // the old connection was closed
}

TEST_F(TcpServer, CloseServerClosesEveryClientWithoutEvents) {
    UniqueFd clients[3] = {connectClient(port), connectClient(port), connectClient(port)};
    for (int i = 0; i < 3; ++i) accept();
    closeServer(net, 0);
    for (auto& c : clients) {
        std::uint8_t b;
        EXPECT_EQ(::recv(c.get(), &b, 1, 0), 0);
    }
    EXPECT_EQ(pollServerEvent(net).what, NetworkEvent::None);
    EXPECT_TRUE(net.servers.empty());
}

TEST_F(TcpServer, ClientsAreWatchedByKeepAlive) {
    auto a = connectClient(port);
    accept();
    const int fd = net.servers[0].connections.front().socket.get();
    const std::pair<int, int> expected[] = {
        {SOL_SOCKET, SO_KEEPALIVE}, {IPPROTO_TCP, TCP_KEEPIDLE}, {IPPROTO_TCP, TCP_KEEPINTVL},
        {IPPROTO_TCP, TCP_KEEPCNT}};
    const int values[] = {1, kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        int value = -1;
        socklen_t len = sizeof value;
        ASSERT_EQ(::getsockopt(fd, expected[i].first, expected[i].second, &value, &len), 0);
        EXPECT_EQ(value, values[i]) << "option " << i;
    }
    EXPECT_EQ(kKeepAliveIdleSeconds, 60);
    EXPECT_EQ(kKeepAliveIntervalSeconds, 10);
    EXPECT_EQ(kKeepAliveProbes, 3);
}

// With every descriptor in use a pending connection is taken and closed at once, so the
// listener does not stay ready (the loop would spin on it); the connected clients are still
// served, and new clients are taken again once descriptors are free.
TEST_F(TcpServer, OutOfDescriptorsRefusesNewClientsWithoutSpinning) {
    auto a = connectClient(port);
    const ClientId first = accept();
    auto b = connectClient(port);
    auto c = connectClient(port);
    usleep(50000);  // both wait in the backlog

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<UniqueFd> fillers;
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int i = 0; i < 64; ++i) {
        UniqueFd f(::open("/dev/null", O_RDONLY));
        if (!f.valid()) break;
        fillers.push_back(std::move(f));
    }
    ASSERT_FALSE(UniqueFd(::open("/dev/null", O_RDONLY)).valid());

    EXPECT_EQ(pollServerEvent(net).what, NetworkEvent::None);
    EXPECT_EQ(pollServerEvent(net).what, NetworkEvent::None);
    pollfd listener{net.servers[0].listener.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&listener, 1, 0), 0);  // nothing left pending to wake the wait
    std::uint8_t byte;
    EXPECT_EQ(::recv(b.get(), &byte, 1, 0), 0);  // refused clients learn it at once
    EXPECT_EQ(::recv(c.get(), &byte, 1, 0), 0);
    test::sendAll(a, {7});
    EXPECT_EQ(pollFor(net, NetworkEvent::Data), NetworkEvent::Data);
    EXPECT_EQ(eventClient(net), first);

    fillers.clear();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    auto d = connectClient(port);
    EXPECT_EQ(pollFor(net, NetworkEvent::Connect), NetworkEvent::Connect);
}

TEST(TcpServerLimits, StartUpRaisesTheSoftDescriptorLimitToTheHardOne) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(256, saved.rlim_max);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    NetworkState net;
    initNetwork(net);
    rlimit now{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(TcpServerCreate, OutOfRangeAndBusyPortsFail) {
    NetworkState net;
    initNetwork(net);
    EXPECT_EQ(createServer(net, 0, 65536), 0);
    EXPECT_EQ(createServer(net, 0, -1), 0);
    // Another program listening on the port, without address reuse.
    UniqueFd other(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(other.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(other.get(), 1), 0);
    socklen_t len = sizeof addr;
    getsockname(other.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    EXPECT_EQ(createServer(net, 0, ntohs(addr.sin_port)), 0);
    EXPECT_TRUE(net.servers.empty());
}

// One event as the bridge's pass takes it: a wait on every descriptor, then one poll.
NetworkEvent passEvent(NetworkState& net) {
    std::vector<pollfd> fds;
    collectNetworkDescriptors(net, fds);
    ::poll(fds.data(), fds.size(), 50);
    noteReadyDescriptors(net, fds);
    return pollServerEvent(net).what;
}

// A storm of new connections, and of newer clients leaving, never keeps an older client's data
// waiting behind them: it is served within two events of each of theirs.
TEST_F(TcpServer, AStormOfConnectionsDoesNotStarveAnOlderClientsData) {
    auto older = connectClient(port);
    const ClientId olderId = accept();
    std::vector<UniqueFd> storm;
    for (int i = 0; i < 20; ++i) storm.push_back(connectClient(port));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(passEvent(net), NetworkEvent::Connect);
    for (int i = 0; i < 10; ++i) storm[static_cast<std::size_t>(i)].reset();  // leaving
    for (int i = 0; i < 20; ++i) storm.push_back(connectClient(port));        // and coming
    test::sendAll(older, {0x0F, 0xF8, 0x00, 0x01, 0x0B, 0xED, 0x04});
    std::vector<NetworkEvent> before;
    for (int i = 0; i < 40; ++i) {
        const NetworkEvent e = passEvent(net);
        if (e == NetworkEvent::Data && eventClient(net) == olderId) break;
        before.push_back(e);
    }
    EXPECT_LE(before.size(), 2u) << "events before the older client's data";
}

TEST_F(TcpServer, TwoSendingClientsTakeTurns) {
    auto a = connectClient(port);
    const ClientId aId = accept();
    auto b = connectClient(port);
    const ClientId bId = accept();
    test::sendAll(a, {1});
    test::sendAll(b, {2});
    ASSERT_EQ(passEvent(net), NetworkEvent::Data);
    EXPECT_EQ(eventClient(net), bId);  // the newer first, as ever
    // Neither is read: the older, passed over, has its turn next, then the newer again.
    ASSERT_EQ(passEvent(net), NetworkEvent::Data);
    EXPECT_EQ(eventClient(net), aId);
    ASSERT_EQ(passEvent(net), NetworkEvent::Data);
    EXPECT_EQ(eventClient(net), bId);
}

}  // namespace
}  // namespace tessel
