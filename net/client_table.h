// One record per client connection, oldest first, shown newest first in the client list.
// Ended records are forgotten by the first table change more than an hour after they ended.
// Every change costs the same however many records are held: a connect adds its row, a
// disconnect changes its own row and forgets what expired, each found by key; connection churn
// must never make the bridge redraw what it has seen before.
#pragma once
#include <cstdint>
#include <deque>
#include <limits>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/tcp_server.h"
#include "platform/clock.h"

namespace tessel {

struct ClientRecord {
    std::string ipText;
    ClientId clientId = 0;
    std::uint16_t port = 0;
    DateValue startDate = 0;
    DateValue endDate = 0;  // 0 while the connection is open
    std::int64_t errorCount = 0;  // runs from this client that were not sound frames
    std::int64_t connectMillis = 0;
    DateValue lastActivityDate = 0;
    // Names its row in the list; unique in the table even where a client id comes again.
    std::int64_t rowKey = 0;

    bool active() const { return endDate == 0; }
};

constexpr std::int64_t kEndedRecordSeconds = 3600;

struct ClientTable {
    using Records = std::list<ClientRecord>;

    Records records;  // oldest first; the iterators below stay valid while their record lives
    // The newest record of each client id, open or ended.
    std::unordered_map<ClientId, Records::iterator> byId;
    // Ended records in the order they ended, so the expired are found at the front.
    std::deque<Records::iterator> ended;
    // Ended records beyond this many are forgotten early, oldest first, and only counted: a front
    // end that shows few (the web page) need not hold an hour of a connection storm. The window
    // keeps every one for its hour; the hour bounds them there.
    std::size_t endedLimit = std::numeric_limits<std::size_t>::max();
    // Those forgotten early, per second they ended in, for the hour after (at most 3601 entries).
    std::deque<std::pair<DateValue, std::int64_t>> forgottenEarly;
    std::int64_t forgottenEarlyCount = 0;
    // Clients whose error count changed since the list was last told.
    std::vector<ClientId> changedClients;
    std::int64_t nextRowKey = 1;

    std::size_t size() const { return records.size(); }
    bool empty() const { return records.empty(); }
    Records::iterator begin() { return records.begin(); }
    Records::iterator end() { return records.end(); }
    Records::const_iterator begin() const { return records.begin(); }
    Records::const_iterator end() const { return records.end(); }
    ClientRecord& back() { return records.back(); }
    const ClientRecord& back() const { return records.back(); }
    void clear();
};

struct ClientRow {
    ClientId clientId = 0;  // not shown in the window
    std::int64_t rowKey = 0;
    bool active = true;  // chooses the icon
    std::string address;  // "ip (port)"
    std::string startDate;
    std::string endDate;
    std::string errors;
};

// The client list as the table sees it; the window implements it with a list control. Rows are
// named by their record's row key.
class ClientListView {
public:
    virtual ~ClientListView() = default;
    virtual void clear() = 0;
    virtual void insertTop(const ClientRow& row) = 0;
    // The row of `row.rowKey` shows these texts now (the client ended, or its errors grew).
    virtual void updateRow(const ClientRow& row) = 0;
    virtual void removeRow(std::int64_t rowKey) = 0;
    // How many ended within the hour besides those listed (only a table with an ended limit).
    virtual void setMoreEnded(std::int64_t /*count*/) {}
};

ClientRow clientRow(const ClientRecord& record);
// Adds the record at the end of the table and its row at the top of the list.
void addClientRecord(ClientTable& table, ClientListView& list, ClientRecord record);
void clientConnected(ClientTable& table, ClientListView& list, const NetworkState& net,
                     ClientId id, const Moment& now);
// Ends the open record of `id` and forgets what ended over an hour ago; with id 0 it only
// forgets.
void clientDisconnected(ClientTable& table, ClientListView& list, ClientId id, DateValue now);
void rebuildClientList(const ClientTable& table, ClientListView& list);
// Forgets every ended record at once, for a front end that lists none.
void forgetEndedClients(ClientTable& table, ClientListView& list);
// Counts a run of the client's that was not a sound frame; its row is redrawn by
// showChangedClients.
void countClientError(ClientTable& table, ClientRecord& record);
void showChangedClients(ClientTable& table, ClientListView& list);

// The record a client run is named after: the open one with that id, else the newest ended one.
const ClientRecord* findClient(const ClientTable& table, ClientId id);
ClientRecord* findClient(ClientTable& table, ClientId id);

}  // namespace tessel
