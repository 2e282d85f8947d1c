#include <gtest/gtest.h>

#include "net/client_table.h"
#include "support/fakes.h"
#include "support/loopback.h"

namespace tessel {
namespace {

using test::FakeClock;
using test::VectorClientList;

class ClientTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        initNetwork(net);
        ASSERT_NE(createServer(net, 0, 0), 0);
        clock.date = 1'700'000'000;  // 2023-11-14 22:13:20
    }
    ClientId connect() {
        sockets.push_back(test::connectClient(serverPort(net, 0)));
        EXPECT_EQ(test::pollFor(net, NetworkEvent::Connect), NetworkEvent::Connect);
        const ClientId id = eventClient(net);
        clientConnected(table, list, net, id, clock);
        return id;
    }

    NetworkState net;
    FakeClock clock;
    ClientTable table;
    VectorClientList list;
    std::vector<UniqueFd> sockets;
};

TEST_F(ClientTableTest, ConnectedClientGetsOneActiveRow) {
    connect();
    ASSERT_EQ(list.rows.size(), 1u);
    const ClientRow& row = list.rows[0];
    EXPECT_TRUE(row.active);
    EXPECT_EQ(row.address.rfind("127.0.0.1 (", 0), 0u);
    EXPECT_EQ(row.address, "127.0.0.1 (" + std::to_string(table[0].port) + ")");
    EXPECT_EQ(row.startDate, "2023-11-14 22:13:20");
    EXPECT_EQ(row.endDate, "");
    EXPECT_EQ(row.errors, "0");
}

TEST_F(ClientTableTest, DisconnectedClientKeepsItsRowWithAnEndDate) {
    const ClientId id = connect();
    clock.date += 5;
    clientDisconnected(table, list, id, clock);
    ASSERT_EQ(list.rows.size(), 1u);
    EXPECT_FALSE(list.rows[0].active);
    EXPECT_EQ(list.rows[0].endDate, "2023-11-14 22:13:25");
    EXPECT_EQ(table.size(), 1u);
}

TEST_F(ClientTableTest, NewestClientIsListedFirst) {
    connect();
    clock.date += 1;
    connect();
    ASSERT_EQ(list.rows.size(), 2u);
    EXPECT_EQ(list.rows[0].startDate, "2023-11-14 22:13:21");
    EXPECT_EQ(list.rows[1].startDate, "2023-11-14 22:13:20");
}

TEST_F(ClientTableTest, EndedRecordIsForgottenOnlyAfterMoreThanAnHour) {
    const ClientId id = connect();
    clientDisconnected(table, list, id, clock);
    for (int seconds : {3599, 3600}) {
        FakeClock later = clock;
        later.date += seconds;
        clientDisconnected(table, list, 0, later);
        EXPECT_EQ(table.size(), 1u) << seconds;
        EXPECT_EQ(list.rows.size(), 1u);
    }
    FakeClock later = clock;
    later.date += 3601;
    clientDisconnected(table, list, 0, later);
    EXPECT_TRUE(table.empty());
    EXPECT_TRUE(list.rows.empty());
}

TEST_F(ClientTableTest, SweepWithIdZeroEndsNothing) {
    connect();
    clock.date += 7200;
    clientDisconnected(table, list, 0, clock);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_TRUE(table[0].active());
}

TEST_F(ClientTableTest, ReusedIdGetsANewRecordAndTheEndedOneKeepsItsDate) {
    const ClientId id = connect();
    clientDisconnected(table, list, id, clock);
    const DateValue ended = table[0].endDate;
    // A later connection with the same id (ids are never reused here, so reuse is simulated).
    clock.date += 10;
    ClientRecord again = table[0];
    again.endDate = 0;
    table.push_back(again);
    clientDisconnected(table, list, 12345, clock);
    EXPECT_EQ(table[0].endDate, ended);
    EXPECT_EQ(findClient(table, id), &table[1]);  // the open record names the sender
}

TEST_F(ClientTableTest, UnknownPeerShowsZeroAddressAndPort) {
    clientConnected(table, list, net, 4242, clock);
    EXPECT_EQ(list.rows[0].address, "0.0.0.0 (0)");
}

}  // namespace
}  // namespace tessel
