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
        clientConnected(table, list, net, id, clock.now());
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
    EXPECT_EQ(row.address, "127.0.0.1 (" + std::to_string(table.back().port) + ")");
    EXPECT_EQ(row.startDate, "2023-11-14 22:13:20");
    EXPECT_EQ(row.endDate, "");
    EXPECT_EQ(row.errors, "0");
}

TEST_F(ClientTableTest, DisconnectedClientKeepsItsRowWithAnEndDate) {
    const ClientId id = connect();
    clock.date += 5;
    clientDisconnected(table, list, id, clock.date);
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
    clientDisconnected(table, list, id, clock.date);
    for (int seconds : {3599, 3600}) {
        FakeClock later = clock;
        later.date += seconds;
        clientDisconnected(table, list, 0, later.date);
        EXPECT_EQ(table.size(), 1u) << seconds;
        EXPECT_EQ(list.rows.size(), 1u);
    }
    FakeClock later = clock;
    later.date += 3601;
    clientDisconnected(table, list, 0, later.date);
    EXPECT_TRUE(table.empty());
    EXPECT_TRUE(list.rows.empty());
}

TEST_F(ClientTableTest, SweepWithIdZeroEndsNothing) {
    connect();
    clock.date += 7200;
    clientDisconnected(table, list, 0, clock.date);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_TRUE(table.back().active());
}

TEST_F(ClientTableTest, ReusedIdGetsANewRecordAndTheEndedOneKeepsItsDate) {
    const ClientId id = connect();
    clientDisconnected(table, list, id, clock.date);
    const ClientRecord* first = &table.back();
    const DateValue ended = first->endDate;
    // A later connection with the same id (ids are never reused here, so reuse is simulated).
    clock.date += 10;
    ClientRecord again = *first;
    again.endDate = 0;
    addClientRecord(table, list, again);
    clientDisconnected(table, list, 12345, clock.date);
    EXPECT_EQ(first->endDate, ended);
    EXPECT_EQ(findClient(table, id), &table.back());  // the open record names the sender
    EXPECT_TRUE(findClient(table, id)->active());
    ASSERT_EQ(list.rows.size(), 2u);
    EXPECT_NE(list.rows[0].rowKey, list.rows[1].rowKey);
}

// A connect or a disconnect touches its own row and what expired, never the rows of the hour.
TEST_F(ClientTableTest, AChangeCostsTheSameHoweverManyEndedRecordsAreHeld) {
    for (ClientId id = 1000; id < 6000; ++id) {
        clientConnected(table, list, net, id, clock.now());
        clientDisconnected(table, list, id, clock.date);
    }
    ASSERT_EQ(table.size(), 5000u);
    list.calls = 0;
    clientConnected(table, list, net, 7000, clock.now());
    EXPECT_EQ(list.calls, 1);
    clientDisconnected(table, list, 7000, clock.date);
    EXPECT_EQ(list.calls, 2);
    EXPECT_EQ(list.rows.size(), 5001u);
    EXPECT_FALSE(list.rows[0].active);
    EXPECT_EQ(list.rows[0].endDate, "2023-11-14 22:13:20");
    // An hour and a second later they all go at once, each row removed once.
    clock.date += 3601;
    list.calls = 0;
    clientDisconnected(table, list, 0, clock.date);
    EXPECT_EQ(list.calls, 5001);
    EXPECT_TRUE(table.empty());
    EXPECT_TRUE(table.byId.empty());
    EXPECT_TRUE(list.rows.empty());
}

TEST_F(ClientTableTest, EndedRecordsExpireInTheOrderTheyEnded) {
    for (ClientId id : {1, 2, 3}) clientConnected(table, list, net, id, clock.now());
    clientDisconnected(table, list, 2, clock.date);  // the middle one ends first
    clock.date += 1000;
    clientDisconnected(table, list, 1, clock.date);
    clock.date += 2601;  // 3601 s after the first end
    clientDisconnected(table, list, 0, clock.date);
    ASSERT_EQ(list.rows.size(), 2u);
    EXPECT_EQ(findClient(table, 2), nullptr);
    EXPECT_NE(findClient(table, 1), nullptr);
    EXPECT_TRUE(findClient(table, 3)->active());
}

// A front end that lists few ended clients: the newest ones listed, the others counted for their hour.
TEST_F(ClientTableTest, EndedRecordsPastTheLimitAreCountedForTheirHour) {
    table.endedLimit = 3;
    for (ClientId id = 1; id <= 5; ++id) {
        clientConnected(table, list, net, id, clock.now());
        clientDisconnected(table, list, id, clock.date);
        clock.date += 1;
    }
    clientConnected(table, list, net, 6, clock.now());
    ASSERT_EQ(list.rows.size(), 4u);
    EXPECT_TRUE(list.rows[0].active);
    EXPECT_EQ(list.rows[3].clientId, 3);  // the oldest listed; 1 and 2 only counted
    EXPECT_EQ(list.moreEnded, 2);
    EXPECT_EQ(findClient(table, 1), nullptr);
    // The first of them ended at +0 and the second at +1: each stops counting an hour later.
    clock.date = 1'700'000'000 + 3601;
    clientDisconnected(table, list, 0, clock.date);
    EXPECT_EQ(list.moreEnded, 1);
    clock.date += 1;
    clientDisconnected(table, list, 0, clock.date);
    EXPECT_EQ(list.moreEnded, 0);
}

TEST_F(ClientTableTest, AnErrorRedrawsOnlyItsClientsRow) {
    const ClientId first = connect();
    connect();
    countClientError(table, *findClient(table, first));
    countClientError(table, *findClient(table, first));
    list.calls = 0;
    showChangedClients(table, list);
    EXPECT_EQ(list.calls, 1);
    EXPECT_EQ(list.rows[1].errors, "2");
    EXPECT_EQ(list.rows[0].errors, "0");
    showChangedClients(table, list);
    EXPECT_EQ(list.calls, 1);
}

TEST_F(ClientTableTest, UnknownPeerShowsZeroAddressAndPort) {
    clientConnected(table, list, net, 4242, clock.now());
    EXPECT_EQ(list.rows[0].address, "0.0.0.0 (0)");
}

}  // namespace
}  // namespace tessel
