#include "net/client_table.h"

namespace tessel {

namespace {
constexpr const char* kDateMask = "%yyyy-%mm-%dd %hh:%ii:%ss";

void forget(ClientTable& table, ClientListView& list, ClientTable::Records::iterator record) {
    list.removeRow(record->rowKey);
    if (const auto it = table.byId.find(record->clientId); it != table.byId.end() && it->second == record) {
        table.byId.erase(it);
    }
    table.records.erase(record);
}

// Only the count of those forgotten early stays, by the second they ended in.
void forgetEarly(ClientTable& table, ClientListView& list, ClientTable::Records::iterator record) {
    const DateValue ended = record->endDate;
    if (!table.forgottenEarly.empty() && table.forgottenEarly.back().first == ended) {
        ++table.forgottenEarly.back().second;
    } else {
        table.forgottenEarly.emplace_back(ended, 1);
    }
    ++table.forgottenEarlyCount;
    forget(table, list, record);
}

bool limited(const ClientTable& table) {
    return table.endedLimit != std::numeric_limits<std::size_t>::max();
}

}  // namespace

void ClientTable::clear() {
    records.clear();
    byId.clear();
    ended.clear();
    forgottenEarly.clear();
    forgottenEarlyCount = 0;
    changedClients.clear();
}

ClientRow clientRow(const ClientRecord& r) {
    ClientRow row;
    row.clientId = r.clientId;
    row.rowKey = r.rowKey;
    row.active = r.active();
    row.address = r.ipText + " (" + std::to_string(r.port) + ")";
    row.startDate = formatDate(kDateMask, r.startDate);
    row.endDate = r.active() ? "" : formatDate(kDateMask, r.endDate);
    row.errors = std::to_string(r.errorCount);
    return row;
}

void addClientRecord(ClientTable& table, ClientListView& list, ClientRecord record) {
    record.rowKey = table.nextRowKey++;
    table.records.push_back(std::move(record));
    const auto it = std::prev(table.records.end());
    table.byId[it->clientId] = it;
    if (!it->active()) table.ended.push_back(it);
    list.insertTop(clientRow(*it));
}

void clientConnected(ClientTable& table, ClientListView& list, const NetworkState& net,
                     ClientId id, const Moment& now) {
    ClientRecord r;
    r.ipText = clientAddressText(net, id);
    r.clientId = id;
    r.port = clientPort(net, id);
    r.startDate = now.date;
    r.endDate = 0;
    r.errorCount = 0;
    r.connectMillis = now.millis;
    r.lastActivityDate = r.startDate;
    addClientRecord(table, list, std::move(r));
}

void clientDisconnected(ClientTable& table, ClientListView& list, ClientId id, DateValue now) {
    if (const auto it = table.byId.find(id); id != 0 && it != table.byId.end() && it->second->active()) {
        it->second->endDate = now;
        table.ended.push_back(it->second);
        list.updateRow(clientRow(*it->second));
    }
    while (table.ended.size() > table.endedLimit) {
        forgetEarly(table, list, table.ended.front());
        table.ended.pop_front();
    }
    // Records end in time order, so the expired are all at the front.
    while (!table.ended.empty() && now - table.ended.front()->endDate > kEndedRecordSeconds) {
        forget(table, list, table.ended.front());
        table.ended.pop_front();
    }
    while (!table.forgottenEarly.empty() && now - table.forgottenEarly.front().first > kEndedRecordSeconds) {
        table.forgottenEarlyCount -= table.forgottenEarly.front().second;
        table.forgottenEarly.pop_front();
    }
    if (limited(table)) list.setMoreEnded(table.forgottenEarlyCount);
}

void rebuildClientList(const ClientTable& table, ClientListView& list) {
    list.clear();
    for (const auto& r : table) list.insertTop(clientRow(r));
    if (limited(table)) list.setMoreEnded(table.forgottenEarlyCount);
}

void forgetEndedClients(ClientTable& table, ClientListView& list) {
    while (!table.ended.empty()) {
        forget(table, list, table.ended.front());
        table.ended.pop_front();
    }
}

void countClientError(ClientTable& table, ClientRecord& record) {
    ++record.errorCount;
    if (table.changedClients.empty() || table.changedClients.back() != record.clientId) {
        table.changedClients.push_back(record.clientId);
    }
}

void showChangedClients(ClientTable& table, ClientListView& list) {
    for (const ClientId id : table.changedClients) {
        if (const ClientRecord* r = findClient(table, id)) list.updateRow(clientRow(*r));
    }
    table.changedClients.clear();
}

ClientRecord* findClient(ClientTable& table, ClientId id) {
    const auto it = table.byId.find(id);
    return it != table.byId.end() ? &*it->second : nullptr;
}

const ClientRecord* findClient(const ClientTable& table, ClientId id) {
    return findClient(const_cast<ClientTable&>(table), id);
}

}  // namespace tessel
