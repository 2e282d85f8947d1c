#include "net/client_table.h"

namespace tessel {

namespace {
constexpr const char* kDateMask = "%yyyy-%mm-%dd %hh:%ii:%ss";
}

ClientRow clientRow(const ClientRecord& r) {
    ClientRow row;
    row.clientId = r.clientId;
    row.active = r.active();
    row.address = r.ipText + " (" + std::to_string(r.port) + ")";
    row.startDate = formatDate(kDateMask, r.startDate);
    row.endDate = r.active() ? "" : formatDate(kDateMask, r.endDate);
    row.errors = std::to_string(r.errorCount);
    return row;
}

void clientConnected(ClientTable& table, ClientListView& list, const NetworkState& net,
                     ClientId id, Clock& clock) {
    ClientRecord r;
    r.ipText = clientAddressText(net, id);
    r.clientId = id;
    r.port = clientPort(net, id);
    r.startDate = clock.currentDate();
    r.endDate = 0;
    r.errorCount = 0;
    r.connectMillis = clock.elapsedMillis();
    r.lastActivityDate = r.startDate;
    table.push_back(std::move(r));
    rebuildClientList(table, list);
}

void clientDisconnected(ClientTable& table, ClientListView& list, ClientId id, Clock& clock) {
    const DateValue now = clock.currentDate();
    list.clear();
    for (auto it = table.begin(); it != table.end();) {
        if (it->clientId == id && it->endDate == 0) it->endDate = now;
        if (it->endDate > 0 && now - it->endDate > kEndedRecordSeconds) {
            it = table.erase(it);
            continue;
        }
        list.insertTop(clientRow(*it));
        ++it;
    }
}

void rebuildClientList(const ClientTable& table, ClientListView& list) {
    list.clear();
    for (const auto& r : table) list.insertTop(clientRow(r));
}

ClientRecord* findClient(ClientTable& table, ClientId id) {
    ClientRecord* ended = nullptr;
    for (auto& r : table) {
        if (r.clientId != id) continue;
        if (r.active()) return &r;
        ended = &r;
    }
    return ended;
}

const ClientRecord* findClient(const ClientTable& table, ClientId id) {
    return findClient(const_cast<ClientTable&>(table), id);
}

}  // namespace tessel
