// One record per client connection, oldest first, shown newest first in the client list.
// Ended records are forgotten by the first table change more than an hour after they ended.
#pragma once
#include <cstdint>
#include <string>
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

    bool active() const { return endDate == 0; }
};

using ClientTable = std::vector<ClientRecord>;

constexpr std::int64_t kEndedRecordSeconds = 3600;

struct ClientRow {
    ClientId clientId = 0;  // not shown in the window
    bool active = true;  // chooses the icon
    std::string address;  // "ip (port)"
    std::string startDate;
    std::string endDate;
    std::string errors;
};

// The client list as the table sees it; the window implements it with a list control.
class ClientListView {
public:
    virtual ~ClientListView() = default;
    virtual void clear() = 0;
    virtual void insertTop(const ClientRow& row) = 0;
};

ClientRow clientRow(const ClientRecord& record);
void clientConnected(ClientTable& table, ClientListView& list, const NetworkState& net,
                     ClientId id, Clock& clock);
// With id 0 it only forgets old ended records and redraws.
void clientDisconnected(ClientTable& table, ClientListView& list, ClientId id, Clock& clock);
void rebuildClientList(const ClientTable& table, ClientListView& list);

// The record a client run is named after: the open one with that id, else the newest ended one.
const ClientRecord* findClient(const ClientTable& table, ClientId id);
ClientRecord* findClient(ClientTable& table, ClientId id);

}  // namespace tessel
